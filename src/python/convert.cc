#include "python/py.h"  // first: it may change what the standard headers declare

#include "python/convert.h"

#include <algorithm>
#include <bit>
#include <charconv>
#include <cstring>
#include <cstdint>
#include <iterator>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_set>

#include "codec/decoder.h"
#include "codec/framing.h"
#include "types/hash.h"
#include "types/short_bytes.h"
#include "python/arguments.h"
#include "python/py_ref.h"
#include "python/classes.h"

namespace brindle::python {

namespace {

// Py_EnterRecursiveCall / Py_LeaveRecursiveCall as a scope. Once the
// interpreter's exit has begun, a thread other than the finalising one counts
// nothing: it could not leave the count again (see py_ref.h), and one still
// running normally would otherwise lose a level of its recursion limit per
// guard for good; kMaxNesting still bounds the depth.
class RecursionGuard {
 public:
  RecursionGuard()
      : counted_(may_use_interpreter()),
        entered_(!counted_ || Py_EnterRecursiveCall(" while converting a value") == 0) {}
  ~RecursionGuard() {
    if (counted_ && entered_ && may_use_interpreter()) Py_LeaveRecursiveCall();
  }
  RecursionGuard(const RecursionGuard&) = delete;
  RecursionGuard& operator=(const RecursionGuard&) = delete;
  bool entered() const { return entered_; }

 private:
  bool counted_;
  bool entered_;
};

bool refuse_too_deep() {
  PyErr_Format(PyExc_ValueError, "value is nested too deeply (more than %zu levels of lists, dicts and links)",
               kMaxNesting);
  return false;
}

bool convert(PyObject* obj, std::size_t level, Value& out);

// Calls visit(key text, value) for each entry of dict, in order, until it
// returns false. Each key and value is held during its visit: a finaliser run
// by a conversion may change the dict.
template <class Visit>
bool for_each_entry(PyObject* dict, Visit&& visit) {
  Py_ssize_t pos = 0;
  PyObject* borrowed_key;
  PyObject* borrowed_value;
  while (PyDict_Next(dict, &pos, &borrowed_key, &borrowed_value)) {
    PyRef key = PyRef::borrow(borrowed_key);
    PyRef item = PyRef::borrow(borrowed_value);
    std::string_view key_text;
    if (!extract_text(key.get(), key_text) || !visit(key_text, item.get())) return false;
  }
  return true;
}

bool convert_list(PyObject* list, std::size_t level, Value& out) {
  Array array;
  array.reserve(static_cast<std::size_t>(std::max<Py_ssize_t>(PyList_Size(list), 0)));
  // Re-read the length each step: finalisers run by conversions may shrink
  // the list.
  for (Py_ssize_t i = 0; i < PyList_Size(list); ++i) {
    PyRef item = PyRef::borrow(PyList_GetItem(list, i));
    if (!item) return false;
    Value element;
    if (!convert(item.get(), level + 1, element)) return false;
    array.push_back(std::move(element));
  }
  out = Value(std::move(array));
  return true;
}

bool raise_unsupported(PyObject* obj) {
  PyRef name = PyRef::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(obj)), "__name__"));
  if (!name) return false;
  PyErr_Format(PyExc_TypeError, "cannot convert %S to a Brindle value", name.get());
  return false;
}

