#include "storage/record_cache.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <random>
#include <string>
#include <vector>

namespace brindle {
namespace {

// A key hash as callers give it; its low half is left zero so that many
// entries share one, and only the offset tells them apart.
std::uint32_t hash_of(std::uint64_t offset) {
  return static_cast<std::uint32_t>((offset * 0x9E3779B97F4A7C15ULL) >> 32) & 0xFFFF0000u;
}

// Several laps of the ring with entries of mixed sizes (some too large to
// cache): every lookup gives the exact bytes inserted for that offset or
// nothing, never another entry's bytes, and the newest entries that fit in
// half the budget are always there.
TEST(RecordCacheTest, KeepsTheNewestEntriesAndNeverMixesThemUp) {
  RecordCache cache;
  std::mt19937 rng(11);
  std::map<std::uint64_t, std::string> inserted;
  std::vector<std::uint64_t> order;
  std::uint64_t offset = 0;
  std::size_t cached_at_the_end = 0;
  for (int i = 0; i < 60000; ++i) {
    const std::size_t size = i % 997 == 0 ? RecordCache::kLargestRecord + 1 : rng() % 600;
    std::string bytes(size, static_cast<char>('a' + i % 26));
    if (size >= 8) bytes.replace(0, 8, std::to_string(10000000 + i));
    cache.insert(offset, hash_of(offset), bytes);
    inserted[offset] = bytes;
    order.push_back(offset);
    offset += size + 1;

    if (i % 5000 != 4999 && i != 59999) continue;
    for (const auto& [at, expected] : inserted) {
      const auto found = cache.find(at, hash_of(at));
      if (found) {
        ASSERT_EQ(*found, expected) << "offset " << at;
      }
    }
    std::size_t newest_bytes = 0;
    for (auto it = order.rbegin(); it != order.rend(); ++it) {
      const std::string& bytes = inserted[*it];
      if (bytes.size() > RecordCache::kLargestRecord) {
        EXPECT_FALSE(cache.find(*it, hash_of(*it)));
        continue;
      }
      newest_bytes += bytes.size() + RecordCache::kEntryHeader;
      if (newest_bytes > RecordCache::kBudget / 2) break;
      ASSERT_TRUE(cache.find(*it, hash_of(*it))) << "entry " << (order.rend() - it) << " of " << order.size();
    }
  }
  for (const auto& [at, expected] : inserted) cached_at_the_end += cache.find(at, hash_of(at)).has_value();
  // 60,000 entries of ~300 bytes are several laps of a 4 MiB ring.
  EXPECT_LT(cached_at_the_end, inserted.size() / 2);
  EXPECT_GT(cached_at_the_end, std::size_t{5000});
}

// Collections move their cache when a database opens them; what is left
// behind must be an empty cache, not one that counts entries it lost.
TEST(RecordCacheTest, AMovedFromCacheIsEmptyAndUsable) {
  RecordCache from;
  from.insert(0, 7, "abc");
  RecordCache to(std::move(from));
  EXPECT_EQ(to.find(0, 7), "abc");
  EXPECT_FALSE(from.find(0, 7));  // NOLINT(bugprone-use-after-move): the point of the test
  from.insert(8, 7, "xy");
  EXPECT_EQ(from.find(8, 7), "xy");
  EXPECT_FALSE(from.find(0, 7));
}

}  // namespace
}  // namespace brindle
