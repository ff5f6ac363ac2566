#include "types/utf8.h"

#include <cstring>

namespace brindle {

namespace {

// Length of the well-formed sequence at p (at most n bytes available), or 0.
std::size_t sequence_length(const unsigned char* p, std::size_t n) noexcept {
  unsigned char b0 = p[0];
  if (b0 < 0x80) return 1;
  if (b0 < 0xC2) return 0;
  auto cont = [&](std::size_t i) { return i < n && (p[i] & 0xC0) == 0x80; };
  if (b0 < 0xE0) return cont(1) ? 2 : 0;
  if (b0 < 0xF0) {
    if (n < 2) return 0;
    unsigned char b1 = p[1];
    if (b0 == 0xE0 && b1 < 0xA0) return 0;  // overlong
    if (b0 == 0xED && b1 >= 0xA0) return 0;  // surrogate
    return cont(1) && cont(2) ? 3 : 0;
  }
  if (b0 < 0xF5) {
    if (n < 2) return 0;
    unsigned char b1 = p[1];
    if (b0 == 0xF0 && b1 < 0x90) return 0;  // overlong
    if (b0 == 0xF4 && b1 >= 0x90) return 0;  // past U+10FFFF
    return cont(1) && cont(2) && cont(3) ? 4 : 0;
  }
  return 0;
}

}  // namespace

bool is_valid_utf8_general(std::string_view bytes) noexcept {
  const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
  std::size_t n = bytes.size();
  std::size_t i = 0;
  while (i < n) {
    // Fast path over ASCII, eight bytes at a time.
    while (i + 8 <= n) {
      std::uint64_t chunk;
      std::memcpy(&chunk, p + i, 8);
      if (chunk & 0x8080808080808080ULL) break;
      i += 8;
    }
    if (i >= n) break;
    // Short keys and names end in an ASCII tail shorter than a chunk.
    if (p[i] < 0x80) {
      ++i;
      continue;
    }
    std::size_t len = sequence_length(p + i, n - i);
    if (len == 0) return false;
    i += len;
  }
  return true;
}

char32_t next_code_point(std::string_view bytes, std::size_t& pos) noexcept {
  const auto* p = reinterpret_cast<const unsigned char*>(bytes.data()) + pos;
  std::size_t len = sequence_length(p, bytes.size() - pos);
  char32_t cp;
  switch (len) {
    case 1:
      cp = p[0];
      break;
    case 2:
      cp = (char32_t(p[0] & 0x1F) << 6) | (p[1] & 0x3F);
      break;
    case 3:
      cp = (char32_t(p[0] & 0x0F) << 12) | (char32_t(p[1] & 0x3F) << 6) | (p[2] & 0x3F);
      break;
    case 4:
      cp = (char32_t(p[0] & 0x07) << 18) | (char32_t(p[1] & 0x3F) << 12) |
           (char32_t(p[2] & 0x3F) << 6) | (p[3] & 0x3F);
      break;
    default:
      pos += 1;
      return U'\uFFFD';
  }
  pos += len;
  return cp;
}

}  // namespace brindle