bool convert(PyObject* obj, std::size_t level, Value& out) {
  if (obj == Py_None) {
    out = Value();
    return true;
  }
  if (is_tombstone(obj)) {
    out = Value(Tombstone{});
    return true;
  }
  if (is_link(obj)) {
    if (level + link_nesting_of(obj) > kMaxNesting) return refuse_too_deep();
    out = Value(link_of(obj));
    return true;
  }
  if (Py_IS_TYPE(obj, &PyBool_Type)) {
    out = Value(obj == Py_True);
    return true;
  }
  if (PyLong_Check(obj)) {
    long long v = PyLong_AsLongLong(obj);
    if (v == -1 && PyErr_Occurred()) return false;
    out = Value(static_cast<std::int64_t>(v));
    return true;
  }
  if (PyFloat_Check(obj)) {
    double v = PyFloat_AsDouble(obj);
    if (v == -1.0 && PyErr_Occurred()) return false;
    out = Value(v);
    return true;
  }
  if (PyUnicode_Check(obj)) {
    Py_ssize_t size;
    const char* text = PyUnicode_AsUTF8AndSize(obj, &size);
    if (text == nullptr) return false;
    out = Value(std::string(text, static_cast<std::size_t>(size)));
    return true;
  }
  if (PyBytes_Check(obj)) {
    char* bytes;
    Py_ssize_t size;
    if (PyBytes_AsStringAndSize(obj, &bytes, &size) != 0) return false;
    out = Value(Blob{std::string(bytes, static_cast<std::size_t>(size))});
    return true;
  }
  const bool list = PyList_Check(obj);
  if (!list && !PyDict_Check(obj)) return raise_unsupported(obj);
  if (level >= kMaxNesting) return refuse_too_deep();
  RecursionGuard guard;
  if (!guard.entered()) return false;
  if (list) return convert_list(obj, level, out);
  TextMap map;
  if (!py_dict_to_map_at(obj, level + 1, map)) return false;
  out = Value(std::move(map));
  return true;
}

// Walks an object as convert() does, making the same checks in the same
// order, and appends the encoding of the value convert() would make, while
// listing its links as collect_links() would. Only a link's own bytes and
// links come from the Link it holds; everything else is written as met.
//
// Finalisers run by the walk may change the containers it is in, so list
// lengths and map entry counts are written once their elements are done.
// A dict can yield one key text twice (str subclasses with their own
// equality, or a finaliser that moves a key); as in a TextMap the later value
// then replaces the earlier one in the earlier entry's place.
class WriteEncoder {
 public:
  explicit WriteEncoder(EncodedWrite& out) : out_(out), bytes_(out.bytes), path_(out.path), entries_(out.entries) {}

  bool value(PyObject* obj, std::size_t level) {
    using enum wire::TypeByte;
    // The common exact types first: none of them matches an earlier test of
    // convert(), so the order of the tests is unchanged for them.
    PyTypeObject* const type = Py_TYPE(obj);
    if (type == &PyUnicode_Type) return text(obj);
    if (type == &PyLong_Type) return integer(obj);
    if (type == &PyDict_Type) return container(obj, false, level);
    if (obj == Py_None) {
      bytes_.push_back(static_cast<char>(kNull));
      return true;
    }
    if (is_tombstone(obj)) {
      bytes_.push_back(static_cast<char>(kTombstone));
      return true;
    }
    if (is_link(obj)) {
      if (level + link_nesting_of(obj) > kMaxNesting) return refuse_too_deep();
      link(link_of(obj), level);
      return true;
    }
    if (type == &PyBool_Type) {
      put_fixed(kBool, static_cast<std::uint8_t>(obj == Py_True));
      return true;
    }
    if (PyLong_Check(obj)) return integer(obj);
    if (PyFloat_Check(obj)) {
      double v = PyFloat_AsDouble(obj);
      if (v == -1.0 && PyErr_Occurred()) return false;
      put_fixed(kFloat, std::bit_cast<std::uint64_t>(v));
      return true;
    }
    if (PyUnicode_Check(obj)) return text(obj);
    if (PyBytes_Check(obj)) {
      char* data;
      Py_ssize_t size;
      if (PyBytes_AsStringAndSize(obj, &data, &size) != 0) return false;
      put_sized(kBlob, std::string_view(data, static_cast<std::size_t>(size)));
      return true;
    }
    const bool list = PyList_Check(obj);
    if (!list && !PyDict_Check(obj)) return raise_unsupported(obj);
    return container(obj, list, level);
  }

