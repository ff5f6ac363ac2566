#include "storage/record_cache.h"

#include <algorithm>
#include <bit>
#include <cstring>

namespace brindle {

std::size_t RecordCache::entry_size(std::size_t at) const noexcept {
  std::uint32_t length;
  std::memcpy(&length, ring_.get() + at + 8, sizeof length);
  return kEntryHeader + length;
}

std::size_t RecordCache::slot_of(std::uint64_t key, std::uint32_t hash) const noexcept {
  const std::size_t mask = slots_.size() - 1;
  std::size_t i = home_of(hash);
  while (slots_[i].key != 0 && slots_[i].key != key) i = (i + 1) & mask;
  return i;
}

void RecordCache::put_position(std::uint64_t offset, std::uint32_t hash, std::uint32_t position) {
  if (10 * (occupied_ + 1) > 7 * slots_.size()) {
    std::vector<Slot> old(std::max<std::size_t>(1024, 2 * slots_.size()));
    old.swap(slots_);
    shift_ = 32 - std::countr_zero(slots_.size());
    for (const Slot& slot : old) {
      if (slot.key != 0) slots_[slot_of(slot.key, slot.hash)] = slot;
    }
  }
  // One slot per hash: an entry under the same hash is mostly an older
  // record of the same key, which no get asks for again, and keeping every
  // version of a key that is written and read in turn would pile them all
  // into one probe run. (Another key with this hash only loses its entry.)
  const std::size_t mask = slots_.size() - 1;
  std::size_t i = home_of(hash);
  while (slots_[i].key != 0 && slots_[i].hash != hash) i = (i + 1) & mask;
  if (slots_[i].key == 0) ++occupied_;
  slots_[i] = Slot{offset + 1, position, hash};
}

void RecordCache::erase_position(std::uint64_t offset, std::uint32_t hash, std::uint32_t position) noexcept {
  const std::size_t mask = slots_.size() - 1;
  std::size_t hole = slot_of(offset + 1, hash);
  // No slot, or the slot of a newer entry of this offset: cached again after
  // this one lost its slot to another under the same hash.
  if (slots_[hole].key == 0 || slots_[hole].position != position) return;
  --occupied_;
  // Shift back each later slot of the run that may move into the hole (its
  // home is not in the cyclic range after the hole up to where it sits),
  // so every run stays unbroken without tombstones.
  for (std::size_t j = (hole + 1) & mask; slots_[j].key != 0; j = (j + 1) & mask) {
    const std::size_t home = home_of(slots_[j].hash);
    if (((j - home) & mask) >= ((j - hole) & mask)) {
      slots_[hole] = slots_[j];
      hole = j;
    }
  }
  slots_[hole] = Slot{};
}

std::optional<std::string_view> RecordCache::find(std::uint64_t offset, std::uint32_t hash) const {
  if (occupied_ == 0) return std::nullopt;
  const Slot& slot = slots_[slot_of(offset + 1, hash)];
  if (slot.key == 0) return std::nullopt;
  return std::string_view(ring_.get() + slot.position + kEntryHeader, entry_size(slot.position) - kEntryHeader);
}

void RecordCache::evict_oldest() {
  std::uint64_t offset;
  std::uint32_t hash;
  std::memcpy(&offset, ring_.get() + oldest_, sizeof offset);
  std::memcpy(&hash, ring_.get() + oldest_ + 12, sizeof hash);
  erase_position(offset, hash, static_cast<std::uint32_t>(oldest_));
  --entries_;
  oldest_ += entry_size(oldest_);
  if (oldest_ == lap_end_) oldest_ = 0;
}

void RecordCache::insert(std::uint64_t offset, std::uint32_t hash, std::string_view bytes) {
  if (bytes.size() > kLargestRecord) return;
  if (!ring_) ring_ = std::make_unique_for_overwrite<char[]>(kBudget);
  const std::size_t need = kEntryHeader + bytes.size();
  if (newest_end_ + need > kBudget) {
    // Entries past the newest one are the oldest of all: they leave before
    // the start of the ring is reused.
    while (entries_ != 0 && oldest_ >= newest_end_) evict_oldest();
    lap_end_ = newest_end_;
    newest_end_ = 0;
  }
  while (entries_ != 0 && oldest_ >= newest_end_ && oldest_ < newest_end_ + need) evict_oldest();
  if (entries_ == 0) oldest_ = newest_end_;

  char* entry = ring_.get() + newest_end_;
  const auto length = static_cast<std::uint32_t>(bytes.size());
  std::memcpy(entry, &offset, sizeof offset);
  std::memcpy(entry + 8, &length, sizeof length);
  std::memcpy(entry + 12, &hash, sizeof hash);
  if (!bytes.empty()) std::memcpy(entry + kEntryHeader, bytes.data(), bytes.size());
  put_position(offset, hash, static_cast<std::uint32_t>(newest_end_));
  ++entries_;
  newest_end_ += need;
}

}  // namespace brindle
