// The binary encoding of values.
//
// A value is one type byte followed by the variant's body; numbers are
// little-endian, lengths and counts unsigned 32-bit. There is no header,
// version or checksum, and an encoding does not record its own length:
//
//   0 Null, 12 Tombstone      no body
//   1 Bool                    1 byte (any non-zero byte reads as true)
//   2 Int, 3 Float            8 bytes (Float: the binary64 bit pattern)
//   9 Date, 10 Time           4 bytes unsigned;  11 DateTime: 8 bytes unsigned
//   4 Text, 6 Blob            u32 length, bytes (Text must be UTF-8)
//   5 Link                    u32 length, path bytes, then a map body
//   7 Array                   u32 count, then that many encodings
//   8 Map                     a map body: u32 count, then per entry a u32 key
//                             length, key bytes (UTF-8) and one encoding
//
// Maps are written in insertion order. The codec is pure: it works on byte
// buffers and keeps no state between calls. The decoder treats its input as
// hostile: it never reserves more room than the remaining bytes could fill and
// refuses containers nested more than kMaxNesting deep.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>

#include "types/value.h"

namespace brindle {

class CodecError {
 public:
  enum class Kind : std::uint8_t { UnexpectedEnd, UnknownType, InvalidUtf8, TooDeep };

  static CodecError unexpected_end() { return CodecError(Kind::UnexpectedEnd, 0); }
  static CodecError unknown_type(std::uint8_t byte) { return CodecError(Kind::UnknownType, byte); }
  static CodecError invalid_utf8() { return CodecError(Kind::InvalidUtf8, 0); }
  static CodecError too_deep() { return CodecError(Kind::TooDeep, 0); }

  Kind kind() const noexcept { return kind_; }
  // The offending byte of an UnknownType error.
  std::uint8_t type_byte() const noexcept { return type_byte_; }
  std::string to_string() const;

 private:
  CodecError(Kind kind, std::uint8_t byte) : kind_(kind), type_byte_(byte) {}
  Kind kind_;
  std::uint8_t type_byte_;
};

// The type byte that announces each variant on the wire (not the order of
// the variants in Value). Tombstone has the highest: the decoder refuses
// every byte above it as unknown before it looks at the type.
namespace wire {
enum TypeByte : std::uint8_t {
  kNull = 0, kBool = 1, kInt = 2, kFloat = 3, kText = 4, kLink = 5, kBlob = 6,
  kArray = 7, kMap = 8, kDate = 9, kTime = 10, kDateTime = 11, kTombstone = 12,
};
static_assert(kTombstone > kNull && kTombstone > kBool && kTombstone > kInt && kTombstone > kFloat &&
              kTombstone > kText && kTombstone > kLink && kTombstone > kBlob && kTombstone > kArray &&
              kTombstone > kMap && kTombstone > kDate && kTombstone > kTime && kTombstone > kDateTime);
}  // namespace wire

inline constexpr std::uint8_t kTombstoneTypeByte = wire::kTombstone;

enum class EncodeStatus : std::uint8_t {
  Ok,
  TooLong,  // a length or count does not fit in 32 bits
  TooDeep,  // containers nest more than kMaxNesting deep: decode would refuse it
};

// Appends the encoding of value to out. On any status but Ok, out holds a
// partial encoding the caller must discard.
[[nodiscard]] EncodeStatus encode(const Value& value, std::string& out);

// Appends the encoding of link as encode() writes it for a link that sits
// `level` containers deep in the value being encoded (0: the link is the
// value), for writers that encode the rest of the value themselves.
[[nodiscard]] EncodeStatus encode_link(const Link& link, std::size_t level, std::string& out);

// Decodes one value from buf starting at pos and advances pos past it. Bytes
// after the value are left alone. After an error pos is unspecified.
std::expected<Value, CodecError> decode(std::string_view buf, std::size_t& pos);

// For the value in buf when it is a map: decodes only the value of its entry
// `name` (Null when it has none) after checking the whole value as decode()
// does, so the same bytes fail with the same error. nullopt when the value is
// not a map (decode it whole).
std::expected<std::optional<Value>, CodecError> decode_map_entry(std::string_view buf, std::string_view name);
// decode_map_entry in two steps, for callers that look at the entry's bytes
// first. check_map_entry checks as decode_map_entry does and gives the
// bytes of the entry (empty when the map has none); build_map_entry makes
// the value of such bytes (Null for none).
std::expected<std::optional<std::string_view>, CodecError> check_map_entry(std::string_view buf,
                                                                           std::string_view name);
std::expected<Value, CodecError> build_map_entry(std::string_view checked_entry);
// The path of a link without local fields, when the bytes check_map_entry
// gave hold one.
std::optional<std::string_view> plain_link_path(std::string_view checked_entry);

// Decodes one map body (no type byte) the same way.
std::expected<TextMap, CodecError> decode_map(std::string_view buf, std::size_t& pos);

}  // namespace brindle
