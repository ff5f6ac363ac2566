#include "backlinks/backlink_index.h"

#include <fcntl.h>

#include <algorithm>
#include <array>
#include <span>
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

// Replay applies the records a batch at a time. On a large index a record
// waits on memory three times: for its target's slot, its list and the
// list's end. Each of these is asked for across the whole batch before any
// of it is used, so the waits overlap instead of following one another. The
// records are copied out of the scan's window (its views end with the visit)
// and applied in file order, so the result is the one a record-by-record
// replay gives.
class BacklinkIndex::ReplayBatch {
 public:
  static constexpr std::size_t kRecords = 32;

  struct Record {
    Op op;
    std::uint64_t hash;                       // of the target key
    std::array<std::size_t, 4> offsets;       // of the strings in the copied bytes
    std::array<std::string_view, 4> strings;  // target, collection, key, path; set by seal()
  };

  bool full() const noexcept { return records_.size() == kRecords; }
  std::span<const Record> records() const noexcept { return records_; }

  // Copies the record; returns the target key's hash.
  std::uint64_t add(Op op, const BacklinkRecordView& view) {
    Record record{op, KeyIndex::hash(view.target_key), {}, {}};
    const std::array<std::string_view, 4> strings{view.target_key, view.source_collection, view.source_key,
                                                  view.source_path};
    for (std::size_t i = 0; i < strings.size(); ++i) {
      record.offsets[i] = bytes_.size() + static_cast<std::size_t>(strings[i].data() - view.bytes.data());
      record.strings[i] = std::string_view(view.bytes.data(), strings[i].size());  // the size, for now
    }
    bytes_.append(view.bytes);
    records_.push_back(record);
    return record.hash;
  }

  // Points each record's strings into the copied bytes, which no longer move.
  void seal() noexcept {
    for (Record& record : records_) {
      for (std::size_t i = 0; i < record.strings.size(); ++i) {
        record.strings[i] = std::string_view(bytes_.data() + record.offsets[i], record.strings[i].size());
      }
    }
  }

  void clear() noexcept {
    records_.clear();
    bytes_.clear();
  }

 private:
  std::vector<Record> records_;
  std::string bytes_;
};

std::expected<void, IoError> BacklinkIndex::replay(std::uint64_t length) {
  ReplayBatch batch;
  auto scanned = scan_backlinks(file_, length, [&](const BacklinkRecordView& record) {
    if (record.op == static_cast<std::uint8_t>(Op::Add) || record.op == static_cast<std::uint8_t>(Op::Remove)) {
      targets_.prefetch(batch.add(static_cast<Op>(record.op), record));
      if (batch.full()) apply_batch(batch);
    }
    return true;
  });
  // What the scan visited is applied either way, as it would be one by one.
  apply_batch(batch);
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

void BacklinkIndex::apply_batch(ReplayBatch& batch) {
  batch.seal();
  std::array<std::size_t, ReplayBatch::kRecords> lists;
  std::size_t n = 0;
  // A list made for an add is there for every later record of the batch, so
  // the lists found first are the ones a record-by-record replay would use.
  for (const ReplayBatch::Record& r : batch.records()) {
    lists[n] = list_of(r.strings[0], r.hash, r.op == Op::Add);
    if (lists[n] != kNoList) __builtin_prefetch(lists_.data() + lists[n]);
    ++n;
  }
  for (std::size_t i = 0; i < n; ++i) {
    if (lists[i] != kNoList) lists_[lists[i]].prefetch_end();
  }
  n = 0;
  for (const ReplayBatch::Record& r : batch.records()) {
    if (lists[n] != kNoList) apply_to(lists[n], r.op, r.strings[1], r.strings[2], r.strings[3]);
    ++n;
  }
  batch.clear();
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

std::size_t BacklinkIndex::list_of(std::string_view target_key, std::uint64_t hash, bool make) {
  if (const auto found = targets_.find(target_key, hash)) return static_cast<std::size_t>(found->record);
  if (!make) return kNoList;
  const std::size_t list = lists_.size();
  lists_.emplace_back();
  targets_.put(target_key, hash, list, false);
  return list;
}

void BacklinkIndex::apply_to(std::size_t list, Op op, std::string_view source_collection,
                             std::string_view source_key, std::string_view source_path) {
  if (op == Op::Add) {
    lists_[list].add(intern(source_collection), source_key, source_path);
    return;
  }
  // A collection never interned has no entries to remove.
  auto id = collection_ids_.find(source_collection);
  if (id != collection_ids_.end()) lists_[list].remove_all(id->second, source_key, source_path);
}

void BacklinkIndex::apply(Op op, std::string_view target_key, std::string_view source_collection,
                          std::string_view source_key, std::string_view source_path) {
  const std::size_t list = list_of(target_key, KeyIndex::hash(target_key), op == Op::Add);
  if (list != kNoList) apply_to(list, op, source_collection, source_key, source_path);
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
