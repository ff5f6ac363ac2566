#include "tools/live_records.h"

#include <algorithm>

#include "backlinks/backlink_scan.h"
#include "codec/codec.h"
#include "codec/framing.h"

namespace brindle::tools {

ToolResult<DataScan> scan_data(const DbFile& file, const File& handle, std::uint64_t length, Progress& progress) {
  DataScan scan;
  auto outcome = scan_records(handle, length, false, [&](const RecordView& record) {
    ++scan.records;
    if (record.value_length > 0 && record.type_byte == kTombstoneTypeByte) {
      if (auto it = scan.live.find(record.key); it != scan.live.end()) scan.live.erase(it);
    } else if (auto it = scan.live.find(record.key); it != scan.live.end()) {
      it->second = record.offset;
    } else {
      scan.live.emplace(std::string(record.key), record.offset);
    }
    return progress.advance(record.end() - record.offset);
  });
  if (!outcome) return tool_failure(file_error(file.path, outcome.error()));
  if (outcome->stop == ScanStop::Stopped) return tool_failure(interrupted());
  scan.outcome = *outcome;
  return scan;
}

ToolResult<void> visit_live(const DbFile& file, const File& handle, const DataScan& scan, bool values,
                            Progress& progress, const RecordVisitor& visit) {
  bool stopped_by_visitor = false;
  auto outcome = scan_records(handle, scan.whole_end(), values, [&](const RecordView& record) {
    if (!progress.advance(record.end() - record.offset)) return false;
    auto it = scan.live.find(record.key);
    if (it == scan.live.end() || it->second != record.offset) return true;
    if (!visit(record)) {
      stopped_by_visitor = true;
      return false;
    }
    return true;
  });
  if (!outcome) return tool_failure(file_error(file.path, outcome.error()));
  if (outcome->stop == ScanStop::Stopped && !stopped_by_visitor) return tool_failure(interrupted());
  return {};
}

std::uint64_t BacklinkState::live_entries() const {
  std::uint64_t n = 0;
  for (const auto& [key, list] : entries) n += list.size();
  return n;
}

ToolResult<BacklinkState> scan_backlink_file(const DbFile& file, const File& handle, std::uint64_t length,
                                             Progress& progress) {
  BacklinkState state;
  auto outcome = scan_backlinks(handle, length, [&](const BacklinkRecordView& record) {
    ++state.records;
    const bool add = record.op == static_cast<std::uint8_t>(BacklinkIndex::Op::Add);
    const bool remove = record.op == static_cast<std::uint8_t>(BacklinkIndex::Op::Remove);
    if (add || remove) {
      BacklinkEntry entry{std::string(record.source_collection), std::string(record.source_key),
                          std::string(record.source_path)};
      auto it = state.entries.find(record.target_key);
      if (add) {
        if (it == state.entries.end()) {
          it = state.entries.emplace(std::string(record.target_key), std::vector<BacklinkEntry>{}).first;
          state.key_order.emplace_back(record.target_key);
        }
        it->second.push_back(std::move(entry));
      } else if (it != state.entries.end()) {
        std::erase(it->second, entry);
      }
    }
    return progress.advance(17 + record.target_key.size() + record.source_collection.size() +
                            record.source_key.size() + record.source_path.size());
  });
  if (!outcome) return tool_failure(file_error(file.path, outcome.error()));
  if (outcome->stop == ScanStop::Stopped) return tool_failure(interrupted());
  state.outcome = *outcome;
  return state;
}

std::uint64_t backlink_record_size(std::string_view target_key, const BacklinkEntry& entry) {
  return 17 + target_key.size() + entry.source_collection.size() + entry.source_key.size() +
         entry.source_path.size();
}

void append_backlink_record(std::string& out, std::string_view target_key, const BacklinkEntry& entry) {
  out.push_back(static_cast<char>(BacklinkIndex::Op::Add));
  append_string(out, target_key);
  append_string(out, entry.source_collection);
  append_string(out, entry.source_key);
  append_string(out, entry.source_path);
}

}  // namespace brindle::tools
