#include "storage/collection.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <cstdint>
#include <cstdlib>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "codec/codec.h"
#include "testing/allocation_probe.h"
#include "testing/file_size_limit.h"
#include "testing/temp_dir.h"
#include "types/debug_string.h"

namespace brindle {
namespace {

using testing::file_size;
using testing::read_file;
using testing::TempDir;
using testing::write_file;
using testing::FileSizeLimit;

std::string hex(const char* text) {
  std::string digits;
  for (const char* c = text; *c != '\0'; ++c) {
    if (*c != ' ') digits.push_back(*c);
  }
  std::string out;
  for (std::size_t i = 0; i + 1 < digits.size(); i += 2) {
    out.push_back(static_cast<char>(std::stoi(digits.substr(i, 2), nullptr, 16)));
  }
  return out;
}

std::string u32(std::uint32_t v) {
  return {static_cast<char>(v), static_cast<char>(v >> 8), static_cast<char>(v >> 16),
          static_cast<char>(v >> 24)};
}

std::string encoded(const Value& value) {
  std::string out;
  EXPECT_EQ(encode(value, out), EncodeStatus::Ok);
  return out;
}

// One record as it lies in a data file.
std::string record(const std::string& key, const std::string& value_bytes) {
  return u32(static_cast<std::uint32_t>(key.size())) + key +
         u32(static_cast<std::uint32_t>(value_bytes.size())) + value_bytes;
}
std::string record(const std::string& key, const Value& value) { return record(key, encoded(value)); }

// The debug form of the stored value, or the error text.
std::string read(const Collection& c, const std::string& key) {
  auto value = c.get(key);
  return value ? debug_string(*value) : value.error().to_string();
}

std::string open_error(const std::string& path) {
  auto c = Collection::open(path);
  return c ? "opened" : c.error().to_string();
}

const std::string kWorkedRecord = hex("01 00 00 00 61 09 00 00 00 02 01 00 00 00 00 00 00 00");
const std::string kWorkedDeletion = hex("01 00 00 00 61 01 00 00 00 0C");
constexpr const char* kEof = "io: failed to fill whole buffer";

TEST(CollectionTest, OpeningMissingFileCreatesEmptyCollection) {
  TempDir dir;
  auto c = Collection::open(dir.file("c.brd"));
  ASSERT_TRUE(c) << c.error().to_string();
  EXPECT_TRUE(testing::file_exists(dir.file("c.brd")));
  EXPECT_EQ(file_size(dir.file("c.brd")), 0u);
  EXPECT_EQ(c->write_offset(), 0u);
  EXPECT_EQ(read(*c, "a"), "key not found");
  EXPECT_TRUE(c->get("a").error().is_key_not_found());
}

TEST(CollectionTest, WritesWorkedExampleRecordsByteForByte) {
  TempDir dir;
  auto c = Collection::open(dir.file("c.brd"));
  ASSERT_TRUE(c);
  ASSERT_TRUE(c->set("a", Value(1)));
  EXPECT_EQ(read_file(dir.file("c.brd")), kWorkedRecord);
  EXPECT_EQ(c->write_offset(), 18u);
  EXPECT_EQ(read(*c, "a"), "Int(1)");

  ASSERT_TRUE(c->set("a", Value(Tombstone{})));
  EXPECT_EQ(read_file(dir.file("c.brd")), kWorkedRecord + kWorkedDeletion);
  EXPECT_EQ(read(*c, "a"), "key not found");
  // Deleting a key that was never set still appends its deletion record.
  ASSERT_TRUE(c->set("b", Value(Tombstone{})));
  EXPECT_EQ(file_size(dir.file("c.brd")), 38u);
  EXPECT_EQ(c->write_offset(), 38u);
}

TEST(CollectionTest, WriteOffsetContinuesFromExistingLength) {
  TempDir dir;
  const std::string existing = record("first", Value("x")) + record("second", Value(2.5));
  write_file(dir.file("c.brd"), existing);
  auto c = Collection::open(dir.file("c.brd"));
  ASSERT_TRUE(c);
  EXPECT_EQ(c->write_offset(), existing.size());
  ASSERT_TRUE(c->set("a", Value(1)));
  EXPECT_EQ(c->write_offset(), existing.size() + 18);
  EXPECT_EQ(read_file(dir.file("c.brd")), existing + kWorkedRecord);
}

TEST(CollectionTest, LastWriteWinsAndReopenSeesEveryRecord) {
  TempDir dir;
  std::vector<std::pair<std::string, std::string>> expected;
  {
    auto c = Collection::open(dir.file("c.brd"));
    ASSERT_TRUE(c);
    ASSERT_TRUE(c->set("a", Value(1)));
    ASSERT_TRUE(c->set("a", Value("x")));
    ASSERT_TRUE(c->set("", Value(Array{Value()})));
    ASSERT_TRUE(c->set("gone", Value(5)));
    ASSERT_TRUE(c->set("gone", Value(Tombstone{})));
    for (int i = 0; i < 300; ++i) {
      std::string key = "key-" + std::to_string(i % 120);
      ASSERT_TRUE(c->set(key, Value(i)));
    }
    EXPECT_EQ(read(*c, "a"), R"(Text("x"))");
  }
  const std::string bytes = read_file(dir.file("c.brd"));
  EXPECT_EQ(bytes.substr(0, 18), kWorkedRecord);
  EXPECT_EQ(bytes.substr(18, 15), record("a", Value("x")));
  auto c = Collection::open(dir.file("c.brd"));
  ASSERT_TRUE(c);
  EXPECT_EQ(read(*c, "a"), R"(Text("x"))");
  EXPECT_EQ(read(*c, ""), "Array([Null])");
  EXPECT_EQ(read(*c, "gone"), "key not found");
  for (int k = 0; k < 120; ++k) {
    int last = k + 240 < 300 ? k + 240 : k + 120;
    EXPECT_EQ(read(*c, "key-" + std::to_string(k)), "Int(" + std::to_string(last) + ")");
  }
  EXPECT_EQ(c->live_keys(), 122u);
}

struct ReplayCase {
  const char* name;
  std::string file;
  std::vector<std::pair<std::string, std::string>> reads;  // key, expected read
};

class ReplayTest : public ::testing::TestWithParam<ReplayCase> {};

TEST_P(ReplayTest, IndexesTheLastRecordOfEachKey) {
  TempDir dir;
  write_file(dir.file("c.brd"), GetParam().file);
  auto c = Collection::open(dir.file("c.brd"));
  ASSERT_TRUE(c) << c.error().to_string();
  EXPECT_EQ(c->write_offset(), GetParam().file.size());
  for (const auto& [key, expected] : GetParam().reads) EXPECT_EQ(read(*c, key), expected) << key;
  // Reading never changes the file.
  EXPECT_EQ(read_file(dir.file("c.brd")), GetParam().file);
}

const std::string kDeleteA = record("a", hex("0C"));
const std::string kIntA = record("a", Value(1));
const std::string kNext = record("n", Value(7));
const std::string kBigBlob(1000, '\xAB');

INSTANTIATE_TEST_SUITE_P(
    Files, ReplayTest,
    ::testing::Values(
        ReplayCase{"DeletionAfterValue", kIntA + kDeleteA, {{"a", "key not found"}}},
        ReplayCase{"SecondValueWins", kIntA + record("a", Value("x")), {{"a", R"(Text("x"))"}}},
        ReplayCase{"SetAgainAfterDeletion", kIntA + kDeleteA + record("a", Value(2)), {{"a", "Int(2)"}}},
        ReplayCase{"DeletionOfUnknownKey", record("b", hex("0C")) + kIntA,
                   {{"a", "Int(1)"}, {"b", "key not found"}}},
        // Any value starting with the Tombstone byte is a deletion.
        ReplayCase{"LongDeletionRecord", kIntA + record("a", hex("0C 00 00")), {{"a", "key not found"}}},
        ReplayCase{"EmptyKey", record("", Value(5)) + kNext, {{"", "Int(5)"}, {"n", "Int(7)"}}},
        ReplayCase{"KeysAreByteExact", record("k", Value(1)) + record("K", Value(2)),
                   {{"k", "Int(1)"}, {"K", "Int(2)"}, {"k ", "key not found"}}},
        // A record without a value byte is kept, fails to decode, and the
        // next record is framed right after its key and lengths.
        ReplayCase{"ZeroLengthValue", record("k0", std::string()) + kNext,
                   {{"k0", "codec: unexpected end of buffer"}, {"n", "Int(7)"}}},
        ReplayCase{"ZeroLengthValueLast", kNext + record("k0", std::string()),
                   {{"k0", "codec: unexpected end of buffer"}, {"n", "Int(7)"}}},
        ReplayCase{"UnknownTypeByte", kIntA + record("bad", hex("0D 00")) + kNext,
                   {{"bad", "codec: unknown type byte: 0x0D"}, {"a", "Int(1)"}, {"n", "Int(7)"}}},
        ReplayCase{"ValueShorterThanItsType", record("t", hex("02 01 00")) + kNext,
                   {{"t", "codec: unexpected end of buffer"}, {"n", "Int(7)"}}},
        ReplayCase{"InvalidUtf8Text", record("t", hex("04 02 00 00 00 C3 28")) + kNext,
                   {{"t", "codec: invalid UTF-8 in text field"}, {"n", "Int(7)"}}},
        ReplayCase{"BytesAfterValueIgnored", record("t", hex("00 FF FF FF")) + kNext,
                   {{"t", "Null"}, {"n", "Int(7)"}}},
        ReplayCase{"LongKeyAndLargeValue",
                   record(std::string(700, 'q'), Value(Blob{kBigBlob})) + kNext,
                   {{std::string(700, 'q'), debug_string(Value(Blob{kBigBlob}))}, {"n", "Int(7)"}}}),
    [](const ::testing::TestParamInfo<ReplayCase>& info) { return std::string(info.param.name); });

struct TailCase {
  const char* name;
  const char* tail;
};

class DamagedTailTest : public ::testing::TestWithParam<TailCase> {};

TEST_P(DamagedTailTest, RefusesToOpenWithoutAllocatingOrTouchingTheFile) {
  TempDir dir;
  for (const std::string& before : {std::string(), kWorkedRecord}) {
    const std::string bytes = before + hex(GetParam().tail);
    write_file(dir.file("c.brd"), bytes);
    std::string error;
    std::size_t largest;
    {
      testing::AllocationProbe probe;
      error = open_error(dir.file("c.brd"));
      largest = probe.largest();
    }
    EXPECT_EQ(error, kEof);
    EXPECT_LT(largest, 1u << 16);
    EXPECT_EQ(read_file(dir.file("c.brd")), bytes);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cuts, DamagedTailTest,
    ::testing::Values(TailCase{"InsideKeyLength", "03 00"},
                      TailCase{"InsideKey", "03 00 00 00 6B 6B"},
                      TailCase{"InsideValueLength", "01 00 00 00 6B 09 00"},
                      TailCase{"BeforeFirstValueByte", "01 00 00 00 6B 09 00 00 00"},
                      TailCase{"InsideValueBody", "01 00 00 00 6B 09 00 00 00 02 01 00"},
                      TailCase{"InsideDeletionBody", "01 00 00 00 6B 03 00 00 00 0C 00"},
                      TailCase{"HugeKeyLength", "FF FF FF FF 6B 6B 6B 6B 6B"},
                      TailCase{"HugeValueLength", "01 00 00 00 6B FF FF FF FF 02 01 00"}),
    [](const ::testing::TestParamInfo<TailCase>& info) { return std::string(info.param.name); });

TEST(CollectionTest, InvalidUtf8KeyRefusesToOpen) {
  TempDir dir;
  write_file(dir.file("c.brd"), kIntA + record("\xC3\x28", Value(1)));
  auto c = Collection::open(dir.file("c.brd"));
  ASSERT_FALSE(c);
  EXPECT_TRUE(c.error().is_io());
  EXPECT_EQ(c.error().to_string(), "io: invalid utf8 key");
}

// Replay reads the file in large chunks; a key that ends exactly where one
// chunk ends must survive the read of the next chunk.
TEST(CollectionTest, ReplayKeepsKeysEndingAtReadChunkBoundaries) {
  TempDir dir;
  constexpr std::size_t kMiB = 1 << 20;
  const std::string filler(kMiB + 100, 'z');
  for (std::size_t value_start = kMiB - 2; value_start <= kMiB + 2; ++value_start) {
    // "pad" record: 8 + 3 + 5 + n bytes; then key "k" with its 9 header bytes.
    const std::size_t pad = value_start - 9 - 16;
    const std::string bytes = record("pad", Value(Blob{std::string(pad, 'p')})) + record("k", Value(7)) +
                              record("z", Value(Blob{filler}));
    ASSERT_EQ(bytes.find(record("k", Value(7))), value_start - 9);
    write_file(dir.file("c.brd"), bytes);
    auto c = Collection::open(dir.file("c.brd"));
    ASSERT_TRUE(c) << c.error().to_string();
    EXPECT_EQ(read(*c, "k"), "Int(7)") << "value at " << value_start;
    EXPECT_EQ(c->live_keys(), 3u) << "value at " << value_start;
  }
}

TEST(CollectionTest, EachSetIsFlushedUnlessDeferred) {
  TempDir dir;
  const std::string path = dir.file("c.brd");
  {
    auto c = Collection::open(path);
    ASSERT_TRUE(c);
    ASSERT_TRUE(c->set("a", Value(1)));
    EXPECT_EQ(file_size(path), 18u);
    EXPECT_EQ(c->buffered_bytes(), 0u);

    c->set_defer_flush(true);
    ASSERT_TRUE(c->set("b", Value("buffered")));
    ASSERT_TRUE(c->set("a", Value(Tombstone{})));
    ASSERT_TRUE(c->set(std::string(600, 'L'), Value(2)));
    EXPECT_EQ(file_size(path), 18u);
    EXPECT_EQ(c->buffered_bytes(), c->write_offset() - 18);
    // Records still in the buffer are readable, deletions included.
    EXPECT_EQ(read(*c, "b"), R"(Text("buffered"))");
    EXPECT_EQ(read(*c, "a"), "key not found");
    EXPECT_EQ(read(*c, std::string(600, 'L')), "Int(2)");

    ASSERT_TRUE(c->flush());
    EXPECT_EQ(file_size(path), c->write_offset());
    EXPECT_EQ(c->buffered_bytes(), 0u);
    ASSERT_TRUE(c->set("c", Value(3)));
    EXPECT_EQ(file_size(path), c->write_offset() - 18);
  }
  // Closing wrote out what was still buffered.
  auto c = Collection::open(path);
  ASSERT_TRUE(c);
  EXPECT_EQ(read(*c, "a"), "key not found");
  EXPECT_EQ(read(*c, "b"), R"(Text("buffered"))");
  EXPECT_EQ(read(*c, "c"), "Int(3)");
}

TEST(CollectionTest, DeferredRecordsStayBufferedUntilTheBufferFills) {
  TempDir dir;
  const std::string path = dir.file("c.brd");
  auto c = Collection::open(path);
  ASSERT_TRUE(c);
  c->set_defer_flush(true);
  // Each record: 9 header and key bytes and a 1,020-byte value.
  const Value value(Blob{std::string(1015, 'v')});
  for (int i = 0; i < 63; ++i) ASSERT_TRUE(c->set("k", value));
  EXPECT_EQ(file_size(path), 0u);
  EXPECT_EQ(c->buffered_bytes(), 63u * 1029);
  // The value piece of the 64th record no longer fits: everything before it
  // goes out, the value piece starts the new buffer.
  ASSERT_TRUE(c->set("k", value));
  EXPECT_EQ(file_size(path), 63u * 1029 + 9);
  EXPECT_EQ(c->buffered_bytes(), 1020u);
  EXPECT_EQ(read(*c, "k"), debug_string(value));
}

TEST(CollectionTest, PiecesOfBufferSizeBypassTheBuffer) {
  TempDir dir;
  const std::string path = dir.file("c.brd");
  auto c = Collection::open(path);
  ASSERT_TRUE(c);
  c->set_defer_flush(true);
  ASSERT_TRUE(c->set("a", Value(1)));
  // An encoding of exactly 65,536 bytes is written straight to the file,
  // after the buffered bytes before it.
  const Value exact(Blob{std::string(Collection::kWriteBufferSize - 5, 'e')});
  ASSERT_TRUE(c->set("x", exact));
  EXPECT_EQ(file_size(path), c->write_offset());
  EXPECT_EQ(c->buffered_bytes(), 0u);
  // One byte less still goes through the buffer; only the header is out.
  const std::uint64_t start = c->write_offset();
  const Value under(Blob{std::string(Collection::kWriteBufferSize - 6, 'u')});
  ASSERT_TRUE(c->set("y", under));
  EXPECT_EQ(file_size(path), start + 9);
  EXPECT_EQ(c->buffered_bytes(), Collection::kWriteBufferSize - 1);
  // A record split between the file and the buffer reads back whole.
  EXPECT_EQ(read(*c, "y"), debug_string(under));
  EXPECT_EQ(read(*c, "x"), debug_string(exact));
  EXPECT_EQ(read(*c, "a"), "Int(1)");
}

constexpr const char* kTooLarge = "io: File too large (os error 27)";

struct WriteFailureCase {
  const char* name;
  bool deferred;         // a 60,000-byte record waits in the buffer first
  std::size_t value_size;  // blob size of the record whose write fails
  std::int64_t limit_from_record_start;
};

class WriteFailureTest : public ::testing::TestWithParam<WriteFailureCase> {};

TEST_P(WriteFailureTest, PartialRecordIsDiscardedAndLaterRecordsFrameCorrectly) {
  const WriteFailureCase& param = GetParam();
  TempDir dir;
  const std::string path = dir.file("c.brd");
  const Value waiting(Blob{std::string(60000, 'w')});
  std::string expected_file = kWorkedRecord;
  {
    auto c = Collection::open(path);
    ASSERT_TRUE(c);
    ASSERT_TRUE(c->set("a", Value(1)));
    if (param.deferred) {
      c->set_defer_flush(true);
      ASSERT_TRUE(c->set("w", waiting));
      expected_file += record("w", waiting);
    }
    const std::uint64_t start = c->write_offset();
    const std::size_t live = c->live_keys();
    StorageResult<void> failed;
    bool limited;
    {
      FileSizeLimit limit(static_cast<rlim_t>(static_cast<std::int64_t>(start) + param.limit_from_record_start));
      limited = limit.ok();
      failed = c->set("a", Value(Blob{std::string(param.value_size, 'f')}));
    }
    ASSERT_TRUE(limited);
    ASSERT_FALSE(failed);
    EXPECT_EQ(failed.error().to_string(), kTooLarge);
    // File and buffer hold exactly the bytes before the failed record.
    EXPECT_EQ(c->write_offset(), start);
    EXPECT_EQ(file_size(path) + c->buffered_bytes(), start);
    EXPECT_LE(file_size(path), start);
    EXPECT_EQ(c->live_keys(), live);
    EXPECT_EQ(read(*c, "a"), "Int(1)");
    if (param.deferred) {
      EXPECT_EQ(read(*c, "w"), debug_string(waiting));
    }

    ASSERT_TRUE(c->set("b", Value(2)));
    ASSERT_TRUE(c->flush());
    expected_file += record("b", Value(2));
    EXPECT_EQ(c->write_offset(), expected_file.size());
  }
  EXPECT_EQ(read_file(path), expected_file);
  auto reopened = Collection::open(path);
  ASSERT_TRUE(reopened) << reopened.error().to_string();
  EXPECT_EQ(reopened->live_keys(), param.deferred ? 3u : 2u);
  EXPECT_EQ(read(*reopened, "a"), "Int(1)");
  EXPECT_EQ(read(*reopened, "b"), "Int(2)");
}

INSTANTIATE_TEST_SUITE_P(
    Cuts, WriteFailureTest,
    ::testing::Values(
        // The value goes straight to the file and is cut inside its body.
        WriteFailureCase{"DirectPieceCutInBody", false, 70000, 9 + 100},
        WriteFailureCase{"HeaderWrittenBodyRefused", false, 70000, 9},
        WriteFailureCase{"NothingWritten", false, 70000, 0},
        // Writing out the full buffer fails inside the new record's header.
        WriteFailureCase{"BufferCutInNewRecord", true, 10000, 3},
        // ... or inside the earlier record still waiting in the buffer.
        WriteFailureCase{"BufferCutInEarlierRecord", true, 10000, -59900}),
    [](const ::testing::TestParamInfo<WriteFailureCase>& info) { return std::string(info.param.name); });

TEST(CollectionTest, FailedFlushKeepsTheRecordForTheNextFlush) {
  TempDir dir;
  const std::string path = dir.file("c.brd");
  auto c = Collection::open(path);
  ASSERT_TRUE(c);
  ASSERT_TRUE(c->set("a", Value(1)));
  StorageResult<void> failed;
  bool limited;
  {
    FileSizeLimit limit(18 + 5);
    limited = limit.ok();
    failed = c->set("b", Value(2));
  }
  ASSERT_TRUE(limited);
  ASSERT_FALSE(failed);
  EXPECT_EQ(failed.error().to_string(), kTooLarge);
  // The record was accepted; only its delivery to the file is pending.
  EXPECT_EQ(c->write_offset(), 36u);
  EXPECT_EQ(file_size(path), 23u);
  EXPECT_EQ(c->buffered_bytes(), 13u);
  EXPECT_EQ(read(*c, "b"), "Int(2)");
  ASSERT_TRUE(c->flush());
  EXPECT_EQ(read_file(path), kWorkedRecord + record("b", Value(2)));
}

}  // namespace
}  // namespace brindle

namespace brindle {
namespace {

TEST(CollectionRefusals, ValueNestedBeyondTheReadableDepthIsRefusedBeforeWriting) {
  testing::TempDir dir;
  auto collection = Collection::open(dir.file("c.brd"));
  ASSERT_TRUE(collection.has_value());
  Value deep;
  for (std::size_t i = 0; i <= kMaxNesting; ++i) deep = Value(Array{std::move(deep)});
  auto written = collection->set("k", deep);
  ASSERT_FALSE(written.has_value());
  EXPECT_EQ(written.error().to_string(), "io: value is nested too deeply");
  EXPECT_EQ(collection->write_offset(), 0u);
  EXPECT_EQ(testing::file_size(dir.file("c.brd")), 0u);
}

TEST(CollectionRefusals, FifoNamedLikeADataFileFailsInsteadOfHanging) {
  testing::TempDir dir;
  ASSERT_EQ(::mkfifo(dir.file("pipe.brd").c_str(), 0666), 0);
  auto opened = Collection::open(dir.file("pipe.brd"));
  ASSERT_FALSE(opened.has_value());
  EXPECT_EQ(opened.error().to_string(), "io: No such device or address (os error 6)");
}

}  // namespace
}  // namespace brindle
