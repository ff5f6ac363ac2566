// Recently read records of one data file, by record offset, in a fixed
// budget of memory.
//
// A data file's bytes never change once written (the file only grows, and a
// failed write is cut back to where it began), so the record found at an
// offset is the record at that offset for as long as the file is open: an
// entry never goes stale. Only records read from the file are cached: those
// still in the write buffer are in memory already, and only the file's bytes
// are known never to change.
//
// Entries lie back to back in a ring of kBudget bytes, each a u32 length
// and the record's bytes. A new entry goes after the newest one, wrapping to
// the start when it does not fit before the end, over the oldest entries:
// eviction is first in, first out, and costs nothing per read. Positions are
// counted from the ring's first byte ever written, never wrapping (a
// wrap-around counts the bytes it skips), so an entry that began at p is
// intact exactly while no more than kBudget bytes have been written since p:
// one subtraction tells a live entry from an overwritten one, without
// reading the old entry or its slot when the ring moves on. (Removing each
// overwritten entry's slot cost two reads of cold memory on every get that
// missed the cache.)
//
// The entries' offsets are found through a flat table of 16-byte slots,
// open addressing with linear probing. A slot's place comes from a hash of
// the record's key, which the caller has before it knows the offset, so it
// can fetch the slot into the CPU cache while it looks the key up; the slot
// then matches by offset and holds the low 32 bits of the entry's position.
// A hash has one slot at most: a newer entry takes an older one's (mostly an
// older version of the same key). Slots of overwritten entries stay until
// the table is 70% full, when it is rebuilt with the live ones alone, at
// most half full: a rebuild comes after at least a fifth of the table's
// size in inserts. It is also rebuilt once 2^31 bytes have gone through
// the ring since the last rebuild, so a kept position never falls 2^32 or
// more behind and its low 32 bits tell its age.
//
// Memory: the ring's pages are touched only as entries fill them, plus a
// table of 32 to 64 bytes per entry the ring held at the last rebuild (the
// table never shrinks). Entries of tiny records take kSmallestEntry bytes of
// the ring, so the table stays within 8 MiB.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

namespace brindle {

class RecordCache {
 public:
  static constexpr std::size_t kBudget = std::size_t{4} << 20;
  static_assert(std::has_single_bit(kBudget), "positions map to the ring by their low bits");

  RecordCache() = default;
  // Leaves other empty, as a new cache.
  RecordCache(RecordCache&& other) noexcept
      : ring_(std::move(other.ring_)),
        slots_(std::move(other.slots_)),
        shift_(std::exchange(other.shift_, 32)),
        occupied_(std::exchange(other.occupied_, 0)),
        written_(std::exchange(other.written_, 0)),
        rebuilt_at_(std::exchange(other.rebuilt_at_, 0)) {
    other.slots_.clear();
  }
  // Larger records are not cached: a few of them would flush everything.
  static constexpr std::size_t kLargestRecord = 4096;

  static constexpr std::size_t kEntryHeader = 4;
  // The least ring space an entry takes, which bounds the entries the ring
  // holds and so the table (at most 2^19 slots, 8 MiB).
  static constexpr std::size_t kSmallestEntry = 32;

  // `hash` below is a hash of the record's key: the same for every call
  // about one offset.

  // The bytes cached for the record at offset; valid until the next insert.
  std::optional<std::string_view> find(std::uint64_t offset, std::uint32_t hash) const;
  // Caches a record's bytes, unless larger than kLargestRecord, in place of
  // any entry cached under the same hash.
  void insert(std::uint64_t offset, std::uint32_t hash, std::string_view bytes);
  // Asks for the slot a find() with this hash starts at to be fetched.
  void prefetch(std::uint32_t hash) const noexcept { __builtin_prefetch(slots_.data() + home_of(hash)); }

 private:
  // A slot holds an entry's offset plus one (0: empty), the low 32 bits of
  // its position and the hash that placed it.
  struct Slot {
    std::uint64_t key = 0;
    std::uint32_t position = 0;
    std::uint32_t hash = 0;
  };
  // The top bits of the hash; 0 while there is no table.
  std::size_t home_of(std::uint32_t hash) const noexcept {
    return static_cast<std::size_t>(std::uint64_t{hash} >> shift_);
  }
  // Whether the entry a slot names has not been written over.
  bool live(const Slot& slot) const noexcept {
    return static_cast<std::uint32_t>(written_) - slot.position <= kBudget;
  }
  // The slot holding key, or the empty slot that ends its run.
  std::size_t slot_of(std::uint64_t key, std::uint32_t hash) const noexcept;
  void put_position(std::uint64_t offset, std::uint32_t hash, std::uint32_t position);
  // Keeps the live slots alone, in a table at most half full.
  void rebuild();

  std::unique_ptr<char[]> ring_;  // kBudget bytes, allocated on first insert
  std::vector<Slot> slots_;       // a power of two of them, or none
  int shift_ = 32;                // 32 - log2(slots_.size())
  std::size_t occupied_ = 0;      // slots in use, live or not
  std::uint64_t written_ = 0;     // where the next entry goes, counted from the first
  std::uint64_t rebuilt_at_ = 0;  // written_ at the last rebuild
};

// Collections move when a database opens them.
static_assert(std::is_nothrow_move_constructible_v<RecordCache>);

}  // namespace brindle
