#include "resolver/resolver.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <initializer_list>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "db/database.h"
#include "testing/builders.h"
#include "testing/temp_dir.h"
#include "types/debug_string.h"
#include "types/value.h"

namespace brindle {
namespace {

using testing::array;
using testing::link;
using testing::map;

using testing::TempDir;
using Path = std::vector<std::string>;

class ResolverTest : public ::testing::Test {
 protected:
  void SetUp() override {
    auto opened = Database::open(dir_.path());
    ASSERT_TRUE(opened) << opened.error().to_string();
    db_.emplace(std::move(*opened));
  }

  void put(std::string_view collection, std::string_view key, const Value& value) {
    auto written = db_->set(collection, key, value);
    ASSERT_TRUE(written) << written.error().to_string();
  }

  ResolveResult resolve(std::string_view collection, std::string_view key, const Path& path = {}) {
    return Resolver(*db_).get_field(collection, key, path);
  }

  // The diagnostic text of a successful result, or the error's text.
  std::string text_of(std::string_view collection, std::string_view key, const Path& path = {}) {
    auto result = resolve(collection, key, path);
    return result ? debug_string(*result) : "error: " + result.error().to_string();
  }

  // c/k0 -> c/k1 -> ... -> c/k<links>, the last holding "end".
  void chain(int links) {
    for (int i = 0; i < links; ++i) put("c", "k" + std::to_string(i), link("c/k" + std::to_string(i + 1)));
    put("c", "k" + std::to_string(links), Value("end"));
  }

