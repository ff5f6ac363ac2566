// A key index: key -> a record offset and a flag bit.
//
// One flat open-addressing table with linear probing over 16-byte slots, the
// keys back to back in one arena (varint length + bytes each). A slot packs
// the record offset (48 bits), the key's arena position (40 bits), the flag
// and the top 39 bits of the key's hash. A probe compares key bytes only when
// the stored hash bits agree, and growing or shifting the table never touches
// the arena: a slot's home comes from its stored bits. Erase shifts the
// following run back, so there are no tombstones and lookups never slow down
// with churn. The table grows by half (any size, mapped by multiply-shift, so
// a rehash walks both tables in order), and is 53% to 80% full (at least 40%
// after a Loader's batch).
//
// Memory: about 16 / load (20 .. 30) bytes of slot plus the key and a byte or
// two of arena per key. Erased keys leave their bytes in the arena until the dead
// bytes outnumber the live ones; the arena is then rewritten, so it stays
// within twice the live keys' size.
//
// The slots and the arena come from LargeTableAllocator: a table of a million
// keys sits on huge pages, so a probe does not also miss the TLB.
//
// Hashing is seeded per process (keys come from files and callers).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "storage/large_table_allocator.h"
#include "types/short_bytes.h"

namespace brindle {

class KeyIndex {
 public:
  struct Found {
    std::uint64_t record;
    bool flag;
  };
  // Record offsets are below this (256 TiB); owners refuse larger files.
  static constexpr std::uint64_t kRecordLimit = (std::uint64_t{1} << 48) - 2;
  // Only the top bits of a key's hash are kept; keys that agree in them are
  // told apart by their bytes.
  static constexpr int kStoredHashBits = 39;
  static constexpr std::size_t kCachedTableBytes = std::size_t{1} << 20;

  // The record offset and flag stored for key.
  std::optional<Found> find(std::string_view key) const noexcept;
  // Inserts key or replaces its record offset and flag. *record must be
  // below kRecordLimit. Throws std::length_error past 1 TiB of keys.
  void put(std::string_view key, std::uint64_t record, bool flag) { put(key, hash(key), record, flag); }
  // Makes room for one more key of this size, so that the next put of it
  // allocates nothing: a writer asks before its record reaches the file,
  // where a put that ran out of memory would leave a record the index never
  // learnt of (and that the next open would read back).
  void reserve_for(std::string_view key);
  // Removes key when present.
  void erase(std::string_view key) noexcept { erase(key, hash(key)); }

  // The same with the key's hash computed once by the caller, who may ask
  // for the key's slot to be fetched into the cache well before its use.
  static std::uint64_t hash(std::string_view key) noexcept;
  std::optional<Found> find(std::string_view key, std::uint64_t h) const noexcept;
  // The first entry in h's probe run whose stored hash bits match, without
  // comparing key bytes, so the key arena is not touched. It is key's own
  // entry unless a key sharing those 39 bits sits earlier in the run: a
  // caller that reads the record and finds key there is answered; one that
  // finds another key asks find(). Nothing when key is absent.
  std::optional<Found> find_by_hash(std::uint64_t h) const noexcept;
  void put(std::string_view key, std::uint64_t h, std::uint64_t record, bool flag);
  void prefetch(std::uint64_t h) const noexcept {
    // No test for an empty table: a prefetch never faults, and g++ drops a
    // prefetch that sits alone in a branch.
    __builtin_prefetch(slots_.data() + home_of(h >> kHashShift));
  }

  // Replaces each key's record with f(record), which must be below
  // kRecordLimit: for owners that number the things their keys stand for
  // and renumber them. Keys are visited in no particular order.
  template <class F>
  void map_records(F&& f) {
    for (Slot& s : slots_) {
      if (!s.empty()) s.a = (s.a & ~kRecordMask) | static_cast<std::uint64_t>(f(s.record()));
    }
  }

  // Gives back the table's room when erases left it mostly empty; the
  // table otherwise keeps the size the most keys it held needed.
  void trim();

  std::size_t size() const noexcept { return size_; }
  // Slots in the table, for memory accounting.
  std::size_t slot_count() const noexcept { return slots_.size(); }
  // Whether most probes miss the processor's caches (a core's L2 holds
  // 512 KiB here; the last-level cache is shared): only then does asking
  // for a slot ahead (prefetch) pay for hashing the key an extra time.
  bool outgrows_caches() const noexcept { return slots_.size() * sizeof(Slot) > kCachedTableBytes; }

 private:
  // Slot word `a`: record (low 48 bits) | top 16 of the stored hash bits.
  // Slot word `b`: arena position (low 40 bits) | flag | low 23 hash bits.
  static constexpr int kHashShift = 64 - kStoredHashBits;  // stored hash = h >> kHashShift
  static constexpr std::uint64_t kRecordMask = (std::uint64_t{1} << 48) - 1;
  // A loader's pending erase carries this record offset.
  static constexpr std::uint64_t kEraseMark = kRecordLimit;
  static constexpr std::uint64_t kAtLimit = std::uint64_t{1} << 40;
  static constexpr std::uint64_t kFlag = kAtLimit;
  static constexpr std::uint64_t kLowHashBits = 23;

