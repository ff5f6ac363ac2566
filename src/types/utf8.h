// UTF-8 validation and decoding, strict: overlong forms, surrogates and code
// points past U+10FFFF are invalid.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace brindle {

bool is_valid_utf8(std::string_view bytes) noexcept;

// Decodes the code point starting at bytes[pos] and advances pos past it.
// Invalid input yields U+FFFD and advances by one byte.
char32_t next_code_point(std::string_view bytes, std::size_t& pos) noexcept;

}  // namespace brindle
