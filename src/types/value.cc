#include "types/value.h"

#include <bit>
#include <type_traits>
#include <variant>

#include "types/hash.h"

namespace brindle {

namespace {

// kind() casts the variant's index, so Kind must list the alternatives in
// the variant's order.
template <Kind K, class T>
constexpr bool kind_names = std::is_same_v<std::variant_alternative_t<static_cast<std::size_t>(K), Value::Variant>, T>;
static_assert(std::variant_size_v<Value::Variant> == static_cast<std::size_t>(Kind::Link) + 1);
static_assert(kind_names<Kind::Null, Null> && kind_names<Kind::Tombstone, Tombstone> && kind_names<Kind::Bool, bool> &&
              kind_names<Kind::Int, std::int64_t> && kind_names<Kind::Float, double> &&
              kind_names<Kind::Text, std::string> && kind_names<Kind::Blob, Blob> && kind_names<Kind::Date, Date> &&
              kind_names<Kind::Time, Time> && kind_names<Kind::DateTime, DateTime> &&
              kind_names<Kind::Array, Array> && kind_names<Kind::Map, TextMap> && kind_names<Kind::Link, Link>);

}  // namespace

TextMap::TextMap(const TextMap&) = default;
TextMap::TextMap(TextMap&&) noexcept = default;
TextMap& TextMap::operator=(const TextMap&) = default;
TextMap& TextMap::operator=(TextMap&&) noexcept = default;
TextMap::~TextMap() = default;

void TextMap::reserve(std::size_t n) { entries_.reserve(n); }

std::ptrdiff_t TextMap::find_index(std::string_view key) const noexcept {
  if (slots_.empty()) {
    for (std::size_t i = 0; i < entries_.size(); ++i) {
      if (entries_[i].key == key) return static_cast<std::ptrdiff_t>(i);
    }
    return -1;
  }
  const std::size_t mask = slots_.size() - 1;
  for (std::size_t s = hash_bytes(key, process_hash_seed()) & mask;; s = (s + 1) & mask) {
    std::uint32_t slot = slots_[s];
    if (slot == 0) return -1;
    if (entries_[slot - 1].key == key) return static_cast<std::ptrdiff_t>(slot - 1);
  }
}

void TextMap::index_insert(std::uint32_t entry) {
  const std::size_t mask = slots_.size() - 1;
  std::size_t s = hash_bytes(entries_[entry].key, process_hash_seed()) & mask;
  while (slots_[s] != 0) s = (s + 1) & mask;
  slots_[s] = entry + 1;
}

void TextMap::rebuild_index() {
  // At most half full, so probe sequences stay short.
  std::size_t capacity = std::bit_ceil(entries_.size() * 2 + 2);
  slots_.assign(capacity, 0);
  for (std::size_t i = 0; i < entries_.size(); ++i) index_insert(static_cast<std::uint32_t>(i));
}

void TextMap::insert_or_assign(std::string key, Value value) {
  std::ptrdiff_t existing = find_index(key);
  if (existing >= 0) {
    entries_[static_cast<std::size_t>(existing)].value = std::move(value);
    return;
  }
  entries_.push_back(MapEntry{std::move(key), std::move(value)});
  if (entries_.size() <= kIndexThreshold) return;
  if (slots_.empty() || entries_.size() * 2 > slots_.size()) {
    rebuild_index();
  } else {
    index_insert(static_cast<std::uint32_t>(entries_.size() - 1));
  }
}

}  // namespace brindle
