#include "backlinks/collect_links.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "testing/builders.h"
#include "types/debug_string.h"

namespace brindle {
namespace {

using testing::array;
using testing::link;
using testing::map;
using Refs = std::vector<LinkRef>;

Refs scan(const Value& value, std::vector<std::string> segments = {}) {
  Refs out;
  collect_links(value, segments, out);
  return out;
}

TEST(CollectLinksTest, FindsEachIndexableLinkWithItsSourcePathInPreOrder) {
  struct Case {
    Value value;
    std::vector<std::string> segments;
    Refs expected;
  };
  Array twelve(12, Value(0));
  twelve[3] = link("t/three");
  twelve[11] = link("t/eleven");
  const Case cases[] = {
      // Source paths: map keys, link-local keys and decimal indices joined by "/".
      {link("people/alice"), {}, {{"people", "alice", ""}}},
      {map({{"author", link("people/alice")}}), {}, {{"people", "alice", "author"}}},
      {map({{"refs", array({link("a/b"), link("c/d")})}}), {}, {{"a", "b", "refs/0"}, {"c", "d", "refs/1"}}},
      {map({{"m", array({array({Value(1), link("x/y")})})}}), {}, {{"x", "y", "m/0/1"}}},
      {Value(twelve), {}, {{"t", "three", "3"}, {"t", "eleven", "11"}}},
      {map({{"x", link("people/alice", {{"note", link("tags/red")}})}}), {},
       {{"people", "alice", "x"}, {"tags", "red", "x/note"}}},
      // Keys are copied verbatim; empty keys give empty pieces.
      {map({{"a/b", link("p/1")}, {"$weird key", link("p/2")}}), {}, {{"p", "1", "a/b"}, {"p", "2", "$weird key"}}},
      {map({{"", map({{"x", link("p/1")}})}}), {}, {{"p", "1", "/x"}}},
      {map({{"a", map({{"", map({{"", link("p/1")}})}})}}), {}, {{"p", "1", "a//"}}},
      // The path of one branch must not leak into the next one.
      {map({{"deep", map({{"er", map({{"est", link("a/1")}})}})},
            {"flat", link("a/2")},
            {"list", array({map({{"long-field-name", link("a/3")}}), link("a/4")})},
            {"last", link("a/5")}}),
       {},
       {{"a", "1", "deep/er/est"}, {"a", "2", "flat"}, {"a", "3", "list/0/long-field-name"}, {"a", "4", "list/1"},
        {"a", "5", "last"}}},
      // Starting segments prefix everything, empty ones included.
      {link("p/k"), {"a", "b"}, {{"p", "k", "a/b"}}},
      {map({{"f", link("p/k")}}), {"a", "b"}, {{"p", "k", "a/b/f"}}},
      {map({{"f", link("p/k")}}), {""}, {{"p", "k", "/f"}}},
      {link("p/k"), {"a", ""}, {{"p", "k", "a/"}}},
      // Targets: pieces after the key are ignored, pieces are taken byte for
      // byte, and only the key piece is tested for a dollar sign.
      {link("people/alice/address/city"), {}, {{"people", "alice", ""}}},
      {link("people/"), {}, {{"people", "", ""}}},
      {link("people//x"), {}, {{"people", "", ""}}},
      {link(" People / Alice "), {}, {{" People ", " Alice ", ""}}},
      {link("p/a$b"), {}, {{"p", "a$b", ""}}},
      {link("$c/k"), {}, {{"$c", "k", ""}}},
      // A link precedes the links of its local map; elements in index order.
      {array({link("a/1", {{"n", link("b/2", {{"m", link("c/3")}})}, {"o", link("d/4")}}), link("e/5")}), {},
       {{"a", "1", "0"}, {"b", "2", "0/n"}, {"c", "3", "0/n/m"}, {"d", "4", "0/o"}, {"e", "5", "1"}}},
      // "a/b" as one key and as two nested keys: equal links are all listed.
      {map({{"a/b", link("p/k")}, {"a", map({{"b", link("p/k")}})}}), {}, {{"p", "k", "a/b"}, {"p", "k", "a/b"}}},
  };
  for (const Case& c : cases) EXPECT_EQ(scan(c.value, c.segments), c.expected) << debug_string(c.value);
}

TEST(CollectLinksTest, SkipsPathsNamingNoRecordAndDollarKeysButScansTheirLocalMaps) {
  for (const char* path : {"people", "", "/alice", "/", "people/$self", "people/$self.owner", "people/$self.",
                           "people/$", "people/$x/y", "people/$selfish"}) {
    EXPECT_EQ(scan(link(path)), Refs{}) << path;
    EXPECT_EQ(scan(map({{"x", link(path, {{"note", link("tags/red")}})}})), (Refs{{"tags", "red", "x/note"}}))
        << path;
  }
  for (const Value& v : {Value(), Value(Tombstone{}), Value(true), Value(7), Value(1.5), Value("people/alice"),
                         Value(Blob{"people/alice"}), Value(Date{1}), Value(Time{2}), Value(DateTime{3}),
                         Value(Array{}), Value(TextMap{}), map({{"a", array({Value(1), map({})})}})}) {
    EXPECT_EQ(scan(v), Refs{}) << debug_string(v);
  }
}

}  // namespace
}  // namespace brindle
