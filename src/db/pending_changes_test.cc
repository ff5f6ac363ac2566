#include <gtest/gtest.h>

#include <deque>
#include <string>
#include <tuple>

#include "db/pending_changes.h"
#include "testing/allocation_probe.h"

namespace brindle {
namespace {

using Op = BacklinkIndex::Op;
using Row = std::tuple<Op, std::string, std::uint32_t, std::uint64_t, std::string, std::string, std::string>;

Row row_of(const PendingChanges::Change& c) {
  return {c.kind,
          std::string(c.target_collection),
          c.record_collection,
          c.record_offset,
          std::string(c.target_key),
          std::string(c.source_key),
          std::string(c.source_path)};
}

// Changes pile up across chunk boundaries (one larger than a chunk) and are
// taken from the front part-way, as a commit that fails does: every reader
// must see exactly the changes still queued, in order.
TEST(PendingChanges, KeepsEveryChangeInOrderAcrossChunks) {
  PendingChanges queue;
  std::deque<Row> expected;
  auto push = [&](Op op, std::string target, std::uint32_t coll, std::uint64_t offset, std::string key,
                  std::string source, std::string path) {
    queue.push(op, target, coll, offset, key, source, path);
    expected.emplace_back(op, target, coll, offset, key, source, path);
  };
  auto check = [&] {
    ASSERT_EQ(queue.size(), expected.size());
    std::size_t i = 0;
    queue.for_each([&](const PendingChanges::Change& c) { EXPECT_EQ(row_of(c), expected[i++]); });
    EXPECT_EQ(i, expected.size());
    if (!expected.empty()) {
      EXPECT_EQ(row_of(queue.front()), expected.front());
    }
  };
  for (std::uint32_t i = 0; i < 3000; ++i) {
    push(i % 3 ? Op::Add : Op::Remove, i % 2 ? "people" : "", i % 5, std::uint64_t{i} << 33,
         "p" + std::to_string(i), "b" + std::to_string(i * 7), i % 4 ? "author" : "");
    if (i == 1500) push(Op::Add, "people", 9, 1, std::string(200000, 'k'), "big", "x");
    if (i == 2000) push(Op::Remove, "people", 0xFFFFFFFFu, (std::uint64_t{1} << 48) - 3, "k", "", "x");
  }
  check();
  for (int i = 0; i < 1700; ++i) {
    queue.pop_front();
    expected.pop_front();
  }
  check();
  push(Op::Remove, "places", 1, 2, "tail", "s", "p");
  while (!expected.empty()) {
    queue.pop_front();
    expected.pop_front();
  }
  check();
  EXPECT_TRUE(queue.empty());
  push(Op::Add, "people", 0, 0, "again", "b", "author");
  check();
}

// Regression: room made for a write's changes as a whole, in a new chunk
// whenever they did not fit the rest of the last one, left that rest unused:
// a transaction of writes with a thousand links each held about three times
// the memory its changes take. The pushes that room was made for must still
// allocate nothing, and keep their order.
TEST(PendingChanges, RoomMadeForEachWriteKeepsTheQueuePacked) {
  auto bytes_taken = [](bool making_room) {
    const testing::AllocationProbe probe;
    PendingChanges queue;
    for (std::uint64_t write = 0; write < 40; ++write) {
      const std::string source = "b" + std::to_string(write);
      if (making_room) {
        std::size_t bytes = 0;
        for (int i = 0; i < 1000; ++i) bytes += PendingChanges::push_size("p" + std::to_string(i), source, "author");
        queue.name("people");
        queue.reserve(bytes);
      }
      const std::size_t before = probe.total();
      for (int i = 0; i < 1000; ++i) queue.push(Op::Add, "people", 0, write, "p" + std::to_string(i), source, "author");
      if (making_room) {
        EXPECT_EQ(probe.total(), before);
      }
    }
    std::size_t i = 0;
    queue.for_each([&](const PendingChanges::Change& c) {
      EXPECT_EQ(c.record_offset, i / 1000);
      EXPECT_EQ(c.target_key, "p" + std::to_string(i++ % 1000));
    });
    EXPECT_EQ(i, 40000u);
    return probe.total();
  };
  // A chunk made ahead may stay unused, and one made for a whole write is
  // larger than the usual.
  const std::size_t packed = bytes_taken(false);
  EXPECT_LT(bytes_taken(true), packed + packed / 2) << packed;
}

}  // namespace
}  // namespace brindle