  TempDir dir_;
  std::optional<Database> db_;
};

TEST_F(ResolverTest, EmptyPathReturnsTheRootValue) {
  put("people", "alice", map({{"name", Value("Alice")}}));
  EXPECT_EQ(text_of("people", "alice"), R"(Map({"name": Text("Alice")}))");
  put("arrays", "a", Value(Array{Value(1)}));
  EXPECT_EQ(text_of("arrays", "a"), "Array([Int(1)])");
}

TEST_F(ResolverTest, LinkInLastPositionIsFollowed) {
  put("people", "alice", map({{"name", Value("Alice")}}));
  put("aliases", "al", link("people/alice"));
  put("books", "b1", map({{"author", link("people/alice")}}));
  EXPECT_EQ(text_of("aliases", "al"), R"(Map({"name": Text("Alice")}))");
  EXPECT_EQ(text_of("books", "b1", {"author"}), R"(Map({"name": Text("Alice")}))");
  EXPECT_EQ(text_of("books", "b1", {"author", "name"}), R"(Text("Alice"))");
}

TEST_F(ResolverTest, MissingFieldsAreNull) {
  put("r", "k", map({{"a", map({{"b", Value(1)}})}}));
  EXPECT_EQ(text_of("r", "k", {"zz"}), "Null");
  EXPECT_EQ(text_of("r", "k", {"zz", "y", "x"}), "Null");
  EXPECT_EQ(text_of("r", "k", {"a", "c"}), "Null");
  EXPECT_EQ(text_of("r", "k", {"a", "b"}), "Int(1)");
}

TEST_F(ResolverTest, NullAndTombstoneEndTheWalk) {
  put("r", "k", map({{"n", Value()}, {"t", Value(Tombstone{})}}));
  EXPECT_EQ(text_of("r", "k", {"n", "x", "y"}), "Null");
  EXPECT_EQ(text_of("r", "k", {"t", "x", "y"}), "Tombstone");
  EXPECT_EQ(text_of("r", "k", {"t"}), "Tombstone");
  put("r", "null", Value());
  EXPECT_EQ(text_of("r", "null", {"a"}), "Null");
}

TEST_F(ResolverTest, ScalarsAndArraysHaveNoFields) {
  put("r", "k", map({{"i", Value(5)}, {"s", Value("text")}, {"arr", Value(Array{Value(1), Value(2)})},
                     {"b", Value(Blob{"x"})}, {"f", Value(1.5)}, {"d", Value(Date{3})}}));
  for (const char* field : {"i", "s", "arr", "b", "f", "d"}) {
    EXPECT_EQ(text_of("r", "k", {field, "0"}), "error: field not found") << field;
  }
  EXPECT_EQ(text_of("r", "k", {"arr"}), "Array([Int(1), Int(2)])");
}

TEST_F(ResolverTest, MissingRootIsAStorageError) {
  auto result = resolve("people", "nobody");
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error().kind(), ResolveError::Kind::Storage);
  EXPECT_EQ(result.error().to_string(), "storage: key not found");
}

TEST_F(ResolverTest, UnreadableRootIsAStorageError) {
  std::filesystem::create_directory(dir_.file("broken.brd"));
  EXPECT_EQ(text_of("broken", "k"), "error: storage: io: Is a directory (os error 21)");
}

TEST_F(ResolverTest, DanglingLinkIsNullWhateverFollows) {
  put("books", "b1", map({{"author", link("people/ghost/address")}}));
  EXPECT_EQ(text_of("books", "b1", {"author"}), "Null");
  EXPECT_EQ(text_of("books", "b1", {"author", "name", "first"}), "Null");
}

TEST_F(ResolverTest, LinkWithoutSlashIsAnInvalidPath) {
  put("books", "b1", map({{"author", link("people")}, {"none", link("")}}));
  EXPECT_EQ(text_of("books", "b1", {"author", "name"}), "error: invalid path: people");
  EXPECT_EQ(text_of("books", "b1", {"none"}), "error: invalid path: ");
}

TEST_F(ResolverTest, LinkPathPiecesAreWalkedBeforeTheRemainingSegments) {
  put("people", "alice", map({{"address", map({{"city", Value("Paris")}})}, {"city", Value("Wrong")}}));
  put("books", "b1", map({{"home", link("people/alice/address")}}));
  EXPECT_EQ(text_of("books", "b1", {"home", "city"}), R"(Text("Paris"))");
  EXPECT_EQ(text_of("books", "b1", {"home"}), R"(Map({"city": Text("Paris")}))");
  // Empty pieces are field names too.
  put("books", "b2", map({{"home", link("people/alice/")}}));
  EXPECT_EQ(text_of("books", "b2", {"home"}), "Null");
}

TEST_F(ResolverTest, EmptyKeyPieceIsAnOrdinaryKey) {
  put("people", "", map({{"name", Value("nobody")}}));
  put("books", "b1", link("people/"));
  EXPECT_EQ(text_of("books", "b1", {"name"}), R"(Text("nobody"))");
}

TEST_F(ResolverTest, LocalFieldsShadowWithoutFetchingTheTarget) {
  // Fetching the target fails loudly: its data file is a directory.
  std::filesystem::create_directory(dir_.file("broken.brd"));
  put("books", "b1",
      map({{"author", link("broken/x", {{"note", Value("local")}, {"deep", map({{"a", Value(1)}})}})}}));
  EXPECT_EQ(text_of("books", "b1", {"author", "note"}), R"(Text("local"))");
  EXPECT_EQ(text_of("books", "b1", {"author", "deep", "a"}), "Int(1)");
  auto fetched = resolve("books", "b1", {"author", "name"});
  ASSERT_FALSE(fetched);
  EXPECT_EQ(fetched.error().kind(), ResolveError::Kind::Storage);
  EXPECT_EQ(fetched.error().to_string(), "storage: io: Is a directory (os error 21)");
}

TEST_F(ResolverTest, NonLocalSegmentFetchesTheTargetWithThatSegment) {
  put("people", "alice", map({{"name", Value("Alice")}, {"note", Value("remote")}}));
  put("books", "b1", map({{"author", link("people/alice", {{"note", Value("local")}})}}));
  EXPECT_EQ(text_of("books", "b1", {"author", "note"}), R"(Text("local"))");
  EXPECT_EQ(text_of("books", "b1", {"author", "name"}), R"(Text("Alice"))");
}

TEST_F(ResolverTest, SelfKeyIsTheRootKey) {
  put("profiles", "u1", map({{"bio", Value("hi")}}));
  put("users", "u1", map({{"profile", link("profiles/$self")}}));
  EXPECT_EQ(text_of("users", "u1", {"profile", "bio"}), R"(Text("hi"))");
  // Only the exact "$self" forms name the root; "$selfish" is a plain key.
  put("profiles", "$selfish", map({{"bio", Value("plain key")}}));
  put("users", "u2", map({{"profile", link("profiles/$selfish")}}));
  EXPECT_EQ(text_of("users", "u2", {"profile", "bio"}), R"(Text("plain key"))");
}

TEST_F(ResolverTest, SelfFieldKeyReadsTheRootRecord) {
  put("people", "alice", map({{"name", Value("Alice")}}));
  put("books", "b1", map({{"owner", Value("alice")}, {"o", link("people/$self.owner")}}));
  EXPECT_EQ(text_of("books", "b1", {"o", "name"}), R"(Text("Alice"))");
  put("books", "b2", map({{"meta", map({{"who", Value("alice")}})}, {"o", link("people/$self.meta.who/name")}}));
  EXPECT_EQ(text_of("books", "b2", {"o"}), R"(Text("Alice"))");
  // The field may itself be a link, followed to the text it leads to.
  put("names", "n1", Value("alice"));
  put("books", "b3", map({{"owner", link("names/n1")}, {"o", link("people/$self.owner")}}));
  EXPECT_EQ(text_of("books", "b3", {"o", "name"}), R"(Text("Alice"))");
}

TEST_F(ResolverTest, SelfFieldKeyThatIsNotTextIsAnInvalidPath) {
  put("books", "b1", map({{"owner", Value(5)}, {"o", link("people/$self.owner")}, {"e", link("people/$self.")},
                          {"d", link("people/$self.a.")}}));
  EXPECT_EQ(text_of("books", "b1", {"o"}), "error: invalid path: $self.owner resolved to Int(5), expected TEXT");
  EXPECT_EQ(text_of("books", "b1", {"e", "x"}), "error: invalid path: $self. resolved to Null, expected TEXT");
  EXPECT_EQ(text_of("books", "b1", {"d"}), "error: invalid path: $self.a. resolved to Null, expected TEXT");
}

TEST_F(ResolverTest, SelfFieldResolutionErrorsPassUnchanged) {
  put("books", "b1", map({{"owner", Value(5)}, {"o", link("people/$self.owner.x")}, {"p", link("people/$self.q")},
                          {"q", link("nowhere")}}));
  EXPECT_EQ(text_of("books", "b1", {"o"}), "error: field not found");
  EXPECT_EQ(text_of("books", "b1", {"p"}), "error: invalid path: nowhere");
}

TEST_F(ResolverTest, ChainOfThirtyTwoLinksResolves) {
  chain(32);
  EXPECT_EQ(text_of("c", "k0"), R"(Text("end"))");
}

TEST_F(ResolverTest, ChainOfThirtyThreeLinksIsCyclic) {
  chain(33);
  EXPECT_EQ(text_of("c", "k0"), "error: cyclic link detected");
  EXPECT_EQ(text_of("c", "k1"), R"(Text("end"))");
}

TEST_F(ResolverTest, MapAndLocalStepsCostNoHop) {
  // Each record is a map whose field holds a link wrapped in a local map.
  for (int i = 0; i < 32; ++i) {
    put("m", "k" + std::to_string(i),
        map({{"a", map({{"b", link("x/unused", {{"next", link("m/k" + std::to_string(i + 1))}})}})}}));
  }
  put("m", "k32", Value("end"));
  Path path;
  for (int i = 0; i < 32; ++i) path.insert(path.end(), {"a", "b", "next"});
  EXPECT_EQ(text_of("m", "k0", path), R"(Text("end"))");
}

TEST_F(ResolverTest, TwoRecordCycleIsDetected) {
  put("c", "a", map({{"next", link("c/b")}}));
  put("c", "b", map({{"next", link("c/a")}}));
  EXPECT_EQ(text_of("c", "a", Path(40, "next")), "error: cyclic link detected");
  put("c", "self", link("c/$self"));
  EXPECT_EQ(text_of("c", "self"), "error: cyclic link detected");
}

// Root fields f0 .. f<n-1> hold links keyed by "$self.f<i+1>"; f<n> holds
// the key "k", and t/k holds the text "k", so every level finds a key.
class SelfNestingTest : public ResolverTest {
 protected:
  void nested(int n) {
    TextMap root;
    for (int i = 0; i < n; ++i) {
      root.insert_or_assign("f" + std::to_string(i), link("t/$self.f" + std::to_string(i + 1)));
    }
    root.insert_or_assign("f" + std::to_string(n), Value("k"));
    put("r", "root", Value(std::move(root)));
    put("t", "k", Value("k"));
  }
};

TEST_F(SelfNestingTest, ThirtyTwoNestedSelfFieldResolutionsResolve) {
  nested(32);
  EXPECT_EQ(text_of("r", "root", {"f0"}), R"(Text("k"))");
}

TEST_F(SelfNestingTest, ThirtyThirdNestedSelfFieldResolutionIsCyclic) {
  nested(33);
  EXPECT_EQ(text_of("r", "root", {"f0"}), "error: cyclic link detected");
  EXPECT_EQ(text_of("r", "root", {"f1"}), R"(Text("k"))");
}

// Resolutions that follow one another do not nest: 32 hops, each keyed by a
// "$self." field, resolve.
TEST_F(SelfNestingTest, SuccessiveSelfFieldKeysDoNotNest) {
  put("r", "root", map({{"a", Value("x")}, {"next", link("c1/$self.a")}}));
  for (int i = 1; i < 32; ++i) put("c" + std::to_string(i), "x", link("c" + std::to_string(i + 1) + "/$self.a"));
  put("c32", "x", Value("end"));
  EXPECT_EQ(text_of("r", "root", {"next"}), R"(Text("end"))");
  put("c31", "x", link("c32/$self.a/more"));
  put("c32", "x", map({{"more", link("c33/$self.a")}}));
  put("c33", "x", Value("end"));
  EXPECT_EQ(text_of("r", "root", {"next"}), "error: cyclic link detected");
}

// Regression: every hop of a nested resolution redid the nested resolutions
// below it, so a few dozen records took 3^32 resolutions: in effect a hang.
// Field f<k> is reached through three hops, each keyed by "$self.f<k+1>".
TEST_F(SelfNestingTest, RepeatedSelfFieldKeysDoNotMultiplyTheWork) {
  auto build = [&](int levels) {
    TextMap root;
    for (int k = 0; k < levels; ++k) {
      const std::string next = "/$self.f" + std::to_string(k + 1);
      const std::string hop = "h" + std::to_string(k) + "_";
      root.insert_or_assign("f" + std::to_string(k), link(hop + "0" + next));
      put(hop + "0", "k", link(hop + "1" + next));
      put(hop + "1", "k", link(hop + "2" + next));
      put(hop + "2", "k", Value("k"));
    }
    root.insert_or_assign("f" + std::to_string(levels), Value("k"));
    put("r", "root", Value(std::move(root)));
  };
  build(32);
  EXPECT_EQ(text_of("r", "root", {"f0"}), R"(Text("k"))");
  build(33);
  EXPECT_EQ(text_of("r", "root", {"f0"}), "error: cyclic link detected");
}

// Each nested "$self." resolution starts its own hop count, so only the
// nesting bound stops a root field that leads back to itself.
TEST_F(SelfNestingTest, SelfFieldLeadingBackToItselfIsCyclic) {
  put("people", "p1", map({{"owner", link("people/$self.owner")}}));
  EXPECT_EQ(text_of("people", "p1", {"owner"}), "error: cyclic link detected");
  put("people", "p2", map({{"a", link("people/$self.b")}, {"b", link("people/$self.a")}}));
  EXPECT_EQ(text_of("people", "p2", {"a", "x"}), "error: cyclic link detected");
}

TEST_F(ResolverTest, MillionSegmentPathsDoNotGrowTheStack) {
  constexpr std::size_t kSegments = 1'000'000;
  put("r", "k", map({{"a", map({})}, {"i", Value(1)}, {"l", link("r/k")}}));
  Path missing(kSegments, "a");
  EXPECT_EQ(text_of("r", "k", missing), "Null");
  Path scalar(kSegments, "x");
  scalar[0] = "i";
  EXPECT_EQ(text_of("r", "k", scalar), "error: field not found");

  // The same length carried by a link's own path.
  std::string long_path = "r/k";
  for (std::size_t i = 0; i < kSegments; ++i) long_path += "/a";
  put("r", "long", link(long_path));
  EXPECT_EQ(text_of("r", "long"), "Null");
}

}  // namespace
}  // namespace brindle
