#include "resolver/resolver.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "db/database.h"
#include "testing/builders.h"
#include "testing/db.h"

namespace brindle {
namespace {

using testing::link;
using testing::map;
using testing::shown;
using Path = std::vector<std::string>;

constexpr const char* kCyclic = "cyclic link detected";
constexpr const char* kAlice = R"(Map({"name": Text("Alice")}))";

struct Case {
  const char* collection;
  const char* key;
  Path path;
  std::string expected;  // debug form or error text
};

class ResolverTest : public testing::DbTest {
 protected:
  void SetUp() override { set("people", "alice", map({{"name", Value("Alice")}})); }

  ResolveResult resolve(std::string_view collection, std::string_view key, const Path& path = {}) {
    return Resolver(*db).get_field(collection, key, path);
  }

  void expect(std::initializer_list<Case> cases) {
    for (const Case& c : cases) {
      EXPECT_EQ(shown(resolve(c.collection, c.key, c.path)), c.expected) << c.collection << "/" << c.key;
    }
  }

  // Root fields f0 .. f<n-1> hold links into t keyed by "$self.f<i+1>"; f<n>
  // holds "k", and t/k holds "k", so every level finds a key.
  void nested_self_fields(int n) {
    TextMap root;
    for (int i = 0; i < n; ++i) {
      root.insert_or_assign("f" + std::to_string(i), link("t/$self.f" + std::to_string(i + 1)));
    }
    root.insert_or_assign("f" + std::to_string(n), Value("k"));
    set("r", "root", Value(std::move(root)));
    set("t", "k", Value("k"));
  }
};

TEST_F(ResolverTest, WalksMapFieldsAndFollowsALinkInLastPosition) {
  set("aliases", "al", link("people/alice"));
  set("books", "b1", map({{"author", link("people/alice")}}));
  set("r", "k", map({{"a", map({{"b", Value(1)}})}, {"n", Value()}, {"t", Value(Tombstone{})}}));
  set("r", "null", Value());
  set("r", "s", map({{"i", Value(5)}, {"s", Value("text")}, {"arr", Value(Array{Value(1), Value(2)})},
                     {"b", Value(Blob{"x"})}, {"f", Value(1.5)}, {"d", Value(Date{3})}}));
  expect({{"people", "alice", {}, kAlice},
          {"aliases", "al", {}, kAlice},
          {"books", "b1", {"author"}, kAlice},
          {"books", "b1", {"author", "name"}, R"(Text("Alice"))"},
          {"r", "s", {"arr"}, "Array([Int(1), Int(2)])"},
          // Missing fields are Null; Null and Tombstone end the walk.
          {"r", "k", {"zz", "y", "x"}, "Null"},
          {"r", "k", {"a", "c"}, "Null"},
          {"r", "k", {"a", "b"}, "Int(1)"},
          {"r", "k", {"n", "x", "y"}, "Null"},
          {"r", "k", {"t", "x", "y"}, "Tombstone"},
          {"r", "null", {"a"}, "Null"}});
  // Scalars and arrays have no fields.
  for (const char* field : {"i", "s", "arr", "b", "f", "d"}) {
    EXPECT_EQ(shown(resolve("r", "s", {field, "0"})), "field not found") << field;
  }
}

TEST_F(ResolverTest, MissingRootsDanglingLinksAndInvalidPaths) {
  // Fetching from "broken" fails loudly: its data file is a directory.
  std::filesystem::create_directory(dir.file("broken.brd"));
  set("books", "dangling", map({{"author", link("people/ghost/address")}, {"editor", link("people/ghost")}}));
  set("books", "noslash", map({{"author", link("people")}, {"none", link("")}}));
  expect({{"people", "nobody", {}, "storage: key not found"},
          {"broken", "k", {}, "storage: io: Is a directory (os error 21)"},
          // A dangling link is Null whatever follows.
          {"books", "dangling", {"author", "name", "first"}, "Null"},
          {"books", "dangling", {"editor", "name"}, "Null"},
          {"books", "noslash", {"author", "name"}, "invalid path: people"},
          {"books", "noslash", {"none"}, "invalid path: "}});
  auto missing = resolve("people", "nobody");
  ASSERT_FALSE(missing);
  EXPECT_EQ(missing.error().kind(), ResolveError::Kind::Storage);
}

TEST_F(ResolverTest, LinkPathPiecesAndLocalFields) {
  std::filesystem::create_directory(dir.file("broken.brd"));
  set("people", "home", map({{"address", map({{"city", Value("Paris")}})}, {"city", Value("Wrong")}}));
  set("books", "home", map({{"home", link("people/home/address")}}));
  set("books", "home2", map({{"home", link("people/home/")}}));
  set("people", "", map({{"name", Value("nobody")}}));
  set("books", "empty", link("people/"));
  set("books", "shadow",
      map({{"author", link("broken/x", {{"note", Value("local")}, {"deep", map({{"a", Value(1)}})}})}}));
  set("books", "remote", map({{"author", link("people/alice", {{"name", Value("local")}})}}));
  expect({// Pieces after the key are walked before the remaining segments; empty
          // pieces are field names too, and an empty key piece is a plain key.
          {"books", "home", {"home", "city"}, R"(Text("Paris"))"},
          {"books", "home2", {"home"}, "Null"},
          {"books", "empty", {"name"}, R"(Text("nobody"))"},
          // Local fields shadow the target's without fetching it; other segments fetch.
          {"books", "shadow", {"author", "note"}, R"(Text("local"))"},
          {"books", "shadow", {"author", "deep", "a"}, "Int(1)"},
          {"books", "shadow", {"author", "name"}, "storage: io: Is a directory (os error 21)"},
          {"books", "remote", {"author", "name"}, R"(Text("local"))"},
          {"books", "remote", {"author"}, kAlice}});
}

TEST_F(ResolverTest, SelfKeysNameTheRootKeyOrATextFieldOfTheRoot) {
  set("profiles", "u1", map({{"bio", Value("hi")}}));
  set("users", "u1", map({{"profile", link("profiles/$self")}}));
  set("profiles", "$selfish", map({{"bio", Value("plain key")}}));
  set("users", "u2", map({{"profile", link("profiles/$selfish")}}));
  set("books", "s1", map({{"owner", Value("alice")}, {"o", link("people/$self.owner")}}));
  set("books", "s2", map({{"meta", map({{"who", Value("alice")}})}, {"o", link("people/$self.meta.who/name")}}));
  set("names", "n1", Value("alice"));
  set("books", "s3", map({{"owner", link("names/n1")}, {"o", link("people/$self.owner")}}));
  set("books", "s4", map({{"owner", Value(5)}, {"o", link("people/$self.owner")}, {"e", link("people/$self.")},
                          {"d", link("people/$self.a.")}}));
  set("books", "s5", map({{"owner", Value(5)}, {"o", link("people/$self.owner.x")}, {"p", link("people/$self.q")},
                          {"q", link("nowhere")}}));
  expect({{"users", "u1", {"profile", "bio"}, R"(Text("hi"))"},
          {"users", "u2", {"profile", "bio"}, R"(Text("plain key"))"},
          {"books", "s1", {"o", "name"}, R"(Text("Alice"))"},
          {"books", "s2", {"o"}, R"(Text("Alice"))"},
          {"books", "s3", {"o", "name"}, R"(Text("Alice"))"},
          {"books", "s4", {"o"}, "invalid path: $self.owner resolved to Int(5), expected TEXT"},
          {"books", "s4", {"e", "x"}, "invalid path: $self. resolved to Null, expected TEXT"},
          {"books", "s4", {"d"}, "invalid path: $self.a. resolved to Null, expected TEXT"},
          // Errors of the nested resolution pass unchanged.
          {"books", "s5", {"o"}, "field not found"},
          {"books", "s5", {"p"}, "invalid path: nowhere"}});
}

TEST_F(ResolverTest, ThirtyTwoHopsResolveAndThirtyThreeAreCyclic) {
  // c/k0 -> c/k1 -> ... -> c/k33, the last holding "end".
  for (int i = 0; i < 33; ++i) set("c", "k" + std::to_string(i), link("c/k" + std::to_string(i + 1)));
  set("c", "k33", Value("end"));
  set("c", "a", map({{"next", link("c/b")}}));
  set("c", "b", map({{"next", link("c/a")}}));
  set("c", "self", link("c/$self"));
  // Map and local-map steps cost no hop.
  for (int i = 0; i < 32; ++i) {
    set("m", "k" + std::to_string(i),
        map({{"a", map({{"b", link("x/unused", {{"next", link("m/k" + std::to_string(i + 1))}})}})}}));
  }
  set("m", "k32", Value("end"));
  Path steps;
  for (int i = 0; i < 32; ++i) steps.insert(steps.end(), {"a", "b", "next"});
  // Fields that hold plain links, hop after hop: f/k0 -> ... -> f/k33.
  for (int i = 0; i < 33; ++i) set("f", "k" + std::to_string(i), map({{"next", link("f/k" + std::to_string(i + 1))}}));
  set("f", "k33", map({{"next", Value("end")}}));
  expect({{"c", "k1", {}, R"(Text("end"))"},
          {"c", "k0", {}, kCyclic},
          {"c", "a", Path(40, "next"), kCyclic},
          {"c", "self", {}, kCyclic},
          {"m", "k0", steps, R"(Text("end"))"},
          {"f", "k1", Path(33, "next"), R"(Text("end"))"},
          {"f", "k0", Path(34, "next"), kCyclic},
          {"f", "k1", Path(32, "next"), R"(Map({"next": Text("end")}))"}});
}

TEST_F(ResolverTest, NestedSelfFieldResolutionsAreBounded) {
  nested_self_fields(32);
  EXPECT_EQ(shown(resolve("r", "root", {"f0"})), R"(Text("k"))");
  nested_self_fields(33);
  EXPECT_EQ(shown(resolve("r", "root", {"f0"})), kCyclic);
  EXPECT_EQ(shown(resolve("r", "root", {"f1"})), R"(Text("k"))");
  // Each nested resolution starts its own hop count, so only the nesting
  // bound stops a root field that leads back to itself.
  set("people", "p1", map({{"owner", link("people/$self.owner")}}));
  set("people", "p2", map({{"a", link("people/$self.b")}, {"b", link("people/$self.a")}}));
  expect({{"people", "p1", {"owner"}, kCyclic}, {"people", "p2", {"a", "x"}, kCyclic}});
  // One field asked for at two depths: the key found at the shallower does
  // not stand for the deeper, where the bound cuts its chain of fields off.
  auto two_depths = [&](int chain) {
    TextMap fields;
    fields.insert_or_assign("g", link("x/$self.b"));
    fields.insert_or_assign("a", link("t/$self.b"));
    fields.insert_or_assign("b", link("t/$self.c1"));
    for (int i = 1; i < chain; ++i) {
      fields.insert_or_assign("c" + std::to_string(i), link("t/$self.c" + std::to_string(i + 1)));
    }
    fields.insert_or_assign("c" + std::to_string(chain), Value("k"));
    set("r", "two-depths", Value(std::move(fields)));
    set("x", "k", map({{"next", link("y/$self.a")}}));
    set("y", "k", Value("end"));
    return shown(resolve("r", "two-depths", {"g", "next"}));
  };
  EXPECT_EQ(two_depths(30), R"(Text("end"))");
  EXPECT_EQ(two_depths(31), kCyclic);
}

// Resolutions that follow one another do not nest: 32 hops, each keyed by a
// "$self." field, resolve; the hop bound still applies.
TEST_F(ResolverTest, SuccessiveSelfFieldKeysDoNotNest) {
  set("r", "root", map({{"a", Value("x")}, {"next", link("c1/$self.a")}}));
  for (int i = 1; i < 32; ++i) set("c" + std::to_string(i), "x", link("c" + std::to_string(i + 1) + "/$self.a"));
  set("c32", "x", Value("end"));
  EXPECT_EQ(shown(resolve("r", "root", {"next"})), R"(Text("end"))");
  set("c31", "x", link("c32/$self.a/more"));
  set("c32", "x", map({{"more", link("c33/$self.a")}}));
  set("c33", "x", Value("end"));
  EXPECT_EQ(shown(resolve("r", "root", {"next"})), kCyclic);
}

// Regression: every hop of a nested resolution redid the nested resolutions
// below it, so a few dozen records took 3^32 resolutions: in effect a hang.
// Field f<k> is reached through three hops, each keyed by "$self.f<k+1>".
TEST_F(ResolverTest, RepeatedSelfFieldKeysDoNotMultiplyTheWork) {
  auto build = [&](int levels) {
    TextMap root;
    for (int k = 0; k < levels; ++k) {
      const std::string next = "/$self.f" + std::to_string(k + 1);
      const std::string hop = "h" + std::to_string(k) + "_";
      root.insert_or_assign("f" + std::to_string(k), link(hop + "0" + next));
      set(hop + "0", "k", link(hop + "1" + next));
      set(hop + "1", "k", link(hop + "2" + next));
      set(hop + "2", "k", Value("k"));
    }
    root.insert_or_assign("f" + std::to_string(levels), Value("k"));
    set("r", "root", Value(std::move(root)));
  };
  build(32);
  EXPECT_EQ(shown(resolve("r", "root", {"f0"})), R"(Text("k"))");
  build(33);
  EXPECT_EQ(shown(resolve("r", "root", {"f0"})), kCyclic);
}

TEST_F(ResolverTest, MillionSegmentPathsDoNotGrowTheStack) {
  constexpr std::size_t kSegments = 1'000'000;
  set("r", "k", map({{"a", map({})}, {"i", Value(1)}}));
  EXPECT_EQ(shown(resolve("r", "k", Path(kSegments, "a"))), "Null");
  Path scalar(kSegments, "x");
  scalar[0] = "i";
  EXPECT_EQ(shown(resolve("r", "k", scalar)), "field not found");
  // The same length carried by a link's own path.
  std::string long_path = "r/k";
  for (std::size_t i = 0; i < kSegments; ++i) long_path += "/a";
  set("r", "long", link(long_path));
  EXPECT_EQ(shown(resolve("r", "long")), "Null");
}

}  // namespace
}  // namespace brindle
