#include "storage/key_index.h"

#include <algorithm>
#include <bit>
#include <new>
#include <stdexcept>
#include <utility>

#include "types/hash.h"
#include "types/varint.h"

namespace brindle {

std::uint64_t KeyIndex::hash(std::string_view key) noexcept { return hash_bytes(key, process_hash_seed()); }

std::string_view KeyIndex::key_at(std::uint64_t at) const noexcept {
  // Only reads lengths put() wrote.
  auto pos = static_cast<std::size_t>(at);
  const auto len = static_cast<std::size_t>(get_varint(arena_.data(), pos));
  return {arena_.data() + pos, len};
}

std::size_t KeyIndex::entry_size(std::uint64_t at) const noexcept {
  const std::string_view key = key_at(at);
  return static_cast<std::size_t>(key.data() + key.size() - (arena_.data() + at));
}

std::optional<KeyIndex::Found> KeyIndex::find(std::string_view key) const noexcept {
  if (size_ == 0) return std::nullopt;
  return find(key, hash(key));
}

std::optional<KeyIndex::Found> KeyIndex::find(std::string_view key, std::uint64_t h) const noexcept {
  if (size_ == 0) return std::nullopt;
  const Slot& s = slots_[probe(key, h >> kHashShift)];
  if (s.empty()) return std::nullopt;
  return Found{s.record(), s.flag()};
}

std::optional<KeyIndex::Found> KeyIndex::find_by_hash(std::uint64_t h) const noexcept {
  if (size_ == 0) return std::nullopt;
  const Slot& s = slots_[probe_for(h >> kHashShift, [](std::uint64_t) { return true; })];
  if (s.empty()) return std::nullopt;
  return Found{s.record(), s.flag()};
}

void KeyIndex::reserve_for(std::string_view key) {
  reserve(size_ + 1);
  // A key already held takes no arena room: a rewrite of a large key must
  // not need a second copy's worth of memory. Room in the arena is not
  // enough by itself: the key's offset must also stay below the limit.
  const bool room = arena_.capacity() - arena_.size() >= key.size() + 5;
  if ((room && arena_.size() + key.size() + 5 <= kAtLimit) || find(key)) return;
  reserve_arena(key);
}

void KeyIndex::reserve_arena(std::string_view key) {
  if (arena_.size() + key.size() + 5 > kAtLimit) throw std::length_error("key index: too many key bytes");
  // resize_and_overwrite grows to the exact size asked for; reserving first
  // keeps growth doubling.
  const std::size_t most = arena_.size() + 5 + key.size();
  if (most > arena_.capacity()) arena_.reserve(std::max(most, 2 * arena_.capacity()));
}

std::uint64_t KeyIndex::append_key(std::string_view key) {
  const std::uint64_t at = arena_.size();
  reserve_arena(key);
  const std::size_t most = static_cast<std::size_t>(at) + 5 + key.size();
  arena_.resize_and_overwrite(most, [&](char* p, std::size_t) {
    char* const out = put_varint(p + at, key.size());
    copy_bytes(out, key.data(), key.size());
    return static_cast<std::size_t>(out + key.size() - p);
  });
  return at;
}

void KeyIndex::put(std::string_view key, std::uint64_t h, std::uint64_t record, bool flag) {
  reserve(size_ + 1);
  const std::uint64_t stored = h >> kHashShift;
  Slot& s = slots_[probe(key, stored)];
  if (!s.empty()) {
    s = make_slot(stored, record, s.at(), flag);
    return;
  }
  const std::uint64_t at = append_key(key);
  s = make_slot(stored, record, at, flag);
  ++size_;
}

void KeyIndex::erase(std::string_view key, std::uint64_t h) noexcept {
  if (size_ == 0) return;
  const std::size_t hole = probe(key, h >> kHashShift);
  if (slots_[hole].empty()) return;
  dead_bytes_ += entry_size(slots_[hole].at());
  erase_slot(hole);
  compact_arena_if_mostly_dead();
}

void KeyIndex::erase_slot(std::size_t hole) noexcept {
  const std::size_t size = slots_.size();
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
}

void KeyIndex::compact_arena_if_mostly_dead() noexcept {
  if (dead_bytes_ <= 4096 || dead_bytes_ <= arena_.size() - dead_bytes_) return;
  // Erase cannot fail: an arena that cannot be copied for want of memory
  // stays as it is, and a later erase tries again. compact_arena allocates
  // only before it changes anything.
  try {
    compact_arena();
  } catch (const std::bad_alloc&) {
  }
}

void KeyIndex::reserve(std::size_t keys) {
  // At most 4/5 full, so probe runs stay short; growing by at least half
  // keeps the cost of growth linear.
  if (keys * 5 <= slots_.size() * 4) return;
  rehash(std::max({std::size_t{16}, slots_.size() + slots_.size() / 2, keys + keys / 4 + 1}));
}

void KeyIndex::rehash(std::size_t size) {
  auto old = std::exchange(slots_, decltype(slots_)(size));
  for (const Slot& s : old) {
    if (s.empty()) continue;
    std::size_t i = home_of(s.stored_hash());
    while (!slots_[i].empty()) i = next(i);
    slots_[i] = s;
  }
}

void KeyIndex::Loader::add(std::string_view key, std::uint64_t record, bool flag) {
  const std::uint64_t stored = hash(key) >> kHashShift;
  pending_.push_back(make_slot(stored, record, index_.append_key(key), flag));
  if (record != kEraseMark) furthest_ = std::max(furthest_, record);
  // A batch about half the table's size lands a key on every other slot
  // or so, which makes its placing a sweep; a smaller one on a big table
  // would wait on memory for each key again.
  if (pending_.size() >= std::max(kMinBatch, index_.slots_.size() / 2)) {
    place_batch();
    trim_table();
    size_for_rest();
  }
}

void KeyIndex::Loader::finish() {
  place_batch();
  trim_table();
}

void KeyIndex::Loader::size_for_rest() {
  if (input_end_ <= furthest_ || furthest_ == 0) return;
  // The guess assumes the rest of the input looks like what came so far.
  // Where it does not (small records first, large ones after), growth is
  // held to sixteen times the keys placed, so memory never runs far ahead
  // of the input; a guess too high is trimmed by finish(). Sixteen lets a
  // million keys size their table once, after the first batch: a second
  // growth rehashed half a million keys.
  const double rate = static_cast<double>(index_.size_) / static_cast<double>(furthest_);
  const auto guess = static_cast<std::size_t>(rate * static_cast<double>(input_end_ - furthest_));
  index_.reserve(index_.size_ + std::min(guess, kGuessGrowthLimit * index_.size_));
}

void KeyIndex::Loader::place_batch() {
  KeyIndex& index = index_;
  // Room for every pending key first: placing in home order into a table
  // that grows on the way would pile the keys placed so far into the part
  // of the table their homes cover, in ever longer runs.
  index.reserve(index.size_ + pending_.size());
  // Order the batch by home slot with a stable counting sort on the top hash
  // bits, so each key's puts and erases keep their order.
  // Buckets of a few dozen slots keep each one's keys within a page.
  const int bucket_bits = std::min(16, static_cast<int>(std::bit_width(index.slots_.size())));
  std::vector<std::uint32_t> starts((std::size_t{1} << bucket_bits) + 1, 0);
  auto bucket = [bucket_bits](const Slot& p) {
    return static_cast<std::size_t>(p.stored_hash() >> (kStoredHashBits - bucket_bits));
  };
  for (const Slot& p : pending_) ++starts[bucket(p) + 1];
  for (std::size_t b = 1; b < starts.size(); ++b) starts[b] += starts[b - 1];
  std::vector<Slot, LargeTableAllocator<Slot>> ordered(pending_.size());
  for (const Slot& p : pending_) ordered[starts[bucket(p)]++] = p;
  pending_.clear();
  starts = {};

  for (const Slot& p : ordered) {
    const std::uint64_t stored = p.stored_hash();
    // The pending key is read from the arena only on a hash match, that is,
    // for keys seen before.
    const std::size_t i =
        index.probe_for(stored, [&](std::uint64_t at) { return equal_bytes(index.key_at(at), index.key_at(p.at())); });
    Slot& s = index.slots_[i];
    const bool erase = p.record() == kEraseMark;
    if (erase || !s.empty()) index.dead_bytes_ += index.entry_size(p.at());  // the copy is not needed
    if (erase) {
      if (!s.empty()) {
        index.dead_bytes_ += index.entry_size(s.at());
        index.erase_slot(i);
      }
    } else if (!s.empty()) {
      s = make_slot(stored, p.record(), s.at(), p.flag());
    } else {
      s = p;
      ++index.size_;
    }
  }
  // Only now: a rewrite of the arena moves the keys pending copies point at.
  index.compact_arena_if_mostly_dead();
}

void KeyIndex::Loader::trim_table() {
  // A batch of overwrites (or erases) added fewer keys than it made room
  // for: give the room back, so the table follows the keys, not the records.
  index_.trim();
}

void KeyIndex::trim() {
  if (size_ * 5 / 2 < slots_.size() && slots_.size() > 16) rehash(std::max<std::size_t>(16, size_ + size_ / 2));
}

void KeyIndex::compact_arena() {
  Arena arena;
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
