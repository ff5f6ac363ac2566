#include "backlinks/backlink_index.h"

#include <gtest/gtest.h>
#include <sys/resource.h>

#include <csignal>
#include <cstdint>
#include <filesystem>
#include <ostream>
#include <string>
#include <vector>

#include "testing/file_size_limit.h"
#include "testing/builders.h"
#include "testing/temp_dir.h"

namespace brindle {

namespace {

using testing::array;
using testing::FileSizeLimit;
using testing::link;
using testing::map;
using testing::prefixed;

using testing::file_exists;
using testing::file_size;
using testing::read_file;
using testing::TempDir;
using testing::write_file;
using Entries = std::vector<BacklinkEntry>;


std::string record(std::uint8_t op, std::string_view key, const BacklinkEntry& e) {
  return std::string(1, static_cast<char>(op)) + prefixed(key) + prefixed(e.source_collection) + prefixed(e.source_key) +
         prefixed(e.source_path);
}

const BacklinkEntry kA{"posts", "p1", "author"};
const BacklinkEntry kB{"posts", "p2", "editor"};
const BacklinkEntry kC{"books", "b1", "refs/0"};

BacklinkIndex open_ok(const std::string& path) {
  auto index = BacklinkIndex::open(path);
  if (!index) ADD_FAILURE() << index.error().to_string();
  return std::move(*index);
}

Entries entries_of(const BacklinkIndex& index, std::string_view key) {
  const Entries* found = index.find(key);
  return found ? *found : Entries{};
}

TEST(BacklinkIndexFormat, AddWritesTheDocumentedRecord) {
  TempDir dir;
  const std::string path = dir.file("people.brl");
  BacklinkIndex index = open_ok(path);
  ASSERT_TRUE(index.add("alice", kA));
  const char expected[] =
      "\x01"
      "\x05\x00\x00\x00" "alice"
      "\x05\x00\x00\x00" "posts"
      "\x02\x00\x00\x00" "p1"
      "\x06\x00\x00\x00" "author";
  ASSERT_EQ(sizeof expected - 1, 35u);
  EXPECT_EQ(read_file(path), std::string(expected, sizeof expected - 1));
  EXPECT_EQ(index.path(), path);
}

TEST(BacklinkIndexFormat, RemoveWritesOpTwoEvenForAnUnknownKey) {
  TempDir dir;
  const std::string path = dir.file("people.brl");
  BacklinkIndex index = open_ok(path);
  ASSERT_TRUE(index.remove("nobody", kA));
  EXPECT_EQ(read_file(path), record(2, "nobody", kA));
  EXPECT_EQ(index.find("nobody"), nullptr);
}

TEST(BacklinkIndexFormat, EmptyStringsAreFourZeroBytes) {
  TempDir dir;
  const std::string path = dir.file("x.brl");
  {
    BacklinkIndex index = open_ok(path);
    ASSERT_TRUE(index.add("", BacklinkEntry{"", "", ""}));
  }
  EXPECT_EQ(read_file(path), std::string("\x01", 1) + std::string(16, '\0'));
  EXPECT_EQ(entries_of(open_ok(path), ""), (Entries{{"", "", ""}}));
}

TEST(BacklinkIndexFormat, OpenCreatesAnEmptyFile) {
  TempDir dir;
  const std::string path = dir.file("new.brl");
  BacklinkIndex index = open_ok(path);
  EXPECT_TRUE(file_exists(path));
  EXPECT_EQ(file_size(path), 0u);
  EXPECT_EQ(index.find("anything"), nullptr);
}

TEST(BacklinkIndexFormat, WritesAfterReopenAppendAtTheEnd) {
  TempDir dir;
  const std::string path = dir.file("p.brl");
  { ASSERT_TRUE(open_ok(path).add("alice", kA)); }
  {
    BacklinkIndex index = open_ok(path);
    ASSERT_TRUE(index.remove("alice", kB));
  }
  EXPECT_EQ(read_file(path), record(1, "alice", kA) + record(2, "alice", kB));
}

TEST(BacklinkIndexFormat, OpeningADirectoryFails) {
  TempDir dir;
  std::filesystem::create_directory(dir.file("d.brl"));
  auto index = BacklinkIndex::open(dir.file("d.brl"));
  ASSERT_FALSE(index);
  EXPECT_EQ(index.error().to_string(), "Is a directory (os error 21)");
}

TEST(BacklinkIndexMap, OrderIsKeptAcrossReopen) {
  TempDir dir;
  const std::string path = dir.file("p.brl");
  {
    BacklinkIndex index = open_ok(path);
    ASSERT_TRUE(index.add("alice", kB));
    ASSERT_TRUE(index.add("bob", kA));
    ASSERT_TRUE(index.add("alice", kC));
    ASSERT_TRUE(index.add("alice", kA));
    EXPECT_EQ(entries_of(index, "alice"), (Entries{kB, kC, kA}));
  }
  BacklinkIndex reopened = open_ok(path);
  EXPECT_EQ(entries_of(reopened, "alice"), (Entries{kB, kC, kA}));
  EXPECT_EQ(entries_of(reopened, "bob"), (Entries{kA}));
}

TEST(BacklinkIndexMap, DuplicatesStandTwiceAndOneRemoveDeletesAll) {
  TempDir dir;
  const std::string path = dir.file("p.brl");
  {
    BacklinkIndex index = open_ok(path);
    ASSERT_TRUE(index.add("alice", kA));
    ASSERT_TRUE(index.add("alice", kB));
    ASSERT_TRUE(index.add("alice", kA));
    EXPECT_EQ(entries_of(index, "alice"), (Entries{kA, kB, kA}));
    ASSERT_TRUE(index.remove("alice", kA));
    EXPECT_EQ(entries_of(index, "alice"), (Entries{kB}));
  }
  EXPECT_EQ(entries_of(open_ok(path), "alice"), (Entries{kB}));
}

TEST(BacklinkIndexMap, RemoveComparesAllThreeFields) {
  TempDir dir;
  BacklinkIndex index = open_ok(dir.file("p.brl"));
  ASSERT_TRUE(index.add("alice", kA));
  ASSERT_TRUE(index.remove("alice", BacklinkEntry{"posts", "p1", "editor"}));
  ASSERT_TRUE(index.remove("alice", BacklinkEntry{"posts", "p9", "author"}));
  ASSERT_TRUE(index.remove("alice", BacklinkEntry{"books", "p1", "author"}));
  ASSERT_TRUE(index.remove("bob", kA));
  EXPECT_EQ(entries_of(index, "alice"), (Entries{kA}));
}

TEST(BacklinkIndexMap, EmptiedKeyStaysWithAnEmptyList) {
  TempDir dir;
  const std::string path = dir.file("p.brl");
  {
    BacklinkIndex index = open_ok(path);
    ASSERT_TRUE(index.add("alice", kA));
    ASSERT_TRUE(index.remove("alice", kA));
    ASSERT_NE(index.find("alice"), nullptr);
    EXPECT_TRUE(index.find("alice")->empty());
  }
  BacklinkIndex reopened = open_ok(path);
  ASSERT_NE(reopened.find("alice"), nullptr);
  EXPECT_TRUE(reopened.find("alice")->empty());
}

TEST(BacklinkIndexReplay, RemoveBeforeAddLeavesTheAddedEntry) {
  TempDir dir;
  const std::string path = dir.file("p.brl");
  write_file(path, record(2, "alice", kA) + record(1, "alice", kA));
  EXPECT_EQ(entries_of(open_ok(path), "alice"), (Entries{kA}));
}

TEST(BacklinkIndexReplay, RemoveOfAnUnknownKeyCreatesNoList) {
  TempDir dir;
  const std::string path = dir.file("p.brl");
  write_file(path, record(2, "ghost", kA));
  EXPECT_EQ(open_ok(path).find("ghost"), nullptr);
}

TEST(BacklinkIndexReplay, UnknownOpsAreReadWholeAndSkipped) {
  TempDir dir;
  const std::string path = dir.file("p.brl");
  write_file(path, record(1, "alice", kA) + record(3, "alice", kB) + record(0, "bob", kB) +
                       record(255, "alice", kC) + record(2, "carol", kC) + record(1, "alice", kC));
  BacklinkIndex index = open_ok(path);
  EXPECT_EQ(entries_of(index, "alice"), (Entries{kA, kC}));
  EXPECT_EQ(index.find("bob"), nullptr);
  EXPECT_EQ(index.find("carol"), nullptr);
}

TEST(BacklinkIndexReplay, CutInsideARecordFailsAndCutAtABoundaryOpens) {
  TempDir dir;
  const std::string path = dir.file("p.brl");
  const std::string first = record(1, "alice", kA);
  const std::string second = record(1, "bob", kB);
  const std::string whole = first + second;
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
      EXPECT_EQ(index.error().to_string(), "failed to fill whole buffer") << "cut at " << cut;
    }
  }
}