 private:
  using Entry = EncodedWrite::OpenEntry;
  using Segment = EncodedWrite::Step;
  // Maps up to this many entries find an earlier equal key by a scan (as
  // TextMap does); larger ones through a hash set of their entries.
  static constexpr std::size_t kScanLimit = TextMap::kIndexThreshold;

  std::string_view key_of(std::size_t entry) const {
    const Entry& e = entries_[entry];
    return std::string_view(bytes_.data() + e.key_at + sizeof(std::uint32_t), e.key_size);
  }
  struct KeyHash {
    const WriteEncoder* encoder;
    std::size_t operator()(std::size_t entry) const noexcept { return TextHash{}(encoder->key_of(entry)); }
  };
  struct KeyEqual {
    const WriteEncoder* encoder;
    bool operator()(std::size_t a, std::size_t b) const noexcept { return encoder->key_of(a) == encoder->key_of(b); }
  };
  using KeySet = std::unordered_set<std::size_t, KeyHash, KeyEqual>;

  bool integer(PyObject* obj) {
    long long v = PyLong_AsLongLong(obj);
    if (v == -1 && PyErr_Occurred()) return false;
    put_fixed(wire::kInt, static_cast<std::int64_t>(v));
    return true;
  }

  bool text(PyObject* obj) {
    Py_ssize_t size;
    const char* data = PyUnicode_AsUTF8AndSize(obj, &size);
    if (data == nullptr) return false;
    put_sized(wire::kText, std::string_view(data, static_cast<std::size_t>(size)));
    return true;
  }

  // A type byte and a number, in one append.
  template <class T>
  void put_fixed(wire::TypeByte type, T number) {
    char head[1 + sizeof(T)];
    head[0] = static_cast<char>(type);
    std::memcpy(head + 1, &number, sizeof(T));
    bytes_.append(head, sizeof head);
  }

  // A type byte and a length-prefixed string. A length past a u32 makes the
  // encoding too long, which its size tells.
  void put_sized(wire::TypeByte type, std::string_view payload) {
    char head[1 + sizeof(std::uint32_t)];
    head[0] = static_cast<char>(type);
    store_u32(head + 1, static_cast<std::uint32_t>(payload.size()));
    bytes_.append(head, sizeof head).append(payload);
  }

  bool container(PyObject* obj, bool list, std::size_t level) {
    if (level >= kMaxNesting) return refuse_too_deep();
    RecursionGuard guard;
    if (!guard.entered()) return false;
    const std::size_t count_at = bytes_.size() + 1;
    put_fixed(list ? wire::kArray : wire::kMap, std::uint32_t{0});
    std::size_t count;
    if (list) {
      if (!list_items(obj, level + 1, count)) return false;
    } else {
      if (!map_entries(obj, level + 1, count)) return false;
    }
    // More than a u32 can count makes the encoding too long anyway.
    store_u32(bytes_.data() + count_at, static_cast<std::uint32_t>(count));
    return true;
  }

  bool list_items(PyObject* list, std::size_t level, std::size_t& count) {
    // Re-read the length each step: finalisers run by conversions may shrink
    // the list.
    count = 0;
    for (Py_ssize_t i = 0; i < PyList_Size(list); ++i) {
      PyRef item = PyRef::borrow(PyList_GetItem(list, i));
      if (!item) return false;
      path_.push_back(Segment{{}, count});
      if (!value(item.get(), level)) return false;
      path_.pop_back();
      ++count;
    }
    return true;
  }

  bool map_entries(PyObject* dict, std::size_t level, std::size_t& count) {
    const std::size_t first = entries_.size();
    std::optional<KeySet> index;
    const bool walked = for_each_entry(dict, [&](std::string_view key_text, PyObject* item) {
      const std::size_t entry = entries_.size();
      entries_.push_back(Entry{bytes_.size(), key_text.size(), 0, 0, out_.links.size(), 0});
      append_string(bytes_, key_text);
      entries_[entry].value_at = bytes_.size();
      path_.push_back(Segment{key_text, 0});
      if (!value(item, level)) return false;
      path_.pop_back();
      entries_[entry].value_end = bytes_.size();
      entries_[entry].links_end = out_.links.size();
      if (auto earlier = find_earlier(first, entry, index)) replace(*earlier, entry);
      return true;
    });
    if (!walked) return false;
    count = entries_.size() - first;
    entries_.resize(first);
    return true;
  }

