// Transactions: deferred flushes and queued backlink changes.
#include "db/database.h"

#include <unistd.h>

#include <vector>

namespace brindle {

void Database::begin() {
  // Changes queued by an earlier begin stay queued: dropping them would
  // leave stored records whose backlink entries are never made.
  in_transaction_ = true;
  for (const CollectionHandle& handle : collection_order_) {
    std::lock_guard lock(handle->mutex);
    handle->collection.set_defer_flush(true);
  }
}

StorageResult<void> Database::apply(BacklinkIndex::Op kind, std::string_view target_collection,
                                    std::string_view target_key, BacklinkEntryRef entry) {
  auto index = backlink_index(target_collection);
  if (!index) return storage_failure(index.error());
  auto applied = kind == BacklinkIndex::Op::Add ? (*index)->add(target_key, entry) : (*index)->remove(target_key, entry);
  if (!applied) return storage_failure(applied.error());
  return {};
}

BacklinkEntryRef Database::entry_of(const PendingChanges::Change& change) const {
  return BacklinkEntryRef(collection_order_[change.record_collection]->name, change.source_key, change.source_path);
}

StorageResult<void> Database::apply(const PendingChanges::Change& change) {
  return apply(change.kind, change.target_collection, change.target_key, entry_of(change));
}

bool Database::record_in_file(const PendingChanges::Change& change) {
  GuardedCollection& guarded = *collection_order_[change.record_collection];
  std::lock_guard lock(guarded.mutex);
  return guarded.collection.in_file(change.record_offset);
}

StorageResult<void> Database::commit() {
  for (const CollectionHandle& handle : collection_order_) {
    std::lock_guard lock(handle->mutex);
    if (auto flushed = handle->collection.flush(); !flushed) return flushed;
    handle->collection.set_defer_flush(false);
  }
  // Every record is in its file now. Consecutive changes of one index go out
  // in one write of at most about kCommitBatchBytes. A change leaves the
  // queue only once applied, so a failure keeps the changes of the failed
  // write and every later one queued, in order, for the next commit.
  std::vector<BacklinkChange> batch;
  while (!pending_.empty()) {
    const std::string_view target = pending_.front().target_collection;
    batch.clear();
    std::size_t bytes = 0;
    pending_.for_each_while([&](const PendingChanges::Change& change) {
      if (change.target_collection != target || (!batch.empty() && bytes >= kCommitBatchBytes)) return false;
      batch.push_back(BacklinkChange{change.kind, change.target_key, entry_of(change)});
      bytes += backlink_record_size(change.target_key, batch.back().entry);
      return true;
    });
    auto index = backlink_index(target);
    if (!index) return storage_failure(index.error());
    if (auto applied = (*index)->apply_all(batch); !applied) return storage_failure(applied.error());
    for (std::size_t i = 0; i < batch.size(); ++i) pending_.pop_front();
  }
  in_transaction_ = false;
  return {};
}

Database::~Database() {
  if (owner_ != ::getpid()) return;  // a forked child's copies (see the header)
  // Records first, then the backlink entries of those that reached the data
  // files: a record whose write failed must not be indexed.
  for (const CollectionHandle& handle : collection_order_) {
    std::lock_guard lock(handle->mutex);
    (void)handle->collection.flush();
  }
  pending_.for_each([this](const PendingChanges::Change& change) {
    if (record_in_file(change)) (void)apply(change);
  });
}

}  // namespace brindle
