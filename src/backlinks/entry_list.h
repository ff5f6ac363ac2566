// The backlink entries under one target key, held compactly and in order.
//
// An entry is (source collection id, source key, source path); the ids are
// interned by the owning index. Keys and paths live back to back in one byte
// arena per list, so an entry costs a 24-byte slot plus its bytes.
//
// Order and multiplicity are kept exactly: add appends, and the same entry may
// stand any number of times; remove_all deletes every equal entry and leaves
// the others in their order. Removal marks slots dead; the list compacts once
// the dead outnumber the live, so its memory stays within twice the live.
//
// Removal costs O(1) per removed entry, whatever the list's length: short lists
// are scanned, and a list that grows past kScanLimit keeps a hash from entry to
// the positions holding it, built on its first removal. A record that held n
// links to one key is so deleted, and its index replayed, in O(n).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace brindle {

class EntryList {
 public:
  static constexpr std::size_t kScanLimit = 32;

  void add(std::uint32_t collection, std::string_view key, std::string_view path);
  void remove_all(std::uint32_t collection, std::string_view key, std::string_view path);

  // Live entries.
  std::size_t size() const noexcept { return live_; }

  // Calls f(collection, key, path) for every live entry, in order.
  template <class F>
  void for_each(F&& f) const {
    for (const Slot& slot : slots_) {
      if (slot.collection == kDead) continue;
      f(slot.collection, key_of(slot), path_of(slot));
    }
  }

 private:
  static constexpr std::uint32_t kDead = UINT32_MAX;

  struct Slot {
    std::uint64_t at;  // start of key bytes in arena_; path bytes follow
    std::uint32_t collection;
    std::uint32_t key_len;
    std::uint32_t path_len;
  };

  std::string_view key_of(const Slot& s) const { return {arena_.data() + s.at, s.key_len}; }
  std::string_view path_of(const Slot& s) const { return {arena_.data() + s.at + s.key_len, s.path_len}; }
  bool equals(const Slot& s, std::uint32_t collection, std::string_view key, std::string_view path) const {
    return s.collection == collection && key_of(s) == key && path_of(s) == path;
  }
  static std::uint64_t hash_of(std::uint32_t collection, std::string_view key, std::string_view path);
  void build_positions();
  void compact();

  std::vector<Slot> slots_;
  std::string arena_;
  std::size_t live_ = 0;
  // Entry hash -> positions in slots_ of the live entries with that hash;
  // kept only once a long list has seen a removal.
  std::unordered_map<std::uint64_t, std::vector<std::uint32_t>> positions_;
  bool indexed_ = false;
};

}  // namespace brindle
