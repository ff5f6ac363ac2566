// The one decoder of the value encoding (see codec.h for the format),
// parameterised by the sink that builds what it reads.
//
// The decoder owns every rule about the bytes: bounds, type bytes, UTF-8
// validation of texts and map keys, the nesting bound and the order errors
// are found in. A sink only builds: it is handed validated scalars and texts,
// and builds lists and maps element by element in encoding order. So every
// sink sees the same values and fails the same way on the same bytes.
//
// A sink provides:
//   Item, List, Map                  what it builds
//   ok(item) / ok(list) / ok(map)    false when building failed
//   null(), tombstone(), boolean(b), integer(i), real(d), date(v), time(v),
//   date_time(v), text(sv), blob(sv), link(path, TextMap&&)  -> Item
//   list(reserve) -> List; append(list, index, Item&&) -> bool; finish(List&&) -> Item
//   map(reserve) -> Map; insert(map, key, Item&&) -> bool; finish(Map&&) -> Item
//   failed() -> Item                 an item for which ok() is false
// A later entry of a map under a key already present replaces that entry's
// item and keeps its position. A link's local map is built as a TextMap
// whatever the sink (links hold their local fields as values), except with
// CheckSink, which builds nothing.
//
// A sink's failure ends the decode at once: the result is then a value for
// which ok() is false (the sink holds the reason), not a CodecError.
#pragma once

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>

#include "codec/codec.h"
#include "codec/framing.h"
#include "types/short_bytes.h"
#include "types/utf8.h"
#include "types/value.h"

namespace brindle {

// Builds Value trees.
struct ValueSink {
  using Item = Value;
  using List = Array;
  using Map = TextMap;

  static bool ok(const Value&) noexcept { return true; }
  static bool ok(const Array&) noexcept { return true; }
  static bool ok(const TextMap&) noexcept { return true; }

  static Value null() { return Value(); }
  static Value tombstone() { return Value(Tombstone{}); }
  static Value boolean(bool b) { return Value(b); }
  static Value integer(std::int64_t i) { return Value(i); }
  static Value real(double d) { return Value(d); }
  static Value date(std::uint32_t v) { return Value(Date{v}); }
  static Value time(std::uint32_t v) { return Value(Time{v}); }
  static Value date_time(std::uint64_t v) { return Value(DateTime{v}); }
  static Value text(std::string_view t) { return Value(std::string(t)); }
  static Value blob(std::string_view b) { return Value(Blob{std::string(b)}); }
  static Value link(std::string_view path, TextMap&& local) { return Value(Link{std::string(path), std::move(local)}); }

  static Array list(std::size_t reserve) {
    Array array;
    array.reserve(reserve);
    return array;
  }
  static bool append(Array& array, std::size_t, Value&& item) {
    array.push_back(std::move(item));
    return true;
  }
  static Value finish(Array&& array) { return Value(std::move(array)); }

  static TextMap map(std::size_t reserve) {
    TextMap map;
    map.reserve(reserve);
    return map;
  }
  static bool insert(TextMap& map, std::string_view key, Value&& item) {
    map.insert_or_assign(std::string(key), std::move(item));
    return true;
  }
  static Value finish(TextMap&& map) { return Value(std::move(map)); }

  static Value failed() { return Value(); }
};

// Builds nothing: decoding with it only checks the bytes.
struct CheckSink {
  struct Item {};
  using List = Item;
  using Map = Item;

