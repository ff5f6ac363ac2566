// The database: one directory of collection data files (<name>.brd) and
// backlink index files (<name>.brl), the registries of the open ones, and
// the transaction state.
//
// Every write goes through set(), which keeps the backlink indexes in step
// with the links the record holds: it lists the links of the old and the new
// value, removes the entries of links that disappeared and then adds those of
// links that appeared. Each such change is applied at once or, inside a
// transaction (begin() .. commit()), queued (see PendingChanges) while the
// records stay in the collections' write buffers; commit() writes out every
// buffer and then applies the queue.
//
// A set() that fails predictably (a link into an invalid collection name, a
// key or encoding too long, a value nested too deeply) fails before anything
// is written, and a record that could not be written leaves no trace. Once a
// record is written it stays, even when a backlink change after it fails
// (an index file that cannot be opened or written); its backlinks then lag
// behind it until the indexes are checked and repaired. Links into invalid names in an old
// value were never indexed, so overwriting or deleting it skips them.
//
// Choices where the obvious reading would lose data:
//  - begin() inside a transaction keeps the queued backlink changes;
//  - a commit whose apply phase fails keeps the failing change and all later
//    ones queued, in order, and stays in the transaction so the next commit
//    retries them;
//  - destroying a database inside a transaction writes out every collection
//    and then applies the queued changes whose records reached the data
//    files (errors ignored), so the index files agree with those records;
//  - except in a child made by fork, whose buffers and queue are copies of
//    the parent's: writing them out too would store the parent's records
//    twice and double their backlink entries, so the child drops them.
//
// Collection names containing "/" or NUL are refused ("io: invalid collection
// name"), so a name can never address a file outside the directory.
//
// Not thread-safe: the owner serialises every call (the Python layer keeps
// the database behind one lock). Each collection sits behind a mutex of its
// own, held only for one call into it.
#pragma once

#include <sys/types.h>

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "backlinks/backlink_index.h"
#include "backlinks/collect_links.h"
#include "db/pending_changes.h"
#include "storage/collection.h"
#include "storage/storage_error.h"
#include "types/hash.h"
#include "types/value.h"

namespace brindle {

// Whether name can name a collection: no "/" and no NUL, so that it never
// addresses a file outside the database directory.
bool is_valid_collection_name(std::string_view name);
// Whether "<name>.brl" fits in a file name: links into a longer name could
// never be indexed.
bool index_file_name_fits(std::string_view name);
// Whether links into collection `name` are indexed: a valid name whose index
// file can be named. Writes refuse links into other names; records that hold
// them anyway (written by an older build or another writer) are not indexed
// by writes, rebuilds or checks alike.
inline bool is_indexed_link_target(std::string_view name) {
  return is_valid_collection_name(name) && index_file_name_fits(name);
}

struct GuardedCollection {
  GuardedCollection(Collection c, std::string collection_name, std::uint32_t registration)
      : collection(std::move(c)), name(std::move(collection_name)), id(registration) {}
  std::mutex mutex;
  Collection collection;
  const std::string name;
  const std::uint32_t id;  // its position in registration order
};
using CollectionHandle = std::shared_ptr<GuardedCollection>;

class Database {
 public:
  // Creates the directory (with parents, mode 0777 less the umask) when
  // missing, then opens and replays every "<name>.brd" directly inside it.
  // A root holding a NUL byte is refused.
  static StorageResult<Database> open(std::string root);
  // As open, for tools that only read: the directory is not created, data
  // files are opened for reading only (so files the caller may not write
  // can be read), and a collection without a data file holds no keys (its
  // get is KeyNotFound) instead of having its file created on first use.
  // Every write fails with "database opened for reading only".
  static StorageResult<Database> open_for_reading(std::string root);

  Database(Database&&) noexcept = default;
  Database& operator=(Database&&) = delete;
  ~Database();

  // The path exactly as given to open().
  const std::string& root() const noexcept { return root_; }

  // The open collection of that name, opened (and its file created) on first
  // use. It stays registered, at the same address, for the database's life.
  StorageResult<GuardedCollection*> collection(std::string_view name);

  // The current value of a record; KeyNotFound when absent or deleted.
  StorageResult<Value> get(std::string_view collection, std::string_view key);
  // The encoded bytes of that value, for callers that decode it themselves
  // (see Collection::get_encoded).
  StorageResult<std::string_view> get_encoded(std::string_view collection, std::string_view key,
                                              Collection::ReadBuffer& buffer);

  // A hint for a caller about to write or read key in that collection: the
  // processor fetches the key's place in the index meanwhile (on a large
  // index, a cache miss taken off the write). Does nothing for a collection
  // not yet open, or one in use on another thread.
  void prefetch(std::string_view collection, std::string_view key) const noexcept;
  // Whether any open collection's index is large enough for prefetch() to
  // pay for itself; below that, callers need not look ahead.
  bool any_index_outgrows_caches() const noexcept;