  struct Slot {
    std::uint64_t a = kRecordMask;  // record bits all set: empty
    std::uint64_t b = 0;

    bool empty() const noexcept { return (a & kRecordMask) == kRecordMask; }
    std::uint64_t record() const noexcept { return a & kRecordMask; }
    std::uint64_t at() const noexcept { return b & (kAtLimit - 1); }
    bool flag() const noexcept { return (b & kFlag) != 0; }
    std::uint64_t stored_hash() const noexcept { return (a >> 48) << kLowHashBits | b >> 41; }
  };
  static Slot make_slot(std::uint64_t stored_hash, std::uint64_t record, std::uint64_t at, bool flag) noexcept {
    return Slot{record | (stored_hash >> kLowHashBits) << 48,
                at | (flag ? kFlag : 0) | (stored_hash & ((std::uint64_t{1} << kLowHashBits) - 1)) << 41};
  }

  void erase(std::string_view key, std::uint64_t h) noexcept;

  std::string_view key_at(std::uint64_t at) const noexcept;
  // Bytes of the arena entry at `at`: its length prefix and its key.
  std::size_t entry_size(std::uint64_t at) const noexcept;
  // The slot holding key, or the empty slot that ends its probe run.
  std::size_t probe(std::string_view key, std::uint64_t stored_hash) const noexcept {
    return probe_for(stored_hash, [&](std::uint64_t at) { return equal_bytes(key_at(at), key); });
  }
  // The same, with same_key(arena position) telling a hash twin from the
  // key; it is asked only when the stored hash bits agree.
  template <class SameKey>
  std::size_t probe_for(std::uint64_t stored_hash, SameKey&& same_key) const noexcept {
    for (std::size_t i = home_of(stored_hash);; i = next(i)) {
      const Slot& s = slots_[i];
      if (s.empty() || (s.stored_hash() == stored_hash && same_key(s.at()))) return i;
    }
  }
  // Copies key to the end of the arena; returns its position.
  std::uint64_t append_key(std::string_view key);
  // Arena capacity for one more key of this size.
  void reserve_arena(std::string_view key);
  // Removes the key in slot `hole` (backward shift). Leaves the arena be.
  void erase_slot(std::size_t hole) noexcept;
  void compact_arena_if_mostly_dead() noexcept;
  // Grows, when needed, so that `keys` keys fit.
  void reserve(std::size_t keys);
  // Rehashes into a table of `slots` slots (more than the keys).
  void rehash(std::size_t slots);
  void compact_arena();

  // The top 32 of the 39 stored bits pick the home slot.
  std::size_t home_of(std::uint64_t stored_hash) const noexcept {
    return static_cast<std::size_t>(((stored_hash >> 7) * slots_.size()) >> 32);
  }
  std::size_t next(std::size_t i) const noexcept { return i + 1 == slots_.size() ? 0 : i + 1; }

  using Arena = std::basic_string<char, std::char_traits<char>, LargeTableAllocator<char>>;
  std::vector<Slot, LargeTableAllocator<Slot>> slots_;  // fewer than 2^32
  Arena arena_;
  std::size_t size_ = 0;
  std::size_t dead_bytes_ = 0;

 public:
  // Many puts and erases at once, applied in the order given (replay at
  // open). Keys go to the arena as they come; their slots are placed a batch
  // at a time in table order, so placing sweeps the table instead of
  // touching it at random (a cache and TLB miss per key on a large table).
  // The index sees a key only once its batch is placed: after finish(), or
  // any time the batch fills. *index must outlive the Loader, and be used
  // only through it until finish().
  class Loader {
   public:
    // Record offsets given to put() run up to input_end (the length of the
    // file replayed), or 0 when unknown. Knowing it, the loader sizes the
    // table for the whole input after its first batch, at the rate of new
    // keys seen so far, instead of growing it batch after batch.
    explicit Loader(KeyIndex& index, std::uint64_t input_end = 0) : index_(index), input_end_(input_end) {}
    void put(std::string_view key, std::uint64_t record, bool flag) { add(key, record, flag); }
    void erase(std::string_view key) { add(key, kEraseMark, false); }
    // Places what is pending.
    void finish();

   private:
    static constexpr std::size_t kMinBatch = 1 << 16;
    static constexpr std::size_t kGuessGrowthLimit = 16;
    void add(std::string_view key, std::uint64_t record, bool flag);
    void place_batch();
    void trim_table();
    void size_for_rest();

    KeyIndex& index_;
    std::uint64_t input_end_;
    std::uint64_t furthest_ = 0;  // the largest record offset put so far
    // Slots of the keys' copies in the arena, in the order given.
    std::vector<Slot, LargeTableAllocator<Slot>> pending_;
  };
};

}  // namespace brindle
