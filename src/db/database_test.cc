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
using testing::TempDir;
using testing::write_file;

std::set<std::string> entries(const std::string& dir) {
  std::set<std::string> names;
  for (const fs::directory_entry& e : fs::directory_iterator(dir)) names.insert(e.path().filename().string());
  return names;
}

std::string read(Database& db, std::string_view collection, std::string_view key) {
  return testing::shown(db.get(collection, key));
}

template <class Result>
std::string error_of(const Result& result) {
  return result ? "ok" : result.error().to_string();
}

std::string open_error(const std::string& path) { return error_of(Database::open(path)); }

const std::string kDamaged("\x01\x00", 2);  // ends inside a key length

TEST(DatabaseOpenTest, CreatesMissingDirectoryWithParents) {
  TempDir dir;
  const std::string root = dir.file("a/b/c");
  auto db = Database::open(root);
  ASSERT_TRUE(db) << db.error().to_string();
  EXPECT_TRUE(fs::is_directory(root));
  EXPECT_TRUE(entries(root).empty());
  EXPECT_EQ(db->root(), root);
  // Opening an existing directory again is fine.
  EXPECT_EQ(open_error(root), "ok");
  EXPECT_EQ(open_error(root + "/"), "ok");
}

TEST(DatabaseOpenTest, PathThroughRegularFileFailsWithIo) {
  TempDir dir;
  write_file(dir.file("plain"), "x");
  auto db = Database::open(dir.file("plain"));
  ASSERT_FALSE(db);
  EXPECT_TRUE(db.error().is_io());
  EXPECT_EQ(db.error().to_string(), "io: File exists (os error 17)");
  EXPECT_EQ(open_error(dir.file("plain/below")), "io: Not a directory (os error 20)");
  EXPECT_EQ(read_file(dir.file("plain")), "x");
}

TEST(DatabaseOpenRegression, PathWithNulIsRefusedInsteadOfCutShort) {
  TempDir dir;
  EXPECT_EQ(open_error(dir.file("x") + std::string("\0y", 2)), "io: path contains a NUL byte");
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
  EXPECT_EQ(read(*db, "users", "a"), "Int(1)");
  EXPECT_EQ(read(*db, "a.b", "k"), R"(Text("dots"))");
  EXPECT_FALSE(file_exists(dir.file("users.brd")));
  EXPECT_FALSE(file_exists(dir.file("a.b.brd")));
  EXPECT_EQ(read(*db, "a", "k"), "key not found");
}

TEST(DatabaseOpenTest, SkipsEntriesThatAreNotDataFiles) {
  TempDir dir;
  // Each of these would fail to open as a collection file.
  for (const char* name : {"notes.BRD", "notes.Brd", "brd", "x.brd.bak", "x.brl", "xbrd", "y.brd "}) {
    write_file(dir.file(name), kDamaged);
  }
  fs::create_directory(dir.file("sub"));
  write_file(dir.file("sub/inner.brd"), kDamaged);
  // A leading dot starts no extension, so the scan skips ".brd"; it is still
  // the file of the empty name, so a damaged one fails on first use.
  write_file(dir.file(".brd"), kDamaged);
  const std::set<std::string> before = entries(dir.path());
  auto db = Database::open(dir.path());
  ASSERT_TRUE(db) << db.error().to_string();
  EXPECT_EQ(entries(dir.path()), before);
  EXPECT_EQ(read(*db, "", "k"), "io: failed to fill whole buffer");
  // notes.BRD is not the data file of "notes": using it makes a new file.
  EXPECT_EQ(read(*db, "notes", "k"), "key not found");
  EXPECT_EQ(file_size(dir.file("notes.brd")), 0u);
  EXPECT_EQ(read_file(dir.file("notes.BRD")), kDamaged);

  write_file(dir.file(".brd"), record("k", Value(true)));
  auto second = Database::open(dir.path());
  ASSERT_TRUE(second) << second.error().to_string();
  EXPECT_EQ(read(*second, "", "k"), "Bool(true)");
}

