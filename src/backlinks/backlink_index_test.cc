#include "backlinks/backlink_index.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdint>
#include <optional>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "testing/builders.h"
#include "testing/file_size_limit.h"
#include "testing/temp_dir.h"

namespace brindle {
namespace {

using testing::FileSizeLimit;
using testing::index_record;
using testing::read_file;
using testing::TempDir;
using testing::write_file;
using Entries = std::vector<BacklinkEntry>;

const BacklinkEntry kA{"posts", "p1", "author"};
const BacklinkEntry kB{"posts", "p2", "editor"};
const BacklinkEntry kC{"books", "b1", "refs/0"};
constexpr const char* kEof = "failed to fill whole buffer";

Entries entries_of(const BacklinkIndex& index, std::string_view key) {
  return index.find(key).value_or(Entries{});
}

class BacklinkIndexTest : public ::testing::Test {
 protected:
  BacklinkIndex open_ok() {
    auto index = BacklinkIndex::open(path);
    if (!index) throw std::runtime_error(index.error().to_string());
    return std::move(*index);
  }
  std::string open_error() {
    auto index = BacklinkIndex::open(path);
    return index ? "opened" : index.error().to_string();
  }

  TempDir dir;
  const std::string path = dir.file("people.brl");
};

TEST_F(BacklinkIndexTest, AppliesAddsAndRemovesInOrderAndSkipsUnknownOps) {
  // A removal before the addition leaves the added entry; a removal of an
  // unknown key creates no list; unknown ops are read whole and skipped.
  write_file(path, index_record(2, "alice", kA) + index_record(1, "alice", kA) + index_record(3, "alice", kA) +
                       index_record(0, "bob", kB) + index_record(255, "alice", kA) + index_record(2, "carol", kC) +
                       index_record(1, "alice", kC));
  BacklinkIndex index = open_ok();
  EXPECT_EQ(entries_of(index, "alice"), (Entries{kA, kC}));
  EXPECT_EQ(index.find("bob"), std::nullopt);
  EXPECT_EQ(index.find("carol"), std::nullopt);
}

TEST_F(BacklinkIndexTest, CutInsideARecordFailsAndCutAtABoundaryOpens) {
  const std::string first = index_record(1, "alice", kA);
  const std::string whole = first + index_record(1, "bob", kB);
  for (std::size_t cut = 0; cut <= whole.size(); ++cut) {
    write_file(path, whole.substr(0, cut));
    auto index = BacklinkIndex::open(path);
    if (cut == 0 || cut == first.size() || cut == whole.size()) {
      ASSERT_TRUE(index) << "cut at " << cut;
      EXPECT_EQ(entries_of(*index, "alice"), cut == 0 ? Entries{} : Entries{kA});
      EXPECT_EQ(entries_of(*index, "bob"), cut == whole.size() ? Entries{kB} : Entries{});
    } else {
      ASSERT_FALSE(index) << "cut at " << cut;
      EXPECT_EQ(index.error().kind(), IoError::Kind::UnexpectedEof);
      EXPECT_EQ(index.error().to_string(), kEof) << "cut at " << cut;
    }
  }
  // A huge length in a tiny file is a cut file too, first or last string.
  write_file(path, std::string("\x01\xff\xff\xff\xff", 5) + "abc");
  EXPECT_EQ(open_error(), kEof);
  write_file(path, first + index_record(1, "k", kB).substr(0, 21) + std::string("\xf0\xff\xff\xff", 4) + "x");
  EXPECT_EQ(open_error(), kEof);
}

// Replay stages the records and builds each list in one go, except lists
// that see a remove, which replay their records one by one. A random run of
// adds and removes (targets that only ever gain entries beside targets that
// also lose them, removes naming a collection never added, removes of targets
// never added to) must replay to exactly what the writes built.
TEST_F(BacklinkIndexTest, ReplayRebuildsWhatTheWritesBuilt) {
  constexpr unsigned kTargets = 40;
  std::mt19937 rng(7);
  std::vector<std::optional<Entries>> built(kTargets + 1);
  {
    BacklinkIndex index = open_ok();
    for (int step = 0; step < 3000; ++step) {
      const unsigned t = rng() % (kTargets + 1);
      const std::string target = "t" + std::to_string(t);
      const char* collections[] = {"posts", "books", "ghosts"};
      const BacklinkEntry entry{collections[rng() % 3], "k" + std::to_string(rng() % 5), "f"};
      const bool add = t != kTargets && entry.source_collection != "ghosts" && (t % 2 == 1 || rng() % 3 != 0);
      ASSERT_TRUE(add ? index.add(target, entry) : index.remove(target, entry));
    }
    for (unsigned t = 0; t <= kTargets; ++t) built[t] = index.find("t" + std::to_string(t));
  }
  BacklinkIndex replayed = open_ok();
  for (unsigned t = 0; t <= kTargets; ++t) EXPECT_EQ(replayed.find("t" + std::to_string(t)), built[t]) << t;
  EXPECT_EQ(built[kTargets], std::nullopt);
}

// Regression: a target key kept its (empty) list in memory for good once
// every entry under it was removed, so an index whose targets come and go
// (records linked to, then unlinked and deleted) grew by about a hundred
// bytes per target ever linked, live and again at every open.
TEST_F(BacklinkIndexTest, ListsEmptiedByRemovesAreGivenBack) {
  {
    BacklinkIndex index = open_ok();
    ASSERT_TRUE(index.add("steady", kA));
    for (int i = 0; i < 5000; ++i) {
      const std::string target = "t" + std::to_string(i);
      ASSERT_TRUE(index.add(target, kA));
      ASSERT_TRUE(index.add(target, kB));
      ASSERT_TRUE(index.remove(target, kA));
      ASSERT_TRUE(index.remove(target, kB));
    }
    ASSERT_TRUE(index.add("t7", kC));
    EXPECT_LT(index.lists_held(), 200u);  // a few given back may wait for a renumbering
    EXPECT_EQ(index.find("t1"), std::nullopt);
    EXPECT_EQ(entries_of(index, "t7"), (Entries{kC}));
    EXPECT_EQ(entries_of(index, "steady"), (Entries{kA}));
  }
  BacklinkIndex reopened = open_ok();
  EXPECT_EQ(reopened.lists_held(), 2u);
  EXPECT_EQ(reopened.find("t1"), std::nullopt);
  EXPECT_EQ(entries_of(reopened, "t7"), (Entries{kC}));
  EXPECT_EQ(entries_of(reopened, "steady"), (Entries{kA}));
}

// Replay reads the file in large chunks; records and strings that straddle
// or exceed a chunk must come out whole.
TEST_F(BacklinkIndexTest, FilesLargerThanOneReadChunk) {
  std::string bytes;
  for (int i = 0; i < 50000; ++i) {
    bytes += index_record(1, "k" + std::to_string(i % 7), BacklinkEntry{"c", std::to_string(i), "f"});
  }
  const std::string long_path(3 << 20, 'x');
  bytes += index_record(1, "big", BacklinkEntry{"c", "b", long_path}) + index_record(2, "k3", {"c", "3", "f"});
  write_file(path, bytes);
  BacklinkIndex index = open_ok();
  EXPECT_EQ(entries_of(index, "k0").size(), 7143u);
  EXPECT_EQ(entries_of(index, "k3").size(), 7142u);
  EXPECT_EQ(entries_of(index, "k5").back(), (BacklinkEntry{"c", "49999", "f"}));
  EXPECT_EQ(entries_of(index, "big"), (Entries{{"c", "b", long_path}}));
}

TEST_F(BacklinkIndexTest, InvalidUtf8InAnyStringFails) {
  const std::string bad = "\xc3\x28";
  // In the target key, each entry field, or a record with an unknown op.
  const std::string files[] = {
      index_record(1, bad, kA), index_record(1, "k", {bad, "p1", "a"}), index_record(1, "k", {"posts", bad, "a"}),
      index_record(1, "k", {"posts", "p1", bad}), index_record(1, "k", kA) + index_record(3, "k", {"p", "1", "\xff"})};
  for (const std::string& bytes : files) {
    write_file(path, bytes);
    auto index = BacklinkIndex::open(path);
    ASSERT_FALSE(index);
    EXPECT_EQ(index.error().kind(), IoError::Kind::InvalidData);
    EXPECT_EQ(index.error().to_string(), "invalid utf8 in backlink");
  }
}

// A write cut short by the file size limit is cut back: the file ends on a
// record boundary and the map is unchanged, so the next write frames right.
// A batch is one write: room for its first record only changes nothing.
TEST_F(BacklinkIndexTest, FailedWriteLeavesFileOnABoundaryAndMapUnchanged) {
  BacklinkIndex index = open_ok();
  ASSERT_TRUE(index.add("alice", kA));
  ASSERT_TRUE(index.add("alice", kB));
  const std::string before = read_file(path);
  const BacklinkChange batch[] = {{BacklinkOp::Remove, "alice", kA}, {BacklinkOp::Add, "alice", kC}};
  const std::uint64_t first_record = index_record(2, "alice", kA).size();
  // Room for part of an add, for none of it, for part of a remove, and for
  // the first record of a batch and part of its second.
  for (std::uint64_t room : {std::uint64_t{10}, std::uint64_t{0}, std::uint64_t{7}, first_record + 5}) {
    std::expected<void, IoError> written;
    {
      FileSizeLimit limit(before.size() + room);
      written = room == 7 ? index.remove("alice", kA)
                : room > first_record ? index.apply_all(batch)
                                      : index.add("alice", kC);
    }
    ASSERT_FALSE(written);
    EXPECT_EQ(written.error().to_string(), "File too large (os error 27)");
    EXPECT_EQ(read_file(path), before);
    EXPECT_EQ(entries_of(index, "alice"), (Entries{kA, kB}));
  }
  ASSERT_TRUE(index.apply_all(batch));
  EXPECT_EQ(read_file(path), before + index_record(2, "alice", kA) + index_record(1, "alice", kC));
  EXPECT_EQ(entries_of(index, "alice"), (Entries{kB, kC}));
  EXPECT_EQ(entries_of(open_ok(), "alice"), (Entries{kB, kC}));
}

}  // namespace
}  // namespace brindle
