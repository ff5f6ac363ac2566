// The backlink index of one target collection: which records link to each of
// its keys.
//
// File format (extension .brl). A plain sequence of records, no header:
//
//   op (1 byte: 1 = add, 2 = remove) | target key | source collection |
//   source key | source path
//
// each string a u32 little-endian byte length followed by UTF-8 bytes. Replay
// applies the records in order: add appends the entry to the target key's
// list; remove deletes every equal entry from it (a key emptied this way
// reads as one never added to); other op values are read and skipped.
//
// In memory, collection names are interned, target keys sit in a flat table
// that numbers them, and each key's entries are an EntryList, so removing a
// run of entries costs O(1) each. A key whose last entry is removed leaves
// the table and its list is given back (the lists are renumbered once the
// given back outnumber the rest), so memory follows the keys that have
// entries, not every key ever linked to.
//
// Invariants:
//  - the file is written before the map changes, so the map never holds a
//    change that did not reach the file;
//  - each write (one record, or the records of apply_all) is appended all or
//    nothing (a failed write is cut back), so the file ends on a record
//    boundary;
//  - replay trusts no length: a string longer than the bytes left is a cut
//    file ("failed to fill whole buffer"), refused before any allocation.
#pragma once

#include <cstdint>
#include <expected>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "backlinks/entry_list.h"
#include "storage/file.h"
#include "storage/key_index.h"
#include "storage/storage_error.h"
#include "types/hash.h"

namespace brindle {

struct BacklinkEntry {
  std::string source_collection;
  std::string source_key;
  std::string source_path;

  bool operator==(const BacklinkEntry&) const = default;
};

// An entry as views, for callers that hold its strings elsewhere.
struct BacklinkEntryRef {
  BacklinkEntryRef(std::string_view collection, std::string_view key, std::string_view path)
      : source_collection(collection), source_key(key), source_path(path) {}
  // Implicit, so whole entries pass where views are taken.
  BacklinkEntryRef(const BacklinkEntry& entry)
      : BacklinkEntryRef(entry.source_collection, entry.source_key, entry.source_path) {}

  std::string_view source_collection;
  std::string_view source_key;
  std::string_view source_path;
};

enum class BacklinkOp : std::uint8_t { Add = 1, Remove = 2 };

// The bytes of one record for this entry, whatever its op.
std::uint64_t backlink_record_size(std::string_view target_key, const BacklinkEntryRef& entry) noexcept;
// Appends one record. Every string must be at most kMaxLength bytes.
void append_backlink_record(std::string& out, BacklinkOp op, std::string_view target_key,
                            const BacklinkEntryRef& entry);

// One change of an index: add the entry under target_key, or remove every
// entry equal to it.
struct BacklinkChange {
  BacklinkOp kind;
  std::string_view target_key;
  BacklinkEntryRef entry;
};

class BacklinkIndex {
 public:
  using Op = BacklinkOp;

  // Opens (creating when missing, mode 0666 less the umask) and replays.
  // Anything but a regular file is refused, as for data files.
  static std::expected<BacklinkIndex, IoError> open(std::string path);

  BacklinkIndex(BacklinkIndex&&) noexcept = default;
  BacklinkIndex& operator=(BacklinkIndex&&) noexcept = default;

  // True once taking changes into memory ran out of memory after they had
  // reached the file: the map is behind the file, which is whole. The owner
  // opens the index again before using it; a stale index appends to its
  // file but leaves its map as it is.
  bool stale() const noexcept { return stale_; }

  std::expected<void, IoError> add(std::string_view target_key, BacklinkEntryRef entry);
  std::expected<void, IoError> remove(std::string_view target_key, BacklinkEntryRef entry);
  // Makes the changes in order, with one write: all of them reach the file
  // and the map, or (on failure) none does.
  std::expected<void, IoError> apply_all(std::span<const BacklinkChange> changes);

  // The entries under target_key in the order they were added; nullopt when
  // the key was never added to.
  std::optional<std::vector<BacklinkEntry>> find(std::string_view target_key) const;

  // The number of entries under target_key.
  std::size_t count(std::string_view target_key) const noexcept {
    const auto found = targets_.find(target_key);
    return found ? lists_[found->record].size() : 0;
  }
  // Calls f(source_collection, source_key, source_path) for each entry under
  // target_key, in the order they were added, without copying them. The
  // views last until the index next changes.
  template <class F>
  void for_each(std::string_view target_key, F&& f) const {
    const auto found = targets_.find(target_key);
    if (!found) return;
    lists_[found->record].for_each([&](std::uint32_t collection, std::string_view key, std::string_view path) {
      f(std::string_view(collection_names_[collection]), key, path);
    });
  }

  // A copy of the entries under target_key, to read once the index may have
  // changed (a caller that lets go of the index's owner before reading).
  class Snapshot {
   public:
    std::size_t size() const noexcept { return size_; }
    // As for_each on the index.
    template <class F>
    void for_each(F&& f) const {
      EntryList::for_each_in(encoded_, [&](std::uint32_t collection, std::string_view key, std::string_view path) {
        f(std::string_view(names_[collection]), key, path);
      });
    }

   private:
    friend class BacklinkIndex;
    std::string encoded_;
    std::vector<std::string> names_;  // collection names by id
    std::size_t size_ = 0;
  };
  Snapshot snapshot(std::string_view target_key) const;

  const std::string& path() const noexcept { return index_path_; }
  // Target keys whose lists are held in memory, for memory accounting.
  std::size_t lists_held() const noexcept { return lists_.size(); }

 private:
  BacklinkIndex(std::string path, File file) : index_path_(std::move(path)), file_(std::move(file)) {}

  struct Staged;

  std::expected<void, IoError> replay(std::uint64_t length);
  void place(Staged& staged);
  void apply(Op op, std::string_view target_key, std::string_view source_collection, std::string_view source_key,
             std::string_view source_path);
  // The position in lists_ of target_key's list; with `make`, a new empty
  // list when it has none, else kNoList.
  static constexpr std::size_t kNoList = ~std::size_t{0};
  std::size_t list_of(std::string_view target_key, std::uint64_t hash, bool make);
  void apply_to(std::size_t list, Op op, std::string_view source_collection, std::string_view source_key,
                std::string_view source_path);
  // The id of a source collection name, interned on first use.
  std::uint32_t intern(std::string_view collection);
  // Takes target_key, whose list is empty, out of the table.
  void drop_list(std::string_view target_key, std::size_t list);
  // Keeps only the lists the table names, renumbered.
  void pack_lists();
  // Appends the change's record to out; refuses strings too long to frame.
  static std::expected<void, IoError> encode_record(const BacklinkChange& change, std::string& out);

  // A record buffer larger than this is given back after use.
  static constexpr std::size_t kScratchKeepLimit = 256 * 1024;

  std::string index_path_;
  File file_;
  KeyIndex targets_;                // target key -> its position in lists_
  std::vector<EntryList> lists_;
  std::size_t dropped_lists_ = 0;  // in lists_, named by no key
  static constexpr std::size_t kDroppedListsKept = 64;
  std::vector<std::string> collection_names_;  // by id
  std::unordered_map<std::string, std::uint32_t, TextHash, std::equal_to<>> collection_ids_;
  std::uint32_t last_interned_ = 0;
  std::uint64_t file_length_ = 0;
  std::string scratch_;  // reused record buffer
  // Set when a failed write could not be cut back; later writes are refused.
  std::optional<IoError> broken_;
  bool stale_ = false;
};

}  // namespace brindle
