// Varints for bytes this process wrote itself, in memory: 7-bit groups, low
// first, the top bit marking that more follow. The reader checks no bounds,
// so it must never be given bytes from a file or a caller.
#pragma once

#include <cstddef>
#include <cstdint>

namespace brindle {

inline constexpr std::size_t kMaxVarintSize = 10;  // of a 64-bit value

// Writes v at p; returns the end.
inline char* put_varint(char* p, std::uint64_t v) noexcept {
  while (v >= 0x80) {
    *p++ = static_cast<char>(v | 0x80);
    v >>= 7;
  }
  *p++ = static_cast<char>(v);
  return p;
}

// Reads the varint at p[at] that put_varint wrote; moves at past it.
inline std::uint64_t get_varint(const char* p, std::size_t& at) noexcept {
  std::uint64_t v = 0;
  for (int shift = 0;; shift += 7) {
    const auto byte = static_cast<std::uint8_t>(p[at++]);
    v |= std::uint64_t{byte & 0x7fu} << shift;
    if (byte < 0x80) return v;
  }
}

}  // namespace brindle
