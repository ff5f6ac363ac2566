// Test support: opening a database and reading its backlinks, failing the
// test on any error (a failed open throws, which gtest reports).
#pragma once

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "db/database.h"

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

}  // namespace brindle::testing
