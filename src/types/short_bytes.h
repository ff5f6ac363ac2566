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

namespace short_bytes {

// The first and the last Word of n bytes, sizeof(Word) <= n <= 2 * sizeof(Word).
template <class Word>
struct Ends {
  Word first;
  Word last;
};

template <class Word>
inline Ends<Word> ends(const char* p, std::size_t n) noexcept {
  Ends<Word> e;
  std::memcpy(&e.first, p, sizeof(Word));
  std::memcpy(&e.last, p + n - sizeof(Word), sizeof(Word));
  return e;
}

template <class Word>
inline void copy(char* dst, const char* src, std::size_t n) noexcept {
  const Ends<Word> e = ends<Word>(src, n);
  std::memcpy(dst, &e.first, sizeof(Word));
  std::memcpy(dst + n - sizeof(Word), &e.last, sizeof(Word));
}

template <class Word>
inline bool equal(const char* a, const char* b, std::size_t n) noexcept {
  const Ends<Word> x = ends<Word>(a, n);
  const Ends<Word> y = ends<Word>(b, n);
  return ((x.first ^ y.first) | (x.last ^ y.last)) == 0;
}

}  // namespace short_bytes

// Copies n bytes from src to dst; the ranges must not overlap.
inline void copy_bytes(char* dst, const char* src, std::size_t n) noexcept {
  if (n >= 8 && n <= 16) {
    short_bytes::copy<std::uint64_t>(dst, src, n);
  } else if (n >= 4 && n < 8) {
    short_bytes::copy<std::uint32_t>(dst, src, n);
  } else if (n > 16) {
    std::memcpy(dst, src, n);
  } else {
    for (std::size_t i = 0; i < n; ++i) dst[i] = src[i];
  }
}

// Whether the n bytes at a and b are equal.
inline bool equal_bytes(const char* a, const char* b, std::size_t n) noexcept {
  if (n >= 8 && n <= 16) return short_bytes::equal<std::uint64_t>(a, b, n);
  if (n >= 4 && n < 8) return short_bytes::equal<std::uint32_t>(a, b, n);
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
