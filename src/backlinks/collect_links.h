// Finding the links inside a value.
#pragma once

#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "types/value.h"

namespace brindle {

// A link found in a value: the record it points at, and where in the
// scanned value it sits (segments joined with "/": map keys, link-local keys
// and decimal array indices; empty for a link that is the value itself).
struct LinkRef {
  std::string target_collection;
  std::string target_key;
  std::string source_path;

  bool operator==(const LinkRef&) const = default;
};

// Appends every indexable link of value to out, depth-first in pre-order (a
// link before the links in its local map; array elements in index order; map
// entries in map order). `segments` lead to value inside its record.
//
// A link is indexed when its path has a "/", a non-empty collection piece
// before the first "/", and a key piece (up to the next "/") that does not
// start with "$"; pieces after the key are ignored here. The local maps of
// links are scanned whether or not the link itself is indexed.
void collect_links(const Value& value, std::span<const std::string> segments, std::vector<LinkRef>& out);

// The same for a value that is link, for writers that walk the rest of the
// value themselves. `path` is the source path of the link itself (the
// segments leading to it, joined as above) and `root` tells whether there are
// none: a path of one empty key is "" too, but the links in its local map
// then start with "/".
void collect_links(const Link& link, std::string_view path, bool root, std::vector<LinkRef>& out);

}  // namespace brindle
