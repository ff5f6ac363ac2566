#include <gtest/gtest.h>
#include <sys/resource.h>

#include <csignal>
#include <cstdint>
#include <filesystem>
#include <ostream>
#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

#include "backlinks/backlink_index.h"
#include "db/database.h"
#include "testing/file_size_limit.h"
#include "testing/builders.h"
#include "testing/temp_dir.h"
#include "types/value.h"

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


std::string add_record(std::string_view key, const BacklinkEntry& e) {
  return "\x01" + prefixed(key) + prefixed(e.source_collection) + prefixed(e.source_key) + prefixed(e.source_path);
}
std::string remove_record(std::string_view key, const BacklinkEntry& e) {
  return "\x02" + prefixed(key) + prefixed(e.source_collection) + prefixed(e.source_key) + prefixed(e.source_path);
}

Database open_db(const TempDir& dir) {
  auto db = Database::open(dir.path());
  if (!db) ADD_FAILURE() << db.error().to_string();
  return std::move(*db);
}

Entries backlinks(Database& db, std::string_view collection, std::string_view key) {
  auto found = db.get_backlinks(collection, key);
  if (!found) {
    ADD_FAILURE() << found.error().to_string();
    return {};
  }
  return *found;
}

int count_brl_files(const TempDir& dir) {
  int n = 0;
  for (const auto& entry : std::filesystem::directory_iterator(dir.path())) {
    if (entry.path().extension() == ".brl") ++n;
  }
  return n;
}

const BacklinkEntry kAuthor{"books", "b1", "author"};
const BacklinkEntry kEditor{"books", "b1", "editor"};

TEST(WriteUpkeep, AddingALinkIndexesItUnderTheTargetKey) {
  TempDir dir;
  Database db = open_db(dir);
  ASSERT_TRUE(db.set("books", "b1", map({{"author", link("people/alice")}})));
  EXPECT_EQ(backlinks(db, "people", "alice"), (Entries{kAuthor}));
  EXPECT_EQ(read_file(dir.file("people.brl")), add_record("alice", kAuthor));
  // The target needs no data file of its own.
  EXPECT_FALSE(file_exists(dir.file("people.brd")));
}

TEST(WriteUpkeep, LinkFreeWritesCreateNoIndexFile) {
  TempDir dir;
  Database db = open_db(dir);
  ASSERT_TRUE(db.set("notes", "n1", Value("people/alice")));
  ASSERT_TRUE(db.set("notes", "n2", map({{"x", Value(1)}})));
  ASSERT_TRUE(db.set("notes", "n1", Value(Tombstone{})));
  ASSERT_TRUE(db.set("notes", "never-written", Value(Tombstone{})));
  EXPECT_EQ(count_brl_files(dir), 0);
}

TEST(WriteUpkeep, WritingTheSameValueAgainChangesNothing) {
  TempDir dir;
  Database db = open_db(dir);
  const Value v = map({{"author", link("people/alice")}, {"editor", link("people/bob")}});
  ASSERT_TRUE(db.set("books", "b1", v));
  const std::uint64_t size = file_size(dir.file("people.brl"));
  ASSERT_TRUE(db.set("books", "b1", v));
  EXPECT_EQ(file_size(dir.file("people.brl")), size);
  EXPECT_EQ(backlinks(db, "people", "alice"), (Entries{kAuthor}));
  EXPECT_EQ(backlinks(db, "people", "bob"), (Entries{kEditor}));
}

TEST(WriteUpkeep, DeleteRemovesTheEntriesOfAllLinks) {
  TempDir dir;
  Database db = open_db(dir);
  ASSERT_TRUE(db.set("books", "b1", map({{"author", link("people/alice")}, {"tag", link("tags/red")}})));
  ASSERT_TRUE(db.set("books", "b1", Value(Tombstone{})));
  EXPECT_EQ(backlinks(db, "people", "alice"), Entries{});
  EXPECT_EQ(backlinks(db, "tags", "red"), Entries{});
  EXPECT_EQ(read_file(dir.file("people.brl")), add_record("alice", kAuthor) + remove_record("alice", kAuthor));
  EXPECT_FALSE(db.get("books", "b1"));
}

TEST(WriteUpkeep, MovingALinkRemovesTheOldPlaceBeforeAddingTheNew) {
  TempDir dir;
  Database db = open_db(dir);
  ASSERT_TRUE(db.set("books", "b1", map({{"author", link("people/alice")}})));
  ASSERT_TRUE(db.set("books", "b1", map({{"editor", link("people/alice")}})));
  EXPECT_EQ(backlinks(db, "people", "alice"), (Entries{kEditor}));
  EXPECT_EQ(read_file(dir.file("people.brl")),
            add_record("alice", kAuthor) + remove_record("alice", kAuthor) + add_record("alice", kEditor));
}