  static bool ok(Item) noexcept { return true; }
  static Item null() noexcept { return {}; }
  static Item tombstone() noexcept { return {}; }
  static Item boolean(bool) noexcept { return {}; }
  static Item integer(std::int64_t) noexcept { return {}; }
  static Item real(double) noexcept { return {}; }
  static Item date(std::uint32_t) noexcept { return {}; }
  static Item time(std::uint32_t) noexcept { return {}; }
  static Item date_time(std::uint64_t) noexcept { return {}; }
  static Item text(std::string_view) noexcept { return {}; }
  static Item blob(std::string_view) noexcept { return {}; }
  static Item link(std::string_view, TextMap&&) noexcept { return {}; }
  static Item list(std::size_t) noexcept { return {}; }
  static bool append(Item, std::size_t, Item) noexcept { return true; }
  static Item map(std::size_t) noexcept { return {}; }
  static bool insert(Item, std::string_view, Item) noexcept { return true; }
  static Item finish(Item) noexcept { return {}; }
  static Item failed() noexcept { return {}; }
};

// Bounds-checked cursor over the input. `level` counts the containers that
// enclose the value being decoded.
template <class Sink>
class BasicDecoder {
 public:
  using Item = typename Sink::Item;
  using Map = typename Sink::Map;

  BasicDecoder(Sink& sink, std::string_view buf, std::size_t& pos)
      : sink_(sink), buf_(buf), pos_(pos), own_budget_(remaining()), unreserved_(own_budget_) {}
  // A decoder of a part of the same value, drawing on its room budget.
  BasicDecoder(Sink& sink, std::string_view buf, std::size_t& pos, std::size_t& unreserved)
      : sink_(sink), buf_(buf), pos_(pos), own_budget_(0), unreserved_(unreserved) {}

  std::expected<Item, CodecError> value(std::size_t level) {
    std::uint8_t type;
    if (!take(type)) return std::unexpected(CodecError::unexpected_end());
    if (type > kTombstoneTypeByte) return std::unexpected(CodecError::unknown_type(type));
    switch (type) {
      case kNull:
        return sink_.null();
      case kTombstoneTypeByte:
        return sink_.tombstone();
      case kBool: {
        std::uint8_t b;
        if (!take(b)) return std::unexpected(CodecError::unexpected_end());
        return sink_.boolean(b != 0);
      }
      case kInt: {
        std::int64_t i;
        if (!take(i)) return std::unexpected(CodecError::unexpected_end());
        return sink_.integer(i);
      }
      case kFloat: {
        std::uint64_t bits;
        if (!take(bits)) return std::unexpected(CodecError::unexpected_end());
        return sink_.real(std::bit_cast<double>(bits));
      }
      case kDate:
      case kTime: {
        std::uint32_t v;
        if (!take(v)) return std::unexpected(CodecError::unexpected_end());
        return type == kDate ? sink_.date(v) : sink_.time(v);
      }
      case kDateTime: {
        std::uint64_t v;
        if (!take(v)) return std::unexpected(CodecError::unexpected_end());
        return sink_.date_time(v);
      }
      case kText: {
        auto t = text();
        if (!t) return std::unexpected(t.error());
        return sink_.text(*t);
      }
      case kBlob: {
        auto bytes = sized_bytes();
        if (!bytes) return std::unexpected(bytes.error());
        return sink_.blob(*bytes);
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
        // Most links carry no local fields: a count of zero needs no map.
        if (remaining() >= 4 && load_le<std::uint32_t>(buf_.data() + pos_) == 0) {
          pos_ += 4;
          if constexpr (std::is_same_v<Sink, CheckSink>) return Item{};
          return sink_.link(*path, TextMap{});
        }
        if constexpr (std::is_same_v<Sink, CheckSink>) {
          // Nothing is built, so nothing needs the local map as values.
          auto local = map_body(level + 1);
          if (!local) return std::unexpected(local.error());
          return sink_.link(*path, TextMap{});
        } else {
          ValueSink values;
          auto local = BasicDecoder<ValueSink>(values, buf_, pos_, unreserved_).map_body(level + 1);
          if (!local) return std::unexpected(local.error());
          return sink_.link(*path, std::move(*local));
        }
      }
      case kArray: {
        std::uint32_t count;
        if (!take(count)) return std::unexpected(CodecError::unexpected_end());
        auto list = sink_.list(reserve(count, 1));
        if (!Sink::ok(list)) return sink_.failed();
        for (std::uint32_t i = 0; i < count; ++i) {
          auto element = value(level + 1);
          if (!element) return std::unexpected(element.error());
          if (!Sink::ok(*element)) return element;
          if (!sink_.append(list, i, std::move(*element))) return sink_.failed();
        }
        return sink_.finish(std::move(list));
      }
      case kMap: {
        auto map = map_body(level + 1);
        if (!map) return std::unexpected(map.error());
        if (!Sink::ok(*map)) return sink_.failed();
        return sink_.finish(std::move(*map));
      }
      default:
        return std::unexpected(CodecError::unknown_type(type));
    }
  }

