// What the files of a database hold right now: the live record of each key
// of a data file, and the entries of a backlink file after its adds and
// removes are applied. Both are built with the shared scanners, read-only.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <utility>
#include <unordered_map>
#include <vector>

#include "backlinks/backlink_index.h"
#include "backlinks/backlink_scan.h"
#include "backlinks/entry_list.h"
#include "storage/file.h"
#include "storage/record_scan.h"
#include "tools/database_files.h"
#include "tools/tool_result.h"
#include "types/hash.h"

namespace brindle::tools {

using LiveIndex = std::unordered_map<std::string, std::uint64_t, TextHash, std::equal_to<>>;

struct DataScan {
  ScanOutcome outcome;  // where the whole records end, and why
  LiveIndex live;       // key -> offset of its live record
  std::uint64_t records = 0;
  // The end of the whole records: the file length unless it is damaged.
  std::uint64_t whole_end() const noexcept { return outcome.stop == ScanStop::End ? outcome.length : outcome.at; }
};

// Scans a data file's framing and finds the live record of every key.
ToolResult<DataScan> scan_data(const DbFile& file, const File& handle, std::uint64_t length, Progress& progress);

// Visits the live records in file order (values included when asked).
ToolResult<void> visit_live(const DbFile& file, const File& handle, const DataScan& scan, bool values,
                            Progress& progress, const RecordVisitor& visit);

// The entries are kept as the store keeps them (EntryList, source
// collections interned), so a hostile run of removes under one key replays in
// linear time, with the same order and duplicates as the store.
class BacklinkState {
 public:
  ScanOutcome outcome;
  std::uint64_t records = 0;

  void apply(BacklinkOp op, const BacklinkRecordView& record);
  std::uint64_t live_entries() const;
  // The entries under target_key, in order; empty when it has none.
  std::vector<BacklinkEntry> entries_of(std::string_view target_key) const;

  // Calls f(target_key, entry) for every live entry, keys in the order first
  // added to, each key's entries in order.
  template <class F>
  void for_each(F&& f) const {
    for (const auto& [key, list] : lists_) {
      list.for_each([&](std::uint32_t collection, std::string_view source_key, std::string_view path) {
        f(std::string_view(key), BacklinkEntryRef(collections_[collection], source_key, path));
      });
    }
  }

 private:
  using Ids = std::unordered_map<std::string, std::size_t, TextHash, std::equal_to<>>;
  std::vector<std::pair<std::string, EntryList>> lists_;  // by target key, in first-seen order
  Ids slots_;                                              // target key -> index in lists_
  std::vector<std::string> collections_;                   // source collection names by id
  Ids collection_ids_;
};

// Replays a backlink file the way the store does.
ToolResult<BacklinkState> scan_backlink_file(const DbFile& file, const File& handle, std::uint64_t length,
                                             Progress& progress);

}  // namespace brindle::tools
