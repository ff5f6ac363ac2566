#include "codec/codec.h"

#include <algorithm>
#include <bit>
#include <optional>
#include <utility>

#include "codec/decoder.h"
#include "codec/framing.h"
#include "types/utf8.h"

namespace brindle {

std::string CodecError::to_string() const {
  switch (kind_) {
    case Kind::UnexpectedEnd:
      return "unexpected end of buffer";
    case Kind::UnknownType: {
      static constexpr char kHex[] = "0123456789ABCDEF";
      std::string text = "unknown type byte: 0x";
      text.push_back(kHex[type_byte_ >> 4]);
      text.push_back(kHex[type_byte_ & 0x0F]);
      return text;
    }
    case Kind::InvalidUtf8:
      return "invalid UTF-8 in text field";
    case Kind::TooDeep:
      return "value is nested too deeply";
  }
  return "unknown codec error";
}

namespace {

using enum wire::TypeByte;

using Status = EncodeStatus;

Status put_bytes(std::string& out, std::string_view bytes) {
  if (bytes.size() > kMaxLength) return Status::TooLong;
  append_string(out, bytes);
  return Status::Ok;
}

// `level` counts the containers enclosing the value, as the decoder does.
Status encode_value(const Value& value, std::size_t level, std::string& out);

Status encode_map_body(const TextMap& map, std::size_t level, std::string& out) {
  if (map.size() > kMaxLength) return Status::TooLong;
  append_le(out, static_cast<std::uint32_t>(map.size()));
  for (const MapEntry& entry : map) {
    if (Status s = put_bytes(out, entry.key); s != Status::Ok) return s;
    if (Status s = encode_value(entry.value, level, out); s != Status::Ok) return s;
  }
  return Status::Ok;
}

struct Encoder {
  std::string& out;
  std::size_t level;
  Status operator()(const Null&) {
    out.push_back(static_cast<char>(kNull));
    return Status::Ok;
  }
  Status operator()(const Tombstone&) {
    out.push_back(static_cast<char>(kTombstone));
    return Status::Ok;
  }
  Status operator()(bool b) {
    out.push_back(static_cast<char>(kBool));
    out.push_back(b ? '\x01' : '\x00');
    return Status::Ok;
  }
  Status operator()(std::int64_t i) {
    out.push_back(static_cast<char>(kInt));
    append_le(out, i);
    return Status::Ok;
  }
  Status operator()(double d) {
    out.push_back(static_cast<char>(kFloat));
    append_le(out, std::bit_cast<std::uint64_t>(d));
    return Status::Ok;
  }
  Status operator()(const std::string& text) {
    out.push_back(static_cast<char>(kText));
    return put_bytes(out, text);
  }
  Status operator()(const Blob& blob) {
    out.push_back(static_cast<char>(kBlob));
    return put_bytes(out, blob.bytes);
  }
  Status operator()(const Date& d) {
    out.push_back(static_cast<char>(kDate));
    append_le(out, d.value);
    return Status::Ok;
  }
  Status operator()(const Time& t) {
    out.push_back(static_cast<char>(kTime));
    append_le(out, t.value);
    return Status::Ok;
  }
  Status operator()(const DateTime& d) {
    out.push_back(static_cast<char>(kDateTime));
    append_le(out, d.value);
    return Status::Ok;
  }
  Status operator()(const Array& array) {
    if (level >= kMaxNesting) return Status::TooDeep;
    out.push_back(static_cast<char>(kArray));
    if (array.size() > kMaxLength) return Status::TooLong;
    append_le(out, static_cast<std::uint32_t>(array.size()));
    for (const Value& element : array) {
      if (Status s = encode_value(element, level + 1, out); s != Status::Ok) return s;
    }
    return Status::Ok;
  }
  Status operator()(const TextMap& map) {
    if (level >= kMaxNesting) return Status::TooDeep;
    out.push_back(static_cast<char>(kMap));
    return encode_map_body(map, level + 1, out);
  }
  Status operator()(const Link& link) {
    if (level >= kMaxNesting) return Status::TooDeep;
    out.push_back(static_cast<char>(kLink));
    if (Status s = put_bytes(out, link.path); s != Status::Ok) return s;
    return encode_map_body(link.local, level + 1, out);
  }
};

Status encode_value(const Value& value, std::size_t level, std::string& out) {
  return std::visit(Encoder{out, level}, value.data());
}

}  // namespace

EncodeStatus encode(const Value& value, std::string& out) { return encode_value(value, 0, out); }

EncodeStatus encode_link(const Link& link, std::size_t level, std::string& out) { return Encoder{out, level}(link); }

std::expected<Value, CodecError> decode(std::string_view buf, std::size_t& pos) {
  ValueSink sink;
  return decode_into(sink, buf, pos);
}

namespace {

// The text or the link path that checked bytes hold: a type byte, a u32
// length, that many bytes, and for a link a local map of no entries.
constexpr std::size_t kSized = 1 + sizeof(std::uint32_t);  // type byte, length
std::optional<std::string_view> checked_sized(std::string_view bytes, std::uint8_t type) {
  if (bytes.size() < kSized || static_cast<std::uint8_t>(bytes[0]) != type) return std::nullopt;
  const std::uint32_t length = load_u32(bytes.data() + 1);
  if (length > bytes.size() - kSized) return std::nullopt;
  const std::size_t rest = bytes.size() - kSized - length;
  const bool whole = type == kText ? rest == 0
                                   : rest == sizeof(std::uint32_t) && load_u32(bytes.data() + kSized + length) == 0;
  if (!whole) return std::nullopt;
  return bytes.substr(kSized, length);
}

// The value of bytes that hold one text, or one link without local fields,
// and that the decoder has checked already: the ends of most resolved paths,
// built without a second pass. Anything else is left to the decoder.
std::optional<Value> build_checked_text_or_plain_link(std::string_view bytes) {
  if (auto text = checked_sized(bytes, kText)) return Value(std::string(*text));
  if (auto path = checked_sized(bytes, kLink)) return Value(Link{std::string(*path), TextMap{}});
  return std::nullopt;
}

}  // namespace

std::expected<std::optional<std::string_view>, CodecError> check_map_entry(std::string_view buf,
                                                                           std::string_view name) {
  CheckSink check;
  std::size_t pos = 0;
  return BasicDecoder<CheckSink>(check, buf, pos).map_entry(name, 0);
}

std::optional<std::string_view> plain_link_path(std::string_view checked_entry) {
  return checked_sized(checked_entry, kLink);
}

std::expected<Value, CodecError> build_map_entry(std::string_view checked_entry) {
  if (checked_entry.empty()) return Value();
  if (auto built = build_checked_text_or_plain_link(checked_entry)) return std::move(*built);
  std::size_t at = 0;
  return decode(checked_entry, at);
}

std::expected<std::optional<Value>, CodecError> decode_map_entry(std::string_view buf, std::string_view name) {
  auto entry = check_map_entry(buf, name);
  if (!entry) return std::unexpected(entry.error());
  if (!*entry) return std::nullopt;
  auto value = build_map_entry(**entry);
  if (!value) return std::unexpected(value.error());
  return std::move(*value);
}

std::expected<TextMap, CodecError> decode_map(std::string_view buf, std::size_t& pos) {
  ValueSink sink;
  return BasicDecoder<ValueSink>(sink, buf, pos).map_body(1);
}

}  // namespace brindle
