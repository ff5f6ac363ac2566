#include "storage/key_index.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <optional>
#include <random>
#include <string>
#include <utility>

namespace brindle {
namespace {

// Random puts and erases against std::map over key spaces small (heavy
// churn: erase's backward shift and the arena rewrite run often) and large
// (growth while full of erased holes), with the empty key and keys that are
// prefixes of each other. Every key of the space is looked up at the end, so
// a key lost or resurrected by a shift shows. The same steps go through a
// Loader for the first part (across its batch boundary in the long case),
// then through put and erase. The loader is told how far the offsets run,
// so it sizes the table from its first batch; the last case makes a table
// large enough to be mapped on its own.
TEST(KeyIndexTest, MatchesAMapModelThroughPutsAndErases) {
  struct Case {
    int steps;
    int keys;
    int erase_percent;
  };
  const Case cases[] = {{5000, 8, 40}, {40000, 300, 45}, {160000, 30000, 20}, {3000, 3000, 0}, {260000, 1 << 21, 1}};
  for (const Case& c : cases) {
    std::mt19937 rng(static_cast<unsigned>(c.steps + c.keys));
    KeyIndex index;
    std::optional<KeyIndex::Loader> loader(std::in_place, index, static_cast<std::uint64_t>(c.steps));
    std::map<std::string, std::pair<std::uint64_t, bool>> model;
    auto key_of = [](int n) { return n == 0 ? std::string() : std::string(static_cast<std::size_t>(n % 7), 'k') + std::to_string(n); };
    for (int step = 0; step < c.steps; ++step) {
      if (step == c.steps * 3 / 4) {
        loader->finish();
        loader.reset();
      }
      const std::string key = key_of(static_cast<int>(rng() % static_cast<unsigned>(c.keys)));
      if (static_cast<int>(rng() % 100) < c.erase_percent) {
        loader ? loader->erase(key) : index.erase(key);
        model.erase(key);
      } else {
        const bool flag = step % 3 == 0;
        loader ? loader->put(key, static_cast<std::uint64_t>(step), flag)
               : index.put(key, static_cast<std::uint64_t>(step), flag);
        model[key] = {static_cast<std::uint64_t>(step), flag};
      }
    }
    ASSERT_EQ(index.size(), model.size()) << "keys " << c.keys;
    for (int n = 0; n < c.keys; ++n) {
      const std::string key = key_of(n);
      const auto found = index.find(key);
      auto expected = model.find(key);
      if (expected == model.end()) {
        EXPECT_FALSE(found) << "keys " << c.keys << " key " << key;
      } else {
        ASSERT_TRUE(found) << "keys " << c.keys << " key " << key;
        EXPECT_EQ(std::pair(found->record, found->flag), expected->second) << "keys " << c.keys << " key " << key;
      }
    }
  }
}

// A replay of many overwrites of few keys must size the table to the keys,
// not to the records, whether or not the loader knows where the input ends,
// and also when the first batch was all new keys and so promised many more.
TEST(KeyIndexTest, LoaderSizesTheTableToTheKeysNotTheRecords) {
  struct Case {
    std::uint64_t distinct;
    std::uint64_t input_end;
  };
  for (const Case c : {Case{1000, 0}, Case{1000, 400000}, Case{70000, 400000}}) {
    KeyIndex index;
    KeyIndex::Loader loader(index, c.input_end);
    std::uint64_t last_of_key_0 = 0;
    for (std::uint64_t record = 0; record < 400000; ++record) {
      if (record % c.distinct == 0) last_of_key_0 = record;
      loader.put("key-" + std::to_string(record % c.distinct), record, false);
    }
    loader.finish();
    EXPECT_EQ(index.size(), c.distinct);
    EXPECT_LT(index.slot_count(), 4 * c.distinct);
    EXPECT_EQ(index.find("key-0")->record, last_of_key_0);
  }
}

}  // namespace
}  // namespace brindle
