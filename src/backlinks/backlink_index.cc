#include "backlinks/backlink_index.h"

#include <fcntl.h>

#include <algorithm>
#include <utility>

#include "backlinks/backlink_scan.h"
#include "codec/framing.h"
#include "types/utf8.h"

namespace brindle {

std::uint64_t backlink_record_size(std::string_view target_key, const BacklinkEntryRef& entry) noexcept {
  return 1 + 4 * 4 + target_key.size() + entry.source_collection.size() + entry.source_key.size() +
         entry.source_path.size();
}

void append_backlink_record(std::string& out, BacklinkOp op, std::string_view target_key,
                            const BacklinkEntryRef& entry) {
  out.push_back(static_cast<char>(op));
  append_string(out, target_key);
  append_string(out, entry.source_collection);
  append_string(out, entry.source_key);
  append_string(out, entry.source_path);
}

std::expected<BacklinkIndex, IoError> BacklinkIndex::open(std::string path) {
  auto file = File::open_store_file(path, O_RDWR | O_APPEND);
  if (!file) return std::unexpected(file.error());
  auto length = file->size();
  if (!length) return std::unexpected(length.error());
  BacklinkIndex index(std::move(path), std::move(*file));
  if (auto replayed = index.replay(*length); !replayed) return std::unexpected(replayed.error());
  for (EntryList& list : index.lists_) list.shrink_to_fit();
  index.file_length_ = *length;
  return index;
}

std::expected<void, IoError> BacklinkIndex::replay(std::uint64_t length) {
  auto scanned = scan_backlinks(file_, length, [this](const BacklinkRecordView& record) {
    if (record.op == static_cast<std::uint8_t>(Op::Add) || record.op == static_cast<std::uint8_t>(Op::Remove)) {
      apply(static_cast<Op>(record.op), record.target_key, record.source_collection, record.source_key,
            record.source_path);
    }
    return true;
  });
  if (!scanned) return std::unexpected(scanned.error());
  switch (scanned->stop) {
    case ScanStop::Torn:
      return std::unexpected(IoError::unexpected_eof());
    case ScanStop::BadKey:
      return std::unexpected(IoError::invalid_data("invalid utf8 in backlink"));
    case ScanStop::End:
    case ScanStop::Stopped:
      break;
  }
  return {};
}

std::uint32_t BacklinkIndex::intern(std::string_view collection) {
  // Runs of entries from one collection are the rule; skip the hash for them.
  if (last_interned_ < collection_names_.size() && collection_names_[last_interned_] == collection) {
    return last_interned_;
  }
  if (auto it = collection_ids_.find(collection); it != collection_ids_.end()) return last_interned_ = it->second;
  const auto id = static_cast<std::uint32_t>(collection_names_.size());
  collection_names_.emplace_back(collection);
  collection_ids_.emplace(std::string(collection), id);
  return last_interned_ = id;
}

void BacklinkIndex::apply(Op op, std::string_view target_key, std::string_view source_collection,
                          std::string_view source_key, std::string_view source_path) {
  const auto found = targets_.find(target_key);
  if (op == Op::Add) {
    std::size_t list = found ? static_cast<std::size_t>(found->record) : lists_.size();
    if (!found) {
      lists_.emplace_back();
      targets_.put(target_key, list, false);
    }
    lists_[list].add(intern(source_collection), source_key, source_path);
    return;
  }
  if (!found) return;
  // A collection never interned has no entries to remove.
  auto id = collection_ids_.find(source_collection);
  if (id != collection_ids_.end()) lists_[found->record].remove_all(id->second, source_key, source_path);
}

std::expected<void, IoError> BacklinkIndex::encode_record(const BacklinkChange& change, std::string& out) {
  const BacklinkEntryRef& entry = change.entry;
  for (std::string_view s : {change.target_key, entry.source_collection, entry.source_key, entry.source_path}) {
    if (s.size() > kMaxLength) return std::unexpected(IoError::invalid_input("backlink string too long"));
  }
  append_backlink_record(out, change.kind, change.target_key, entry);
  return {};
}

std::expected<void, IoError> BacklinkIndex::apply_all(std::span<const BacklinkChange> changes) {
  if (broken_) return std::unexpected(*broken_);
  scratch_.clear();
  for (const BacklinkChange& change : changes) {
    if (auto r = encode_record(change, scratch_); !r) return r;
  }

  // All or nothing, so the file stays on a record boundary; when it cannot
  // be cut back, later appends are refused rather than misframed by replay.
  const std::string_view pieces[] = {scratch_};
  bool torn = false;
  auto appended = file_.append(pieces, file_length_, torn);
  if (torn) broken_ = appended.error();
  if (!appended) return appended;
  file_length_ += scratch_.size();
  if (scratch_.capacity() > kScratchKeepLimit) {
    scratch_.clear();
    scratch_.shrink_to_fit();
  }
  for (const BacklinkChange& change : changes) {
    apply(change.kind, change.target_key, change.entry.source_collection, change.entry.source_key,
          change.entry.source_path);
  }
  return {};
}

std::expected<void, IoError> BacklinkIndex::add(std::string_view target_key, BacklinkEntryRef entry) {
  const BacklinkChange change{Op::Add, target_key, entry};
  return apply_all({&change, 1});
}

std::expected<void, IoError> BacklinkIndex::remove(std::string_view target_key, BacklinkEntryRef entry) {
  const BacklinkChange change{Op::Remove, target_key, entry};
  return apply_all({&change, 1});
}

std::optional<std::vector<BacklinkEntry>> BacklinkIndex::find(std::string_view target_key) const {
  if (!targets_.find(target_key)) return std::nullopt;
  std::vector<BacklinkEntry> out;
  out.reserve(count(target_key));
  for_each(target_key, [&](std::string_view collection, std::string_view key, std::string_view path) {
    out.push_back(BacklinkEntry{std::string(collection), std::string(key), std::string(path)});
  });
  return out;
}

}  // namespace brindle
