// Conversion between Python objects and values.
//
// Python to value, first match wins: None, Tombstone, Link, exactly bool,
// int (64-bit), float, str (UTF-8), bytes, list, dict (str keys); anything
// else is a TypeError "cannot convert <type name> to a Brindle value".
// Containers (lists, dicts, links) nest at most kMaxNesting deep, the bound
// the decoder enforces, so whatever is written can be read back; deeper
// objects raise ValueError and nothing is written.
//
// Value to Python: Null None, Tombstone a new Tombstone, Bool/Int/Float/Text/
// Blob their Python counterparts, Date/Time/DateTime int, Array list, Map
// dict in the map's order, Link a new Link.
//
// Every function returns false or null with a Python exception set on
// failure, and needs the interpreter lock.
#pragma once

#include "python/py.h"  // first: it may change what the standard headers declare

#include <array>
#include <cstddef>
#include <expected>
#include <string>
#include <string_view>
#include <vector>

#include "backlinks/collect_links.h"
#include "codec/codec.h"
#include "python/py_ref.h"
#include "types/value.h"

namespace brindle::python {

// Converts a dict to a map that will sit `level` containers deep.
bool py_dict_to_map_at(PyObject* dict, std::size_t level, TextMap& out);

// A Python object made ready for writing: the encoding of the value it
// converts to and the links that value holds.
struct EncodedWrite {
  std::string bytes;  // as encode() writes the value
  // encode()'s status for the value, found during the walk but reported by
  // the write itself, after the checks that come before it. A value too long
  // for its length fields shows only in the size of bytes.
  EncodeStatus status = EncodeStatus::Ok;
  bool may_hold_links = false;  // a Link was met; not the other way round
  std::vector<LinkRef> links;   // as collect_links lists them from the root

  // Where the walk keeps its place; here so that writes reuse the room.
  struct Step {  // from the root towards the object being converted
    std::string_view key;  // a map key, or null for an array index
    std::size_t index;
  };
  struct OpenEntry {  // an entry of a map being converted
    std::size_t key_at, key_size, value_at, value_end;  // in bytes
    std::size_t links_at, links_end;                    // in links
  };
  std::vector<Step> path;
  std::vector<OpenEntry> entries;  // of every map being converted, innermost last
};

// Converts obj into out (whose buffers it reuses) in one walk, with the
// rules, checks and exceptions of the conversion to a value, without making
// the value.
bool py_to_encoded(PyObject* obj, EncodedWrite& out);

// Consumes value; returns a new reference or null.
PyObject* value_to_py(Value&& value);

// A list of n empty slots that the garbage collector does not see until
// filled() hands it back: a collection run by an allocation while it fills
// could otherwise pass it, holes and all, to Python code (a finaliser that
// walks gc.get_objects()), and a hole read there crashes.
PyRef new_unfilled_list(std::size_t n);
PyObject* filled(PyRef&& list);
// The str objects of recently decoded short map keys. Records of one
// collection repeat the same few field names; reusing their objects skips
// building, validating and hashing them again for every record. Touched only
// with the interpreter lock held, and never while Python code can run in the
// middle of a lookup.
class KeyCache {
 public:
  // A new reference to a str equal to key (valid UTF-8), or null with an
  // exception set.
  PyRef get(std::string_view key);

 private:
  static constexpr std::size_t kSlots = 64;
  static constexpr std::size_t kMaxKeySize = 32;
  struct Slot {
    std::string bytes;
    PyRef object;
  };
  std::array<Slot, kSlots> slots_;
};

// Decodes one encoded value (bytes after it are ignored) straight into a
// Python object, by the rules of value_to_py, taking map keys from keys.
// Returns the object, or a null PyRef with a Python exception set, or the
// CodecError the bytes raise (no exception set).
std::expected<PyRef, CodecError> decode_to_py(std::string_view encoded, KeyCache& keys);

// Reads map; returns a new dict or null.
PyObject* map_to_py(const TextMap& map);

// The number of container levels in value: 0 for a scalar, 1 for an array,
// map or link holding only scalars, and so on.
std::size_t nesting_depth(const Value& value);

}  // namespace brindle::python
