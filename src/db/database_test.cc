#include "db/database.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <set>
#include <string>

#include "codec/codec.h"
#include "testing/temp_dir.h"
#include "types/debug_string.h"

namespace brindle {
namespace {

namespace fs = std::filesystem;
using testing::file_exists;
using testing::file_size;
using testing::read_file;
using testing::TempDir;
using testing::write_file;

std::string u32(std::uint32_t v) {
  return {static_cast<char>(v), static_cast<char>(v >> 8), static_cast<char>(v >> 16),
          static_cast<char>(v >> 24)};
}

// One data-file record of key set to value.
std::string record(const std::string& key, const Value& value) {
  std::string bytes;
  EXPECT_EQ(encode(value, bytes), EncodeStatus::Ok);
  return u32(static_cast<std::uint32_t>(key.size())) + key + u32(static_cast<std::uint32_t>(bytes.size())) +
         bytes;
}

std::set<std::string> entries(const std::string& dir) {
  std::set<std::string> names;
  for (const fs::directory_entry& e : fs::directory_iterator(dir)) names.insert(e.path().filename().string());
  return names;
}

// The debug form of the record's value, or the error text.
std::string read(Database& db, std::string_view collection, std::string_view key) {
  auto value = db.get(collection, key);
  return value ? debug_string(*value) : value.error().to_string();
}

const std::string kDamaged("\x01\x00", 2);  // ends inside a key length

std::string open_error(const std::string& path) {
  auto db = Database::open(path);
  return db ? "opened" : db.error().to_string();
}

TEST(DatabaseOpenTest, CreatesMissingDirectoryWithParents) {
  TempDir dir;
  const std::string root = dir.file("a/b/c");
  auto db = Database::open(root);
  ASSERT_TRUE(db) << db.error().to_string();
  EXPECT_TRUE(fs::is_directory(root));
  EXPECT_TRUE(entries(root).empty());
  EXPECT_EQ(db->root(), root);
  // Opening an existing directory again is fine.
  EXPECT_EQ(open_error(root), "opened");
  EXPECT_EQ(open_error(root + "/"), "opened");
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
  for (const char* name : {"notes.BRD", "notes.Brd", ".brd", "brd", "x.brd.bak", "x.brl", "xbrd", "y.brd "}) {
    write_file(dir.file(name), kDamaged);
  }
  fs::create_directory(dir.file("sub"));
  write_file(dir.file("sub/inner.brd"), kDamaged);
  const std::set<std::string> before = entries(dir.path());
  auto db = Database::open(dir.path());
  ASSERT_TRUE(db) << db.error().to_string();
  EXPECT_EQ(entries(dir.path()), before);
  // notes.BRD is not the data file of "notes": using it makes a new file.
  EXPECT_EQ(read(*db, "notes", "k"), "key not found");
  EXPECT_EQ(file_size(dir.file("notes.brd")), 0u);
  EXPECT_EQ(read_file(dir.file("notes.BRD")), kDamaged);
}

TEST(DatabaseOpenTest, DotBrdIsTheDataFileOfTheEmptyName) {
  TempDir dir;
  write_file(dir.file(".brd"), record("k", Value(true)));
  auto db = Database::open(dir.path());
  ASSERT_TRUE(db) << db.error().to_string();
  EXPECT_EQ(read(*db, "", "k"), "Bool(true)");

  // A damaged one is not noticed by open, only on first use.
  write_file(dir.file(".brd"), kDamaged);
  auto second = Database::open(dir.path());
  ASSERT_TRUE(second) << second.error().to_string();
  EXPECT_EQ(read(*second, "", "k"), "io: failed to fill whole buffer");
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

TEST(DatabaseTest, GetOnUnknownCollectionCreatesItsEmptyFile) {
  TempDir dir;
  auto db = Database::open(dir.path());
  ASSERT_TRUE(db);
  auto missing = db->get("people", "alice");
  ASSERT_FALSE(missing);
  EXPECT_TRUE(missing.error().is_key_not_found());
  EXPECT_EQ(missing.error().to_string(), "key not found");
  ASSERT_TRUE(file_exists(dir.file("people.brd")));
  EXPECT_EQ(file_size(dir.file("people.brd")), 0u);
  EXPECT_FALSE(file_exists(dir.file("people.brl")));
}

TEST(DatabaseTest, GetReadsLiveRecordsAndNotDeletedOnes) {
  TempDir dir;
  {
    auto db = Database::open(dir.path());
    ASSERT_TRUE(db);
    auto handle = db->collection("c");
    ASSERT_TRUE(handle);
    Collection& c = (*handle)->collection;
    ASSERT_TRUE(c.set("live", Value(Array{Value(1)})));
    ASSERT_TRUE(c.set("gone", Value(2)));
    ASSERT_TRUE(c.set("gone", Value(Tombstone{})));
    EXPECT_EQ(read(*db, "c", "live"), "Array([Int(1)])");
    EXPECT_EQ(read(*db, "c", "gone"), "key not found");
  }
  auto db = Database::open(dir.path());
  ASSERT_TRUE(db);
  EXPECT_EQ(read(*db, "c", "live"), "Array([Int(1)])");
  EXPECT_EQ(read(*db, "c", "gone"), "key not found");
}

class InvalidNameTest : public ::testing::TestWithParam<std::string> {};

TEST_P(InvalidNameTest, IsRefusedAndCreatesNothing) {
  TempDir dir;
  const std::string root = dir.file("db");
  auto db = Database::open(root);
  ASSERT_TRUE(db);
  auto handle = db->collection(GetParam());
  ASSERT_FALSE(handle);
  EXPECT_TRUE(handle.error().is_io());
  EXPECT_EQ(handle.error().to_string(), "io: invalid collection name");
  EXPECT_EQ(read(*db, GetParam(), "k"), "io: invalid collection name");
  EXPECT_TRUE(entries(root).empty());
  EXPECT_EQ(entries(dir.path()), std::set<std::string>{"db"});
}

INSTANTIATE_TEST_SUITE_P(Names, InvalidNameTest,
                         ::testing::Values("a/b", "../escape", "/", "sub/", std::string("a\0b", 3),
                                           std::string(1, '\0')));

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

TEST(DatabaseTest, FailedCollectionOpenRegistersNothingAndIsRetried) {
  TempDir dir;
  auto db = Database::open(dir.path());
  ASSERT_TRUE(db);
  write_file(dir.file("late.brd"), std::string("\x05\x00", 2));
  auto failed = db->collection("late");
  ASSERT_FALSE(failed);
  EXPECT_EQ(failed.error().to_string(), "io: failed to fill whole buffer");
  write_file(dir.file("late.brd"), record("k", Value(3)));
  EXPECT_EQ(read(*db, "late", "k"), "Int(3)");
}

}  // namespace
}  // namespace brindle

namespace brindle {
namespace {

TEST(DatabaseOpenRegression, PathWithNulIsRefusedInsteadOfCutShort) {
  testing::TempDir dir;
  auto db = Database::open(dir.file("x") + std::string("\0y", 2));
  ASSERT_FALSE(db.has_value());
  EXPECT_EQ(db.error().to_string(), "io: path contains a NUL byte");
  EXPECT_FALSE(testing::file_exists(dir.file("x")));
}

}  // namespace
}  // namespace brindle
