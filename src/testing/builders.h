// Test support: short builders for values, and readable gtest printing of
// the records the tests compare.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <ostream>
#include <string>
#include <string_view>
#include <utility>

#include "backlinks/backlink_index.h"
#include "backlinks/link_ref.h"
#include "types/value.h"

namespace brindle {

inline void PrintTo(const BacklinkEntry& e, std::ostream* os) {
  *os << "(" << e.source_collection << ", " << e.source_key << ", " << e.source_path << ")";
}

inline void PrintTo(const LinkRef& r, std::ostream* os) {
  *os << "(" << r.target_collection << ", " << r.target_key << ", " << r.source_path << ")";
}

namespace testing {

using Fields = std::initializer_list<std::pair<const char*, Value>>;

inline Value link(std::string path, Fields local = {}) {
  Link l{std::move(path), {}};
  for (const auto& [key, value] : local) l.local.insert_or_assign(key, value);
  return Value(std::move(l));
}

inline Value map(Fields fields) {
  TextMap m;
  for (const auto& [key, value] : fields) m.insert_or_assign(key, value);
  return Value(std::move(m));
}

inline Value array(std::initializer_list<Value> elements) { return Value(Array(elements)); }

// text as the files store strings: a u32 little-endian length, then the bytes.
inline std::string prefixed(std::string_view text) {
  const auto n = static_cast<std::uint32_t>(text.size());
  std::string out;
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<char>((n >> (8 * i)) & 0xff));
  out.append(text);
  return out;
}

}  // namespace testing
}  // namespace brindle
