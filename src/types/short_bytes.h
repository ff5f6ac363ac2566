// Copying and comparing byte strings that are mostly short (keys, paths).
//
// A call into the C library's memcpy or memcmp costs more than the work for
// a key of a few bytes. Up to 16 bytes, these read the bytes with two loads
// that overlap in the middle, which covers every byte without reading past
// either end; longer strings go to the library.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace brindle {

// Copies n bytes from src to dst; the ranges must not overlap.
inline void copy_bytes(char* dst, const char* src, std::size_t n) noexcept {
  if (n >= 8 && n <= 16) {
    std::uint64_t first, last;
    std::memcpy(&first, src, 8);
    std::memcpy(&last, src + n - 8, 8);
    std::memcpy(dst, &first, 8);
    std::memcpy(dst + n - 8, &last, 8);
  } else if (n >= 4 && n < 8) {
    std::uint32_t first, last;
    std::memcpy(&first, src, 4);
    std::memcpy(&last, src + n - 4, 4);
    std::memcpy(dst, &first, 4);
    std::memcpy(dst + n - 4, &last, 4);
  } else if (n > 16) {
    std::memcpy(dst, src, n);
  } else {
    for (std::size_t i = 0; i < n; ++i) dst[i] = src[i];
  }
}

// Whether the n bytes at a and b are equal.
inline bool equal_bytes(const char* a, const char* b, std::size_t n) noexcept {
  if (n >= 8 && n <= 16) {
    std::uint64_t a1, a2, b1, b2;
    std::memcpy(&a1, a, 8);
    std::memcpy(&a2, a + n - 8, 8);
    std::memcpy(&b1, b, 8);
    std::memcpy(&b2, b + n - 8, 8);
    return ((a1 ^ b1) | (a2 ^ b2)) == 0;
  }
  if (n >= 4 && n < 8) {
    std::uint32_t a1, a2, b1, b2;
    std::memcpy(&a1, a, 4);
    std::memcpy(&a2, a + n - 4, 4);
    std::memcpy(&b1, b, 4);
    std::memcpy(&b2, b + n - 4, 4);
    return ((a1 ^ b1) | (a2 ^ b2)) == 0;
  }
  if (n > 16) return std::memcmp(a, b, n) == 0;
  for (std::size_t i = 0; i < n; ++i) {
    if (a[i] != b[i]) return false;
  }
  return true;
}

inline bool equal_bytes(std::string_view a, std::string_view b) noexcept {
  return a.size() == b.size() && equal_bytes(a.data(), b.data(), a.size());
}

}  // namespace brindle
