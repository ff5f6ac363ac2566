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
using Entries = std::vector<BacklinkEntry>;

Value author(const char* target) { return map({{"author", link(target)}}); }


std::string record(char op, std::string_view key, const BacklinkEntry& e) {
  return std::string(1, op) + prefixed(key) + prefixed(e.source_collection) + prefixed(e.source_key) + prefixed(e.source_path);
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

bool deferred(Database& db, std::string_view name) {
  auto handle = db.collection(name);
  if (!handle) {
    ADD_FAILURE() << handle.error().to_string();
    return false;
  }
  return (*handle)->collection.defer_flush();
}

BacklinkEntry from(const char* key) { return BacklinkEntry{"books", key, "author"}; }

TEST(TransactionVisibility, RecordsAreVisibleBacklinksOnlyAfterCommit) {
  TempDir dir;
  Database db = open_db(dir);
  db.begin();
  ASSERT_TRUE(db.set("books", "b1", author("people/alice")));
  ASSERT_TRUE(db.set("books", "b2", author("people/bob")));
  auto got = db.get("books", "b1");
  ASSERT_TRUE(got);
  EXPECT_TRUE(got->is<TextMap>());
  EXPECT_EQ(db.pending().size(), 2u);
  // A write inside a transaction touches no index file.
  EXPECT_FALSE(file_exists(dir.file("people.brl")));
  EXPECT_EQ(backlinks(db, "people", "alice"), Entries{});
  EXPECT_EQ(backlinks(db, "people", "bob"), Entries{});

  ASSERT_TRUE(db.commit());
  EXPECT_FALSE(db.in_transaction());
  EXPECT_TRUE(db.pending().empty());
  EXPECT_EQ(backlinks(db, "people", "alice"), (Entries{from("b1")}));
  EXPECT_EQ(backlinks(db, "people", "bob"), (Entries{from("b2")}));
}

TEST(TransactionVisibility, AddThenRemoveEndsWithoutTheEntry) {
  TempDir dir;
  Database db = open_db(dir);
  db.begin();
  ASSERT_TRUE(db.set("books", "b1", author("people/alice")));
  ASSERT_TRUE(db.set("books", "b1", Value(Tombstone{})));
  ASSERT_TRUE(db.commit());
  EXPECT_EQ(backlinks(db, "people", "alice"), Entries{});
  EXPECT_EQ(read_file(dir.file("people.brl")), record(1, "alice", from("b1")) + record(2, "alice", from("b1")));
}

TEST(TransactionFlush, RecordsStayBufferedUntilCommit) {
  TempDir dir;
  Database db = open_db(dir);
  ASSERT_TRUE(db.set("books", "b0", Value(0)));
  const std::uint64_t before = file_size(dir.file("books.brd"));
  db.begin();
  EXPECT_TRUE(deferred(db, "books"));
  ASSERT_TRUE(db.set("books", "b1", Value(1)));
  // First used inside the transaction, so it takes part in it.
  ASSERT_TRUE(db.set("films", "f1", Value(2)));
  EXPECT_TRUE(deferred(db, "films"));
  EXPECT_EQ(file_size(dir.file("books.brd")), before);
  EXPECT_EQ(file_size(dir.file("films.brd")), 0u);

  ASSERT_TRUE(db.commit());
  EXPECT_GT(file_size(dir.file("books.brd")), before);
  EXPECT_GT(file_size(dir.file("films.brd")), 0u);
  EXPECT_FALSE(deferred(db, "books"));
  EXPECT_FALSE(deferred(db, "films"));
  // Outside the transaction again, writes reach the file at once.
  const std::uint64_t committed = file_size(dir.file("films.brd"));
  ASSERT_TRUE(db.set("films", "f2", Value(3)));
  EXPECT_GT(file_size(dir.file("films.brd")), committed);
}

TEST(TransactionFlush, CommitWithoutBeginChangesNothing) {
  TempDir dir;
  Database db = open_db(dir);
  ASSERT_TRUE(db.set("books", "b1", author("people/alice")));
  const std::string data = read_file(dir.file("books.brd"));
  const std::string index = read_file(dir.file("people.brl"));
  ASSERT_TRUE(db.commit());
  EXPECT_FALSE(db.in_transaction());
  EXPECT_FALSE(deferred(db, "books"));
  EXPECT_EQ(read_file(dir.file("books.brd")), data);
  EXPECT_EQ(read_file(dir.file("people.brl")), index);
}

TEST(TransactionFlush, FailedFlushKeepsTheTransactionForARetry) {
  TempDir dir;
  Database db = open_db(dir);
  ASSERT_TRUE(db.set("books", "b0", Value(0)));
  db.begin();
  ASSERT_TRUE(db.set("books", "b1", author("people/alice")));
  StorageResult<void> committed;
  {
    FileSizeLimit limit(file_size(dir.file("books.brd")));
    committed = db.commit();
  }
  ASSERT_FALSE(committed);
  EXPECT_EQ(committed.error().to_string(), "io: File too large (os error 27)");
  EXPECT_TRUE(db.in_transaction());
  EXPECT_TRUE(deferred(db, "books"));
  EXPECT_EQ(db.pending().size(), 1u);
  EXPECT_EQ(backlinks(db, "people", "alice"), Entries{});

  ASSERT_TRUE(db.commit());
  EXPECT_FALSE(db.in_transaction());
  EXPECT_EQ(backlinks(db, "people", "alice"), (Entries{from("b1")}));
  Database reopened = open_db(dir);
  EXPECT_TRUE(reopened.get("books", "b1"));
}

TEST(TransactionFlush, CollectionsAfterAFailedFlushStayDeferred) {
  TempDir dir;
  Database db = open_db(dir);
  // Registered in this order; "big" already holds more than the limit below.
  ASSERT_TRUE(db.set("small", "s0", Value(0)));
  ASSERT_TRUE(db.set("big", "b0", Value(std::string(200, 'x'))));
  ASSERT_TRUE(db.set("later", "l0", Value(0)));
  db.begin();
  ASSERT_TRUE(db.set("small", "s1", Value(1)));
  ASSERT_TRUE(db.set("big", "b1", Value(1)));
  ASSERT_TRUE(db.set("later", "l1", Value(1)));
  const std::uint64_t later_size = file_size(dir.file("later.brd"));
  StorageResult<void> committed;
  {
    FileSizeLimit limit(100);
    committed = db.commit();
  }
  ASSERT_FALSE(committed);
  EXPECT_FALSE(deferred(db, "small"));
  EXPECT_TRUE(deferred(db, "big"));
  EXPECT_TRUE(deferred(db, "later"));
  EXPECT_EQ(file_size(dir.file("later.brd")), later_size);
  ASSERT_TRUE(db.commit());
  EXPECT_FALSE(deferred(db, "later"));
  EXPECT_GT(file_size(dir.file("later.brd")), later_size);
}

// begin inside a transaction keeps queued backlink changes.
TEST(TransactionBeginAgain, KeepsQueuedBacklinkChanges) {
  TempDir dir;
  Database db = open_db(dir);
  db.begin();
  ASSERT_TRUE(db.set("books", "b1", author("people/alice")));
  db.begin();
  EXPECT_TRUE(db.in_transaction());
  EXPECT_EQ(db.pending().size(), 1u);
  ASSERT_TRUE(db.set("books", "b2", author("people/alice")));
  ASSERT_TRUE(db.commit());
  EXPECT_EQ(backlinks(db, "people", "alice"), (Entries{from("b1"), from("b2")}));
}

// A failed apply phase keeps the failing change and all later ones queued
// ahead of newer changes, and the next commit retries them in order.
TEST(TransactionApplyFailure, KeepsFailingAndLaterChangesForTheNextCommit) {
  TempDir dir;
  Database db = open_db(dir);
  std::filesystem::create_directory(dir.file("bad.brl"));
  db.begin();
  ASSERT_TRUE(db.set("books", "b1", author("people/alice")));
  ASSERT_TRUE(db.set("books", "b2", author("bad/x")));
  ASSERT_TRUE(db.set("books", "b3", author("people/bob")));
  auto failed = db.commit();
  ASSERT_FALSE(failed);
  EXPECT_EQ(failed.error().to_string(), "io: Is a directory (os error 21)");
  EXPECT_TRUE(db.in_transaction());
  EXPECT_EQ(backlinks(db, "people", "alice"), (Entries{from("b1")}));
  EXPECT_EQ(backlinks(db, "people", "bob"), Entries{});
  ASSERT_EQ(db.pending().size(), 2u);
  EXPECT_EQ(db.pending()[0].target_collection, "bad");
  EXPECT_EQ(db.pending()[1].target_key, "bob");

  // The flush phase ran: later writes go to the file at once while their
  // backlink changes still queue, behind the kept ones.
  EXPECT_FALSE(deferred(db, "books"));
  const std::uint64_t size = file_size(dir.file("books.brd"));
  ASSERT_TRUE(db.set("books", "b4", author("people/carol")));
  EXPECT_GT(file_size(dir.file("books.brd")), size);
  ASSERT_EQ(db.pending().size(), 3u);
  EXPECT_EQ(db.pending()[2].target_key, "carol");

  // A failing retry changes nothing.
  ASSERT_FALSE(db.commit());
  EXPECT_EQ(db.pending().size(), 3u);

  std::filesystem::remove(dir.file("bad.brl"));
  ASSERT_TRUE(db.commit());
  EXPECT_FALSE(db.in_transaction());
  EXPECT_TRUE(db.pending().empty());
  EXPECT_EQ(backlinks(db, "bad", "x"), (Entries{from("b2")}));
  EXPECT_EQ(read_file(dir.file("people.brl")),
            record(1, "alice", from("b1")) + record(1, "bob", from("b3")) + record(1, "carol", from("b4")));
}

TEST(TransactionApplyFailure, BeginAfterAFailedCommitDefersAgainAndKeepsTheQueue) {
  TempDir dir;
  Database db = open_db(dir);
  std::filesystem::create_directory(dir.file("bad.brl"));
  db.begin();
  ASSERT_TRUE(db.set("books", "b1", author("bad/x")));
  ASSERT_FALSE(db.commit());
  EXPECT_FALSE(deferred(db, "books"));

  db.begin();
  EXPECT_TRUE(deferred(db, "books"));
  EXPECT_EQ(db.pending().size(), 1u);
  std::filesystem::remove(dir.file("bad.brl"));
  ASSERT_TRUE(db.commit());
  EXPECT_EQ(backlinks(db, "bad", "x"), (Entries{from("b1")}));
}

// Regression: a queued change into a collection name that no index file can
// have failed every later commit, so the transaction could never end.
TEST(TransactionApplyFailure, LinkIntoAnInvalidCollectionNameCannotWedgeCommit) {
  TempDir dir;
  Database db = open_db(dir);
  db.begin();
  const Value v =
      map({{"a", link("people/alice")}, {"b", link(std::string("pe\0ple/x", 9))}, {"c", link("people/bob")}});
  auto written = db.set("books", "b1", v);
  ASSERT_FALSE(written);
  EXPECT_EQ(written.error().to_string(), "io: invalid collection name");
  // As outside a transaction: the record stays written, the changes before
  // the refused one stand, the later ones are not made.
  EXPECT_TRUE(db.get("books", "b1"));
  EXPECT_EQ(db.pending().size(), 1u);
  ASSERT_TRUE(db.commit());
  EXPECT_FALSE(db.in_transaction());
  EXPECT_EQ(backlinks(db, "people", "alice"), (Entries{{"books", "b1", "a"}}));
  EXPECT_EQ(backlinks(db, "people", "bob"), Entries{});
}

// Destroying a database inside a transaction writes out the records and
// then applies the queued backlink changes.
TEST(TransactionDrop, OpenTransactionReachesDataAndIndexFiles) {
  TempDir dir;
  {
    Database db = open_db(dir);
    db.begin();
    ASSERT_TRUE(db.set("books", "b1", author("people/alice")));
    ASSERT_TRUE(db.set("books", "b2", author("people/alice")));
    EXPECT_EQ(file_size(dir.file("books.brd")), 0u);
  }
  EXPECT_GT(file_size(dir.file("books.brd")), 0u);
  EXPECT_EQ(read_file(dir.file("people.brl")), record(1, "alice", from("b1")) + record(1, "alice", from("b2")));
  Database db = open_db(dir);
  EXPECT_TRUE(db.get("books", "b2"));
  EXPECT_EQ(backlinks(db, "people", "alice"), (Entries{from("b1"), from("b2")}));
}

TEST(TransactionDrop, FailingChangesDoNotStopTheLaterOnes) {
  TempDir dir;
  {
    Database db = open_db(dir);
    std::filesystem::create_directory(dir.file("bad.brl"));
    db.begin();
    ASSERT_TRUE(db.set("books", "b1", author("bad/x")));
    ASSERT_TRUE(db.set("books", "b2", author("people/alice")));
  }
  EXPECT_EQ(read_file(dir.file("people.brl")), record(1, "alice", from("b2")));
}

TEST(TransactionDrop, QueueKeptByAFailedCommitIsApplied) {
  TempDir dir;
  {
    Database db = open_db(dir);
    std::filesystem::create_directory(dir.file("people.brl"));
    db.begin();
    ASSERT_TRUE(db.set("books", "b1", author("people/alice")));
    ASSERT_FALSE(db.commit());
    std::filesystem::remove(dir.file("people.brl"));
  }
  EXPECT_EQ(read_file(dir.file("people.brl")), record(1, "alice", from("b1")));
}

TEST(TransactionDrop, CommittedDatabaseAppliesNothingMore) {
  TempDir dir;
  {
    Database db = open_db(dir);
    db.begin();
    ASSERT_TRUE(db.set("books", "b1", author("people/alice")));
    ASSERT_TRUE(db.commit());
  }
  EXPECT_EQ(read_file(dir.file("people.brl")), record(1, "alice", from("b1")));
}

}  // namespace
}  // namespace brindle
