#include "storage/record_cache.h"

#include <algorithm>
#include <cstring>

namespace brindle {

std::size_t RecordCache::slot_of(std::uint64_t key, std::uint32_t hash) const noexcept {
  const std::size_t mask = slots_.size() - 1;
  std::size_t i = home_of(hash);
  while (slots_[i].key != 0 && slots_[i].key != key) i = (i + 1) & mask;
  return i;
}

void RecordCache::rebuild() {
  std::size_t kept = 0;
  for (const Slot& slot : slots_) kept += slot.key != 0 && live(slot);
  std::size_t size = std::max<std::size_t>(1024, slots_.size());
  while (2 * (kept + 1) > size) size *= 2;
  std::vector<Slot> old(size);
  old.swap(slots_);
  shift_ = 32 - std::countr_zero(slots_.size());
  for (const Slot& slot : old) {
    if (slot.key != 0 && live(slot)) slots_[slot_of(slot.key, slot.hash)] = slot;
  }
  occupied_ = kept;
  rebuilt_at_ = written_;
}

void RecordCache::put_position(std::uint64_t offset, std::uint32_t hash, std::uint32_t position) {
  if (10 * (occupied_ + 1) > 7 * slots_.size() || written_ - rebuilt_at_ > (std::uint64_t{1} << 31)) rebuild();
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

std::optional<std::string_view> RecordCache::find(std::uint64_t offset, std::uint32_t hash) const {
  if (occupied_ == 0) return std::nullopt;
  const Slot& slot = slots_[slot_of(offset + 1, hash)];
  if (slot.key == 0 || !live(slot)) return std::nullopt;
  const char* entry = ring_.get() + (slot.position & (kBudget - 1));
  std::uint32_t length;
  std::memcpy(&length, entry, sizeof length);
  return std::string_view(entry + kEntryHeader, length);
}

void RecordCache::insert(std::uint64_t offset, std::uint32_t hash, std::string_view bytes) {
  if (bytes.size() > kLargestRecord) return;
  if (!ring_) ring_ = std::make_unique_for_overwrite<char[]>(kBudget);
  const std::size_t need = std::max(kEntryHeader + bytes.size(), kSmallestEntry);
  // An entry never straddles the ring's end: the bytes left there are
  // skipped, and counted as written.
  if (const std::size_t at = written_ & (kBudget - 1); at + need > kBudget) written_ += kBudget - at;
  char* entry = ring_.get() + (written_ & (kBudget - 1));
  const auto length = static_cast<std::uint32_t>(bytes.size());
  std::memcpy(entry, &length, sizeof length);
  if (!bytes.empty()) std::memcpy(entry + kEntryHeader, bytes.data(), bytes.size());
  const auto position = static_cast<std::uint32_t>(written_);
  written_ += need;
  put_position(offset, hash, position);
}

}  // namespace brindle