TEST(WriteUpkeep, AllRemovalsPrecedeAllAdditions) {
  TempDir dir;
  Database db = open_db(dir);
  ASSERT_TRUE(db.set("books", "b1", map({{"a", link("p/1")}, {"b", link("p/2")}})));
  const std::string before = read_file(dir.file("p.brl"));
  ASSERT_TRUE(db.set("books", "b1", map({{"c", link("p/3")}, {"a", link("p/4")}, {"b", link("p/2")}})));
  EXPECT_EQ(read_file(dir.file("p.brl")),
            before + remove_record("1", {"books", "b1", "a"}) + add_record("3", {"books", "b1", "c"}) +
                add_record("4", {"books", "b1", "a"}));
}

TEST(WriteUpkeep, ManyLinksChangeOnlyWhatDiffers) {
  TempDir dir;
  Database db = open_db(dir);
  TextMap before;
  for (int i = 0; i < 40; ++i) before.insert_or_assign("f" + std::to_string(i), link("p/" + std::to_string(i)));
  TextMap after = before;
  after.insert_or_assign("f7", link("p/moved"));
  after.insert_or_assign("g", link("p/39"));
  ASSERT_TRUE(db.set("books", "b1", Value(before)));
  const std::string index = read_file(dir.file("p.brl"));
  ASSERT_TRUE(db.set("books", "b1", Value(after)));
  EXPECT_EQ(read_file(dir.file("p.brl")), index + remove_record("7", {"books", "b1", "f7"}) +
                                              add_record("moved", {"books", "b1", "f7"}) +
                                              add_record("39", {"books", "b1", "g"}));
  const std::uint64_t size = file_size(dir.file("p.brl"));
  ASSERT_TRUE(db.set("books", "b1", Value(after)));
  EXPECT_EQ(file_size(dir.file("p.brl")), size);
}

TEST(WriteUpkeep, EqualLinksAreNotMerged) {
  TempDir dir;
  Database db = open_db(dir);
  const BacklinkEntry ab{"books", "b1", "a/b"};
  // "a/b" as one key and as two nested keys give two equal links.
  const Value twice = map({{"a/b", link("people/alice")}, {"a", map({{"b", link("people/alice")}})}});
  ASSERT_TRUE(db.set("books", "b1", twice));
  EXPECT_EQ(backlinks(db, "people", "alice"), (Entries{ab, ab}));

  // Keeping one of the two keeps both entries: the link is still present.
  ASSERT_TRUE(db.set("books", "b1", map({{"a/b", link("people/alice")}})));
  EXPECT_EQ(backlinks(db, "people", "alice"), (Entries{ab, ab}));

  // Back to two equal links: both were present before, so nothing changes.
  ASSERT_TRUE(db.set("books", "b1", twice));
  EXPECT_EQ(backlinks(db, "people", "alice"), (Entries{ab, ab}));

  // Deleting drops both equal links: two removals, the second finding none.
  ASSERT_TRUE(db.set("books", "b1", Value(Tombstone{})));
  EXPECT_EQ(backlinks(db, "people", "alice"), Entries{});
  EXPECT_EQ(read_file(dir.file("people.brl")), add_record("alice", ab) + add_record("alice", ab) +
                                                   remove_record("alice", ab) + remove_record("alice", ab));
}

TEST(WriteUpkeep, SelfLinkIsIndexedInItsOwnCollection) {
  TempDir dir;
  Database db = open_db(dir);
  ASSERT_TRUE(db.set("books", "b1", map({{"me", link("books/b1")}})));
  EXPECT_EQ(backlinks(db, "books", "b1"), (Entries{{"books", "b1", "me"}}));
  EXPECT_TRUE(file_exists(dir.file("books.brl")));
}

TEST(WriteUpkeep, DollarKeysAreNeverIndexed) {
  TempDir dir;
  Database db = open_db(dir);
  const Value v = map({{"a", link("people/$self")}, {"b", link("people/$self.owner")}, {"c", link("people/$x")}});
  ASSERT_TRUE(db.set("books", "b1", v));
  ASSERT_TRUE(db.set("books", "b1", map({{"a", link("people/$self")}})));
  ASSERT_TRUE(db.set("books", "b1", Value(Tombstone{})));
  EXPECT_EQ(count_brl_files(dir), 0);
}

TEST(WriteUpkeep, WholeValueLinkHasAnEmptySourcePath) {
  TempDir dir;
  Database db = open_db(dir);
  ASSERT_TRUE(db.set("aliases", "al", link("people/alice/address")));
  EXPECT_EQ(backlinks(db, "people", "alice"), (Entries{{"aliases", "al", ""}}));
}

TEST(WriteUpkeep, EntriesSurviveReopen) {
  TempDir dir;
  {
    Database db = open_db(dir);
    ASSERT_TRUE(db.set("books", "b1", map({{"author", link("people/alice")}})));
    ASSERT_TRUE(db.set("books", "b2", map({{"author", link("people/alice")}})));
  }
  Database db = open_db(dir);
  EXPECT_EQ(backlinks(db, "people", "alice"), (Entries{kAuthor, {"books", "b2", "author"}}));
  // The old links are found again after reopen, so a move still removes.
  ASSERT_TRUE(db.set("books", "b1", map({{"editor", link("people/alice")}})));
  EXPECT_EQ(backlinks(db, "people", "alice"), (Entries{{"books", "b2", "author"}, kEditor}));
}