  // When the value at the cursor is a map: reads it as value(level) would,
  // making the same checks in the same order with this decoder's sink, and
  // returns the bytes of the value of its last entry under `name` (empty
  // when it has none). nullopt, having read nothing, when it is no map.
  std::expected<std::optional<std::string_view>, CodecError> map_entry(std::string_view name, std::size_t level) {
    if (remaining() == 0 || static_cast<std::uint8_t>(buf_[pos_]) != kMap) return std::nullopt;
    if (level >= kMaxNesting) return std::unexpected(CodecError::too_deep());
    ++pos_;
    std::uint32_t count;
    if (!take(count)) return std::unexpected(CodecError::unexpected_end());
    std::string_view found;
    for (std::uint32_t i = 0; i < count; ++i) {
      auto key = text();
      if (!key) return std::unexpected(key.error());
      const std::size_t start = pos_;
      auto entry = value(level + 1);
      if (!entry) return std::unexpected(entry.error());
      if (equal_bytes(*key, name)) found = buf_.substr(start, pos_ - start);
    }
    return found;
  }

  // A map body (no type byte) whose entries sit `level` containers deep.
  std::expected<Map, CodecError> map_body(std::size_t level) {
    std::uint32_t count;
    if (!take(count)) return std::unexpected(CodecError::unexpected_end());
    // Every entry takes at least five bytes: a key length and a type byte.
    auto map = sink_.map(reserve(count, 5));
    if (!Sink::ok(map)) return map;
    for (std::uint32_t i = 0; i < count; ++i) {
      auto key = text();
      if (!key) return std::unexpected(key.error());
      auto entry = value(level);
      if (!entry) return std::unexpected(entry.error());
      if (!Sink::ok(*entry) || !sink_.insert(map, *key, std::move(*entry))) return Map{};
    }
    return map;
  }

 private:
  using enum wire::TypeByte;

  std::size_t remaining() const { return pos_ <= buf_.size() ? buf_.size() - pos_ : 0; }

  // Room to make for a container claiming `count` elements of at least
  // `smallest` bytes each. Every element has bytes of its own (its type
  // byte; an entry also its key length) that no other element of any
  // container shares, so the counts of a valid value add up to at most its
  // size: each container gets its exact count from a budget of the value's
  // bytes, while containers nested deep that all claim huge counts share
  // the budget instead of each sizing room from every remaining byte.
  std::size_t reserve(std::uint32_t count, std::size_t smallest) {
    const std::size_t room = std::min<std::size_t>(count, std::min(remaining(), unreserved_) / smallest);
    unreserved_ -= room * smallest;
    return room;
  }

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

  std::expected<std::string_view, CodecError> text() {
    auto bytes = sized_bytes();
    if (!bytes) return std::unexpected(bytes.error());
    if (!is_valid_utf8(*bytes)) return std::unexpected(CodecError::invalid_utf8());
    return *bytes;
  }

  Sink& sink_;
  std::string_view buf_;
  std::size_t& pos_;
  std::size_t own_budget_;
  std::size_t& unreserved_;  // own_budget_, or the enclosing decoder's
};

// Decodes one value from buf at pos into sink's objects and advances pos
// past it, as decode() does.
template <class Sink>
std::expected<typename Sink::Item, CodecError> decode_into(Sink& sink, std::string_view buf, std::size_t& pos) {
  return BasicDecoder<Sink>(sink, buf, pos).value(0);
}

}  // namespace brindle
