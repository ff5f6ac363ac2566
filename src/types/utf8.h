// UTF-8 validation and decoding, strict: overlong forms, surrogates and code
// points past U+10FFFF are invalid.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace brindle {

bool is_valid_utf8_general(std::string_view bytes) noexcept;

// Keys, names and paths are mostly short and ASCII: those are settled here,
// inline, without a call.
inline bool is_valid_utf8(std::string_view bytes) noexcept {
  const char* p = bytes.data();
  const std::size_t n = bytes.size();
  // Two loads that overlap in the middle cover every byte.
  if (n >= 8 && n <= 16) {
    std::uint64_t first, last;
    std::memcpy(&first, p, 8);
    std::memcpy(&last, p + n - 8, 8);
    if (((first | last) & 0x8080808080808080ULL) == 0) return true;
  } else if (n >= 4 && n < 8) {
    std::uint32_t first, last;
    std::memcpy(&first, p, 4);
    std::memcpy(&last, p + n - 4, 4);
    if (((first | last) & 0x80808080U) == 0) return true;
  } else if (n < 4) {
    unsigned char high = 0;
    for (std::size_t i = 0; i < n; ++i) high |= static_cast<unsigned char>(p[i]);
    if (high < 0x80) return true;
  }
  return is_valid_utf8_general(bytes);
}

// Decodes the code point starting at bytes[pos] and advances pos past it.
// Invalid input yields U+FFFD and advances by one byte.
char32_t next_code_point(std::string_view bytes, std::size_t& pos) noexcept;

}  // namespace brindle
