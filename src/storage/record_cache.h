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
// Entries lie back to back in a ring of kBudget bytes, each a u64 offset, a
// u32 length, the u32 hash it was cached under and the record's bytes. A new
// entry goes after the newest one, wrapping to the start when it does not
// fit before the end, and the oldest entries it would overwrite leave first:
// eviction is first in, first out, which costs nothing per read and suits
// the random reads it serves.
//
// The entries' offsets are found through a flat table of 16-byte slots,
// open addressing with linear probing, at most 70% full: a lookup, an
// insert and an eviction each cost one probe run and no allocation (a get
// that misses the cache makes all three). A slot's place comes from a hash
// of the record's key, which the caller has before it knows the offset, so
// it can fetch the slot into the CPU cache while it looks the key up; the
// slot then matches by offset. A hash has one slot at most: a newer entry
// takes an older one's (mostly an older version of the same key), and the
// older entry waits in the ring for its eviction with no slot.
//
// Memory: the ring's pages are touched only as entries fill them, plus
// 23 to 46 bytes of table per entry.
#pragma once

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

  RecordCache() = default;
  // Leaves other empty, as a new cache.
  RecordCache(RecordCache&& other) noexcept
      : ring_(std::move(other.ring_)),
        slots_(std::move(other.slots_)),
        shift_(std::exchange(other.shift_, 32)),
        entries_(std::exchange(other.entries_, 0)),
        occupied_(std::exchange(other.occupied_, 0)),
        newest_end_(std::exchange(other.newest_end_, 0)),
        oldest_(std::exchange(other.oldest_, 0)),
        lap_end_(std::exchange(other.lap_end_, kBudget)) {
    other.slots_.clear();
  }
  // Larger records are not cached: a few of them would flush everything.
  static constexpr std::size_t kLargestRecord = 4096;

  static constexpr std::size_t kEntryHeader = 16;

  // `hash` below is a hash of the record's key: the same for every call
  // about one offset.

  // The bytes cached for the record at offset; valid until the next insert.
  std::optional<std::string_view> find(std::uint64_t offset, std::uint32_t hash) const;
  // Caches a record's bytes, unless larger than kLargestRecord, in place of
  // any entry cached under the same hash. The offset must not be cached
  // already.
  void insert(std::uint64_t offset, std::uint32_t hash, std::string_view bytes);
  // Asks for the slot a find() with this hash starts at to be fetched.
  void prefetch(std::uint32_t hash) const noexcept { __builtin_prefetch(slots_.data() + home_of(hash)); }

 private:
  std::size_t entry_size(std::size_t at) const noexcept;
  void evict_oldest();

  // A slot holds an entry's offset plus one (0: empty), its position and
  // the hash that placed it.
  struct Slot {
    std::uint64_t key = 0;
    std::uint32_t position = 0;
    std::uint32_t hash = 0;
  };
  // The top bits of the hash; 0 while there is no table.
  std::size_t home_of(std::uint32_t hash) const noexcept {
    return static_cast<std::size_t>(std::uint64_t{hash} >> shift_);
  }
  // The slot holding key, or the empty slot that ends its run.
  std::size_t slot_of(std::uint64_t key, std::uint32_t hash) const noexcept;
  void put_position(std::uint64_t offset, std::uint32_t hash, std::uint32_t position);
  // Frees the slot of the entry at `position`, if it still has one.
  void erase_position(std::uint64_t offset, std::uint32_t hash, std::uint32_t position) noexcept;

  std::unique_ptr<char[]> ring_;  // kBudget bytes, allocated on first insert
  std::vector<Slot> slots_;       // a power of two of them, or none
  int shift_ = 32;                // 32 - log2(slots_.size())
  std::size_t entries_ = 0;          // in the ring, with or without a slot
  std::size_t occupied_ = 0;         // slots in use
  std::size_t newest_end_ = 0;       // where the next entry goes
  std::size_t oldest_ = 0;           // position of the oldest entry, when there are entries
  std::size_t lap_end_ = kBudget;    // where the entries of the previous lap end
};

// Collections move when a database opens them.
static_assert(std::is_nothrow_move_constructible_v<RecordCache>);

}  // namespace brindle
