// Writes with backlink upkeep.
#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <optional>
#include <span>
#include <unordered_map>
#include <unordered_set>

#include "backlinks/collect_links.h"
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
  explicit LinkSet(std::span<const LinkRef> links) : links_(links) {
    if (links.size() > kScanLimit) {
      set_.reserve(links.size());
      for (const LinkRef& ref : links) repeats_ |= !set_.insert(&ref).second;
    } else {
      for (std::size_t i = 1; i < links.size() && !repeats_; ++i) {
        repeats_ = std::find(links.begin(), links.begin() + i, links[i]) != links.begin() + i;
      }
    }
  }

  bool contains(const LinkRef& ref) const {
    if (links_.size() > kScanLimit) return set_.contains(&ref);
    for (const LinkRef& other : links_) {
      if (other == ref) return true;
    }
    return false;
  }

  // Whether two elements are equal: one value can hold the same link at the
  // same place twice (a key "a/b" beside a key "a" holding "b").
  bool has_repeats() const { return repeats_; }

 private:
  static constexpr std::size_t kScanLimit = 16;
  std::span<const LinkRef> links_;
  std::unordered_set<const LinkRef*, LinkRefHash, LinkRefEqual> set_;
  bool repeats_ = false;
};

// The changes that take an index holding the old links to one holding the
// new ones, when a link may stand more than once in either. A link gone from
// the new value is removed once per old element; one new to it is added once
// per new element. One held by both, fewer times now, is removed (a removal
// drops every equal entry) and added back as many times as it stands now;
// one held more times now gets only the extra additions.
template <class Change>
void diff_with_repeats(std::span<const LinkRef> old_links, std::span<const LinkRef> new_links, Change&& change) {
  struct Counts {
    std::size_t before = 0, after = 0, removed = 0, added = 0;
  };
  std::unordered_map<const LinkRef*, Counts, LinkRefHash, LinkRefEqual> counts;
  for (const LinkRef& link : old_links) ++counts[&link].before;
  for (const LinkRef& link : new_links) ++counts[&link].after;
  for (const LinkRef& link : old_links) {
    Counts& count = counts.find(&link)->second;
    if (count.after == 0 || (count.after < count.before && count.removed++ == 0)) {
      change(BacklinkIndex::Op::Remove, link);
    }
  }
  for (const LinkRef& link : new_links) {
    Counts& count = counts.find(&link)->second;
    if (count.after < count.before || ++count.added > count.before) change(BacklinkIndex::Op::Add, link);
  }
}

}  // namespace

// Why a write of this value with these links is refused whatever the files
// hold: a link into a name that no index file could have, then the key or
// value the collection would refuse. Asked before anything is written or
// created (the collection's file included), so the failing call changes
// nothing.
std::optional<IoError> Database::refusal(std::span<const LinkRef> new_links, std::string_view key,
                                         const Collection::EncodedValue& value) {
  for (const LinkRef& link : new_links) {
    if (!is_valid_collection_name(link.target_collection)) return invalid_collection_name();
    if (!index_file_name_fits(link.target_collection)) return IoError::from_errno(ENAMETOOLONG);
  }
  return Collection::refusal(key, value);
}

template <class Place>
StorageResult<void> Database::write(std::string_view collection_name, std::string_view key,
                                    std::span<const LinkRef> new_links, Place&& place) {
  // Refused before anything is buffered: inside a transaction the record
  // would otherwise wait for a commit that can never write it.
  if (!create_missing_) return storage_failure(IoError::invalid_input("database opened for reading only"));
  auto handle = collection(collection_name);
  if (!handle) return storage_failure(handle.error());
  GuardedCollection& guarded = **handle;

  // The changes collected below view this call's arguments and old_links:
  // none may outlive it, whether it returns or throws.
  const NowChangesReset reset{*this};
  // The old value's links. An old record that cannot be read counts as
  // having none: the write must not fail because of it.
  std::vector<LinkRef> old_links;
  std::uint64_t record;
  {
    std::lock_guard lock(guarded.mutex);
    if (guarded.collection.may_hold_links(key)) {
      if (auto old_value = guarded.collection.get(key)) collect_links(*old_value, {}, old_links);
    }
    // Links into invalid or overlong names in the old value (written by an
    // older build or another writer) were never indexed: nothing to remove.
    std::erase_if(old_links, [](const LinkRef& link) { return !is_indexed_link_target(link.target_collection); });
    // Every change is worked out, and room made for it, before the record
    // is placed: running out of memory after that would raise for a record
    // that stays (and, in a transaction, that commit writes without its
    // backlinks).
    if (!old_links.empty() || !new_links.empty()) changes_between(collection_name, key, old_links, new_links);
    record = guarded.collection.write_offset();
    if (auto written = place(guarded.collection); !written) return written;
  }
  if (now_changes_.empty()) return {};
  if (!in_transaction_) return apply_now();
  for (std::size_t i = 0; i < now_changes_.size(); ++i) {
    const BacklinkChange& change = now_changes_[i];
    pending_.push(change.kind, now_targets_[i], guarded.id, record, change.target_key, key,
                  change.entry.source_path);
  }
  return {};
}

