#include "storage/record_cache.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <map>
#include <random>
#include <string>
#include <vector>

namespace brindle {
namespace {

// A key hash per offset, as callers give them: a different one for each
// offset below 2^32, many of them sharing their top bits (a home slot).
std::uint32_t hash_of(std::uint64_t offset) { return static_cast<std::uint32_t>(offset) * 0x9E3779B1u; }

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
      newest_bytes += std::max(bytes.size() + RecordCache::kEntryHeader, RecordCache::kSmallestEntry);
      if (newest_bytes > RecordCache::kBudget / 2) break;
      ASSERT_TRUE(cache.find(*it, hash_of(*it))) << "entry " << (order.rend() - it) << " of " << order.size();
    }
  }
  for (const auto& [at, expected] : inserted) cached_at_the_end += cache.find(at, hash_of(at)).has_value();
  // 60,000 entries of ~300 bytes are several laps of a 4 MiB ring.
  EXPECT_LT(cached_at_the_end, inserted.size() / 2);
  EXPECT_GT(cached_at_the_end, std::size_t{5000});
}

// Regression: slots are placed by key hash, and every version of a key that
// was written and read in turn stayed in one probe run, which made each get
// walk all of them (minutes for 100,000 rounds). A newer entry under a hash
// now takes the older one's slot.
TEST(RecordCacheTest, VersionsOfOneKeyPiledUpInOneProbeRun) {
  RecordCache cache;
  const std::uint32_t hash = 0x12345678;
  for (std::uint64_t offset = 0; offset < 100000 * 16; offset += 16) {
    ASSERT_FALSE(cache.find(offset, hash));
    cache.insert(offset, hash, "version");
    ASSERT_EQ(cache.find(offset, hash), "version");
  }
  EXPECT_FALSE(cache.find(0, hash));
  // An entry of another hash is untouched by all that.
  cache.insert(1, hash + 1, "other");
  cache.insert(100000 * 16, hash, "latest");
  EXPECT_EQ(cache.find(1, hash + 1), "other");
  EXPECT_EQ(cache.find(100000 * 16, hash), "latest");
}

// An entry is found while the ring has moved on by at most its budget since
// the entry began, and not once a single byte of it has been written over.
TEST(RecordCacheTest, AnEntryLastsUntilTheRingWritesItsFirstByteAgain) {
  RecordCache cache;
  // Entries of 4 KiB tile the ring exactly; the last one ends at its end.
  const std::size_t size = 4096 - RecordCache::kEntryHeader;
  const std::string first(size, 'a');
  cache.insert(0, hash_of(0), first);
  for (std::uint64_t offset = 8192; offset < RecordCache::kBudget / 4096 * 8192; offset += 8192) {
    cache.insert(offset, hash_of(offset), std::string(size, 'b'));
  }
  ASSERT_EQ(cache.find(0, hash_of(0)), first);
  // The next entry wraps to the first byte: the first entry goes, the
  // second stays.
  cache.insert(1, hash_of(1), "");
  EXPECT_FALSE(cache.find(0, hash_of(0)));
  EXPECT_EQ(cache.find(8192, hash_of(8192)), std::string(size, 'b'));
  EXPECT_EQ(cache.find(1, hash_of(1)), "");
}

// Positions keep only their low 32 bits in the table. An entry whose slot
// nothing replaced must not come back to life once 2^32 bytes have gone
// through the ring and its position matches again: it would answer with
// whatever lies there now.
TEST(RecordCacheTest, AnOverwrittenEntryStaysGoneAfterTheRingPositionsWrapAround) {
  RecordCache cache;
  cache.insert(0, 1, "a");
  // One hash for every filler, so they share one slot and the table never
  // fills up: only the age of a position can clear the first entry's slot.
  const std::string filler(RecordCache::kLargestRecord - 4, 'f');
  const std::size_t per_lap = RecordCache::kBudget / (RecordCache::kEntryHeader + filler.size());
  const std::size_t laps = (std::size_t{1} << 32) / RecordCache::kBudget;
  // The first lap holds one filler less, behind the first entry.
  for (std::size_t i = 0; i + 1 < laps * per_lap; ++i) cache.insert(8 * (i + 1), 2, filler);
  EXPECT_FALSE(cache.find(0, 1));
  cache.insert(0, 1, "a");
  EXPECT_EQ(cache.find(0, 1), "a");
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
