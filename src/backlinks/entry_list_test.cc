#include "backlinks/entry_list.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <string>
#include <tuple>
#include <vector>

namespace brindle {
namespace {

using Entry = std::tuple<std::uint32_t, std::string, std::string>;

std::vector<Entry> contents(const EntryList& list) {
  std::vector<Entry> out;
  list.for_each([&](std::uint32_t c, std::string_view k, std::string_view p) {
    out.emplace_back(c, std::string(k), std::string(p));
  });
  return out;
}

// Random adds and removes against a plain vector with std::erase, at sizes on
// both sides of the scan limit, with few distinct entries (so duplicates and
// repeated removals are common) and with many. Entries that differ in one
// field only, or where key and path split the same bytes differently, must
// never be taken for each other.
TEST(EntryListTest, MatchesAVectorModelThroughAddsAndRemoves) {
  struct Case {
    int steps;
    int distinct;
    int remove_percent;
  };
  const Case cases[] = {{200, 3, 30}, {2000, 5, 10}, {3000, 400, 40}, {5000, 60, 50}, {400, 1, 5}};
  for (const Case& c : cases) {
    std::mt19937 rng(static_cast<unsigned>(c.steps * 31 + c.distinct));
    EntryList list;
    std::vector<Entry> model;
    for (int step = 0; step < c.steps; ++step) {
      const int n = static_cast<int>(rng() % static_cast<unsigned>(c.distinct));
      // "ab"+"c" and "a"+"bc" share their bytes: the split must count.
      Entry e{static_cast<std::uint32_t>(n % 2), n % 3 == 0 ? "ab" : "a" + std::to_string(n),
              n % 3 == 0 ? "c" : "bc" + std::to_string(n / 2)};
      if (static_cast<int>(rng() % 100) < c.remove_percent) {
        list.remove_all(std::get<0>(e), std::get<1>(e), std::get<2>(e));
        std::erase(model, e);
      } else {
        list.add(std::get<0>(e), std::get<1>(e), std::get<2>(e));
        model.push_back(e);
      }
      ASSERT_EQ(list.size(), model.size()) << "distinct " << c.distinct << " step " << step;
    }
    EXPECT_EQ(contents(list), model) << "distinct " << c.distinct;
  }
}

// Removal must not rescan the list: a record that held 100,000 links to one
// key took minutes to delete. Each removal here finds one entry among 100,000.
TEST(EntryListTest, RemovingEveryEntryOfALongListOneByOneEmptiesItInOrder) {
  EntryList list;
  constexpr int kCount = 100000;
  for (int i = 0; i < kCount; ++i) list.add(0, "big", "refs/" + std::to_string(i));
  for (int i = 0; i < kCount; i += 2) list.remove_all(0, "big", "refs/" + std::to_string(i));
  std::vector<Entry> left = contents(list);
  ASSERT_EQ(left.size(), static_cast<std::size_t>(kCount / 2));
  EXPECT_EQ(std::get<2>(left.front()), "refs/1");
  EXPECT_EQ(std::get<2>(left.back()), "refs/" + std::to_string(kCount - 1));
  for (int i = 1; i < kCount; i += 2) list.remove_all(0, "big", "refs/" + std::to_string(i));
  EXPECT_EQ(list.size(), 0u);
  list.add(1, "k", "p");
  EXPECT_EQ(contents(list), (std::vector<Entry>{{1, "k", "p"}}));
}

}  // namespace
}  // namespace brindle