TEST(DatabaseOpenTest, UnopenableDataFileFailsTheWholeOpen) {
  TempDir dir;
  write_file(dir.file("good.brd"), record("a", Value(1)));
  fs::create_directory(dir.file("x.brd"));
  EXPECT_EQ(open_error(dir.path()), "io: Is a directory (os error 21)");
  fs::remove(dir.file("x.brd"));
  write_file(dir.file("cut.brd"), record("a", Value(1)).substr(0, 12));
  EXPECT_EQ(open_error(dir.path()), "io: failed to fill whole buffer");
  EXPECT_EQ(file_size(dir.file("cut.brd")), 12u);
  write_file(dir.file("cut.brd"), record("\xFF", Value(1)));
  EXPECT_EQ(open_error(dir.path()), "io: invalid utf8 key");
}

TEST(DatabaseTest, UnknownCollectionIsOpenedOnFirstUseAndAFailedOpenIsRetried) {
  TempDir dir;
  auto db = Database::open(dir.path());
  ASSERT_TRUE(db);
  auto missing = db->get("people", "alice");
  ASSERT_FALSE(missing);
  EXPECT_TRUE(missing.error().is_key_not_found());
  EXPECT_EQ(missing.error().to_string(), "key not found");
  EXPECT_EQ(file_size(dir.file("people.brd")), 0u);
  EXPECT_FALSE(file_exists(dir.file("people.brl")));
  // A failed open registers nothing.
  write_file(dir.file("late.brd"), kDamaged);
  EXPECT_EQ(read(*db, "late", "k"), "io: failed to fill whole buffer");
  write_file(dir.file("late.brd"), record("k", Value(3)));
  EXPECT_EQ(read(*db, "late", "k"), "Int(3)");
}

// A name with "/" or NUL could address a file outside the directory.
TEST(DatabaseTest, InvalidCollectionNamesAreRefusedEverywhereAndCreateNothing) {
  TempDir dir;
  const std::string root = dir.file("db");
  auto db = Database::open(root);
  ASSERT_TRUE(db);
  const std::string names[] = {"a/b", "../escape", "/", "sub/", std::string("a\0b", 3), std::string(1, '\0')};
  for (const std::string& name : names) {
    const std::string refused = "io: invalid collection name";
    EXPECT_EQ(error_of(db->collection(name)), refused) << name;
    EXPECT_EQ(error_of(db->get(name, "k")), refused);
    EXPECT_EQ(error_of(db->set(name, "k", Value(1))), refused);
    EXPECT_EQ(error_of(db->get_backlinks(name, "k")), refused);
    EXPECT_EQ(error_of(db->backlink_index(name)), refused);
  }
  EXPECT_TRUE(entries(root).empty());
  EXPECT_EQ(entries(dir.path()), std::set<std::string>{"db"});
}

TEST(DatabaseTest, CollectionReturnsOneSharedHandlePerName) {
  TempDir dir;
  write_file(dir.file("early.brd"), record("a", Value(1)));
  auto db = Database::open(dir.path());
  ASSERT_TRUE(db);
  auto first = db->collection("late");
  ASSERT_TRUE(first);
  fs::remove(dir.file("late.brd"));
  auto second = db->collection("late");
  ASSERT_TRUE(second);
  EXPECT_EQ(first->get(), second->get());
  // The second call touched no file.
  EXPECT_FALSE(file_exists(dir.file("late.brd")));
  auto early = db->collection("early");
  auto again = db->collection("early");
  ASSERT_TRUE(early && again);
  EXPECT_EQ(early->get(), again->get());
  EXPECT_NE(early->get(), first->get());
  // Names are compared byte for byte.
  auto upper = db->collection("Early");
  ASSERT_TRUE(upper);
  EXPECT_NE(upper->get(), early->get());
}

}  // namespace
}  // namespace brindle