void Database::changes_between(std::string_view collection_name, std::string_view key,
                               std::span<const LinkRef> old_links, std::span<const LinkRef> new_links) {
  const LinkSet old_set(old_links);
  const LinkSet new_set(new_links);
  auto change = [&](BacklinkIndex::Op kind, const LinkRef& link) {
    now_targets_.push_back(link.target_collection);
    now_changes_.push_back(
        BacklinkChange{kind, link.target_key, BacklinkEntryRef(collection_name, key, link.source_path)});
  };
  if (old_set.has_repeats() || new_set.has_repeats()) {
    diff_with_repeats(old_links, new_links, change);
  } else {
    for (const LinkRef& link : old_links) {
      if (!new_set.contains(link)) change(BacklinkIndex::Op::Remove, link);
    }
    for (const LinkRef& link : new_links) {
      if (!old_set.contains(link)) change(BacklinkIndex::Op::Add, link);
    }
  }
  if (!in_transaction_) return;
  std::size_t bytes = 0;
  for (std::size_t i = 0; i < now_changes_.size(); ++i) {
    const BacklinkChange& c = now_changes_[i];
    pending_.name(now_targets_[i]);
    bytes += PendingChanges::push_size(c.target_key, key, c.entry.source_path);
  }
  pending_.reserve(bytes);
}

Database::NowChangesReset::~NowChangesReset() {
  db.now_targets_.clear();
  db.now_changes_.clear();
  if (db.now_changes_.capacity() > kNowChangesKept) {
    db.now_targets_.shrink_to_fit();
    db.now_changes_.shrink_to_fit();
  }
}

StorageResult<void> Database::apply_now() {
  // Each run of changes into one index goes out in writes of about
  // kCommitBatchBytes, so a record with many links costs a few appends, not
  // one per link. A failure stops the rest; what went out before stays.
  const std::span<const BacklinkChange> changes = now_changes_;
  for (std::size_t from = 0; from < changes.size();) {
    const std::string_view target = now_targets_[from];
    std::size_t to = from;
    for (std::size_t bytes = 0; to < changes.size() && now_targets_[to] == target; ++to) {
      if (to > from && bytes >= kCommitBatchBytes) break;
      bytes += backlink_record_size(changes[to].target_key, changes[to].entry);
    }
    auto index = backlink_index(target);
    if (!index) return storage_failure(index.error());
    if (auto applied = (*index)->apply_all(changes.subspan(from, to - from)); !applied) {
      return storage_failure(applied.error());
    }
    from = to;
  }
  return {};
}

StorageResult<void> Database::set(std::string_view collection_name, std::string_view key, const Value& value) {
  std::vector<LinkRef> new_links;
  collect_links(value, {}, new_links);
  std::string bytes;
  const Collection::EncodedValue encoded = Collection::encode_value(value, bytes);
  return set(collection_name, key, encoded, new_links);
}

StorageResult<void> Database::set(std::string_view collection_name, std::string_view key,
                                  const Collection::EncodedValue& value, std::span<const LinkRef> links) {
  if (auto refused = refusal(links, key, value)) return storage_failure(*refused);
  return write(collection_name, key, links, [&](Collection& collection) { return collection.set(key, value); });
}

}  // namespace brindle
