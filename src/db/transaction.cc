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
  auto applied = op.kind == BlOp::Kind::Add ? (*index)->add(op.target_key, op.entry)
                                            : (*index)->remove(op.target_key, op.entry);
  if (!applied) return storage_failure(applied.error());
  return {};
}

StorageResult<void> Database::commit() {
  for (const CollectionHandle& handle : collection_order_) {
    std::lock_guard lock(handle->mutex);
    if (auto flushed = handle->collection.flush(); !flushed) return flushed;
    handle->collection.set_defer_flush(false);
  }
  // A change leaves the queue only once applied, so a failure keeps it and
  // every later one queued, in order, for the next commit.
  while (!pending_.empty()) {
    if (auto applied = apply(pending_.front()); !applied) return applied;
    pending_.pop_front();
  }
  in_transaction_ = false;
  return {};
}

Database::~Database() {
  // Records first, then their backlink entries, so the index files never
  // hold entries for records that did not reach the data files.
  for (const CollectionHandle& handle : collection_order_) {
    std::lock_guard lock(handle->mutex);
    (void)handle->collection.flush();
  }
  for (const BlOp& op : pending_) (void)apply(op);
}

}  // namespace brindle