  // The entry before `entry` in its map with the same key, if any.
  std::optional<std::size_t> find_earlier(std::size_t first, std::size_t entry, std::optional<KeySet>& index) {
    if (!index && entry - first < kScanLimit) {
      const std::string_view key = key_of(entry);
      for (std::size_t other = first; other < entry; ++other) {
        if (key_of(other) == key) return other;
      }
      return std::nullopt;
    }
    if (!index) {
      index.emplace(2 * kScanLimit, KeyHash{this}, KeyEqual{this});
      for (std::size_t other = first; other < entry; ++other) index->insert(other);
    }
    auto [found, inserted] = index->insert(entry);
    if (inserted) return std::nullopt;
    return *found;
  }

  // Puts the value of the last entry, which repeats the key of `earlier`, in
  // place of the earlier value, and drops the last entry.
  void replace(std::size_t earlier, std::size_t last) {
    const Entry repeat = entries_[last];
    entries_.pop_back();
    Entry& kept = entries_[earlier];
    const std::string value = bytes_.substr(repeat.value_at);
    bytes_.resize(repeat.key_at);
    bytes_.replace(kept.value_at, kept.value_end - kept.value_at, value);
    std::vector<LinkRef>& links = out_.links;
    std::vector<LinkRef> value_links(std::make_move_iterator(links.begin() + static_cast<std::ptrdiff_t>(repeat.links_at)),
                                     std::make_move_iterator(links.end()));
    links.resize(repeat.links_at);
    const auto at = links.begin() + static_cast<std::ptrdiff_t>(kept.links_at);
    links.insert(links.erase(at, links.begin() + static_cast<std::ptrdiff_t>(kept.links_end)),
                 std::make_move_iterator(value_links.begin()), std::make_move_iterator(value_links.end()));
    // The entries after the kept one move with its new length (unsigned
    // wrap-around gives the right offsets when it shrank).
    const std::size_t byte_shift = value.size() - (kept.value_end - kept.value_at);
    const std::size_t link_shift = value_links.size() - (kept.links_end - kept.links_at);
    kept.value_end = kept.value_at + value.size();
    kept.links_end = kept.links_at + value_links.size();
    for (std::size_t e = earlier + 1; e < entries_.size(); ++e) {
      entries_[e].key_at += byte_shift;
      entries_[e].value_at += byte_shift;
      entries_[e].value_end += byte_shift;
      entries_[e].links_at += link_shift;
      entries_[e].links_end += link_shift;
    }
  }

  void link(const Link& link, std::size_t level) {
    out_.may_hold_links = true;
    if (EncodeStatus s = encode_link(link, level, bytes_); s != EncodeStatus::Ok && out_.status == EncodeStatus::Ok) {
      out_.status = s;
    }
    std::string path;
    for (const Segment& segment : path_) {
      if (&segment != path_.data()) path.push_back('/');
      if (segment.key.data() != nullptr) {
        path.append(segment.key);
      } else {
        char digits[24];
        auto res = std::to_chars(digits, digits + sizeof digits, segment.index);
        path.append(digits, res.ptr);
      }
    }
    collect_links(link, path, path_.empty(), out_.links);
  }

  EncodedWrite& out_;
  std::string& bytes_;
  std::vector<Segment>& path_;
  std::vector<Entry>& entries_;
};

}  // namespace

bool py_to_encoded(PyObject* obj, EncodedWrite& out) {
  out.bytes.clear();
  out.links.clear();
  out.status = EncodeStatus::Ok;
  out.may_hold_links = false;
  // A walk that failed half-way leaves its place behind.
  out.path.clear();
  out.entries.clear();
  return WriteEncoder(out).value(obj, 0);
}

