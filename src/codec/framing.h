// The framing every byte format of the store is built from: little-endian
// fixed-width numbers and length-prefixed strings (a u32 byte count, then the
// bytes, no terminator). Values, data-file records and backlink records all
// use it, so it lives here, below each of them.
//
// The store is little-endian on disk and copies numbers as they lie in memory.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>
#include <string_view>
#include <type_traits>

namespace brindle {

static_assert(std::endian::native == std::endian::little,
              "the formats are little-endian and numbers are copied as they lie in memory");

// The largest length or count a u32 field can carry.
inline constexpr std::uint64_t kMaxLength = std::numeric_limits<std::uint32_t>::max();

// Reads a T from the sizeof(T) bytes at p (no alignment needed).
template <class T>
  requires std::is_trivially_copyable_v<T>
T load_le(const char* p) noexcept {
  T v;
  std::memcpy(&v, p, sizeof(T));
  return v;
}

inline std::uint32_t load_u32(const char* p) noexcept { return load_le<std::uint32_t>(p); }

inline void store_u32(char* p, std::uint32_t v) noexcept { std::memcpy(p, &v, sizeof v); }

template <class T>
  requires std::is_trivially_copyable_v<T>
void append_le(std::string& out, T v) {
  char bytes[sizeof(T)];
  std::memcpy(bytes, &v, sizeof(T));
  out.append(bytes, sizeof(T));
}

// Appends a length-prefixed string. *bytes.size() must not exceed kMaxLength;
// callers check before they start a record, so nothing is half-written.
inline void append_string(std::string& out, std::string_view bytes) {
  append_le(out, static_cast<std::uint32_t>(bytes.size()));
  out.append(bytes);
}

}  // namespace brindle
