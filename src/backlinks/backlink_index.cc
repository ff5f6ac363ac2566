#include "backlinks/backlink_index.h"

#include <fcntl.h>

#include <algorithm>
#include <cstring>
#include <new>
#include <span>
#include <utility>

#include "backlinks/backlink_scan.h"
#include "codec/framing.h"
#include "storage/large_table_allocator.h"
#include "types/short_bytes.h"
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
  index.file_length_ = *length;
  return index;
}

// Replay works in three passes over the records, not one, because on a large
// index a record applied where it stands waits on memory three times (its
// target's slot, its list, the list's end) and grows its list a piece at a
// time. The scan copies each add and remove, in file order, into one staging
// buffer with the entry already in its list encoding and the target key's
// hash. The second pass finds or makes each record's list, fetching slots
// well ahead, and totals the bytes each list will hold. The third sizes every
// list once and appends the entries in file order, fetching lists ahead. A
// list that sees a remove takes its records through add and remove_all
// instead, in the same order, so the result is the one a record-by-record
// replay gives.
namespace {

// Staged record: op | u32 target key length | target key | encoded entry.
constexpr std::size_t kStagedHead = 1 + 4;
// Staging is reserved up front, as much as the file holds (up to this), and
// grows past that when it must. A record most often stages into fewer bytes
// than the file gives it (a varint length of one byte where the file has
// four, a collection id for a name); reserved pages never written cost no
// memory.
constexpr std::uint64_t kStagingReserveLimit = std::uint64_t{256} << 20;
constexpr std::uint64_t kSmallestRecord = 1 + 4 * 4;
// How many records ahead the second and third passes fetch.
constexpr std::size_t kFetchAhead = 16;

// A byte buffer written through a pointer, for appending many small pieces
// without a length check and a library call per piece.
class StagingBytes {
 public:
  StagingBytes() = default;
  StagingBytes(const StagingBytes&) = delete;
  StagingBytes& operator=(const StagingBytes&) = delete;
  ~StagingBytes() {
    if (data_ != nullptr) TransientAllocator<char>().deallocate(data_, capacity_);
  }

  // Room for n more bytes; write them, then commit() the end.
  char* room(std::size_t n) {
    if (capacity_ - size_ < n) grow(n);
    return data_ + size_;
  }
  void commit(const char* end) noexcept { size_ = static_cast<std::size_t>(end - data_); }

  const char* data() const noexcept { return data_; }
  std::size_t size() const noexcept { return size_; }

 private:
  void grow(std::size_t n) {
    const std::size_t capacity = std::max({2 * capacity_, size_ + n, std::size_t{4096}});
    char* data = TransientAllocator<char>().allocate(capacity);
    if (size_ != 0) std::memcpy(data, data_, size_);
    if (data_ != nullptr) TransientAllocator<char>().deallocate(data_, capacity_);
    data_ = data;
    capacity_ = capacity;
  }

  char* data_ = nullptr;
  std::size_t size_ = 0;
  std::size_t capacity_ = 0;
};

}  // namespace

struct BacklinkIndex::Staged {
  struct Record {
    std::uint64_t at;      // of its op byte in bytes
    std::uint64_t target;  // the target key's hash; from the second pass, its list or kNoList
  };
  StagingBytes bytes;
  std::vector<Record, TransientAllocator<Record>> records;

  Op op(std::size_t i) const noexcept { return static_cast<Op>(bytes.data()[records[i].at]); }
  std::string_view target_key(std::size_t i) const noexcept {
    std::uint32_t size;
    std::memcpy(&size, bytes.data() + records[i].at + 1, 4);
    return {bytes.data() + records[i].at + kStagedHead, size};
  }
  std::string_view entry(std::size_t i) const noexcept {
    const std::size_t start = records[i].at + kStagedHead + target_key(i).size();
    const std::size_t end = i + 1 < records.size() ? records[i + 1].at : bytes.size();
    return {bytes.data() + start, end - start};
  }
};

