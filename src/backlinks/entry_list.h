// The backlink entries under one target key, held compactly and in order.
//
// An entry is (source collection id, source key, source path); the ids are
// interned by the owning index. The entries are encoded back to back in one
// byte string, so a list is one allocation and an entry costs its key and
// path bytes plus a few bytes of framing:
//
//   flags (1 byte, bit 0 = removed) | varint collection | varint key length |
//   varint path length | key bytes | path bytes
//
// Order and multiplicity are kept exactly: add appends, and the same entry may
// stand any number of times; remove_all deletes every equal entry and leaves
// the others in their order. Removal marks entries; the list is rewritten once
// the removed outnumber the live, so its memory stays within about twice the
// live entries.
//
// Removal costs O(1) per removed entry, whatever the list's length: short
// lists are scanned, and a list that has grown past kScanLimit keeps a hash
// from entry to the offsets holding it, built on its first removal. A record
// that held n links to one key is so deleted, and its index replayed, in O(n).
// That hash is one flat table of (entry hash, offset) slots, so building it
// and removing through it allocate nothing per entry.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace brindle {

class EntryList {
 public:
  static constexpr std::size_t kScanLimit = 32;

  void add(std::uint32_t collection, std::string_view key, std::string_view path);
  void remove_all(std::uint32_t collection, std::string_view key, std::string_view path);

  // One entry in the list's own encoding, for building lists in bulk: encode
  // it, and append_encoded() it later.
  static std::size_t max_encoded_size(std::string_view key, std::string_view path) noexcept {
    return kMaxHead + key.size() + path.size();
  }
  // Writes the entry at out, which has room for max_encoded_size() bytes;
  // returns the end of what it wrote.
  static char* encode_to(char* out, std::uint32_t collection, std::string_view key, std::string_view path) noexcept;
  struct Decoded {
    std::uint32_t collection;
    std::string_view key;
    std::string_view path;
  };
  // *encoded must be exactly what encode() wrote.
  static Decoded decode(std::string_view encoded) noexcept;
  void append_encoded(std::string_view encoded);
  // Makes room for this many bytes of encoded entries in all.
  void reserve(std::size_t bytes) { bytes_.reserve(bytes); }

  // Live entries.
  std::size_t size() const noexcept { return live_; }

  // Asks for the cache line the next add writes to; a hint, nothing more.
  void prefetch_end() const noexcept { __builtin_prefetch(bytes_.data() + bytes_.size(), 1); }

  // Gives back the growth slack, for lists that are done growing for now.
  void shrink_to_fit() { bytes_.shrink_to_fit(); }

  // Calls f(collection, key, path) for every live entry, in order.
  template <class F>
  void for_each(F&& f) const {
    for_each_in(bytes_, f);
  }

  // The list's bytes, to copy and read later with for_each_in.
  std::string_view encoded() const noexcept { return bytes_; }
  // The same as for_each, over bytes that encoded() gave.
  template <class F>
  static void for_each_in(std::string_view encoded, F&& f) {
    for (std::size_t at = 0; at < encoded.size();) {
      const View v = parse(encoded.data(), at);
      if (!v.removed) f(v.collection, v.key, v.path);
      at = v.next;
    }
  }

 private:
  struct View {
    bool removed;
    std::uint32_t collection;
    std::string_view key;
    std::string_view path;
    std::size_t next;  // offset of the following entry
  };
  // Offsets of the live entries by entry hash: open addressing with linear
  // probing, one slot per offset (equal entries each have their own). A
  // dropped offset leaves a tombstone until the table grows or the list is
  // compacted, which rebuilds it from the live entries.
  class Positions {
   public:
    explicit Positions(std::size_t expected);
    void insert(std::uint64_t hash, std::size_t at);
    // Drops every offset stored under hash for which take(offset) is true.
    template <class Take>
    void erase_if(std::uint64_t hash, Take&& take) {
      for (std::size_t i = home(hash); slots_[i].at != kEmpty; i = (i + 1) & (slots_.size() - 1)) {
        Slot& slot = slots_[i];
        if (slot.hash == hash && slot.at != kGone && take(static_cast<std::size_t>(slot.at))) {
          slot.at = kGone;
          --live_;
        }
      }
    }

   private:
    struct Slot {
      std::uint64_t hash = 0;
      std::uint64_t at = kEmpty;
    };
    static constexpr std::uint64_t kEmpty = ~std::uint64_t{0};
    static constexpr std::uint64_t kGone = kEmpty - 1;
    // A power of two, at least twice the live offsets.
    void rebuild(std::size_t live);
    std::size_t home(std::uint64_t hash) const noexcept { return static_cast<std::size_t>(hash >> shift_); }

    std::vector<Slot> slots_;
    int shift_ = 64;
    std::size_t used_ = 0;  // live offsets and tombstones
    std::size_t live_ = 0;
  };

  // flags byte and three varints
  static constexpr std::size_t kMaxHead = 1 + 3 * 10;
  // Writes an entry's head; returns its size.
  static std::size_t encode_head(char* head, std::uint32_t collection, std::size_t key_size,
                                 std::size_t path_size) noexcept;
  // The entry at p + at; only reads what encode_head and a copy wrote.
  static View parse(const char* p, std::size_t at) noexcept;
  View view(std::size_t at) const noexcept { return parse(bytes_.data(), at); }
  static std::uint64_t hash_of(std::uint32_t collection, std::string_view key, std::string_view path);
  void build_positions();
  void compact();

  std::string bytes_;
  std::size_t live_ = 0;
  std::size_t entries_ = 0;  // live and removed
  // Entry hash -> offsets in bytes_ of the live entries with that hash; kept
  // only once a long list has seen a removal.
  std::unique_ptr<Positions> positions_;
};

}  // namespace brindle
