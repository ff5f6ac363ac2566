// Test support: short builders for values and for the raw bytes of the
// store's files, and readable gtest printing of the records tests compare.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <initializer_list>
#include <ostream>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>

#include "backlinks/backlink_index.h"
#include "backlinks/collect_links.h"
#include "codec/codec.h"
#include "types/debug_string.h"
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

// Bytes from hex digits, spaces ignored: hex("01 FF").
inline std::string hex(std::string_view text) {
  std::string digits, out;
  for (char c : text) {
    if (c != ' ') digits.push_back(c);
  }
  for (std::size_t i = 0; i + 1 < digits.size(); i += 2) {
    out.push_back(static_cast<char>(std::stoi(digits.substr(i, 2), nullptr, 16)));
  }
  return out;
}

// text as the files store strings: a u32 little-endian length, then the bytes.
inline std::string prefixed(std::string_view text) {
  const auto n = static_cast<std::uint32_t>(text.size());
  std::string out;
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<char>((n >> (8 * i)) & 0xff));
  out.append(text);
  return out;
}

inline std::string encoded(const Value& value) {
  std::string out;
  EXPECT_EQ(encode(value, out), EncodeStatus::Ok);
  return out;
}

// One data-file record: key and raw value bytes, or key and value.
inline std::string record(std::string_view key, const std::string& value_bytes) {
  return prefixed(key) + prefixed(value_bytes);
}
inline std::string record(std::string_view key, const Value& value) { return record(key, encoded(value)); }

// One backlink-index record (op 1 adds, 2 removes).
inline std::string index_record(int op, std::string_view key, const BacklinkEntry& e) {
  return std::string(1, static_cast<char>(op)) + prefixed(key) + prefixed(e.source_collection) +
         prefixed(e.source_key) + prefixed(e.source_path);
}

// What a result holds, as text: the debug form of a value, "ok" for any
// other success, or the text of the error. Tests compare it with one string.
template <class Result>
std::string shown(const Result& result) {
  if (!result) return result.error().to_string();
  if constexpr (std::is_same_v<typename Result::value_type, Value>) {
    return debug_string(*result);
  } else {
    return "ok";
  }
}

}  // namespace testing
}  // namespace brindle
