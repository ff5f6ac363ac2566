#include "storage/record_cache.h"

#include <cstring>

namespace brindle {

std::size_t RecordCache::entry_size(std::size_t at) const noexcept {
  std::uint32_t length;
  std::memcpy(&length, ring_.get() + at + 8, sizeof length);
  return kEntryHeader + length;
}

std::optional<std::string_view> RecordCache::find(std::uint64_t offset) const {
  const auto it = positions_.find(offset);
  if (it == positions_.end()) return std::nullopt;
  return std::string_view(ring_.get() + it->second + kEntryHeader, entry_size(it->second) - kEntryHeader);
}

void RecordCache::evict_oldest() {
  std::uint64_t offset;
  std::memcpy(&offset, ring_.get() + oldest_, sizeof offset);
  positions_.erase(offset);
  oldest_ += entry_size(oldest_);
  if (oldest_ == lap_end_) oldest_ = 0;
}

void RecordCache::insert(std::uint64_t offset, std::string_view bytes) {
  if (bytes.size() > kLargestRecord) return;
  if (!ring_) ring_ = std::make_unique_for_overwrite<char[]>(kBudget);
  const std::size_t need = kEntryHeader + bytes.size();
  if (newest_end_ + need > kBudget) {
    // Entries past the newest one are the oldest of all: they leave before
    // the start of the ring is reused.
    while (!positions_.empty() && oldest_ >= newest_end_) evict_oldest();
    lap_end_ = newest_end_;
    newest_end_ = 0;
  }
  while (!positions_.empty() && oldest_ >= newest_end_ && oldest_ < newest_end_ + need) evict_oldest();
  if (positions_.empty()) oldest_ = newest_end_;

  char* entry = ring_.get() + newest_end_;
  const auto length = static_cast<std::uint32_t>(bytes.size());
  std::memcpy(entry, &offset, sizeof offset);
  std::memcpy(entry + 8, &length, sizeof length);
  if (!bytes.empty()) std::memcpy(entry + kEntryHeader, bytes.data(), bytes.size());
  positions_.emplace(offset, static_cast<std::uint32_t>(newest_end_));
  newest_end_ += need;
}

}  // namespace brindle