bool py_dict_to_map_at(PyObject* dict, std::size_t level, TextMap& out) {
  TextMap map;
  map.reserve(static_cast<std::size_t>(std::max<Py_ssize_t>(PyDict_Size(dict), 0)));
  const bool walked = for_each_entry(dict, [&](std::string_view key_text, PyObject* item) {
    Value value;
    if (!convert(item, level, value)) return false;
    map.insert_or_assign(std::string(key_text), std::move(value));
    return true;
  });
  if (!walked) return false;
  out = std::move(map);
  return true;
}

namespace {

bool set_item(PyObject* dict, const std::string& key, Value&& value) {
  PyRef key_object = PyRef::steal(PyUnicode_FromStringAndSize(key.data(), static_cast<Py_ssize_t>(key.size())));
  if (!key_object) return false;
  PyRef item = PyRef::steal(value_to_py(std::move(value)));
  if (!item) return false;
  return PyDict_SetItem(dict, key_object.get(), item.get()) == 0;
}

struct ToPython {
  PyObject* operator()(Null&) { Py_RETURN_NONE; }
  PyObject* operator()(Tombstone&) { return new_tombstone(); }
  PyObject* operator()(bool b) { return PyBool_FromLong(b); }
  PyObject* operator()(std::int64_t i) { return PyLong_FromLongLong(i); }
  PyObject* operator()(double d) { return PyFloat_FromDouble(d); }
  PyObject* operator()(std::string& text) {
    return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
  }
  PyObject* operator()(Blob& blob) {
    return PyBytes_FromStringAndSize(blob.bytes.data(), static_cast<Py_ssize_t>(blob.bytes.size()));
  }
  PyObject* operator()(Date& d) { return PyLong_FromUnsignedLongLong(d.value); }
  PyObject* operator()(Time& t) { return PyLong_FromUnsignedLongLong(t.value); }
  PyObject* operator()(DateTime& d) { return PyLong_FromUnsignedLongLong(d.value); }
  PyObject* operator()(Array& array) {
    PyRef list = new_unfilled_list(array.size());
    if (!list) return nullptr;
    for (std::size_t i = 0; i < array.size(); ++i) {
      PyObject* item = value_to_py(std::move(array[i]));
      if (item == nullptr) return nullptr;
      PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), item);  // steals item
    }
    return filled(std::move(list));
  }
  PyObject* operator()(TextMap& map) {
    PyRef dict = PyRef::steal(PyDict_New());
    if (!dict) return nullptr;
    for (MapEntry& entry : map) {
      if (!set_item(dict.get(), entry.key, std::move(entry.value))) return nullptr;
    }
    return dict.release();
  }
  PyObject* operator()(Link& link) { return new_link(std::move(link)); }
};

}  // namespace

PyObject* value_to_py(Value&& value) {
  Value owned = std::move(value);
  return std::visit(ToPython{}, owned.data());
}

namespace {

// Builds Python objects for the decoder, as ToPython converts values.
struct PySink {
  using Item = PyRef;
  using List = PyRef;
  using Map = PyRef;

  static bool ok(const PyRef& object) noexcept { return static_cast<bool>(object); }

  static PyRef null() { return PyRef::borrow(Py_None); }
  static PyRef tombstone() { return PyRef::steal(new_tombstone()); }
  static PyRef boolean(bool b) { return PyRef::steal(PyBool_FromLong(b)); }
  static PyRef integer(std::int64_t i) { return PyRef::steal(PyLong_FromLongLong(i)); }
  static PyRef real(double d) { return PyRef::steal(PyFloat_FromDouble(d)); }
  static PyRef date(std::uint32_t v) { return PyRef::steal(PyLong_FromUnsignedLongLong(v)); }
  static PyRef time(std::uint32_t v) { return PyRef::steal(PyLong_FromUnsignedLongLong(v)); }
  static PyRef date_time(std::uint64_t v) { return PyRef::steal(PyLong_FromUnsignedLongLong(v)); }
  static PyRef text(std::string_view t) {
    return PyRef::steal(PyUnicode_FromStringAndSize(t.data(), static_cast<Py_ssize_t>(t.size())));
  }
  static PyRef blob(std::string_view b) {
    return PyRef::steal(PyBytes_FromStringAndSize(b.data(), static_cast<Py_ssize_t>(b.size())));
  }
  static PyRef link(std::string_view path, TextMap&& local) {
    return PyRef::steal(new_link(Link{std::string(path), std::move(local)}));
  }

