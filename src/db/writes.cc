// Writes with backlink upkeep.
#include <unordered_set>

#include "backlinks/link_ref.h"
#include "db/database.h"

namespace brindle {

namespace {

struct LinkRefHash {
  std::size_t operator()(const LinkRef* ref) const noexcept {
    std::size_t h = TextHash{}(ref->target_collection);
    h = h * 31 + TextHash{}(ref->target_key);
    return h * 31 + TextHash{}(ref->source_path);
  }
};
struct LinkRefEqual {
  bool operator()(const LinkRef* a, const LinkRef* b) const noexcept { return *a == *b; }
};

// Membership in a list of links: a scan for the usual handful, a hash set of
// pointers into the list once it is long enough for scans to cost.
class LinkSet {
 public:
  explicit LinkSet(const std::vector<LinkRef>& links) : links_(links) {
    if (links.size() > kScanLimit) {
      set_.reserve(links.size());
      for (const LinkRef& ref : links) set_.insert(&ref);
    }
  }

  bool contains(const LinkRef& ref) const {
    if (links_.size() > kScanLimit) return set_.contains(&ref);
    for (const LinkRef& other : links_) {
      if (other == ref) return true;
    }
    return false;
  }

 private:
  static constexpr std::size_t kScanLimit = 16;
  const std::vector<LinkRef>& links_;
  std::unordered_set<const LinkRef*, LinkRefHash, LinkRefEqual> set_;
};

}  // namespace

StorageResult<void> Database::set(std::string_view collection_name, std::string_view key, const Value& value) {
  auto handle = collection(collection_name);
  if (!handle) return storage_failure(handle.error());
  GuardedCollection& guarded = **handle;

  // The old value's links. An old record that cannot be read counts as
  // having none: the write must not fail because of it.
  std::vector<LinkRef> old_links;
  {
    std::lock_guard lock(guarded.mutex);
    if (guarded.collection.may_hold_links(key)) {
      if (auto old_value = guarded.collection.get(key)) collect_links(*old_value, {}, old_links);
    }
  }
  {
    std::lock_guard lock(guarded.mutex);
    if (auto written = guarded.collection.set(key, value); !written) return written;
  }

  std::vector<LinkRef> new_links;
  collect_links(value, {}, new_links);
  if (old_links.empty() && new_links.empty()) return {};

  const LinkSet old_set(old_links);
  const LinkSet new_set(new_links);
  auto change = [&](BlOp::Kind kind, const LinkRef& link) -> StorageResult<void> {
    BacklinkEntry entry{std::string(collection_name), std::string(key), link.source_path};
    if (in_transaction_) {
      // Queued, such a change would fail every commit from then on and keep
      // all later ones from being applied; refuse it now, as a write outside
      // a transaction would.
      if (!is_valid_collection_name(link.target_collection)) {
        return storage_failure(IoError::invalid_input("invalid collection name"));
      }
      pending_.push_back(BlOp{kind, link.target_collection, link.target_key, std::move(entry)});
      return {};
    }
    auto index = backlink_index(link.target_collection);
    if (!index) return storage_failure(index.error());
    auto applied = kind == BlOp::Kind::Add ? (*index)->add(link.target_key, std::move(entry))
                                           : (*index)->remove(link.target_key, entry);
    if (!applied) return storage_failure(applied.error());
    return {};
  };
  for (const LinkRef& link : old_links) {
    if (new_set.contains(link)) continue;
    if (auto r = change(BlOp::Kind::Remove, link); !r) return r;
  }
  for (const LinkRef& link : new_links) {
    if (old_set.contains(link)) continue;
    if (auto r = change(BlOp::Kind::Add, link); !r) return r;
  }
  return {};
}

}  // namespace brindle
