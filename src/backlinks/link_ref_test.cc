#include "backlinks/link_ref.h"

#include <gtest/gtest.h>

#include <initializer_list>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "testing/builders.h"
#include "types/value.h"

namespace brindle {
namespace {

using testing::array;
using testing::link;
using testing::map;

std::vector<LinkRef> scan(const Value& value, std::vector<std::string> segments = {}) {
  std::vector<LinkRef> out;
  collect_links(value, segments, out);
  return out;
}

using Refs = std::vector<LinkRef>;

TEST(CollectLinksSourcePath, WholeValueLinkHasEmptySourcePath) {
  EXPECT_EQ(scan(link("people/alice")), (Refs{{"people", "alice", ""}}));
}

TEST(CollectLinksSourcePath, MapFieldIsItsKey) {
  EXPECT_EQ(scan(map({{"author", link("people/alice")}})), (Refs{{"people", "alice", "author"}}));
}

TEST(CollectLinksSourcePath, ArrayElementsInIndexOrder) {
  Value v = map({{"refs", array({link("a/b"), link("c/d")})}});
  EXPECT_EQ(scan(v), (Refs{{"a", "b", "refs/0"}, {"c", "d", "refs/1"}}));
}

TEST(CollectLinksSourcePath, NestedArraysJoinIndices) {
  Value v = map({{"m", array({array({Value(1), link("x/y")})})}});
  EXPECT_EQ(scan(v), (Refs{{"x", "y", "m/0/1"}}));
}

TEST(CollectLinksSourcePath, MultiDigitIndicesAreDecimalWithoutPadding) {
  Array items;
  for (int i = 0; i < 12; ++i) items.push_back(Value(i));
  items[3] = link("t/three");
  items[11] = link("t/eleven");
  EXPECT_EQ(scan(Value(std::move(items))), (Refs{{"t", "three", "3"}, {"t", "eleven", "11"}}));
}

TEST(CollectLinksSourcePath, LinkLocalKeysAreSegmentsLikeMapKeys) {
  Value v = map({{"x", link("people/alice", {{"note", link("tags/red")}})}});
  EXPECT_EQ(scan(v), (Refs{{"people", "alice", "x"}, {"tags", "red", "x/note"}}));
}

TEST(CollectLinksSourcePath, KeysAreCopiedVerbatimWithoutEscaping) {
  Value v = map({{"a/b", link("p/1")}, {"$weird key", link("p/2")}});
  EXPECT_EQ(scan(v), (Refs{{"p", "1", "a/b"}, {"p", "2", "$weird key"}}));
}

TEST(CollectLinksSourcePath, EmptyKeysGiveEmptyPieces) {
  EXPECT_EQ(scan(map({{"", link("p/1")}})), (Refs{{"p", "1", ""}}));
  EXPECT_EQ(scan(map({{"", map({{"x", link("p/1")}})}})), (Refs{{"p", "1", "/x"}}));
  EXPECT_EQ(scan(map({{"a", map({{"", link("p/1")}})}})), (Refs{{"p", "1", "a/"}}));
  EXPECT_EQ(scan(map({{"a", map({{"", map({{"", link("p/1")}})}})}})), (Refs{{"p", "1", "a//"}}));
}

// The path of one branch must not leak into the next one.
TEST(CollectLinksSourcePath, SiblingsDoNotInheritEachOthersSegments) {
  Value v = map({
      {"deep", map({{"er", map({{"est", link("a/1")}})}})},
      {"flat", link("a/2")},
      {"list", array({map({{"long-field-name", link("a/3")}}), link("a/4")})},
      {"last", link("a/5")},
  });
  EXPECT_EQ(scan(v), (Refs{{"a", "1", "deep/er/est"},
                           {"a", "2", "flat"},
                           {"a", "3", "list/0/long-field-name"},
                           {"a", "4", "list/1"},
                           {"a", "5", "last"}}));
}

TEST(CollectLinksSourcePath, DeepNestingWithinTheValueLimit) {
  Value v = link("t/leaf");
  std::string expected;
  for (int i = 0; i < 200; ++i) {
    v = map({{"n", std::move(v)}});
    expected += expected.empty() ? "n" : "/n";
  }
  EXPECT_EQ(scan(v), (Refs{{"t", "leaf", expected}}));
}

TEST(CollectLinksStartingSegments, PrefixTheWholeValue) {
  EXPECT_EQ(scan(link("p/k"), {"a", "b"}), (Refs{{"p", "k", "a/b"}}));
  EXPECT_EQ(scan(array({link("p/k")}), {"a"}), (Refs{{"p", "k", "a/0"}}));
  EXPECT_EQ(scan(map({{"f", link("p/k")}}), {"a", "b"}), (Refs{{"p", "k", "a/b/f"}}));
}

TEST(CollectLinksStartingSegments, EmptyStartingSegmentsAreKept) {
  EXPECT_EQ(scan(link("p/k"), {""}), (Refs{{"p", "k", ""}}));
  EXPECT_EQ(scan(map({{"f", link("p/k")}}), {""}), (Refs{{"p", "k", "/f"}}));
  EXPECT_EQ(scan(link("p/k"), {"a", ""}), (Refs{{"p", "k", "a/"}}));
}

TEST(CollectLinksStartingSegments, ResultsAreAppendedToWhatTheListHolds) {
  std::vector<LinkRef> out{{"old", "entry", "kept"}};
  const std::vector<std::string> none;
  collect_links(link("p/k"), none, out);
  EXPECT_EQ(out, (Refs{{"old", "entry", "kept"}, {"p", "k", ""}}));
}

TEST(CollectLinksTarget, ExtraPathPiecesAreIgnored) {
  EXPECT_EQ(scan(link("people/alice/address/city")), (Refs{{"people", "alice", ""}}));
  EXPECT_EQ(scan(link("people/alice/")), (Refs{{"people", "alice", ""}}));
}

TEST(CollectLinksTarget, TrailingSlashGivesEmptyKey) {
  EXPECT_EQ(scan(link("people/")), (Refs{{"people", "", ""}}));
  EXPECT_EQ(scan(link("people//x")), (Refs{{"people", "", ""}}));
}

TEST(CollectLinksTarget, PiecesAreTakenByteForByte) {
  EXPECT_EQ(scan(link(" People / Alice ")), (Refs{{" People ", " Alice ", ""}}));
  EXPECT_EQ(scan(link("p/a$b")), (Refs{{"p", "a$b", ""}}));
  // Only the key piece is tested for a dollar sign.
  EXPECT_EQ(scan(link("$c/k")), (Refs{{"$c", "k", ""}}));
  EXPECT_EQ(scan(link("p/%24self")), (Refs{{"p", "%24self", ""}}));
}

TEST(CollectLinksSkipped, PathsThatNameNoRecord) {
  EXPECT_TRUE(scan(link("people")).empty());
  EXPECT_TRUE(scan(link("")).empty());
  EXPECT_TRUE(scan(link("/alice")).empty());
  EXPECT_TRUE(scan(link("/")).empty());
}

TEST(CollectLinksSkipped, KeysStartingWithDollar) {
  for (const char* path : {"people/$self", "people/$self.owner", "people/$self.", "people/$", "people/$x/y",
                           "people/$selfish"}) {
    EXPECT_TRUE(scan(link(path)).empty()) << path;
  }
}

TEST(CollectLinksSkipped, LocalMapsOfSkippedLinksAreStillScanned) {
  for (const char* path : {"people", "/alice", "people/$self", "people/$self.owner"}) {
    Value v = map({{"x", link(path, {{"note", link("tags/red")}})}});
    EXPECT_EQ(scan(v), (Refs{{"tags", "red", "x/note"}})) << path;
  }
}

TEST(CollectLinksSkipped, ValuesWithoutLinks) {
  for (const Value& v : {Value(), Value(Tombstone{}), Value(true), Value(7), Value(1.5), Value("people/alice"),
                         Value(Blob{"people/alice"}), Value(Date{1}), Value(Time{2}), Value(DateTime{3}),
                         Value(Array{}), Value(TextMap{}), map({{"a", array({Value(1), map({})})}})}) {
    EXPECT_TRUE(scan(v).empty());
  }
}

TEST(CollectLinksOrder, LinkPrecedesTheLinksOfItsLocalMap) {
  Value v = array({
      link("a/1", {{"n", link("b/2", {{"m", link("c/3")}})}, {"o", link("d/4")}}),
      link("e/5"),
  });
  EXPECT_EQ(scan(v),
            (Refs{{"a", "1", "0"}, {"b", "2", "0/n"}, {"c", "3", "0/n/m"}, {"d", "4", "0/o"}, {"e", "5", "1"}}));
}

TEST(CollectLinksOrder, ArrayElementLinksPrecedeLaterElements) {
  Value v = array({map({{"x", link("a/1")}, {"y", link("a/2")}}), array({link("a/3")}), link("a/4")});
  EXPECT_EQ(scan(v), (Refs{{"a", "1", "0/x"}, {"a", "2", "0/y"}, {"a", "3", "1/0"}, {"a", "4", "2"}}));
}

TEST(CollectLinksOrder, EqualLinksAtEqualPathsAreAllListed) {
  // "a/b" as one key and as two nested keys join to the same source path.
  Value v = map({{"a/b", link("p/k")}, {"a", map({{"b", link("p/k")}})}});
  EXPECT_EQ(scan(v), (Refs{{"p", "k", "a/b"}, {"p", "k", "a/b"}}));
}

}  // namespace
}  // namespace brindle
