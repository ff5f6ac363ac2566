// UTF-8 validation and decoding, strict: overlong forms, surrogates and code
// points past U+10FFFF are invalid.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace brindle {

bool is_valid_utf8_general(std::string_view bytes) noexcept;

// Keys, names and paths are mostly short and ASCII: those are settled here,
// inline, without a call.
inline bool is_valid_utf8(std::string_view bytes) noexcept {
  if (bytes.size() <= 16) {
    unsigned char high = 0;
    for (char c : bytes) high |= static_cast<unsigned char>(c);
    if (high < 0x80) return true;
  }
  return is_valid_utf8_general(bytes);
}

// Decodes the code point starting at bytes[pos] and advances pos past it.
// Invalid input yields U+FFFD and advances by one byte.
char32_t next_code_point(std::string_view bytes, std::size_t& pos) noexcept;

}  // namespace brindle