  // Writes value (Tombstone deletes) and keeps the backlink indexes in step.
  // Outside a transaction the backlink changes go to their index files in
  // appends of about kCommitBatchBytes, in order; a failure stops the rest
  // and undoes nothing (the record and the appends before it stay).
  StorageResult<void> set(std::string_view collection, std::string_view key, const Value& value);
  // The same for a value its writer has encoded, given with the links that
  // collect_links lists for it (from the record's root), in that order. The
  // checks and their order are those of the set above, a refusing status
  // included.
  StorageResult<void> set(std::string_view collection, std::string_view key, const Collection::EncodedValue& value,
                          std::span<const LinkRef> links);

  // The open backlink index of links into collection `name`, opened (and its
  // file created) on first use. The pointer is valid for the database's life.
  StorageResult<BacklinkIndex*> backlink_index(std::string_view name);

  // The entries of records linking to (collection, key), in the order they
  // were added. Changes still queued in a transaction are not included.
  StorageResult<std::vector<BacklinkEntry>> get_backlinks(std::string_view collection, std::string_view key);

  void begin();
  StorageResult<void> commit();

  // For tests only: the transaction state and the queued changes.
  bool in_transaction() const noexcept { return in_transaction_; }
  const PendingChanges& pending() const noexcept { return pending_; }

 private:
  using CollectionMap = std::unordered_map<std::string, CollectionHandle, TextHash, std::equal_to<>>;
  using IndexMap = std::unordered_map<std::string, BacklinkIndex, TextHash, std::equal_to<>>;

  // About how many bytes of queued changes commit writes to an index at once.
  static constexpr std::size_t kCommitBatchBytes = 32 * 1024;
  // Changes of one write kept room for between writes.
  static constexpr std::size_t kNowChangesKept = 1024;

  Database(std::string root, std::string files_root);
  static StorageResult<Database> open_directory(std::string root, bool create_missing);

  std::string file_path(std::string_view name, std::string_view extension) const;
  // Opens the data file of collection `name` and registers it.
  StorageResult<GuardedCollection*> add_collection(std::string name, std::string path);
  // The registered collection of that name, or null.
  GuardedCollection* registered(std::string_view name) const noexcept;
  // Makes one backlink change in its index file.
  StorageResult<void> apply(BacklinkIndex::Op kind, std::string_view target_collection, std::string_view target_key,
                            BacklinkEntryRef entry);
  StorageResult<void> apply(const PendingChanges::Change& change);
  // Puts the backlink changes that take the index from old_links to
  // new_links in now_changes_ and now_targets_; in a transaction, also makes
  // room in the queue for them, so that queueing them allocates nothing.
  void changes_between(std::string_view collection_name, std::string_view key, std::span<const LinkRef> old_links,
                       std::span<const LinkRef> new_links);
  // Applies now_changes_ to their index files, in order.
  StorageResult<void> apply_now();
  // Empties now_changes_ and now_targets_ when a write ends.
  struct NowChangesReset {
    Database& db;
    ~NowChangesReset();
  };
  // The entry a queued change adds or removes; its source is the collection
  // its record was written to. Valid while the change is queued.
  BacklinkEntryRef entry_of(const PendingChanges::Change& change) const;
  // Whether the record of a queued change has reached its data file.
  bool record_in_file(const PendingChanges::Change& change);
  // The error for a name is_valid_collection_name refuses.
  static IoError invalid_collection_name();
  // Why a write of value with these links is refused whatever the files
  // hold; asked before anything is created.
  static std::optional<IoError> refusal(std::span<const LinkRef> new_links, std::string_view key,
                                        const Collection::EncodedValue& value);
  // What both sets do around placing the record: place(collection) writes
  // it into the collection and returns its result.
  template <class Place>
  StorageResult<void> write(std::string_view collection_name, std::string_view key, std::span<const LinkRef> new_links,
                            Place&& place);

  std::string root_;
  // Where the files are: root_ made absolute at open, so that files opened
  // on first use after the program changed directory land beside the others.
  std::string files_root_;
  CollectionMap collections_;
  std::vector<CollectionHandle> collection_order_;  // registration order
  IndexMap backlinks_;
  PendingChanges pending_;
  // The backlink changes of the write under way outside a transaction, with
  // their target collections; emptied when it ends.
  std::vector<BacklinkChange> now_changes_;
  std::vector<std::string_view> now_targets_;
  // The two collections registered() found last, newest first: calls in a
  // row mostly name one or two (a resolution goes from books to people and
  // back), and a name compare is cheaper than the map. Collections stay
  // registered for the database's life.
  mutable std::array<GuardedCollection*, 2> recently_found_{};
  // The same for backlink_index(): one target collection is the usual case.
  // Map nodes keep their address, and indexes are never removed.
  IndexMap::value_type* last_index_ = nullptr;
  bool in_transaction_ = false;
  bool create_missing_ = true;  // collections and the directory, on first use
  pid_t owner_;                 // the process that opened it
};

}  // namespace brindle
