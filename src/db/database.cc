#include "db/database.h"

#include <unistd.h>

#include <climits>
#include <mutex>
#include <utility>

#include "db/directory.h"
#include "types/short_bytes.h"

namespace brindle {

bool is_valid_collection_name(std::string_view name) {
  return name.find('/') == std::string_view::npos && name.find('\0') == std::string_view::npos;
}

bool index_file_name_fits(std::string_view name) { return name.size() + 4 <= NAME_MAX; }

IoError Database::invalid_collection_name() { return IoError::invalid_input("invalid collection name"); }

Database::Database(std::string root, std::string files_root)
    : root_(std::move(root)), files_root_(std::move(files_root)), owner_(::getpid()) {}

StorageResult<Database> Database::open(std::string root) { return open_directory(std::move(root), true); }

StorageResult<Database> Database::open_for_reading(std::string root) {
  return open_directory(std::move(root), false);
}

StorageResult<Database> Database::open_directory(std::string root, bool create_missing) {
  // The system calls would silently cut the path at the NUL.
  if (root.find('\0') != std::string::npos) {
    return storage_failure(IoError::invalid_input("path contains a NUL byte"));
  }
  std::string files_root = absolute_path(root);
  if (create_missing) {
    if (auto made = create_dir_all(files_root); !made) return storage_failure(made.error());
  }
  auto names = list_directory(files_root);
  if (!names) return storage_failure(names.error());

  Database db(std::move(root), std::move(files_root));
  db.create_missing_ = create_missing;
  std::string name;
  for (const std::string& file_name : *names) {
    if (!collection_name_of(file_name, name)) continue;
    if (auto added = db.add_collection(name, join_path(db.files_root_, file_name)); !added) {
      return storage_failure(added.error());
    }
  }
  return db;
}

std::string Database::file_path(std::string_view name, std::string_view extension) const {
  std::string path = join_path(files_root_, name);
  path.append(extension);
  return path;
}

StorageResult<GuardedCollection*> Database::add_collection(std::string name, std::string path) {
  auto opened = Collection::open(std::move(path),
                                 create_missing_ ? Collection::Access::ReadWrite : Collection::Access::ReadOnly);
  if (!opened) return storage_failure(opened.error());
  auto handle = std::make_shared<GuardedCollection>(std::move(*opened), name,
                                                    static_cast<std::uint32_t>(collection_order_.size()));
  collection_order_.push_back(handle);
  collections_.emplace(std::move(name), handle);
  return handle.get();
}

GuardedCollection* Database::registered(std::string_view name) const noexcept {
  for (GuardedCollection* found : recently_found_) {
    if (found != nullptr && equal_bytes(found->name, name)) return found;
  }
  auto it = collections_.find(name);
  if (it == collections_.end()) return nullptr;
  recently_found_[1] = recently_found_[0];
  recently_found_[0] = it->second.get();
  return recently_found_[0];
}

StorageResult<GuardedCollection*> Database::collection(std::string_view name) {
  if (GuardedCollection* found = registered(name)) return found;
  if (!is_valid_collection_name(name)) return storage_failure(invalid_collection_name());
  const std::string path = file_path(name, ".brd");
  // Open registers every data file but the one of the collection named by
  // the empty string (".brd"), which opens on first use like a new one.
  if (!create_missing_ && !path_exists(path)) return storage_failure(KeyNotFound{});
  auto handle = add_collection(std::string(name), path);
  if (!handle) return handle;
  // A collection first used inside a transaction takes part in it.
  if (in_transaction_) (*handle)->collection.set_defer_flush(true);
  return handle;
}

StorageResult<Value> Database::get(std::string_view collection_name, std::string_view key) {
  auto handle = collection(collection_name);
  if (!handle) return storage_failure(handle.error());
  std::lock_guard lock((*handle)->mutex);
  return (*handle)->collection.get(key);
}

StorageResult<std::string_view> Database::get_encoded(std::string_view collection_name, std::string_view key,
                                                      Collection::ReadBuffer& buffer) {
  auto handle = collection(collection_name);
  if (!handle) return storage_failure(handle.error());
  std::lock_guard lock((*handle)->mutex);
  return (*handle)->collection.get_encoded(key, buffer);
}

void Database::prefetch(std::string_view collection_name, std::string_view key) const noexcept {
  GuardedCollection* guarded = registered(collection_name);
  if (guarded == nullptr) return;
  std::unique_lock lock(guarded->mutex, std::try_to_lock);
  if (lock.owns_lock()) guarded->collection.prefetch(key);
}

bool Database::any_index_outgrows_caches() const noexcept {
  for (const CollectionHandle& handle : collection_order_) {
    std::lock_guard lock(handle->mutex);
    if (handle->collection.index_outgrows_caches()) return true;
  }
  return false;
}

StorageResult<BacklinkIndex*> Database::backlink_index(std::string_view name) {
  if (last_index_ != nullptr && equal_bytes(last_index_->first, name) && !last_index_->second.stale()) {
    return &last_index_->second;
  }
  if (auto it = backlinks_.find(name); it != backlinks_.end()) {
    if (!it->second.stale()) {
      last_index_ = &*it;
      return &it->second;
    }
    // Behind its file since it ran out of memory: its memory is given back
    // first, and it is opened again from the file below.
    if (last_index_ == &*it) last_index_ = nullptr;
    backlinks_.erase(it);
  }
  if (!is_valid_collection_name(name)) return storage_failure(invalid_collection_name());
  auto opened = BacklinkIndex::open(file_path(name, ".brl"));
  if (!opened) return storage_failure(opened.error());
  auto [it, inserted] = backlinks_.emplace(std::string(name), std::move(*opened));
  last_index_ = &*it;
  return &it->second;
}

StorageResult<std::vector<BacklinkEntry>> Database::get_backlinks(std::string_view collection_name,
                                                                  std::string_view key) {
  auto index = backlink_index(collection_name);
  if (!index) return storage_failure(index.error());
  auto entries = (*index)->find(key);
  if (!entries) return std::vector<BacklinkEntry>{};
  return std::move(*entries);
}

}  // namespace brindle
