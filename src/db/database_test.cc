#include "db/database.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <set>
#include <string>

#include "testing/builders.h"
#include "testing/temp_dir.h"

namespace brindle {
namespace {

namespace fs = std::filesystem;
using testing::file_exists;
using testing::file_size;
using testing::read_file;
using testing::record;
using testing::shown;
using testing::TempDir;
using testing::write_file;

std::set<std::string> entries(const std::string& dir) {
  std::set<std::string> names;
  for (const fs::directory_entry& e : fs::directory_iterator(dir)) names.insert(e.path().filename().string());
  return names;
}

const std::string kDamaged("\x01\x00", 2);  // ends inside a key length

TEST(DatabaseOpenTest, CreatesTheDirectoryOrFailsWithIo) {
  TempDir dir;
  const std::string root = dir.file("a/b/c");
  auto db = Database::open(root);
  ASSERT_TRUE(db) << db.error().to_string();
  EXPECT_TRUE(fs::is_directory(root));
  EXPECT_TRUE(entries(root).empty());
  EXPECT_EQ(db->root(), root);
  write_file(dir.file("plain"), "x");
  const std::pair<std::string, const char*> cases[] = {
      {root, "ok"}, {root + "/", "ok"},
      {dir.file("plain"), "io: File exists (os error 17)"},
      {dir.file("plain/below"), "io: Not a directory (os error 20)"},
      // Regression: the system calls cut the path short at a NUL.
      {dir.file("x") + std::string("\0y", 2), "io: path contains a NUL byte"}};
  for (const auto& [path, expected] : cases) EXPECT_EQ(shown(Database::open(path)), expected) << path;
  EXPECT_EQ(read_file(dir.file("plain")), "x");
  EXPECT_FALSE(file_exists(dir.file("x")));
}

TEST(DatabaseOpenTest, OpensEveryDataFileButNoBacklinkIndex) {
  TempDir dir;
  write_file(dir.file("users.brd"), record("a", Value(1)));
  write_file(dir.file("a.b.brd"), record("k", Value("dots")));
  // A directory can never be opened as an index: had open touched the
  // backlink index of users, it would have failed.
  fs::create_directory(dir.file("users.brl"));
  auto db = Database::open(dir.path());
  ASSERT_TRUE(db) << db.error().to_string();
  // Both collections were opened at open: their records stay readable after
  // the files are unlinked, and nothing recreates the files.
  fs::remove(dir.file("users.brd"));
  fs::remove(dir.file("a.b.brd"));
  EXPECT_EQ(shown(db->get("users", "a")), "Int(1)");
  EXPECT_EQ(shown(db->get("a.b", "k")), R"(Text("dots"))");
  EXPECT_FALSE(file_exists(dir.file("users.brd")));
  EXPECT_FALSE(file_exists(dir.file("a.b.brd")));
}

// Regression: inside a transaction a write to a database opened for reading
// went into the collection's buffer and read back, though no commit could
// ever write it.
TEST(DatabaseOpenTest, ADatabaseOpenedForReadingRefusesEveryWrite) {
  TempDir dir;
  {
    auto db = Database::open(dir.path());
    ASSERT_TRUE(db);
    ASSERT_EQ(shown(db->set("c", "k", Value(std::int64_t{1}))), "ok");
  }
  auto db = Database::open_for_reading(dir.path());
  ASSERT_TRUE(db);
  const std::string refused = "io: database opened for reading only";
  EXPECT_EQ(shown(db->set("c", "k", Value(std::int64_t{2}))), refused);
  db->begin();
  EXPECT_EQ(shown(db->set("c", "k", Value(std::int64_t{3}))), refused);
  EXPECT_EQ(shown(db->set("new", "k", Value(std::int64_t{3}))), refused);
  EXPECT_EQ(shown(db->get("c", "k")), "Int(1)");
  EXPECT_EQ(shown(db->commit()), "ok");
  EXPECT_EQ(entries(dir.path()), (std::set<std::string>{"c.brd"}));
}

TEST(DatabaseOpenTest, SkipsEntriesThatAreNotDataFiles) {
  TempDir dir;
  // Each of these would fail to open as a collection file.
  for (const char* name : {"notes.BRD", "brd", "x.brd.bak", "x.brl", "xbrd", "y.brd "}) write_file(dir.file(name), kDamaged);
  fs::create_directory(dir.file("sub"));
  write_file(dir.file("sub/inner.brd"), kDamaged);
  // A leading dot starts no extension, so the scan skips ".brd"; it is still
  // the file of the empty name, so a damaged one fails on first use.
  write_file(dir.file(".brd"), kDamaged);
  const std::set<std::string> before = entries(dir.path());
  auto db = Database::open(dir.path());
  ASSERT_TRUE(db) << db.error().to_string();
  EXPECT_EQ(entries(dir.path()), before);
  EXPECT_EQ(shown(db->get("", "k")), "io: failed to fill whole buffer");
  // notes.BRD is not the data file of "notes": using it makes a new file.
  EXPECT_EQ(shown(db->get("notes", "k")), "key not found");
  EXPECT_EQ(file_size(dir.file("notes.brd")), 0u);
}

// Regression: a database opened by a relative path opened the files of
// collections and indexes first used later by that path, so once the
// program had changed directory they went to another directory, or failed.
TEST(DatabaseTest, FilesFirstUsedAfterAChangeOfDirectoryStayBesideTheOthers) {
  TempDir dir;
  const fs::path before = fs::current_path();
  fs::current_path(dir.path());
  auto db = Database::open("db");
  fs::create_directories(dir.file("elsewhere/db"));  // where the relative path now leads
  fs::current_path(dir.file("elsewhere"));
  const std::string written = db ? shown(db->set("books", "b", testing::link("people/p"))) : "not opened";
  fs::current_path(before);
  EXPECT_EQ(written, "ok");
  EXPECT_EQ(entries(dir.file("db")), (std::set<std::string>{"books.brd", "people.brl"}));
  EXPECT_TRUE(entries(dir.file("elsewhere/db")).empty());
  EXPECT_EQ(db->root(), "db");
}

TEST(DatabaseTest, CollectionsOpenOnFirstUseOnceAndAFailedOpenIsRetried) {
  TempDir dir;
  auto db = Database::open(dir.path());
  ASSERT_TRUE(db);
  EXPECT_EQ(shown(db->get("people", "alice")), "key not found");
  EXPECT_EQ(file_size(dir.file("people.brd")), 0u);
  EXPECT_FALSE(file_exists(dir.file("people.brl")));
  // One collection per name; the second call touches no file. Names that
  // differ only in case are two collections, whichever was asked for last.
  auto first = db->collection("people");
  fs::remove(dir.file("people.brd"));
  auto second = db->collection("people");
  auto other = db->collection("People");
  auto third = db->collection("PEOPLE");
  auto again = db->collection("people");
  ASSERT_TRUE(first && second && other && third && again);
  EXPECT_EQ(*first, *second);
  EXPECT_NE(*first, *other);
  EXPECT_NE(*other, *third);
  EXPECT_NE(*first, *third);
  EXPECT_EQ(*first, *again);
  EXPECT_EQ(*other, *db->collection("People"));
  EXPECT_FALSE(file_exists(dir.file("people.brd")));
  // A failed open registers nothing.
  write_file(dir.file("late.brd"), kDamaged);
  EXPECT_EQ(shown(db->get("late", "k")), "io: failed to fill whole buffer");
  write_file(dir.file("late.brd"), record("k", Value(3)));
  EXPECT_EQ(shown(db->get("late", "k")), "Int(3)");
}

// A name with "/" or NUL could address a file outside the directory.
TEST(DatabaseTest, InvalidCollectionNamesAreRefusedEverywhereAndCreateNothing) {
  TempDir dir;
  const std::string root = dir.file("db");
  auto db = Database::open(root);
  ASSERT_TRUE(db);
  for (const std::string& name : {std::string("a/b"), std::string("../escape"), std::string("/"),
                                  std::string("a\0b", 3), std::string(1, '\0')}) {
    const std::string refused = "io: invalid collection name";
    EXPECT_EQ(shown(db->collection(name)), refused) << name;
    EXPECT_EQ(shown(db->get(name, "k")), refused);
    EXPECT_EQ(shown(db->set(name, "k", Value(1))), refused);
    EXPECT_EQ(shown(db->get_backlinks(name, "k")), refused);
  }
  EXPECT_TRUE(entries(root).empty());
  EXPECT_EQ(entries(dir.path()), std::set<std::string>{"db"});
}

}  // namespace
}  // namespace brindle
