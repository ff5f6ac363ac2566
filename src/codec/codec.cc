#include "codec/codec.h"

#include <algorithm>
#include <bit>
#include <utility>

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

// The type byte that announces each variant on the wire (not the order of
// the variants in Value).
enum TypeByte : std::uint8_t {
  kNull = 0, kBool = 1, kInt = 2, kFloat = 3, kText = 4, kLink = 5, kBlob = 6,
  kArray = 7, kMap = 8, kDate = 9, kTime = 10, kDateTime = 11, kTombstone = kTombstoneTypeByte,
};

// Tombstone has the highest type byte: the decoder refuses every byte above
// it as unknown before it looks at the type.
static_assert(std::max({kNull, kBool, kInt, kFloat, kText, kLink, kBlob, kArray, kMap, kDate, kTime, kDateTime}) <
              kTombstone);

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

// Bounds-checked cursor over the input. `level` counts the containers that
// enclose the value being decoded.
class Decoder {
 public:
  Decoder(std::string_view buf, std::size_t& pos) : buf_(buf), pos_(pos) {}

  std::expected<Value, CodecError> value(std::size_t level);
  std::expected<TextMap, CodecError> map_body(std::size_t level);

 private:
  std::size_t remaining() const { return pos_ <= buf_.size() ? buf_.size() - pos_ : 0; }

  template <class T>
  bool take(T& out) {
    if (remaining() < sizeof(T)) return false;
    out = load_le<T>(buf_.data() + pos_);
    pos_ += sizeof(T);
    return true;
  }

  // Reads a u32 length and then that many bytes.
  std::expected<std::string_view, CodecError> sized_bytes() {
    std::uint32_t n;
    if (!take(n) || remaining() < n) return std::unexpected(CodecError::unexpected_end());
    std::string_view bytes = buf_.substr(pos_, n);
    pos_ += n;
    return bytes;
  }

  std::expected<std::string, CodecError> text() {
    auto bytes = sized_bytes();
    if (!bytes) return std::unexpected(bytes.error());
    if (!is_valid_utf8(*bytes)) return std::unexpected(CodecError::invalid_utf8());
    return std::string(*bytes);
  }

  template <class T, class Wrap>
  std::expected<Value, CodecError> fixed(Wrap wrap) {
    T raw;
    if (!take(raw)) return std::unexpected(CodecError::unexpected_end());
    return Value(wrap(raw));
  }

  std::string_view buf_;
  std::size_t& pos_;
};

std::expected<Value, CodecError> Decoder::value(std::size_t level) {
  std::uint8_t type;
  if (!take(type)) return std::unexpected(CodecError::unexpected_end());
  if (type > kTombstone) return std::unexpected(CodecError::unknown_type(type));
  switch (type) {
    case kNull:
      return Value();
    case kTombstone:
      return Value(Tombstone{});
    case kBool:
      return fixed<std::uint8_t>([](std::uint8_t b) { return b != 0; });
    case kInt:
      return fixed<std::int64_t>([](std::int64_t i) { return i; });
    case kFloat:
      return fixed<std::uint64_t>([](std::uint64_t bits) { return std::bit_cast<double>(bits); });
    case kDate:
      return fixed<std::uint32_t>([](std::uint32_t v) { return Date{v}; });
    case kTime:
      return fixed<std::uint32_t>([](std::uint32_t v) { return Time{v}; });
    case kDateTime:
      return fixed<std::uint64_t>([](std::uint64_t v) { return DateTime{v}; });
    case kText: {
      auto t = text();
      if (!t) return std::unexpected(t.error());
      return Value(std::move(*t));
    }
    case kBlob: {
      auto bytes = sized_bytes();
      if (!bytes) return std::unexpected(bytes.error());
      return Value(Blob{std::string(*bytes)});
    }
    default:
      break;
  }
  // Containers from here on.
  if (level >= kMaxNesting) return std::unexpected(CodecError::too_deep());
  switch (type) {
    case kLink: {
      auto path = text();
      if (!path) return std::unexpected(path.error());
      auto local = map_body(level + 1);
      if (!local) return std::unexpected(local.error());
      return Value(Link{std::move(*path), std::move(*local)});
    }
    case kArray: {
      std::uint32_t count;
      if (!take(count)) return std::unexpected(CodecError::unexpected_end());
      Array array;
      // Every element takes at least one byte.
      array.reserve(std::min<std::size_t>(count, remaining()));
      for (std::uint32_t i = 0; i < count; ++i) {
        auto element = value(level + 1);
        if (!element) return std::unexpected(element.error());
        array.push_back(std::move(*element));
      }
      return Value(std::move(array));
    }
    case kMap: {
      auto map = map_body(level + 1);
      if (!map) return std::unexpected(map.error());
      return Value(std::move(*map));
    }
    default:
      return std::unexpected(CodecError::unknown_type(type));
  }
}

std::expected<TextMap, CodecError> Decoder::map_body(std::size_t level) {
  std::uint32_t count;
  if (!take(count)) return std::unexpected(CodecError::unexpected_end());
  TextMap map;
  // Every entry takes at least five bytes: a key length and a type byte.
  map.reserve(std::min<std::size_t>(count, remaining() / 5));
  for (std::uint32_t i = 0; i < count; ++i) {
    auto key = text();
    if (!key) return std::unexpected(key.error());
    auto entry = value(level);
    if (!entry) return std::unexpected(entry.error());
    map.insert_or_assign(std::move(*key), std::move(*entry));
  }
  return map;
}

}  // namespace

EncodeStatus encode(const Value& value, std::string& out) { return encode_value(value, 0, out); }

std::expected<Value, CodecError> decode(std::string_view buf, std::size_t& pos) {
  return Decoder(buf, pos).value(0);
}

std::expected<TextMap, CodecError> decode_map(std::string_view buf, std::size_t& pos) {
  return Decoder(buf, pos).map_body(1);
}

}  // namespace brindle
