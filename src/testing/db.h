// Test support: opening a database and reading its backlinks, failing the
// test on any error (a failed open throws, which gtest reports), and a
// fixture holding a database in a fresh directory.
#pragma once

#include <gtest/gtest.h>

#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "db/database.h"
#include "testing/builders.h"
#include "testing/temp_dir.h"

namespace brindle::testing {

using Entries = std::vector<BacklinkEntry>;

inline Database open_db(const std::string& root) {
  auto db = Database::open(root);
  if (!db) throw std::runtime_error(db.error().to_string());
  return std::move(*db);
}

inline Entries backlinks(Database& db, std::string_view collection, std::string_view key) {
  auto found = db.get_backlinks(collection, key);
  if (!found) ADD_FAILURE() << found.error().to_string();
  return found ? *found : Entries{};
}

class DbTest : public ::testing::Test {
 protected:
  void set(std::string_view collection, std::string_view key, const Value& value) {
    ASSERT_EQ(shown(db->set(collection, key, value)), "ok");
  }
  Entries backlinks(std::string_view collection, std::string_view key) {
    return testing::backlinks(*db, collection, key);
  }
  void reopen() {
    db.reset();
    db.emplace(open_db(dir.path()));
  }

  TempDir dir;
  std::optional<Database> db{open_db(dir.path())};
};

}  // namespace brindle::testing