TEST(BacklinkIndexReplay, HugeLengthInATinyFileFailsAsACutFile) {
  TempDir dir;
  const std::string path = dir.file("p.brl");
  write_file(path, std::string("\x01\xff\xff\xff\xff", 5) + "abc");
  auto first = BacklinkIndex::open(path);
  ASSERT_FALSE(first);
  EXPECT_EQ(first.error().to_string(), "failed to fill whole buffer");

  // The same in the last string of a record that follows a good one.
  std::string bad = record(1, "k", kA);
  bad += record(1, "k", kB).substr(0, 1 + 4 + 1 + 4 + 5 + 4 + 2);
  bad += std::string("\xf0\xff\xff\xff", 4) + "x";
  write_file(path, bad);
  auto second = BacklinkIndex::open(path);
  ASSERT_FALSE(second);
  EXPECT_EQ(second.error().to_string(), "failed to fill whole buffer");
}

// Replay reads the file in large chunks; records and strings that straddle
// or exceed a chunk must come out whole.
TEST(BacklinkIndexReplay, FilesLargerThanOneReadChunk) {
  TempDir dir;
  const std::string path = dir.file("p.brl");
  std::string bytes;
  for (int i = 0; i < 50000; ++i) {
    bytes += record(1, "k" + std::to_string(i % 7), BacklinkEntry{"c", std::to_string(i), "f"});
  }
  const std::string long_path(3 << 20, 'x');
  bytes += record(1, "big", BacklinkEntry{"c", "b", long_path});
  bytes += record(2, "k3", BacklinkEntry{"c", "3", "f"});
  write_file(path, bytes);
  BacklinkIndex index = open_ok(path);
  EXPECT_EQ(entries_of(index, "k0").size(), 7143u);
  EXPECT_EQ(entries_of(index, "k3").size(), 7142u);
  EXPECT_EQ(entries_of(index, "k5").back(), (BacklinkEntry{"c", "49999", "f"}));
  EXPECT_EQ(entries_of(index, "big"), (Entries{{"c", "b", long_path}}));
}

