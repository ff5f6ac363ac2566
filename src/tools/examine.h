// The read-only operating tools. They open every file read-only and never
// change the directory, so they work on a read-only copy of a database and
// while nothing else writes it.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "backlinks/backlink_index.h"
#include "tools/database_files.h"
#include "tools/tool_result.h"

namespace brindle::tools {

// Collection names: the stems of the data files, sorted.
ToolResult<std::vector<std::string>> collection_names(const std::string& root);

// Each live key of a collection, in the file order of its live record.
ToolResult<void> for_each_key(const std::string& root, std::string_view collection,
                              const std::function<bool(std::string_view)>& visit);
ToolResult<std::uint64_t> count_keys(const std::string& root, std::string_view collection);

struct CollectionStats {
  std::string name;
  std::uint64_t live_keys = 0, records = 0, file_size = 0, dead_bytes = 0;
};
struct BacklinkStats {
  std::string name;
  std::uint64_t entries = 0, records = 0, file_size = 0, dead_bytes = 0;
};
struct Stats {
  std::vector<CollectionStats> collections;
  std::vector<BacklinkStats> backlinks;
};
ToolResult<Stats> stats(const std::string& root, Progress& progress);

// The JSON form of a live record; nullopt when the key is not live.
ToolResult<std::optional<std::string>> get_json(const std::string& root, std::string_view collection,
                                                std::string_view key);
// The backlink entries of (collection, key), in their order.
ToolResult<std::vector<BacklinkEntry>> backlinks_of(const std::string& root, std::string_view collection,
                                                    std::string_view key);
// The JSON form of a resolved field path. Resolution reads through the
// store, opened for reading: a collection it meets without a data file
// holds no keys and gets no file.
ToolResult<std::string> resolve_json(const std::string& root, std::string_view collection, std::string_view key,
                                     std::span<const std::string> path);

struct Problem {
  std::string file;
  std::string kind;  // "torn tail", "invalid key", "invalid string" (backlink file), "undecodable record"
  std::uint64_t offset = 0;
  std::string detail;
};
struct CheckReport {
  std::vector<Problem> problems;  // every framing problem; undecodable records up to kExamples
  std::uint64_t undecodable = 0;
  std::uint64_t missing = 0, stale = 0;  // backlink entries absent from / extra in the index files
  std::vector<std::string> missing_examples, stale_examples;
  std::vector<std::string> side_files;
  std::uint64_t records = 0, backlink_records = 0;
  static constexpr std::size_t kExamples = 5;
};
// Reads every record of every file and compares the backlink files with the
// links the live records hold.
ToolResult<CheckReport> check(const std::string& root, Progress& progress);

// Writes every live record as one JSON line {"collection":..,"key":..,
// "value":..}: collections in name order, records in file order. `sink`
// receives the text in chunks; returning false stops the dump.
ToolResult<std::uint64_t> dump(const std::string& root, const std::optional<std::vector<std::string>>& collections,
                               const std::function<bool(std::string_view)>& sink, Progress& progress);

// The total size of the data files (to size a progress bar).
ToolResult<std::uint64_t> data_bytes(const std::string& root);

}  // namespace brindle::tools
