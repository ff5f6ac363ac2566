// A collection's key index: key -> offset of the record that decides it.
//
// One flat open-addressing table with linear probing over 16-byte slots, the
// keys back to back in one arena (varint length + bytes each). A slot holds
// the record offset and, packed in one word, a flag bit the owner gives each
// key, 15 bits of its hash and the key's arena position (48 bits); a probe
// compares key bytes only when the tags agree. Erase shifts the following run back, so there are no
// tombstones and lookups never slow down with churn. The table grows by half
// (any size, mapped by multiply-shift), so it is 53% to 80% full.
//
// Memory: about 16 / load (20 .. 30) bytes of slot plus the key and a byte or
// two of arena per key. Erased keys leave their bytes in the arena until the dead
// bytes outnumber the live ones; the arena is then rewritten, so it stays
// within twice the live keys' size.
//
// Hashing is seeded per process (keys come from files and callers).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace brindle {

class KeyIndex {
 public:
  struct Found {
    std::uint64_t record;
    bool flag;
  };
  // The record offset and flag stored for key.
  std::optional<Found> find(std::string_view key) const noexcept;
  // Inserts key or replaces its record offset and flag.
  void put(std::string_view key, std::uint64_t record, bool flag);
  // Removes key when present.
  void erase(std::string_view key) noexcept;

  std::size_t size() const noexcept { return size_; }

 private:
  static constexpr std::uint64_t kEmpty = UINT64_MAX;
  static constexpr std::uint64_t kAtMask = (std::uint64_t{1} << 48) - 1;
  static constexpr std::uint64_t kFlag = std::uint64_t{1} << 63;
  static constexpr std::uint64_t kTagMask = ~kAtMask & ~kFlag;

  struct Slot {
    std::uint64_t record = kEmpty;
    std::uint64_t tag_and_at = 0;  // flag | 15 low hash bits | arena position
  };

  static std::uint64_t hash(std::string_view key) noexcept;
  std::string_view key_at(std::uint64_t at) const noexcept;
  // Bytes of the arena entry at `at`: its length prefix and its key.
  std::size_t entry_size(std::uint64_t at) const noexcept;
  // The slot holding key, or the empty slot that ends its probe run.
  std::size_t probe(std::string_view key, std::uint64_t h) const noexcept;
  void grow();
  void compact_arena();

  std::size_t home(std::uint64_t h) const noexcept {
    return static_cast<std::size_t>(((h >> 32) * slots_.size()) >> 32);
  }
  std::size_t next(std::size_t i) const noexcept { return i + 1 == slots_.size() ? 0 : i + 1; }

  std::vector<Slot> slots_;  // fewer than 2^32
  std::string arena_;
  std::size_t size_ = 0;
  std::size_t dead_bytes_ = 0;
};

}  // namespace brindle
