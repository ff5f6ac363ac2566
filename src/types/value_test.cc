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
  return v != nullptr && v->is<std::int64_t>() ? *v->get_if<std::int64_t>() : -1;
}

std::string key_name(int i) { return "key-" + std::to_string(i); }

TEST(TextMapTest, SmallMapKeepsInsertionOrderReplacesInPlaceAndComparesBytes) {
  TextMap map;
  EXPECT_TRUE(map.empty());
  for (const char* key : {"zeta", "Zeta", "mid", ""}) map.insert_or_assign(key, Value(1));
  map.insert_or_assign(std::string("k\0y", 3), Value(3));
  map.insert_or_assign("\xC3\xA9", Value(4));   // precomposed e-acute
  map.insert_or_assign("e\xCC\x81", Value(5));  // e + combining acute
  map.insert_or_assign("zeta", Value(9));
  EXPECT_EQ(keys_of(map), (std::vector<std::string>{"zeta", "Zeta", "mid", "", std::string("k\0y", 3), "\xC3\xA9",
                                                    "e\xCC\x81"}));
  EXPECT_EQ(int_at(map, "zeta"), 9);
  EXPECT_EQ(int_at(map, std::string_view("k\0y", 3)), 3);
  EXPECT_EQ(int_at(map, "e\xCC\x81"), 5);
  EXPECT_EQ(map.find("k"), nullptr);
}

// Lookups must keep working while the map crosses from linear scan to the
// hash index and through every later growth of the index; replacing through
// the index must not append a second entry.
TEST(TextMapTest, IndexedMapFindsReplacesAndMissesAcrossGrowth) {
  TextMap map;
  for (int n = 0; n < 80; ++n) {
    map.insert_or_assign(key_name(n), Value(n));
    for (int i = 0; i <= n; ++i) ASSERT_EQ(int_at(map, key_name(i)), i) << "after " << n + 1;
    ASSERT_EQ(map.find(key_name(n + 1)), nullptr);
  }
  constexpr int kCount = 5000;
  for (int i = 80; i < kCount; ++i) map.insert_or_assign(key_name(i), Value(i));
  for (int i = 0; i < kCount; i += 7) map.insert_or_assign(key_name(i), Value(i + kCount));
  *map.find(key_name(13)) = Value(-13);
  ASSERT_EQ(map.size(), static_cast<std::size_t>(kCount));
  int position = 0;
  for (const MapEntry& entry : map) ASSERT_EQ(entry.key, key_name(position++));
  for (int i = 0; i < kCount; ++i) {
    ASSERT_EQ(int_at(map, key_name(i)), i == 13 ? -13 : i % 7 == 0 ? i + kCount : i);
  }
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
}

TEST(TextMapTest, CopyOfAnIndexedMapIsIndependent) {
  TextMap original;
  for (int i = 0; i < 12; ++i) original.insert_or_assign(key_name(i), Value(i));
  TextMap copy = original;
  for (int i = 0; i < 40; ++i) original.insert_or_assign(key_name(i), Value(-1));
  EXPECT_EQ(copy.size(), 12u);
  for (int i = 0; i < 12; ++i) EXPECT_EQ(int_at(copy, key_name(i)), i);
  EXPECT_EQ(copy.find(key_name(20)), nullptr);
}

}  // namespace
}  // namespace brindle
