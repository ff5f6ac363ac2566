// What the files of a database hold right now: the live record of each key
// of a data file, and the entries of a backlink file after its adds and
// removes are applied. Both are built with the shared scanners, read-only.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <unordered_map>
#include <vector>

#include "backlinks/backlink_index.h"
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

struct BacklinkState {
  ScanOutcome outcome;
  std::vector<std::string> key_order;  // target keys in the order first seen
  std::unordered_map<std::string, std::vector<BacklinkEntry>, TextHash, std::equal_to<>> entries;
  std::uint64_t records = 0;
  std::uint64_t live_entries() const;
};

// Replays a backlink file the way the store does.
ToolResult<BacklinkState> scan_backlink_file(const DbFile& file, const File& handle, std::uint64_t length,
                                             Progress& progress);

// The size of an add record for this entry.
std::uint64_t backlink_record_size(std::string_view target_key, const BacklinkEntry& entry);
void append_backlink_record(std::string& out, std::string_view target_key, const BacklinkEntry& entry);

}  // namespace brindle::tools