TEST(BacklinkIndexReplay, InvalidUtf8InAnyStringFails) {
  TempDir dir;
  const std::string path = dir.file("p.brl");
  const std::string bad = "\xc3\x28";
  const std::vector<std::string> files = {
      record(1, bad, kA),
      record(1, "k", BacklinkEntry{bad, "p1", "author"}),
      record(1, "k", BacklinkEntry{"posts", bad, "author"}),
      record(1, "k", BacklinkEntry{"posts", "p1", bad}),
      record(1, "k", kA) + record(3, "k", BacklinkEntry{"posts", "p1", "\xff"}),
  };
  for (const std::string& bytes : files) {
    write_file(path, bytes);
    auto index = BacklinkIndex::open(path);
    ASSERT_FALSE(index);
    EXPECT_EQ(index.error().kind(), IoError::Kind::InvalidData);
    EXPECT_EQ(index.error().to_string(), "invalid utf8 in backlink");
  }
}

TEST(BacklinkIndexFailure, FailedAddLeavesFileOnABoundaryAndMapUnchanged) {
  TempDir dir;
  const std::string path = dir.file("p.brl");
  BacklinkIndex index = open_ok(path);
  ASSERT_TRUE(index.add("alice", kA));
  const std::string before = read_file(path);
  // Room for part of the next record only, then none at all.
  for (std::uint64_t room : {10u, 0u}) {
    std::expected<void, IoError> added;
    {
      FileSizeLimit limit(before.size() + room);
      added = index.add("alice", kB);
    }
    ASSERT_FALSE(added);
    EXPECT_EQ(added.error().to_string(), "File too large (os error 27)");
    EXPECT_EQ(read_file(path), before);
    EXPECT_EQ(entries_of(index, "alice"), (Entries{kA}));
  }
  ASSERT_TRUE(index.add("alice", kC));
  EXPECT_EQ(read_file(path), before + record(1, "alice", kC));
  EXPECT_EQ(entries_of(open_ok(path), "alice"), (Entries{kA, kC}));
}

TEST(BacklinkIndexFailure, FailedRemoveLeavesFileOnABoundaryAndMapUnchanged) {
  TempDir dir;
  const std::string path = dir.file("p.brl");
  BacklinkIndex index = open_ok(path);
  ASSERT_TRUE(index.add("alice", kA));
  ASSERT_TRUE(index.add("alice", kB));
  const std::string before = read_file(path);
  std::expected<void, IoError> removed;
  {
    FileSizeLimit limit(before.size() + 7);
    removed = index.remove("alice", kA);
  }
  ASSERT_FALSE(removed);
  EXPECT_EQ(read_file(path), before);
  EXPECT_EQ(entries_of(index, "alice"), (Entries{kA, kB}));

  ASSERT_TRUE(index.remove("alice", kA));
  EXPECT_EQ(entries_of(index, "alice"), (Entries{kB}));
  EXPECT_EQ(entries_of(open_ok(path), "alice"), (Entries{kB}));
}

}  // namespace
}  // namespace brindle