std::expected<void, IoError> BacklinkIndex::replay(std::uint64_t length) {
  Staged staged;
  const std::uint64_t reserve_for = std::min(length, kStagingReserveLimit);
  const std::uint64_t records_at_most = reserve_for / kSmallestRecord + 1;
  (void)staged.bytes.room(reserve_for);
  staged.records.reserve(records_at_most);
  auto scanned = scan_backlinks(file_, length, [&](const BacklinkRecordView& record) {
    std::uint32_t collection;
    if (record.op == static_cast<std::uint8_t>(Op::Add)) {
      collection = intern(record.source_collection);
    } else if (record.op == static_cast<std::uint8_t>(Op::Remove)) {
      // A collection never interned has no entries to remove.
      auto id = collection_ids_.find(record.source_collection);
      if (id == collection_ids_.end()) return true;
      collection = id->second;
    } else {
      return true;
    }
    staged.records.push_back({staged.bytes.size(), KeyIndex::hash(record.target_key)});
    const std::string_view target = record.target_key;
    char* out = staged.bytes.room(kStagedHead + target.size() +
                                  EntryList::max_encoded_size(record.source_key, record.source_path));
    const auto target_size = static_cast<std::uint32_t>(target.size());
    out[0] = static_cast<char>(record.op);
    std::memcpy(out + 1, &target_size, 4);
    copy_bytes(out + kStagedHead, target.data(), target.size());
    staged.bytes.commit(EntryList::encode_to(out + kStagedHead + target.size(), collection, record.source_key,
                                             record.source_path));
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
  place(staged);
  return {};
}

void BacklinkIndex::place(Staged& staged) {
  const std::size_t n = staged.records.size();
  if (n == 0) return;
  constexpr std::uint64_t kHasRemove = std::uint64_t{1} << 63;
  // Per list: the bytes its adds bring, and whether a remove reaches it.
  std::vector<std::uint64_t> list_bytes(lists_.size());
  for (std::size_t i = 0; i < n; ++i) {
    targets_.prefetch(staged.records[std::min(i + kFetchAhead, n - 1)].target);
    const Op op = staged.op(i);
    const std::size_t lists_before = lists_.size();
    const std::size_t list = list_of(staged.target_key(i), staged.records[i].target, op == Op::Add);
    if (lists_.size() != lists_before) list_bytes.push_back(0);
    staged.records[i].target = list;
    if (list == kNoList) continue;
    if (op == Op::Add) {
      list_bytes[list] += staged.entry(i).size();
    } else {
      list_bytes[list] |= kHasRemove;
    }
  }
  for (std::size_t list = 0; list < lists_.size(); ++list) lists_[list].reserve(list_bytes[list] & ~kHasRemove);

  // A record for no list fetches list 0 instead. It exists: a remove is
  // staged only once an add has named its collection, and that add made a
  // list.
  auto list_ahead = [&](std::size_t i) {
    const std::uint64_t list = staged.records[std::min(i, n - 1)].target;
    return list == kNoList ? 0 : static_cast<std::size_t>(list);
  };
  // The removes that emptied a list, whose key may have to leave the table.
  std::vector<std::size_t> emptied;
  for (std::size_t i = 0; i < n; ++i) {
    __builtin_prefetch(lists_.data() + list_ahead(i + 2 * kFetchAhead));
    lists_[list_ahead(i + kFetchAhead)].prefetch_end();
    const std::uint64_t list = staged.records[i].target;
    if (list == kNoList) continue;
    EntryList& entries = lists_[list];
    if ((list_bytes[list] & kHasRemove) == 0) {
      entries.append_encoded(staged.entry(i));
      continue;
    }
    const EntryList::Decoded entry = EntryList::decode(staged.entry(i));
    if (staged.op(i) == Op::Add) {
      entries.add(entry.collection, entry.key, entry.path);
    } else {
      entries.remove_all(entry.collection, entry.key, entry.path);
      if (entries.size() == 0) emptied.push_back(i);
    }
  }
  for (std::size_t list = 0; list < lists_.size(); ++list) {
    if ((list_bytes[list] & kHasRemove) != 0) lists_[list].shrink_to_fit();
  }
  // Lists still empty at the end leave, as a write's remove would take them
  // out; only once every record is placed, since records name lists by
  // number.
  bool dropped = false;
  for (const std::size_t i : emptied) {
    if (lists_[staged.records[i].target].size() != 0) continue;
    targets_.erase(staged.target_key(i));  // nothing when already taken out
    dropped = true;
  }
  if (dropped) pack_lists();
}

void BacklinkIndex::drop_list(std::string_view target_key, std::size_t list) {
  targets_.erase(target_key);
  lists_[list] = EntryList();
  // Renumbering costs a walk over the table: done once the given back
  // outnumber the rest, it costs O(1) per list given back; a few are let
  // wait, so a link made and unmade in turn does not renumber every time.
  ++dropped_lists_;
  if (dropped_lists_ > kDroppedListsKept && 2 * dropped_lists_ > lists_.size()) pack_lists();
}

void BacklinkIndex::pack_lists() {
  // Each key names a list of its own, so every kept list moves once.
  std::vector<EntryList> kept;
  kept.reserve(targets_.size());
  targets_.map_records([&](std::uint64_t list) {
    kept.push_back(std::move(lists_[static_cast<std::size_t>(list)]));
    return kept.size() - 1;
  });
  lists_ = std::move(kept);
  dropped_lists_ = 0;
  targets_.trim();
}

std::uint32_t BacklinkIndex::intern(std::string_view collection) {
  // Runs of entries from one collection are the rule; skip the hash for them.
  if (last_interned_ < collection_names_.size() && equal_bytes(collection_names_[last_interned_], collection)) {
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
  if (list == kNoList) return;
  apply_to(list, op, source_collection, source_key, source_path);
  if (lists_[list].size() == 0) drop_list(target_key, list);
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
  if (stale_) return {};
  // On a large index finding a change's target misses the processor's
  // caches; the target's slot is asked for a few changes ahead.
  constexpr std::size_t kAhead = 8;
  const bool look_ahead = targets_.outgrows_caches();
  try {
    for (std::size_t i = 0; i < changes.size(); ++i) {
      if (look_ahead && i + kAhead < changes.size()) {
        targets_.prefetch(KeyIndex::hash(changes[i + kAhead].target_key));
      }
      const BacklinkChange& change = changes[i];
      apply(change.kind, change.target_key, change.entry.source_collection, change.entry.source_key,
            change.entry.source_path);
    }
  } catch (const std::bad_alloc&) {
    // The changes are stored: failing now would report a write as failed
    // that the next open reads whole, and a commit would append them again.
    // The map, part way through them, is rebuilt from the file instead.
    stale_ = true;
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

BacklinkIndex::Snapshot BacklinkIndex::snapshot(std::string_view target_key) const {
  Snapshot copy;
  const auto found = targets_.find(target_key);
  if (!found) return copy;
  const EntryList& list = lists_[found->record];
  copy.encoded_ = list.encoded();
  copy.names_ = collection_names_;
  copy.size_ = list.size();
  return copy;
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
