#include "storage/key_index.h"

#include <stdexcept>
#include <utility>

#include "types/hash.h"

namespace brindle {

std::uint64_t KeyIndex::hash(std::string_view key) noexcept { return hash_bytes(key, process_hash_seed()); }

std::string_view KeyIndex::key_at(std::uint64_t at) const noexcept {
  // Only reads lengths put() wrote.
  const char* p = arena_.data() + at;
  std::size_t len = 0;
  for (int shift = 0;; shift += 7) {
    const auto byte = static_cast<std::uint8_t>(*p++);
    len |= std::size_t{byte & 0x7fu} << shift;
    if (byte < 0x80) break;
  }
  return {p, len};
}

std::size_t KeyIndex::entry_size(std::uint64_t at) const noexcept {
  const std::string_view key = key_at(at);
  return static_cast<std::size_t>(key.data() + key.size() - (arena_.data() + at));
}

std::size_t KeyIndex::probe(std::string_view key, std::uint64_t stored_hash) const noexcept {
  for (std::size_t i = home_of(stored_hash);; i = next(i)) {
    const Slot& s = slots_[i];
    if (s.empty()) return i;
    if (s.stored_hash() == stored_hash && key_at(s.at()) == key) return i;
  }
}

std::optional<KeyIndex::Found> KeyIndex::find(std::string_view key) const noexcept {
  if (size_ == 0) return std::nullopt;
  const Slot& s = slots_[probe(key, hash(key) >> kHashShift)];
  if (s.empty()) return std::nullopt;
  return Found{s.record(), s.flag()};
}

void KeyIndex::put(std::string_view key, std::uint64_t h, std::uint64_t record, bool flag) {
  // At most 4/5 full, so probe runs stay short.
  if ((size_ + 1) * 5 > slots_.size() * 4) grow();
  const std::uint64_t stored = h >> kHashShift;
  Slot& s = slots_[probe(key, stored)];
  if (!s.empty()) {
    s = make_slot(stored, record, s.at(), flag);
    return;
  }
  const std::uint64_t at = arena_.size();
  if (at + key.size() + 5 > kAtLimit) throw std::length_error("key index: too many key bytes");
  for (std::size_t n = key.size(); ; n >>= 7) {
    arena_.push_back(static_cast<char>(n < 0x80 ? n : (n & 0x7f) | 0x80));
    if (n < 0x80) break;
  }
  arena_.append(key);
  s = make_slot(stored, record, at, flag);
  ++size_;
}

void KeyIndex::erase(std::string_view key, std::uint64_t h) noexcept {
  if (size_ == 0) return;
  const std::size_t size = slots_.size();
  std::size_t hole = probe(key, h >> kHashShift);
  if (slots_[hole].empty()) return;
  dead_bytes_ += entry_size(slots_[hole].at());
  --size_;
  // Backward shift: move each later slot of the run into the hole when the
  // hole lies between its home and where it sits.
  auto distance = [size](std::size_t from, std::size_t to) { return to >= from ? to - from : to + size - from; };
  for (std::size_t i = next(hole);; i = next(i)) {
    Slot& s = slots_[i];
    if (s.empty()) break;
    const std::size_t h_home = home_of(s.stored_hash());
    if (distance(h_home, i) >= distance(hole, i)) {
      slots_[hole] = s;
      hole = i;
    }
  }
  slots_[hole] = Slot{};
  if (dead_bytes_ > 4096 && dead_bytes_ > arena_.size() - dead_bytes_) compact_arena();
}

void KeyIndex::grow() {
  const std::size_t size = slots_.empty() ? 16 : slots_.size() + slots_.size() / 2;
  std::vector<Slot> old = std::exchange(slots_, std::vector<Slot>(size));
  for (const Slot& s : old) {
    if (s.empty()) continue;
    std::size_t i = home_of(s.stored_hash());
    while (!slots_[i].empty()) i = next(i);
    slots_[i] = s;
  }
}

void KeyIndex::compact_arena() {
  std::string arena;
  arena.reserve(arena_.size() - dead_bytes_);
  for (Slot& s : slots_) {
    if (s.empty()) continue;
    const std::uint64_t at = s.at();
    const std::size_t n = entry_size(at);
    s.b = (s.b & ~(kAtLimit - 1)) | arena.size();
    arena.append(arena_, static_cast<std::size_t>(at), n);
  }
  arena_ = std::move(arena);
  dead_bytes_ = 0;
}

}  // namespace brindle
