// The value model: every record holds exactly one Value.
//
// A Value is a tagged union of thirteen variants. It owns its payload
// recursively (no sharing between values), copies deeply, and is never
// compared by the store. Maps (TextMap) keep insertion order, so encoding is
// deterministic and a Python dict round-trips in its own order.
//
// Nesting is bounded by kMaxNesting: the decoder refuses deeper input and the
// Python conversion refuses deeper objects, so whatever is stored can be read
// back and every recursive walk over a value has a bounded depth.
#pragma once

#include <concepts>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

namespace brindle {

// Containers (arrays, maps, links) that may enclose one another. A value
// whose containers nest more deeply than this is refused on the way in.
inline constexpr std::size_t kMaxNesting = 256;

class Value;
struct MapEntry;

// Insertion-ordered map from UTF-8 text keys to values. Small maps are a
// plain vector scanned linearly; once a map grows past kIndexThreshold a hash
// index over the entries (seeded randomly per process, so hostile keys cannot
// force collisions) keeps lookups constant-time.
class TextMap {
 public:
  static constexpr std::size_t kIndexThreshold = 8;

  TextMap() noexcept;  // defaulted below, once MapEntry is complete
  TextMap(const TextMap&);
  TextMap(TextMap&&) noexcept;
  TextMap& operator=(const TextMap&);
  TextMap& operator=(TextMap&&) noexcept;
  ~TextMap();

  std::size_t size() const noexcept;
  bool empty() const noexcept;
  void reserve(std::size_t n);

  const Value* find(std::string_view key) const noexcept;
  Value* find(std::string_view key) noexcept;

  // Adds the entry at the end, or replaces the value of an existing key in
  // place (the key keeps its first position).
  void insert_or_assign(std::string key, Value value);

  const MapEntry* begin() const noexcept;
  const MapEntry* end() const noexcept;
  MapEntry* begin() noexcept;
  MapEntry* end() noexcept;

 private:
  std::ptrdiff_t find_index(std::string_view key) const noexcept;
  void rebuild_index();
  void index_insert(std::uint32_t entry);

  std::vector<MapEntry> entries_;
  // Open-addressing table of entry positions plus one (0 marks a free slot);
  // empty while the map is small.
  std::vector<std::uint32_t> slots_;
};

struct Null {};
struct Tombstone {};
struct Blob {
  std::string bytes;
};
struct Date {
  std::uint32_t value;
};
struct Time {
  std::uint32_t value;
};
struct DateTime {
  std::uint64_t value;
};
using Array = std::vector<Value>;

struct Link {
  std::string path;
  TextMap local;
};

// Variant order; the numbering is the index into Value::Variant.
enum class Kind : std::uint8_t {
  Null,
  Tombstone,
  Bool,
  Int,
  Float,
  Text,
  Blob,
  Date,
  Time,
  DateTime,
  Array,
  Map,
  Link,
};

class Value {
 public:
  using Variant = std::variant<Null, Tombstone, bool, std::int64_t, double, std::string, Blob, Date,
                               Time, DateTime, Array, TextMap, Link>;

  Value() = default;
  Value(Null) {}
  Value(Tombstone t) : data_(t) {}
  template <class B>
    requires std::same_as<B, bool>
  Value(B b) : data_(b) {}
  template <std::integral I>
    requires(!std::same_as<I, bool>)
  Value(I i) : data_(static_cast<std::int64_t>(i)) {}
  template <std::floating_point F>
  Value(F f) : data_(static_cast<double>(f)) {}
  Value(std::string text) : data_(std::move(text)) {}
  Value(std::string_view text) : data_(std::string(text)) {}
  Value(const char* text) : data_(std::string(text)) {}
  Value(Blob b) : data_(std::move(b)) {}
  Value(Date d) : data_(d) {}
  Value(Time t) : data_(t) {}
  Value(DateTime d) : data_(d) {}
  Value(Array a) : data_(std::move(a)) {}
  Value(TextMap m) : data_(std::move(m)) {}
  Value(Link l) : data_(std::move(l)) {}

  Kind kind() const noexcept { return static_cast<Kind>(data_.index()); }

  template <class T>
  bool is() const noexcept {
    return std::holds_alternative<T>(data_);
  }
  template <class T>
  T* get_if() noexcept {
    return std::get_if<T>(&data_);
  }
  template <class T>
  const T* get_if() const noexcept {
    return std::get_if<T>(&data_);
  }

  Variant& data() noexcept { return data_; }
  const Variant& data() const noexcept { return data_; }

 private:
  Variant data_;
};

struct MapEntry {
  std::string key;
  Value value;
};

inline TextMap::TextMap() noexcept = default;
inline std::size_t TextMap::size() const noexcept { return entries_.size(); }
inline bool TextMap::empty() const noexcept { return entries_.empty(); }
inline const MapEntry* TextMap::begin() const noexcept { return entries_.data(); }
inline const MapEntry* TextMap::end() const noexcept { return entries_.data() + entries_.size(); }
inline MapEntry* TextMap::begin() noexcept { return entries_.data(); }
inline MapEntry* TextMap::end() noexcept { return entries_.data() + entries_.size(); }

inline const Value* TextMap::find(std::string_view key) const noexcept {
  std::ptrdiff_t i = find_index(key);
  return i < 0 ? nullptr : &entries_[static_cast<std::size_t>(i)].value;
}
inline Value* TextMap::find(std::string_view key) noexcept {
  std::ptrdiff_t i = find_index(key);
  return i < 0 ? nullptr : &entries_[static_cast<std::size_t>(i)].value;
}

}  // namespace brindle