  // The list is made with its final length when the encoding can hold that
  // many elements; an encoding that claims more fails before it ends.
  static PyRef list(std::size_t reserve) { return new_unfilled_list(reserve); }
  static bool append(PyRef& list, std::size_t index, PyRef&& item) {
    if (static_cast<Py_ssize_t>(index) < PyList_Size(list.get())) {
      return PyList_SetItem(list.get(), static_cast<Py_ssize_t>(index), item.release()) == 0;  // steals item
    }
    return PyList_Append(list.get(), item.get()) == 0;
  }
  // Lists come from list() and are hidden until now; maps are whole as made.
  static PyRef finish(PyRef&& container) {
    if (!PyList_Check(container.get())) return std::move(container);
    return PyRef::steal(filled(std::move(container)));
  }

  static PyRef map(std::size_t) { return PyRef::steal(PyDict_New()); }
  bool insert(PyRef& dict, std::string_view key, PyRef&& item) {
    PyRef key_object = keys.get(key);
    return key_object && PyDict_SetItem(dict.get(), key_object.get(), item.get()) == 0;
  }

  static PyRef failed() { return PyRef(); }

  KeyCache& keys;
};

}  // namespace

PyRef new_unfilled_list(std::size_t n) {
  PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(n)));
  if (list) PyObject_GC_UnTrack(list.get());
  return list;
}

PyObject* filled(PyRef&& list) {
  PyObject_GC_Track(list.get());
  return list.release();
}

PyRef KeyCache::get(std::string_view key) {
  if (key.size() > kMaxKeySize) return PySink::text(key);
  // Length and the two end bytes tell field names apart well enough.
  std::size_t h = key.size() * 31;
  if (!key.empty()) h += static_cast<unsigned char>(key.front()) * 7 + static_cast<unsigned char>(key.back());
  Slot& slot = slots_[h % kSlots];
  if (slot.object && equal_bytes(slot.bytes, key)) return PyRef::borrow(slot.object.get());
  PyRef object = PySink::text(key);
  if (!object) return object;
  // Making a str runs no Python code, so the slot is still ours to fill.
  slot.bytes.assign(key);
  slot.object = PyRef::borrow(object.get());
  return object;
}

std::expected<PyRef, CodecError> decode_to_py(std::string_view encoded, KeyCache& keys) {
  PySink sink{keys};
  std::size_t pos = 0;
  return decode_into(sink, encoded, pos);
}

PyObject* map_to_py(const TextMap& map) {
  PyRef dict = PyRef::steal(PyDict_New());
  if (!dict) return nullptr;
  for (const MapEntry& entry : map) {
    if (!set_item(dict.get(), entry.key, Value(entry.value))) return nullptr;
  }
  return dict.release();
}

std::size_t nesting_depth(const Value& value) {
  std::size_t deepest = 0;
  if (const Array* array = value.get_if<Array>()) {
    for (const Value& element : *array) deepest = std::max(deepest, nesting_depth(element));
  } else if (const TextMap* map = value.get_if<TextMap>()) {
    for (const MapEntry& entry : *map) deepest = std::max(deepest, nesting_depth(entry.value));
  } else if (const Link* link = value.get_if<Link>()) {
    for (const MapEntry& entry : link->local) deepest = std::max(deepest, nesting_depth(entry.value));
  } else {
    return 0;
  }
  return deepest + 1;
}

}  // namespace brindle::python

