#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <new>
#include <string>

#include "db/database.h"
#include "testing/allocation_probe.h"
#include "testing/builders.h"
#include "testing/db.h"
#include "testing/file_size_limit.h"
#include "testing/temp_dir.h"

namespace brindle {
namespace {

using testing::Entries;
using testing::file_exists;
using testing::file_size;
using testing::index_record;
using testing::link;
using testing::map;
using testing::read_file;
using testing::shown;

std::string add(std::string_view key, const BacklinkEntry& e) { return index_record(1, key, e); }
std::string del(std::string_view key, const BacklinkEntry& e) { return index_record(2, key, e); }

const BacklinkEntry kAuthor{"books", "b1", "author"};
const BacklinkEntry kEditor{"books", "b1", "editor"};
Value author_link() { return map({{"author", link("people/alice")}}); }

class WriteTest : public testing::DbTest {
 protected:
  std::string index_file(const std::string& name) { return read_file(dir.file(name + ".brl")); }
};

TEST_F(WriteTest, AddingALinkIndexesItUnderTheTargetKey) {
  set("books", "b1", map({{"author", link("people/alice")}}));
  EXPECT_EQ(backlinks("people", "alice"), (Entries{kAuthor}));
  EXPECT_EQ(index_file("people"), add("alice", kAuthor));
  // The target needs no data file of its own.
  EXPECT_FALSE(file_exists(dir.file("people.brd")));
  // A link that is the whole value has an empty source path.
  set("aliases", "al", link("people/alice/address"));
  EXPECT_EQ(backlinks("people", "alice"), (Entries{kAuthor, {"aliases", "al", ""}}));
  // Asking for backlinks of a collection nothing links to leaves an empty index.
  EXPECT_EQ(backlinks("tags", "red"), Entries{});
  EXPECT_EQ(file_size(dir.file("tags.brl")), 0u);
  EXPECT_FALSE(file_exists(dir.file("tags.brd")));
}

TEST_F(WriteTest, WritesWithoutIndexableLinksCreateNoIndexFile) {
  set("notes", "n1", Value("people/alice"));
  set("notes", "n1", Value(Tombstone{}));
  set("notes", "never-written", Value(Tombstone{}));
  // Keys starting with "$" are never indexed, on write, change or delete.
  set("books", "b1", map({{"a", link("people/$self")}, {"b", link("people/$self.owner")}, {"c", link("people/$x")}}));
  set("books", "b1", map({{"a", link("people/$self")}}));
  set("books", "b1", Value(Tombstone{}));
  for (const auto& entry : std::filesystem::directory_iterator(dir.path())) {
    EXPECT_NE(entry.path().extension(), ".brl") << entry.path();
  }
}

TEST_F(WriteTest, AllRemovalsPrecedeAllAdditionsAndDeleteRemovesEveryLink) {
  set("books", "b1", map({{"a", link("p/1")}, {"b", link("p/2")}, {"author", link("people/alice")}}));
  const std::string before = index_file("p");
  set("books", "b1", map({{"c", link("p/3")}, {"a", link("p/4")}, {"b", link("p/2")}, {"editor", link("people/alice")}}));
  EXPECT_EQ(index_file("p"),
            before + del("1", {"books", "b1", "a"}) + add("3", {"books", "b1", "c"}) + add("4", {"books", "b1", "a"}));
  // Moving a link within the record: the old place goes before the new one.
  EXPECT_EQ(index_file("people"), add("alice", kAuthor) + del("alice", kAuthor) + add("alice", kEditor));
  EXPECT_EQ(backlinks("people", "alice"), (Entries{kEditor}));
  set("books", "b1", Value(Tombstone{}));
  EXPECT_EQ(backlinks("people", "alice"), Entries{});
  for (const char* key : {"2", "3", "4"}) EXPECT_EQ(backlinks("p", key), Entries{}) << key;
}

// Regression: links were compared by membership only, so an overwrite that
// changed how often one link stands at one place ("a/b" as one key and as two
// nested keys) left the index with as many entries as before, unlike a fresh
// write of the same value, and the tools' check reported drift.
TEST_F(WriteTest, AnOverwriteChangingHowOftenALinkStandsLeavesWhatAFreshWriteLeaves) {
  const BacklinkEntry ab{"books", "b1", "a/b"};
  // Links into another collection make both lists long enough to be hashed.
  for (const int others : {0, 20}) {
    auto with_others = [&](Value value) {
      TextMap& fields = *value.get_if<TextMap>();
      for (int i = 0; i < others; ++i) fields.insert_or_assign("o" + std::to_string(i), link("others/o"));
      return value;
    };
    const Value once = with_others(map({{"a/b", link("people/alice")}, {"x", link("people/bob")}}));
    const Value twice = with_others(map({{"a/b", link("people/alice")}, {"a", map({{"b", link("people/alice")}})}}));
    for (const bool in_transaction : {false, true}) {
      SCOPED_TRACE(::testing::Message() << in_transaction << " " << others);
      const std::string before = index_file("people");
      auto overwrite = [&](const Value& value) {
        if (in_transaction) db->begin();
        set("books", "b1", value);
        if (in_transaction) {
          ASSERT_EQ(shown(db->commit()), "ok");
        }
      };
      overwrite(twice);
      EXPECT_EQ(backlinks("people", "alice"), (Entries{ab, ab}));
      overwrite(once);  // one of the two goes: both removed, one added back
      EXPECT_EQ(backlinks("people", "alice"), Entries{ab});
      overwrite(twice);  // one more: only the extra one added
      EXPECT_EQ(backlinks("people", "alice"), (Entries{ab, ab}));
      overwrite(Value(Tombstone{}));  // one removal per element, as ever
      EXPECT_EQ(backlinks("people", "alice"), Entries{});
      const BacklinkEntry x{"books", "b1", "x"};
      EXPECT_EQ(index_file("people").substr(before.size()),
                add("alice", ab) + add("alice", ab) + del("alice", ab) + add("alice", ab) + add("bob", x) +
                    del("bob", x) + add("alice", ab) + del("alice", ab) + del("alice", ab));
    }
  }
}

TEST_F(WriteTest, OldLinksAreFoundAgainAfterReopen) {
  set("books", "b1", map({{"author", link("people/alice")}}));
  set("books", "b2", map({{"author", link("people/alice")}}));
  reopen();
  EXPECT_EQ(backlinks("people", "alice"), (Entries{kAuthor, {"books", "b2", "author"}}));
  set("books", "b1", map({{"editor", link("people/alice")}}));
  EXPECT_EQ(backlinks("people", "alice"), (Entries{{"books", "b2", "author"}, kEditor}));
}

// An old record that cannot be read counts as having no links.
TEST_F(WriteTest, UndecodableOldValueAddsEveryNewLinkAgain) {
  set("books", "b1", map({{"author", link("people/alice")}, {"editor", link("people/bob")}}));
  db.reset();
  // A later record for b1: a Text whose length runs past the value's bytes.
  testing::write_file(dir.file("books.brd"), read_file(dir.file("books.brd")) +
                                                 testing::record("b1", testing::hex("04 10 00 00 00 61 62")));
  reopen();
  ASSERT_EQ(shown(db->get("books", "b1")), "codec: unexpected end of buffer");
  set("books", "b1", map({{"author", link("people/alice")}}));
  EXPECT_EQ(backlinks("people", "alice"), (Entries{kAuthor, kAuthor}));
  // The link the new value dropped keeps its entry.
  EXPECT_EQ(backlinks("people", "bob"), (Entries{kEditor}));
}

// Regression: a set refused for a link into an invalid collection name, or
// one too long for its index file's name, still stored its record. An old
// record holding such links (written before the check) can be overwritten
// and deleted: its links were never indexed.
TEST_F(WriteTest, LinkIntoAnInvalidNameWasStoredAnyway) {
  const std::string too_long(252, 'p');
  const Value bad = map({{"a", link("people/alice")},
                         {"b", link(std::string("pe\0ple/x", 9))},
                         {"c", link(too_long + "/x")}});
  ASSERT_TRUE(db->set("books", "b1", Value(1)));
  const std::string file_before = read_file(dir.file("books.brd"));
  EXPECT_EQ(shown(db->set("books", "b1", bad)), "io: invalid collection name");
  // Also before an encoded value's own refusal.
  const LinkRef bad_ref{std::string("pe\0ple", 6), "x", "b"};
  EXPECT_EQ(shown(db->set("books", "b1", Collection::EncodedValue{"\x07", EncodeStatus::TooLong}, {&bad_ref, 1})),
            "io: invalid collection name");
  EXPECT_EQ(shown(db->set("books", "b1", map({{"a", link("people/alice")}, {"c", link(too_long + "/x")}}))),
            "io: File name too long (os error 36)");
  EXPECT_EQ(testing::shown(db->get("books", "b1")), "Int(1)");
  EXPECT_EQ(read_file(dir.file("books.brd")), file_before);
  EXPECT_FALSE(file_exists(dir.file("people.brl")));

  db.reset();
  testing::write_file(dir.file("books.brd"), file_before + testing::record("b1", bad));
  reopen();
  ASSERT_TRUE(db->set("books", "b1", author_link()));
  EXPECT_EQ(backlinks("people", "alice"), (Entries{kAuthor}));
  ASSERT_TRUE(db->set("books", "b1", Value(Tombstone{})));
  EXPECT_EQ(backlinks("people", "alice"), Entries{});
}

// Regression: a write refused for its value or key still created the data
// file of the collection it was the first to use.
TEST_F(WriteTest, RefusedValueCreatesNoCollectionFile) {
  Value deep(1);
  for (std::size_t i = 0; i <= kMaxNesting; ++i) deep = Value(Array{std::move(deep)});
  EXPECT_EQ(shown(db->set("fresh", "k", deep)), "io: value is nested too deeply");
  EXPECT_EQ(shown(db->set("fresh", "k", Collection::EncodedValue{"\x07", EncodeStatus::TooLong}, {})),
            "io: value too long");
  EXPECT_FALSE(file_exists(dir.file("fresh.brd")));
}

TEST_F(WriteTest, IndexThatCannotOpenStopsTheRemainingChanges) {
  std::filesystem::create_directory(dir.file("bad.brl"));
  auto written = db->set("books", "b1", map({{"a", link("good/1")}, {"b", link("bad/2")}, {"c", link("good/3")}}));
  EXPECT_EQ(shown(written), "io: Is a directory (os error 21)");
  // No undo: the record and the change before the failure stay.
  EXPECT_TRUE(db->get("books", "b1"));
  EXPECT_EQ(backlinks("good", "1"), (Entries{{"books", "b1", "a"}}));
  EXPECT_EQ(backlinks("good", "3"), Entries{});
}

// A write with many links appends its changes in batches, split where the
// target collection changes: the files and lists keep the links' order.
TEST_F(WriteTest, ManyLinksGoOutInBatchesInTheirOrder) {
  TextMap fields;
  std::string hub_file, red_file;
  Entries hub;
  for (int i = 0; i < 4000; ++i) {  // some 150 KB of changes into people
    const std::string field = "a field name long enough to fill a few batches " + std::to_string(i);
    const bool red = i == 1500;
    fields.insert_or_assign(field, link(red ? "tags/red" : "people/hub"));
    const BacklinkEntry entry{"books", "b1", field};
    (red ? red_file : hub_file) += add(red ? "red" : "hub", entry);
    if (!red) hub.push_back(entry);
  }
  set("books", "b1", Value(fields));
  EXPECT_EQ(backlinks("people", "hub"), hub);
  EXPECT_EQ(index_file("people"), hub_file);
  EXPECT_EQ(index_file("tags"), red_file);
  set("books", "b1", Value(Tombstone{}));
  for (const BacklinkEntry& entry : hub) hub_file += del("hub", entry);
  EXPECT_EQ(index_file("people"), hub_file);
  EXPECT_EQ(backlinks("people", "hub"), Entries{});
}

// Regressions: a write that ran out of memory while collecting its backlink
// changes left them behind, viewing its freed arguments, and the next write
// appended them to index files; in a transaction, one that ran out queueing
// them had its record buffered already, and commit wrote it without them.
TEST_F(WriteTest, WriteThatRanOutOfMemoryLeavesNoTrace) {
  set("books", "b0", Value(std::int64_t{1}));  // the collection's own buffers
  TextMap fields;
  for (int i = 0; i < 200; ++i) fields.insert_or_assign("f" + std::to_string(i), link("people/hub"));
  const Value value(fields);
  std::vector<LinkRef> links;
  collect_links(value, {}, links);
  std::string bytes;
  const Collection::EncodedValue encoded = Collection::encode_value(value, bytes);
  {
    testing::AllocationProbe out_of_memory(8192);  // the changes of 200 links need more
    EXPECT_THROW((void)db->set("books", "b1", encoded, links), std::bad_alloc);
  }
  set("books", "b2", map({{"a", link("tags/x")}}));
  EXPECT_EQ(backlinks("tags", "x"), (Entries{{"books", "b2", "a"}}));
  EXPECT_EQ(index_file("tags"), add("x", {"books", "b2", "a"}));
  EXPECT_FALSE(file_exists(dir.file("people.brl")));

  // Smaller limits fail the changes worked out before the queue's first
  // chunk, the largest allocation.
  for (const std::size_t limit : {1024, 4096, 16384, 32768}) {
    db->begin();
    {
      testing::AllocationProbe out_of_memory(limit);
      EXPECT_THROW((void)db->set("books", "b1", encoded, links), std::bad_alloc) << limit;
    }
    ASSERT_EQ(shown(db->commit()), "ok");
  }
  reopen();
  EXPECT_FALSE(db->get("books", "b1"));
  EXPECT_EQ(backlinks("people", "hub"), Entries{});
}

// Regression: running out of memory while a backlink index took changes
// already in its file left the index behind its file until a reopen.
TEST_F(WriteTest, AnIndexThatRanOutOfMemoryAgreesWithItsFileAfterwards) {
  for (int i = 0; i < 1000; ++i) set("books", "b" + std::to_string(i), Value(std::int64_t{i}));
  set("books", "b0", map({{"a", link("people/p0")}}));
  for (int i = 1; i < 300; ++i) {
    const std::string target = "p" + std::to_string(i);
    const std::string key = "b" + std::to_string(i);
    const Value value = map({{"a", link("people/" + target)}});
    std::vector<LinkRef> links;
    collect_links(value, {}, links);
    std::string bytes;
    const Collection::EncodedValue encoded = Collection::encode_value(value, bytes);
    {
      testing::AllocationProbe out_of_memory(64);
      try {
        (void)db->set("books", key, encoded, links);
      } catch (const std::bad_alloc&) {
      }
    }
    Database fresh = testing::open_db(dir.path());
    ASSERT_EQ(backlinks("people", target), testing::backlinks(fresh, "people", target)) << i;
  }
}

TEST_F(WriteTest, FailedRecordWriteTouchesNoIndex) {
  set("books", "b1", map({{"author", link("people/alice")}}));
  const std::string index_before = index_file("people");
  StorageResult<void> written;
  {
    testing::FileSizeLimit limit(file_size(dir.file("books.brd")));
    written = db->set("books", "b1", map({{"editor", link("people/bob")}}));
  }
  EXPECT_EQ(shown(written), "io: File too large (os error 27)");
  EXPECT_EQ(index_file("people"), index_before);
  EXPECT_EQ(backlinks("people", "alice"), (Entries{kAuthor}));
  EXPECT_EQ(backlinks("people", "bob"), Entries{});
}

}  // namespace
}  // namespace brindle
