#include "types/value.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace brindle {
namespace {

std::vector<std::string> keys_of(const TextMap& map) {
  std::vector<std::string> keys;
  for (const MapEntry& entry : map) keys.push_back(entry.key);
  return keys;
}

std::int64_t int_at(const TextMap& map, std::string_view key) {
  const Value* v = map.find(key);
  if (v == nullptr || !v->is<std::int64_t>()) return -1;
  return *v->get_if<std::int64_t>();
}

std::string key_name(int i) { return "key-" + std::to_string(i); }

TEST(ValueTest, EachConstructorSelectsItsKind) {
  const std::vector<std::pair<Value, Kind>> cases = {
      {Value(), Kind::Null},
      {Value(Tombstone{}), Kind::Tombstone},
      {Value(true), Kind::Bool},
      {Value(std::int64_t{-3}), Kind::Int},
      {Value(7u), Kind::Int},
      {Value(2.5), Kind::Float},
      {Value(2.5f), Kind::Float},
      {Value("text"), Kind::Text},
      {Value(std::string_view("view")), Kind::Text},
      {Value(Blob{"\x01\x02"}), Kind::Blob},
      {Value(Date{19000}), Kind::Date},
      {Value(Time{5}), Kind::Time},
      {Value(DateTime{86400}), Kind::DateTime},
      {Value(Array{}), Kind::Array},
      {Value(TextMap{}), Kind::Map},
      {Value(Link{"u/1", {}}), Kind::Link},
  };
  for (std::size_t i = 0; i < cases.size(); ++i) {
    EXPECT_EQ(cases[i].first.kind(), cases[i].second) << "case " << i;
  }
  // A bool must never turn into an integer, nor an integer into a bool.
  EXPECT_TRUE(Value(false).is<bool>());
  EXPECT_TRUE(Value(0).is<std::int64_t>());
}

TEST(TextMapTest, IteratesInInsertionOrder) {
  TextMap map;
  EXPECT_TRUE(map.empty());
  for (const char* key : {"zeta", "alpha", "mid", ""}) map.insert_or_assign(key, Value(1));
  EXPECT_EQ(keys_of(map), (std::vector<std::string>{"zeta", "alpha", "mid", ""}));
  EXPECT_EQ(map.size(), 4u);
  EXPECT_FALSE(map.empty());
}

TEST(TextMapTest, ReplaceKeepsFirstPositionAndTakesNewValue) {
  TextMap map;
  map.insert_or_assign("a", Value(1));
  map.insert_or_assign("b", Value(2));
  map.insert_or_assign("c", Value(3));
  map.insert_or_assign("a", Value("replaced"));
  EXPECT_EQ(keys_of(map), (std::vector<std::string>{"a", "b", "c"}));
  ASSERT_NE(map.find("a"), nullptr);
  ASSERT_TRUE(map.find("a")->is<std::string>());
  EXPECT_EQ(*map.find("a")->get_if<std::string>(), "replaced");
}

TEST(TextMapTest, KeysCompareByteForByte) {
  TextMap map;
  map.insert_or_assign("key", Value(1));
  map.insert_or_assign("Key", Value(2));
  map.insert_or_assign(std::string("k\0y", 3), Value(3));
  map.insert_or_assign("\xC3\xA9", Value(4));   // precomposed e-acute
  map.insert_or_assign("e\xCC\x81", Value(5));  // e + combining acute
  EXPECT_EQ(map.size(), 5u);
  EXPECT_EQ(int_at(map, "key"), 1);
  EXPECT_EQ(int_at(map, "Key"), 2);
  EXPECT_EQ(int_at(map, std::string_view("k\0y", 3)), 3);
  EXPECT_EQ(map.find("k"), nullptr);
  EXPECT_EQ(int_at(map, "e\xCC\x81"), 5);
}

// Lookups must keep working while the map crosses from linear scan to the
// hash index and through every later growth of the index.
TEST(TextMapTest, EveryKeyFindableAfterEachInsertAcrossIndexGrowth) {
  TextMap map;
  constexpr int kCount = 80;
  for (int n = 0; n < kCount; ++n) {
    map.insert_or_assign(key_name(n), Value(n));
    for (int i = 0; i <= n; ++i) ASSERT_EQ(int_at(map, key_name(i)), i) << "after " << n + 1;
    ASSERT_EQ(map.find(key_name(n + 1)), nullptr);
  }
}

TEST(TextMapTest, ManyKeysKeepOrderReplaceInPlaceAndMissReliably) {
  TextMap map;
  constexpr int kCount = 5000;
  map.reserve(16);
  for (int i = 0; i < kCount; ++i) map.insert_or_assign(key_name(i), Value(i));
  // Replacing through the index must not append a second entry.
  for (int i = 0; i < kCount; i += 7) map.insert_or_assign(key_name(i), Value(i + kCount));
  ASSERT_EQ(map.size(), static_cast<std::size_t>(kCount));
  int position = 0;
  for (const MapEntry& entry : map) {
    ASSERT_EQ(entry.key, key_name(position));
    ++position;
  }
  for (int i = 0; i < kCount; ++i) ASSERT_EQ(int_at(map, key_name(i)), i % 7 == 0 ? i + kCount : i);
  for (int i = kCount; i < kCount + 200; ++i) ASSERT_EQ(map.find(key_name(i)), nullptr);
}

// A default-constructed view has a null data pointer; hashing it for the
// index must not hand that pointer to memcpy.
TEST(TextMapTest, NullViewLooksUpTheEmptyKeyInAnIndexedMap) {
  TextMap map;
  for (int i = 0; i < 20; ++i) map.insert_or_assign(key_name(i), Value(i));
  EXPECT_EQ(map.find(std::string_view()), nullptr);
  map.insert_or_assign("", Value(-7));
  EXPECT_EQ(int_at(map, std::string_view()), -7);
  EXPECT_EQ(int_at(map, ""), -7);
}

TEST(TextMapTest, FindGivesMutableAccess) {
  TextMap map;
  for (int i = 0; i < 20; ++i) map.insert_or_assign(key_name(i), Value(i));
  Value* v = map.find(key_name(13));
  ASSERT_NE(v, nullptr);
  *v = Value("changed");
  ASSERT_TRUE(map.find(key_name(13))->is<std::string>());
  EXPECT_EQ(*map.find(key_name(13))->get_if<std::string>(), "changed");
}

TEST(TextMapTest, CopiesAreIndependentInBothDirections) {
  TextMap original;
  for (int i = 0; i < 12; ++i) original.insert_or_assign(key_name(i), Value(i));

  TextMap copy(original);
  for (int i = 12; i < 40; ++i) copy.insert_or_assign(key_name(i), Value(i));
  copy.insert_or_assign(key_name(0), Value(100));
  EXPECT_EQ(original.size(), 12u);
  EXPECT_EQ(int_at(original, key_name(0)), 0);
  EXPECT_EQ(original.find(key_name(20)), nullptr);
  for (int i = 1; i < 40; ++i) EXPECT_EQ(int_at(copy, key_name(i)), i);

  TextMap assigned;
  assigned.insert_or_assign("stale", Value(1));
  assigned = copy;
  EXPECT_EQ(assigned.find("stale"), nullptr);
  original.insert_or_assign(key_name(5), Value(-5));
  EXPECT_EQ(int_at(assigned, key_name(5)), 5);
  EXPECT_EQ(int_at(assigned, key_name(0)), 100);
  EXPECT_EQ(keys_of(assigned), keys_of(copy));

  TextMap moved(std::move(assigned));
  EXPECT_EQ(int_at(moved, key_name(39)), 39);
  TextMap move_assigned;
  move_assigned = std::move(moved);
  EXPECT_EQ(int_at(move_assigned, key_name(30)), 30);
  move_assigned.insert_or_assign("new", Value(1));
  EXPECT_EQ(int_at(move_assigned, "new"), 1);
}

TEST(ValueTest, DeepCopyOwnsEveryNestedPayload) {
  TextMap local;
  local.insert_or_assign("note", Value("local"));
  TextMap inner;
  inner.insert_or_assign("list", Value(Array{Value(1), Value("two"), Value(Blob{"b"})}));
  inner.insert_or_assign("link", Value(Link{"people/alice", local}));
  Value original(Array{Value(std::move(inner)), Value("top")});

  Value copy = original;
  Array& copy_array = *copy.get_if<Array>();
  TextMap& copy_map = *copy_array[0].get_if<TextMap>();
  Array& copy_list = *copy_map.find("list")->get_if<Array>();
  copy_list[1] = Value("TWO");
  copy_list.push_back(Value());
  copy_list[2].get_if<Blob>()->bytes = "changed";
  Link& copy_link = *copy_map.find("link")->get_if<Link>();
  copy_link.path = "people/bob";
  copy_link.local.insert_or_assign("note", Value(0));
  copy_array[1] = Value(Tombstone{});

  const Array& array = *original.get_if<Array>();
  ASSERT_EQ(array.size(), 2u);
  EXPECT_EQ(*array[1].get_if<std::string>(), "top");
  const TextMap& map = *array[0].get_if<TextMap>();
  const Array& list = *map.find("list")->get_if<Array>();
  ASSERT_EQ(list.size(), 3u);
  EXPECT_EQ(*list[1].get_if<std::string>(), "two");
  EXPECT_EQ(list[2].get_if<Blob>()->bytes, "b");
  const Link& link = *map.find("link")->get_if<Link>();
  EXPECT_EQ(link.path, "people/alice");
  EXPECT_EQ(*link.local.find("note")->get_if<std::string>(), "local");
  // The source map of the link was copied too.
  EXPECT_EQ(*local.find("note")->get_if<std::string>(), "local");
}

}  // namespace
}  // namespace brindle
