#include <gtest/gtest.h>

#include <deque>
#include <string>
#include <tuple>

#include "db/pending_changes.h"

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

}  // namespace
}  // namespace brindle
