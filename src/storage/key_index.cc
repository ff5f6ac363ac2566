#include "storage/key_index.h"

#include <cstring>
#include <utility>

#include "codec/framing.h"
#include "types/hash.h"

namespace brindle {

std::uint64_t KeyIndex::hash(std::string_view key) noexcept { return hash_bytes(key, process_hash_seed()); }

std::string_view KeyIndex::key_at(std::uint64_t at) const noexcept {
  const char* p = arena_.data() + at;
  return {p + 4, load_u32(p)};
}

std::size_t KeyIndex::probe(std::string_view key, std::uint64_t h) const noexcept {
  const std::size_t mask = slots_.size() - 1;
  const std::uint64_t tag = h >> 48;
  for (std::size_t i = static_cast<std::size_t>(h) & mask;; i = (i + 1) & mask) {
    const Slot& s = slots_[i];
    if (s.record == kEmpty) return i;
    if ((s.tag_and_at >> 48) == tag && key_at(s.tag_and_at & kAtMask) == key) return i;
  }
}

const std::uint64_t* KeyIndex::find(std::string_view key) const noexcept {
  if (size_ == 0) return nullptr;
  const Slot& s = slots_[probe(key, hash(key))];
  return s.record == kEmpty ? nullptr : &s.record;
}

void KeyIndex::put(std::string_view key, std::uint64_t record) {
  // At most 4/5 full, so probe runs stay short.
  if ((size_ + 1) * 5 > slots_.size() * 4) grow();
  const std::uint64_t h = hash(key);
  Slot& s = slots_[probe(key, h)];
  if (s.record != kEmpty) {
    s.record = record;
    return;
  }
  const std::uint64_t at = arena_.size();
  char len[4];
  store_u32(len, static_cast<std::uint32_t>(key.size()));
  arena_.append(len, 4);
  arena_.append(key);
  s.record = record;
  s.tag_and_at = (h >> 48) << 48 | at;
  ++size_;
}

void KeyIndex::erase(std::string_view key) noexcept {
  if (size_ == 0) return;
  const std::size_t mask = slots_.size() - 1;
  std::size_t hole = probe(key, hash(key));
  if (slots_[hole].record == kEmpty) return;
  dead_bytes_ += 4 + key.size();
  --size_;
  // Backward shift: move each later slot of the run into the hole when the
  // hole lies between its home and where it sits.
  for (std::size_t i = (hole + 1) & mask;; i = (i + 1) & mask) {
    Slot& s = slots_[i];
    if (s.record == kEmpty) break;
    const std::size_t home = static_cast<std::size_t>(hash(key_at(s.tag_and_at & kAtMask))) & mask;
    if (((i - home) & mask) >= ((i - hole) & mask)) {
      slots_[hole] = s;
      hole = i;
    }
  }
  slots_[hole] = Slot{};
  if (dead_bytes_ > 4096 && dead_bytes_ > arena_.size() - dead_bytes_) compact_arena();
}

void KeyIndex::grow() {
  std::vector<Slot> old = std::exchange(slots_, std::vector<Slot>(slots_.empty() ? 16 : slots_.size() * 2));
  const std::size_t mask = slots_.size() - 1;
  for (const Slot& s : old) {
    if (s.record == kEmpty) continue;
    std::size_t i = static_cast<std::size_t>(hash(key_at(s.tag_and_at & kAtMask))) & mask;
    while (slots_[i].record != kEmpty) i = (i + 1) & mask;
    slots_[i] = s;
  }
}

void KeyIndex::compact_arena() {
  std::string arena;
  arena.reserve(arena_.size() - dead_bytes_);
  for (Slot& s : slots_) {
    if (s.record == kEmpty) continue;
    const std::uint64_t at = s.tag_and_at & kAtMask;
    const std::size_t n = 4 + load_u32(arena_.data() + at);
    s.tag_and_at = (s.tag_and_at & ~kAtMask) | arena.size();
    arena.append(arena_, static_cast<std::size_t>(at), n);
  }
  arena_ = std::move(arena);
  dead_bytes_ = 0;
}

}  // namespace brindle
