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
// stays, with an empty list); other op values are read and skipped.
//
// In memory, collection names are interned and each key's entries are an
// EntryList, so removing a run of entries costs O(1) each.
//
// Invariants:
//  - the file is written before the map changes, so the map never holds a
//    change that did not reach the file;
//  - each record is appended all or nothing (a failed write is cut back),
//    so the file ends on a record boundary;
//  - replay trusts no length: a string longer than the bytes left is a cut
//    file ("failed to fill whole buffer"), refused before any allocation.
#pragma once

#include <cstdint>
#include <expected>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "backlinks/entry_list.h"
#include "storage/file.h"
#include "storage/storage_error.h"
#include "types/hash.h"

namespace brindle {

struct BacklinkEntry {
  std::string source_collection;
  std::string source_key;
  std::string source_path;

  bool operator==(const BacklinkEntry&) const = default;
};

class BacklinkIndex {
 public:
  enum class Op : std::uint8_t { Add = 1, Remove = 2 };

  // Opens (creating when missing, mode 0666 less the umask) and replays.
  // Anything but a regular file is refused, as for data files.
  static std::expected<BacklinkIndex, IoError> open(std::string path);

  BacklinkIndex(BacklinkIndex&&) noexcept = default;
  BacklinkIndex& operator=(BacklinkIndex&&) noexcept = default;

  std::expected<void, IoError> add(std::string_view target_key, BacklinkEntry entry);
  std::expected<void, IoError> remove(std::string_view target_key, const BacklinkEntry& entry);

  // The entries under target_key in the order they were added; nullopt when
  // the key was never added to.
  std::optional<std::vector<BacklinkEntry>> find(std::string_view target_key) const;

  const std::string& path() const noexcept { return index_path_; }

 private:
  using EntryMap = std::unordered_map<std::string, EntryList, TextHash, std::equal_to<>>;

  BacklinkIndex(std::string path, File file) : index_path_(std::move(path)), file_(std::move(file)) {}

  std::expected<void, IoError> replay(std::uint64_t length);
  void apply(Op op, std::string_view target_key, std::string_view source_collection, std::string_view source_key,
             std::string_view source_path);
  // The id of a source collection name, interned on first use.
  std::uint32_t intern(std::string_view collection);
  std::expected<void, IoError> write_record(Op op, std::string_view target_key, const BacklinkEntry& entry);

  std::string index_path_;
  File file_;
  EntryMap entries_;
  std::vector<std::string> collection_names_;  // by id
  std::unordered_map<std::string, std::uint32_t, TextHash, std::equal_to<>> collection_ids_;
  std::uint32_t last_interned_ = 0;
  std::uint64_t file_length_ = 0;
  std::string scratch_;  // reused record buffer
  // Set when a failed write could not be cut back; later writes are refused.
  std::optional<IoError> broken_;
};

}  // namespace brindle
