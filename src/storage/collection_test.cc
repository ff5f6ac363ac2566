#include "storage/collection.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "storage/key_index.h"
#include "testing/allocation_probe.h"
#include "testing/builders.h"
#include "testing/file_size_limit.h"
#include "testing/temp_dir.h"

namespace brindle {
namespace {

using testing::hex;
using testing::read_file;
using testing::record;
using testing::shown;
using testing::write_file;

const std::string kWorkedRecord = hex("01 00 00 00 61 09 00 00 00 02 01 00 00 00 00 00 00 00");
const std::string kWorkedDeletion = hex("01 00 00 00 61 01 00 00 00 0C");
constexpr const char* kTooLarge = "io: File too large (os error 27)";

class CollectionTest : public ::testing::Test {
 protected:
  Collection open() {
    auto c = Collection::open(path);
    if (!c) throw std::runtime_error(c.error().to_string());
    return std::move(*c);
  }
  std::string open_error() {
    auto c = Collection::open(path);
    return c ? "opened" : c.error().to_string();
  }
  std::uint64_t size() { return testing::file_size(path); }

  testing::TempDir dir;
  const std::string path = dir.file("c.brd");
};

TEST_F(CollectionTest, WritesWorkedExampleRecordsByteForByte) {
  Collection c = open();
  // A missing file is created empty.
  EXPECT_TRUE(testing::file_exists(path));
  EXPECT_EQ(size(), 0u);
  EXPECT_TRUE(c.get("a").error().is_key_not_found());
  EXPECT_EQ(shown(c.get("a")), "key not found");

  ASSERT_TRUE(c.set("a", Value(1)));
  EXPECT_EQ(read_file(path), kWorkedRecord);
  EXPECT_EQ(c.write_offset(), 18u);
  EXPECT_EQ(shown(c.get("a")), "Int(1)");
  ASSERT_TRUE(c.set("a", Value(Tombstone{})));
  EXPECT_EQ(read_file(path), kWorkedRecord + kWorkedDeletion);
  EXPECT_EQ(shown(c.get("a")), "key not found");
  // Deleting a key that was never set still appends its deletion record.
  ASSERT_TRUE(c.set("b", Value(Tombstone{})));
  EXPECT_EQ(size(), 38u);
  EXPECT_EQ(c.write_offset(), 38u);
}

TEST_F(CollectionTest, ReplayIndexesTheLastRecordOfEachKey) {
  const std::string delete_a = record("a", hex("0C"));
  const std::string int_a = record("a", Value(1));
  const std::string next = record("n", Value(7));
  const std::string long_key(700, 'q');
  const Value big(Blob{std::string(1000, '\xAB')});
  const char* end = "codec: unexpected end of buffer";
  struct Case {
    std::string file;
    std::vector<std::pair<std::string, std::string>> reads;  // key, expected read
  };
  const Case cases[] = {
      {int_a + delete_a, {{"a", "key not found"}}},
      {int_a + delete_a + record("a", Value(2)), {{"a", "Int(2)"}}},
      {record("b", hex("0C")) + int_a, {{"a", "Int(1)"}, {"b", "key not found"}}},
      // Any value starting with the Tombstone byte is a deletion.
      {int_a + record("a", hex("0C 00 00")), {{"a", "key not found"}}},
      {record("", Value(5)) + next, {{"", "Int(5)"}, {"n", "Int(7)"}}},
      // A record without a value byte (V = 0) is kept, fails to decode, and
      // the next record is framed right after its key and lengths.
      {record("k0", std::string()) + next, {{"k0", end}, {"n", "Int(7)"}}},
      {next + record("k0", std::string()), {{"k0", end}, {"n", "Int(7)"}}},
      // Bad values fail on reading only, and do not disturb their neighbours.
      {int_a + record("bad", hex("0D 00")) + next,
       {{"bad", "codec: unknown type byte: 0x0D"}, {"a", "Int(1)"}, {"n", "Int(7)"}}},
      {record("t", hex("02 01 00")) + next, {{"t", end}, {"n", "Int(7)"}}},
      {record("t", hex("00 FF FF FF")) + next, {{"t", "Null"}, {"n", "Int(7)"}}},
      {record(long_key, big) + next, {{long_key, debug_string(big)}, {"n", "Int(7)"}}}};
  for (const Case& test : cases) {
    write_file(path, test.file);
    Collection c = open();
    EXPECT_EQ(c.write_offset(), test.file.size());
    for (const auto& [key, expected] : test.reads) EXPECT_EQ(shown(c.get(key)), expected) << key;
    // Reading never changes the file.
    EXPECT_EQ(read_file(path), test.file);
  }
}

TEST_F(CollectionTest, DamagedTailRefusesToOpenWithoutAllocatingOrTouchingTheFile) {
  const char* tails[] = {
      "03 00",                                 // inside the key length
      "03 00 00 00 6B 6B",                     // inside the key
      "01 00 00 00 6B 09 00",                  // inside the value length
      "01 00 00 00 6B 09 00 00 00",            // before the first value byte
      "01 00 00 00 6B 09 00 00 00 02 01 00",   // inside the value body
      "01 00 00 00 6B 03 00 00 00 0C 00",      // inside a deletion's body
      "FF FF FF FF 6B 6B 6B 6B 6B",            // huge key length
      "01 00 00 00 6B FF FF FF FF 02 01 00"};  // huge value length
  for (const char* tail : tails) {
    for (const std::string& before : {std::string(), kWorkedRecord}) {
      const std::string bytes = before + hex(tail);
      write_file(path, bytes);
      std::string error;
      std::size_t largest;
      {
        testing::AllocationProbe probe;
        error = open_error();
        largest = probe.largest();
      }
      EXPECT_EQ(error, "io: failed to fill whole buffer") << tail;
      EXPECT_LT(largest, 1u << 16) << tail;
      EXPECT_EQ(read_file(path), bytes) << tail;
    }
  }
  write_file(path, record("a", Value(1)) + record("\xC3\x28", Value(1)));
  EXPECT_EQ(open_error(), "io: invalid utf8 key");
}

// Replay reads the file in large chunks; a key that ends exactly where one
// chunk ends must survive the read of the next chunk.
TEST_F(CollectionTest, ReplayKeepsKeysEndingAtReadChunkBoundaries) {
  constexpr std::size_t kMiB = 1 << 20;
  const std::string filler(kMiB + 100, 'z');
  for (std::size_t value_start = kMiB - 2; value_start <= kMiB + 2; ++value_start) {
    // "pad" record: 8 + 3 + 5 + n bytes; then key "k" with its 9 header bytes.
    const std::size_t pad = value_start - 9 - 16;
    const std::string bytes = record("pad", Value(Blob{std::string(pad, 'p')})) + record("k", Value(7)) +
                              record("z", Value(Blob{filler}));
    ASSERT_EQ(bytes.find(record("k", Value(7))), value_start - 9);
    write_file(path, bytes);
    Collection c = open();
    EXPECT_EQ(shown(c.get("k")), "Int(7)") << "value at " << value_start;
    EXPECT_EQ(c.live_keys(), 3u) << "value at " << value_start;
  }
}

TEST_F(CollectionTest, EachSetIsFlushedUnlessDeferred) {
  const std::string long_key(600, 'L');  // header and key overrun one small read
  {
    Collection c = open();
    ASSERT_TRUE(c.set("a", Value(1)));
    EXPECT_EQ(size(), 18u);
    EXPECT_EQ(c.buffered_bytes(), 0u);
    c.set_defer_flush(true);
    ASSERT_TRUE(c.set("b", Value("buffered")));
    ASSERT_TRUE(c.set("a", Value(Tombstone{})));
    ASSERT_TRUE(c.set(long_key, Value(2)));
    EXPECT_EQ(size(), 18u);
    EXPECT_EQ(c.buffered_bytes(), c.write_offset() - 18);
    // Records still in the buffer are readable, deletions included.
    EXPECT_EQ(shown(c.get("b")), R"(Text("buffered"))");
    EXPECT_EQ(shown(c.get("a")), "key not found");
    EXPECT_EQ(shown(c.get(long_key)), "Int(2)");
    ASSERT_TRUE(c.flush());
    EXPECT_EQ(size(), c.write_offset());
    EXPECT_EQ(c.buffered_bytes(), 0u);
    ASSERT_TRUE(c.set("c", Value(3)));
    EXPECT_EQ(size(), c.write_offset() - 18);
  }
  // Closing wrote out what was still buffered.
  Collection c = open();
  EXPECT_EQ(shown(c.get("a")), "key not found");
  EXPECT_EQ(shown(c.get("b")), R"(Text("buffered"))");
  EXPECT_EQ(shown(c.get("c")), "Int(3)");
}

TEST_F(CollectionTest, DeferredRecordsWaitUntilTheBufferFillsAndLargeRecordsGoOutWithIt) {
  Collection c = open();
  c.set_defer_flush(true);
  // Each record: 9 header and key bytes and a 1,020-byte value.
  const Value value(Blob{std::string(1015, 'v')});
  for (int i = 0; i < 63; ++i) ASSERT_TRUE(c.set("k", value));
  EXPECT_EQ(size(), 0u);
  EXPECT_EQ(c.buffered_bytes(), 63u * 1029);
  // The 64th record no longer fits: it goes out whole, with everything
  // buffered before it.
  ASSERT_TRUE(c.set("k", value));
  EXPECT_EQ(size(), 64u * 1029);
  EXPECT_EQ(c.buffered_bytes(), 0u);
  EXPECT_EQ(shown(c.get("k")), debug_string(value));

  ASSERT_TRUE(c.set("a", Value(1)));
  // A record one byte longer than the buffer is written straight to the
  // file, after the buffered bytes before it.
  const Value over(Blob{std::string(Collection::kWriteBufferSize - 13, 'e')});
  ASSERT_TRUE(c.set("x", over));
  EXPECT_EQ(size(), c.write_offset());
  EXPECT_EQ(c.buffered_bytes(), 0u);
  // One byte less fills the buffer exactly.
  const Value exact(Blob{std::string(Collection::kWriteBufferSize - 14, 'u')});
  ASSERT_TRUE(c.set("y", exact));
  EXPECT_EQ(c.buffered_bytes(), Collection::kWriteBufferSize);
  EXPECT_EQ(shown(c.get("y")), debug_string(exact));
  EXPECT_EQ(shown(c.get("x")), debug_string(over));
  EXPECT_EQ(shown(c.get("a")), "Int(1)");
}

// A write that fails part-way is cut back to the record's start in file and
// buffer, so later records frame correctly.
TEST_F(CollectionTest, PartialRecordIsDiscardedAndLaterRecordsFrameCorrectly) {
  struct Cut {
    const char* name;
    bool deferred;           // a 60,000-byte record waits in the buffer first
    std::size_t value_size;  // blob size of the record whose write fails
    std::int64_t limit_from_start;  // file size limit, from the failing record's start
  };
  const Cut cuts[] = {
      // The value goes straight to the file and is cut inside its body, ...
      {"DirectPieceCutInBody", false, 70000, 9 + 100},
      {"HeaderWrittenBodyRefused", false, 70000, 9},
      {"NothingWritten", false, 70000, 0},
      // ... writing out the full buffer fails inside the new record's header,
      {"BufferCutInNewRecord", true, 10000, 3},
      // ... or inside the earlier record still waiting in the buffer.
      {"BufferCutInEarlierRecord", true, 10000, -59900}};
  const Value waiting(Blob{std::string(60000, 'w')});
  for (const Cut& cut : cuts) {
    SCOPED_TRACE(cut.name);
    std::remove(path.c_str());
    std::string expected_file = kWorkedRecord;
    {
      Collection c = open();
      ASSERT_TRUE(c.set("a", Value(1)));
      if (cut.deferred) {
        c.set_defer_flush(true);
        ASSERT_TRUE(c.set("w", waiting));
        expected_file += record("w", waiting);
      }
      const std::uint64_t start = c.write_offset();
      const std::size_t live = c.live_keys();
      StorageResult<void> failed;
      bool limited;
      {
        testing::FileSizeLimit limit(static_cast<rlim_t>(static_cast<std::int64_t>(start) + cut.limit_from_start));
        limited = limit.ok();
        failed = c.set("a", Value(Blob{std::string(cut.value_size, 'f')}));
      }
      ASSERT_TRUE(limited);
      ASSERT_FALSE(failed);
      EXPECT_EQ(failed.error().to_string(), kTooLarge);
      // File and buffer hold exactly the bytes before the failed record.
      EXPECT_EQ(c.write_offset(), start);
      EXPECT_EQ(size() + c.buffered_bytes(), start);
      EXPECT_LE(size(), start);
      EXPECT_EQ(c.live_keys(), live);
      EXPECT_EQ(shown(c.get("a")), "Int(1)");
      if (cut.deferred) {
        EXPECT_EQ(shown(c.get("w")), debug_string(waiting));
      }
      ASSERT_TRUE(c.set("b", Value(2)));
      EXPECT_EQ(shown(c.get("b")), "Int(2)");
      ASSERT_TRUE(c.flush());
      expected_file += record("b", Value(2));
      EXPECT_EQ(c.write_offset(), expected_file.size());
    }
    EXPECT_EQ(read_file(path), expected_file);
    Collection reopened = open();
    EXPECT_EQ(reopened.live_keys(), cut.deferred ? 3u : 2u);
    EXPECT_EQ(shown(reopened.get("a")), "Int(1)");
    EXPECT_EQ(shown(reopened.get("b")), "Int(2)");
  }
}

// Regression: a small record whose flush failed part-way stayed indexed and
// buffered, the file ended inside it (the next open refused the file), and
// a later write delivered the record whose set had failed.
TEST_F(CollectionTest, FailedSmallWriteStayedIndexedTornAndCameBackLater) {
  for (std::uint64_t limit_bytes = 18; limit_bytes < 36; ++limit_bytes) {
    SCOPED_TRACE(limit_bytes);
    std::remove(path.c_str());
    {
      Collection c = open();
      ASSERT_TRUE(c.set("a", Value(1)));
      StorageResult<void> failed;
      {
        testing::FileSizeLimit limit(limit_bytes);
        ASSERT_TRUE(limit.ok());
        failed = c.set("b", Value(2));
      }
      ASSERT_FALSE(failed);
      EXPECT_EQ(failed.error().to_string(), kTooLarge);
      EXPECT_EQ(c.write_offset(), 18u);
      EXPECT_EQ(size(), 18u);
      EXPECT_EQ(c.buffered_bytes(), 0u);
      EXPECT_EQ(shown(c.get("b")), "key not found");
      ASSERT_TRUE(c.set("c", Value(3)));
    }
    EXPECT_EQ(read_file(path), kWorkedRecord + record("c", Value(3)));
  }
}

// Regression: get answered with whatever record its index pointed at, so a
// second writer's records were read as another key's value.
TEST_F(CollectionTest, GetReturnedAnotherKeysRecord) {
  const std::string long_key(600, 'k');
  std::string other_key = long_key;
  other_key.back() = 'X';
  for (const auto& [asked, stored] : {std::pair<std::string, std::string>{"a", "b"}, {"a", "aa"},
                                      {long_key, other_key}}) {
    std::remove(path.c_str());
    Collection c = open();
    ASSERT_TRUE(c.set(asked, Value(1)));
    // Another writer replaces the file's bytes under the open collection.
    write_file(path, record(stored, Value(2)));
    EXPECT_EQ(shown(c.get(asked)), "io: record does not match its key");
  }
}

// Two keys whose hashes agree in every bit the key index keeps; found by
// brute force (about a million keys) with this process's hash seed.
std::pair<std::string, std::string> hash_twins() {
  auto key_of = [](std::uint64_t n, char (&buffer)[16]) {
    buffer[0] = 'k';
    return std::string_view(buffer, std::to_chars(buffer + 1, buffer + sizeof buffer, n).ptr);
  };
  // Open addressing over slots of (kept hash bits << 25 | n + 1). A million
  // keys usually suffice; six million fail to hold twins with odds of e^-32.
  constexpr int kBits = KeyIndex::kStoredHashBits;
  static_assert(kBits + 25 <= 64);
  constexpr std::size_t kSlots = std::size_t{1} << 23;
  std::vector<std::uint64_t> slots(kSlots, 0);
  char buffer[16], twin[16];
  for (std::uint64_t n = 0; n < 6'000'000; ++n) {
    const std::uint64_t kept = KeyIndex::hash(key_of(n, buffer)) >> (64 - kBits);
    for (std::size_t i = kept % kSlots;; i = (i + 1) % kSlots) {
      if (slots[i] == 0) {
        slots[i] = kept << 25 | (n + 1);
        break;
      }
      if (slots[i] >> 25 == kept) {
        const std::uint64_t other = (slots[i] & ((1 << 25) - 1)) - 1;
        return {std::string(key_of(other, twin)), std::string(key_of(n, buffer))};
      }
    }
  }
  throw std::logic_error("no hash twins found");
}

// A get looks its key up by hash alone and checks the key in the record it
// reads; a key behind its hash twin in the index must still be found, and
// an absent key must not be answered with its twin's record.
TEST_F(CollectionTest, GetFindsAKeyBehindItsHashTwin) {
  const auto [first, second] = hash_twins();
  {
    Collection c = open();
    ASSERT_TRUE(c.set(first, Value(1)));
    EXPECT_EQ(shown(c.get(second)), "key not found");
    ASSERT_TRUE(c.set(second, Value(2)));
    EXPECT_EQ(shown(c.get(second)), "Int(2)");
    EXPECT_EQ(shown(c.get(first)), "Int(1)");
  }
  // The same after a replay, and once the twin ahead of it is gone.
  Collection c = open();
  EXPECT_EQ(shown(c.get(second)), "Int(2)");
  ASSERT_TRUE(c.set(first, Value(Tombstone{})));
  EXPECT_EQ(shown(c.get(second)), "Int(2)");
  EXPECT_EQ(shown(c.get(first)), "key not found");
}

// Another writer, or damage, can shorten the file under an open collection.
TEST_F(CollectionTest, FileShortenedAfterOpenFailsReads) {
  write_file(path, kWorkedRecord + record("b", Value(Blob{std::string(2000, 'b')})));
  Collection c = open();
  write_file(path, kWorkedRecord + record("b", Value(2)).substr(0, 12));
  EXPECT_EQ(shown(c.get("a")), "Int(1)");
  EXPECT_EQ(shown(c.get("b")), "io: failed to fill whole buffer");
  // A scan whose length was taken before the file shrank.
  auto file = File::open(path, O_RDONLY);
  ASSERT_TRUE(file);
  FileWindow window(*file, 2000);
  ASSERT_TRUE(window.view(0, 12));
  auto past_the_end = window.view(0, 40);
  ASSERT_FALSE(past_the_end);
  EXPECT_EQ(past_the_end.error().to_string(), "failed to fill whole buffer");
}

TEST_F(CollectionTest, FifoNamedLikeADataFileFailsInsteadOfHanging) {
  ASSERT_EQ(::mkfifo(path.c_str(), 0666), 0);
  EXPECT_EQ(open_error(), "io: No such device or address (os error 6)");
}

// Writes skip reading the old value when this says it holds no link; a
// wrong "no" leaves stale backlink entries behind.
TEST_F(CollectionTest, KnowsWhichValuesWrittenHereMayHoldLinks) {
  const Value link(Link{"people/p1", {}});
  TextMap nested;
  nested.insert_or_assign("refs", Value(Array{Value(1), Value(Array{link})}));
  TextMap plain;
  plain.insert_or_assign("name", Value("x"));
  struct Case {
    std::vector<Value> writes;
    bool expected;
  };
  const Case cases[] = {{{}, false},
                        {{Value(1)}, false},
                        {{Value(plain)}, false},
                        {{link}, true},
                        {{Value(nested)}, true},
                        {{Value(nested), Value(plain)}, false},
                        {{Value(plain), link}, true},
                        {{link, Value(Tombstone{})}, false}};
  int key = 0;
  Collection c = open();
  for (const Case& test : cases) {
    const std::string k = "k" + std::to_string(key++);
    for (const Value& v : test.writes) ASSERT_TRUE(c.set(k, v));
    EXPECT_EQ(c.may_hold_links(k), test.expected) << k;
  }
  // Replayed values are not inspected: every live key may hold links.
  Collection reopened = open();
  EXPECT_TRUE(reopened.may_hold_links("k1"));
  EXPECT_FALSE(reopened.may_hold_links("k0"));
  EXPECT_FALSE(reopened.may_hold_links("k7"));
}

TEST_F(CollectionTest, FifoWithAReaderIsRefusedAsNotARegularFile) {
  ASSERT_EQ(::mkfifo(path.c_str(), 0666), 0);
  // Held open for reading and writing, so no open of it blocks.
  File peer = *File::open(path, O_RDWR | O_NONBLOCK);
  EXPECT_EQ(open_error(), "io: not a regular file");
}

}  // namespace
}  // namespace brindle