TEST(WriteUpkeep, UndecodableOldValueAddsEveryNewLinkAgain) {
  TempDir dir;
  {
    Database db = open_db(dir);
    ASSERT_TRUE(db.set("books", "b1", map({{"author", link("people/alice")}, {"editor", link("people/bob")}})));
  }
  // A later record for b1 whose value is a Text with a length that runs
  // past the value's bytes.
  const std::string garbage_value = std::string("\x04\x10\x00\x00\x00", 5) + "ab";
  write_file(dir.file("books.brd"),
             read_file(dir.file("books.brd")) + prefixed("b1") + prefixed(garbage_value));
  Database db = open_db(dir);
  auto old = db.get("books", "b1");
  ASSERT_FALSE(old);
  ASSERT_TRUE(old.error().is_codec());

  ASSERT_TRUE(db.set("books", "b1", map({{"author", link("people/alice")}})));
  EXPECT_EQ(backlinks(db, "people", "alice"), (Entries{kAuthor, kAuthor}));
  // The link the new value dropped keeps its entry.
  EXPECT_EQ(backlinks(db, "people", "bob"), (Entries{kEditor}));
  auto now = db.get("books", "b1");
  ASSERT_TRUE(now);
}

TEST(WriteUpkeep, GetBacklinksOfAnUnlinkedCollectionLeavesAnEmptyIndexFile) {
  TempDir dir;
  Database db = open_db(dir);
  EXPECT_EQ(backlinks(db, "people", "nobody"), Entries{});
  EXPECT_TRUE(file_exists(dir.file("people.brl")));
  EXPECT_EQ(file_size(dir.file("people.brl")), 0u);
  EXPECT_FALSE(file_exists(dir.file("people.brd")));
}

TEST(WriteUpkeepNames, InvalidCollectionNamesAreRefused) {
  TempDir dir;
  Database db = open_db(dir);
  for (std::string_view name : {std::string_view("a/b"), std::string_view("../x"), std::string_view("a\0b", 3)}) {
    auto written = db.set(name, "k", Value(1));
    ASSERT_FALSE(written);
    EXPECT_EQ(written.error().to_string(), "io: invalid collection name");
    auto listed = db.get_backlinks(name, "k");
    ASSERT_FALSE(listed);
    EXPECT_EQ(listed.error().to_string(), "io: invalid collection name");
    auto index = db.backlink_index(name);
    ASSERT_FALSE(index);
    EXPECT_EQ(index.error().to_string(), "io: invalid collection name");
  }
  EXPECT_FALSE(file_exists(dir.file("../x.brd")));
  EXPECT_FALSE(file_exists(dir.file("../x.brl")));
}

TEST(WriteUpkeepNames, LinkIntoAnInvalidNameFailsAfterTheRecordIsWritten) {
  TempDir dir;
  Database db = open_db(dir);
  auto written = db.set("books", "b1", link(std::string("pe\0ple/alice", 12)));
  ASSERT_FALSE(written);
  EXPECT_EQ(written.error().to_string(), "io: invalid collection name");
  EXPECT_TRUE(db.get("books", "b1"));
}

TEST(WriteUpkeepFailure, IndexThatCannotOpenStopsTheRemainingChanges) {
  TempDir dir;
  Database db = open_db(dir);
  std::filesystem::create_directory(dir.file("bad.brl"));
  auto written = db.set("books", "b1", map({{"a", link("good/1")}, {"b", link("bad/2")}, {"c", link("good/3")}}));
  ASSERT_FALSE(written);
  EXPECT_EQ(written.error().to_string(), "io: Is a directory (os error 21)");
  // No undo: the record and the change before the failure stay.
  EXPECT_TRUE(db.get("books", "b1"));
  EXPECT_EQ(backlinks(db, "good", "1"), (Entries{{"books", "b1", "a"}}));
  EXPECT_EQ(backlinks(db, "good", "3"), Entries{});
}

TEST(WriteUpkeepFailure, FailedRecordWriteTouchesNoIndex) {
  TempDir dir;
  Database db = open_db(dir);
  ASSERT_TRUE(db.set("books", "b1", map({{"author", link("people/alice")}})));
  const std::string index_before = read_file(dir.file("people.brl"));
  const std::uint64_t data_size = file_size(dir.file("books.brd"));

  StorageResult<void> written;
  {
    FileSizeLimit limit(data_size);
    written = db.set("books", "b1", map({{"editor", link("people/bob")}}));
  }

  ASSERT_FALSE(written);
  EXPECT_EQ(written.error().to_string(), "io: File too large (os error 27)");
  EXPECT_EQ(read_file(dir.file("people.brl")), index_before);
  EXPECT_EQ(backlinks(db, "people", "alice"), (Entries{kAuthor}));
  EXPECT_EQ(backlinks(db, "people", "bob"), Entries{});
}

}  // namespace
}  // namespace brindle
