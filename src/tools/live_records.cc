#include "tools/live_records.h"

#include "codec/codec.h"

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

void BacklinkState::apply(BacklinkOp op, const BacklinkRecordView& record) {
  auto slot = slots_.find(record.target_key);
  if (op == BacklinkOp::Add) {
    if (slot == slots_.end()) {
      slot = slots_.emplace(std::string(record.target_key), lists_.size()).first;
      lists_.emplace_back(std::string(record.target_key), EntryList{});
    }
    auto id = collection_ids_.find(record.source_collection);
    if (id == collection_ids_.end()) {
      id = collection_ids_.emplace(std::string(record.source_collection), collections_.size()).first;
      collections_.emplace_back(record.source_collection);
    }
    lists_[slot->second].second.add(static_cast<std::uint32_t>(id->second), record.source_key, record.source_path);
    return;
  }
  if (slot == slots_.end()) return;
  // A collection never added from has no entries to remove.
  if (auto id = collection_ids_.find(record.source_collection); id != collection_ids_.end()) {
    lists_[slot->second].second.remove_all(static_cast<std::uint32_t>(id->second), record.source_key,
                                           record.source_path);
  }
}

std::uint64_t BacklinkState::live_entries() const {
  std::uint64_t n = 0;
  for (const auto& [key, list] : lists_) n += list.size();
  return n;
}

std::vector<BacklinkEntry> BacklinkState::entries_of(std::string_view target_key) const {
  std::vector<BacklinkEntry> out;
  auto slot = slots_.find(target_key);
  if (slot == slots_.end()) return out;
  const EntryList& list = lists_[slot->second].second;
  out.reserve(list.size());
  list.for_each([&](std::uint32_t collection, std::string_view key, std::string_view path) {
    out.push_back(BacklinkEntry{collections_[collection], std::string(key), std::string(path)});
  });
  return out;
}

ToolResult<BacklinkState> scan_backlink_file(const DbFile& file, const File& handle, std::uint64_t length,
                                             Progress& progress) {
  BacklinkState state;
  auto outcome = scan_backlinks(handle, length, [&](const BacklinkRecordView& record) {
    ++state.records;
    if (record.op == static_cast<std::uint8_t>(BacklinkOp::Add) ||
        record.op == static_cast<std::uint8_t>(BacklinkOp::Remove)) {
      state.apply(static_cast<BacklinkOp>(record.op), record);
    }
    return progress.advance(backlink_record_size(
        record.target_key, BacklinkEntryRef(record.source_collection, record.source_key, record.source_path)));
  });
  if (!outcome) return tool_failure(file_error(file.path, outcome.error()));
  if (outcome->stop == ScanStop::Stopped) return tool_failure(interrupted());
  state.outcome = *outcome;
  return state;
}

}  // namespace brindle::tools
