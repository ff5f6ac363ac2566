// Transactions: deferred flushes and queued backlink changes.
#include "db/database.h"

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

StorageResult<void> Database::apply(const BlOp& op) {
  auto index = backlink_index(op.target_collection);
  if (!index) return storage_failure(index.error());
  auto applied = op.kind == BacklinkIndex::Op::Add ? (*index)->add(op.target_key, op.entry)
                                                   : (*index)->remove(op.target_key, op.entry);
  if (!applied) return storage_failure(applied.error());
  return {};
}

bool Database::record_in_file(const BlOp& op) {
  std::lock_guard lock(op.record_collection->mutex);
  return op.record_collection->collection.in_file(op.record_offset);
}

StorageResult<void> Database::commit() {
  for (const CollectionHandle& handle : collection_order_) {
    std::lock_guard lock(handle->mutex);
    if (auto flushed = handle->collection.flush(); !flushed) return flushed;
    handle->collection.set_defer_flush(false);
  }
  // Every record is in its file now. A change leaves the queue only once
  // applied, so a failure keeps it and every later one queued, in order, for
  // the next commit.
  while (!pending_.empty()) {
    if (auto applied = apply(pending_.front()); !applied) return applied;
    pending_.pop_front();
  }
  in_transaction_ = false;
  return {};
}

Database::~Database() {
  // Records first, then the backlink entries of those that reached the data
  // files: a record whose write failed must not be indexed.
  for (const CollectionHandle& handle : collection_order_) {
    std::lock_guard lock(handle->mutex);
    (void)handle->collection.flush();
  }
  for (const BlOp& op : pending_) {
    if (record_in_file(op)) (void)apply(op);
  }
}

}  // namespace brindle
