#include "backlinks/entry_list.h"

#include <algorithm>
#include <utility>

#include "types/hash.h"

namespace brindle {

std::uint64_t EntryList::hash_of(std::uint32_t collection, std::string_view key, std::string_view path) {
  // Seeded per process: the entries come from files and callers.
  const std::uint64_t seed = process_hash_seed();
  std::uint64_t h = hash_bytes(key, seed ^ collection);
  return hash_bytes(path, h ^ (key.size() * 0x9e3779b97f4a7c15ULL));
}

void EntryList::add(std::uint32_t collection, std::string_view key, std::string_view path) {
  const Slot slot{arena_.size(), collection, static_cast<std::uint32_t>(key.size()),
                  static_cast<std::uint32_t>(path.size())};
  arena_.append(key);
  arena_.append(path);
  slots_.push_back(slot);
  ++live_;
  if (indexed_) {
    positions_[hash_of(collection, key, path)].push_back(static_cast<std::uint32_t>(slots_.size() - 1));
  }
}

void EntryList::build_positions() {
  positions_.clear();
  for (std::size_t i = 0; i < slots_.size(); ++i) {
    const Slot& s = slots_[i];
    if (s.collection == kDead) continue;
    positions_[hash_of(s.collection, key_of(s), path_of(s))].push_back(static_cast<std::uint32_t>(i));
  }
  indexed_ = true;
}

void EntryList::remove_all(std::uint32_t collection, std::string_view key, std::string_view path) {
  if (live_ == 0) return;
  if (!indexed_ && slots_.size() > kScanLimit) build_positions();
  std::size_t removed = 0;
  if (indexed_) {
    auto it = positions_.find(hash_of(collection, key, path));
    if (it == positions_.end()) return;
    // Equal entries share the hash, so all of them leave this bucket; other
    // entries that merely collide stay.
    std::erase_if(it->second, [&](std::uint32_t i) {
      Slot& s = slots_[i];
      if (!equals(s, collection, key, path)) return false;
      s.collection = kDead;
      ++removed;
      return true;
    });
    if (it->second.empty()) positions_.erase(it);
  } else {
    for (Slot& s : slots_) {
      if (s.collection != kDead && equals(s, collection, key, path)) {
        s.collection = kDead;
        ++removed;
      }
    }
  }
  live_ -= removed;
  if (removed > 0 && slots_.size() - live_ > live_) compact();
}

void EntryList::compact() {
  std::vector<Slot> slots;
  std::string arena;
  slots.reserve(live_);
  for (const Slot& s : slots_) {
    if (s.collection == kDead) continue;
    slots.push_back(Slot{arena.size(), s.collection, s.key_len, s.path_len});
    arena.append(arena_, s.at, static_cast<std::size_t>(s.key_len) + s.path_len);
  }
  slots_ = std::move(slots);
  arena_ = std::move(arena);
  if (slots_.size() > kScanLimit) {
    build_positions();
  } else {
    positions_ = {};
    indexed_ = false;
  }
}

}  // namespace brindle
