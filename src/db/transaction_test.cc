#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <string>

#include "db/database.h"
#include "testing/builders.h"
#include "testing/db.h"
#include "testing/file_size_limit.h"
#include "testing/temp_dir.h"

namespace brindle {
namespace {

using testing::Entries;
using testing::file_size;
using testing::link;
using testing::map;
using testing::read_file;
using testing::shown;

Value author(const char* target) { return map({{"author", link(target)}}); }
BacklinkEntry from(const char* key) { return BacklinkEntry{"books", key, "author"}; }
std::string add(std::string_view key, const char* source) { return testing::index_record(1, key, from(source)); }

class TransactionTest : public testing::DbTest {
 protected:
  bool deferred(std::string_view name) {
    auto handle = db->collection(name);
    if (!handle) ADD_FAILURE() << handle.error().to_string();
    return handle && (*handle)->collection.defer_flush();
  }
  std::uint64_t size_of(const std::string& file) { return file_size(dir.file(file)); }
  void mkdir(const char* name) { std::filesystem::create_directory(dir.file(name)); }
  void rmdir(const char* name) { std::filesystem::remove(dir.file(name)); }
};

TEST_F(TransactionTest, RecordsAreBufferedAndBacklinksQueuedUntilCommit) {
  set("books", "b0", Value(0));
  const std::uint64_t before = size_of("books.brd");
  db->begin();
  EXPECT_TRUE(deferred("books"));
  set("books", "b1", author("people/alice"));
  set("books", "b2", author("people/bob"));
  set("books", "b2", Value(Tombstone{}));
  // First used inside the transaction, so it takes part in it.
  set("films", "f1", Value(2));
  EXPECT_EQ(size_of("books.brd"), before);
  EXPECT_EQ(size_of("films.brd"), 0u);
  // Records are visible at once; backlink changes wait and touch no file.
  EXPECT_EQ(shown(db->get("films", "f1")), "Int(2)");
  EXPECT_EQ(db->pending().size(), 3u);
  EXPECT_FALSE(testing::file_exists(dir.file("people.brl")));
  // A second begin keeps what is queued.
  db->begin();
  EXPECT_EQ(db->pending().size(), 3u);

  ASSERT_EQ(shown(db->commit()), "ok");
  EXPECT_FALSE(db->in_transaction());
  EXPECT_TRUE(db->pending().empty());
  EXPECT_GT(size_of("books.brd"), before);
  EXPECT_FALSE(deferred("books"));
  EXPECT_FALSE(deferred("films"));
  // The queue is applied in order: the add, then the remove.
  EXPECT_EQ(read_file(dir.file("people.brl")),
            add("alice", "b1") + add("bob", "b2") + testing::index_record(2, "bob", from("b2")));
  // Outside the transaction again, writes reach the file at once.
  const std::uint64_t committed = size_of("films.brd");
  set("films", "f2", Value(3));
  EXPECT_GT(size_of("films.brd"), committed);
}

// A failed flush keeps the transaction, its queue and the deferral of the
// collection that failed and of every later one, so a commit can retry.
TEST_F(TransactionTest, FailedFlushKeepsTheStateForARetry) {
  // Registered in this order; "big" already holds more than the limit below.
  set("small", "s0", Value(0));
  set("big", "b0", Value(std::string(200, 'x')));
  set("later", "l0", Value(0));
  db->begin();
  set("small", "s1", Value(1));
  set("big", "b1", author("people/alice"));
  set("later", "l1", Value(1));
  const std::uint64_t later_size = size_of("later.brd");
  StorageResult<void> committed;
  {
    testing::FileSizeLimit limit(100);
    committed = db->commit();
  }
  EXPECT_EQ(shown(committed), "io: File too large (os error 27)");
  EXPECT_TRUE(db->in_transaction());
  EXPECT_EQ(db->pending().size(), 1u);
  EXPECT_FALSE(deferred("small"));
  EXPECT_TRUE(deferred("big"));
  EXPECT_TRUE(deferred("later"));
  EXPECT_EQ(size_of("later.brd"), later_size);

  ASSERT_EQ(shown(db->commit()), "ok");
  EXPECT_FALSE(db->in_transaction());
  EXPECT_FALSE(deferred("later"));
  EXPECT_EQ(backlinks("people", "alice"), (Entries{{"big", "b1", "author"}}));
  EXPECT_TRUE(testing::open_db(dir.path()).get("later", "l1"));
  // The record whose flush failed was kept for the retry, not dropped.
  EXPECT_TRUE(testing::open_db(dir.path()).get("big", "b1"));
}

// Regression: destroying a database moved from inside a transaction walked
// the queue it had handed over (a crash).
TEST_F(TransactionTest, ADatabaseMovedFromHandsOverItsQueue) {
  db->begin();
  set("books", "b1", author("people/alice"));
  std::optional<Database> moved(std::move(*db));
  db.reset();
  moved.reset();  // drops inside the transaction: writes out and applies
  reopen();
  EXPECT_EQ(backlinks("people", "alice"), (Entries{from("b1")}));
}

// A failed apply phase keeps the failing change and all later ones queued
// ahead of newer changes, and the next commit retries them in order.
TEST_F(TransactionTest, FailedApplyKeepsFailingAndLaterChangesForTheNextCommit) {
  mkdir("bad.brl");
  db->begin();
  set("books", "b1", author("people/alice"));
  set("books", "b2", author("bad/x"));
  set("books", "b3", author("people/bob"));
  EXPECT_EQ(shown(db->commit()), "io: Is a directory (os error 21)");
  EXPECT_TRUE(db->in_transaction());
  EXPECT_EQ(backlinks("people", "alice"), (Entries{from("b1")}));
  ASSERT_EQ(db->pending().size(), 2u);
  EXPECT_EQ(db->pending().front().target_collection, "bad");

  // The flush phase ran: later writes go to the file at once while their
  // backlink changes still queue, behind the kept ones.
  EXPECT_FALSE(deferred("books"));
  const std::uint64_t size = size_of("books.brd");
  set("books", "b4", author("people/carol"));
  EXPECT_GT(size_of("books.brd"), size);
  ASSERT_EQ(db->pending().size(), 3u);

  // A failing retry changes nothing; begin defers again and keeps the queue.
  ASSERT_FALSE(db->commit());
  db->begin();
  EXPECT_TRUE(deferred("books"));
  EXPECT_EQ(db->pending().size(), 3u);

  rmdir("bad.brl");
  ASSERT_EQ(shown(db->commit()), "ok");
  EXPECT_TRUE(db->pending().empty());
  EXPECT_EQ(backlinks("bad", "x"), (Entries{from("b2")}));
  EXPECT_EQ(read_file(dir.file("people.brl")), add("alice", "b1") + add("bob", "b3") + add("carol", "b4"));
}

// Regression: a queued change into a collection name that no index file can
// have failed every later commit, so the transaction could never end. Such a
// set is refused before anything is written or queued.
TEST_F(TransactionTest, LinkIntoAnInvalidCollectionNameCannotWedgeCommit) {
  db->begin();
  const Value v =
      map({{"a", link("people/alice")}, {"b", link(std::string("pe\0ple/x", 9))}, {"c", link("people/bob")}});
  EXPECT_EQ(shown(db->set("books", "b1", v)), "io: invalid collection name");
  EXPECT_FALSE(db->get("books", "b1"));
  EXPECT_TRUE(db->pending().empty());
  ASSERT_TRUE(db->commit());
  EXPECT_FALSE(db->in_transaction());
  EXPECT_EQ(size_of("books.brd"), 0u);
}

// Regression: dropping a database after a failed commit applied the queued
// backlink changes of records that never reached the data file, so the
// index listed records that do not exist.
TEST_F(TransactionTest, DropAfterFailedCommitIndexedRecordsNeverStored) {
  // The data file outgrows the limit below; the index file stays under it.
  ASSERT_TRUE(db->set("books", "b0", map({{"author", link("people/alice")}, {"pad", Value(std::string(1000, 'x'))}})));
  db->begin();
  ASSERT_TRUE(db->set("books", "b1", author("people/alice")));
  ASSERT_TRUE(db->set("books", "b2", author("people/alice")));
  const std::uint64_t stored = size_of("books.brd");
  {
    testing::FileSizeLimit limit(stored + 10);
    ASSERT_TRUE(limit.ok());
    ASSERT_FALSE(db->commit());
    db.reset();
  }
  EXPECT_EQ(read_file(dir.file("people.brl")), add("alice", "b0"));
  EXPECT_EQ(size_of("books.brd"), stored);
  db.emplace(testing::open_db(dir.path()));
  EXPECT_FALSE(db->get("books", "b1"));
  EXPECT_EQ(backlinks("people", "alice"), (Entries{from("b0")}));
}

// The queue kept by a failed commit is applied, the change that failed
// first included, and a change that fails again does not stop later ones.
TEST_F(TransactionTest, DestructionAppliesAQueueKeptByAFailedCommitPastFailures) {
  mkdir("people.brl");
  mkdir("bad.brl");
  db->begin();
  ASSERT_TRUE(db->set("books", "b1", author("people/alice")));
  ASSERT_TRUE(db->set("books", "b2", author("bad/x")));
  ASSERT_TRUE(db->set("books", "b3", author("tags/red")));
  ASSERT_FALSE(db->commit());
  EXPECT_EQ(db->pending().size(), 3u);
  rmdir("people.brl");
  db.reset();
  EXPECT_EQ(read_file(dir.file("people.brl")), add("alice", "b1"));
  EXPECT_EQ(read_file(dir.file("tags.brl")), add("red", "b3"));
}

// Regression: a child made by fork inside a transaction that merely ended
// (its copy of the database destroyed) wrote out the parent's buffered
// records and applied its queued changes, so the parent's commit stored the
// records twice and every backlink entry stood twice.
TEST_F(TransactionTest, ForkedChildLeavesTheParentsTransactionAlone) {
  db->begin();
  set("books", "b1", author("people/alice"));
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    db.reset();
    ::_exit(0);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  EXPECT_EQ(size_of("books.brd"), 0u);
  EXPECT_FALSE(testing::file_exists(dir.file("people.brl")));
  ASSERT_EQ(shown(db->commit()), "ok");
  reopen();
  EXPECT_EQ(backlinks("people", "alice"), (Entries{from("b1")}));
  EXPECT_EQ(read_file(dir.file("people.brl")), add("alice", "b1"));
}

}  // namespace
}  // namespace brindle
