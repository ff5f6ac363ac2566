// A collection's key index: key -> offset of the record that decides it.
//
// One flat open-addressing table with linear probing over 16-byte slots, the
// keys back to back in one arena (u32 length + bytes each). A slot holds the
// record offset and, packed in one word, the key's arena position (48 bits)
// and the top 16 bits of its hash, so a probe compares key bytes only when
// the tags agree. Erase shifts the following run back, so there are no
// tombstones and lookups never slow down with churn.
//
// Memory: about 16 / load (0.4 .. 0.8) bytes of slot plus 4 + key length of
// arena per key. Erased keys leave their bytes in the arena until the dead
// bytes outnumber the live ones; the arena is then rewritten, so it stays
// within twice the live keys' size.
//
// Hashing is seeded per process (keys come from files and callers).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace brindle {

class KeyIndex {
 public:
  // The record offset stored for key, or nullptr; valid until the next put
  // or erase.
  const std::uint64_t* find(std::string_view key) const noexcept;
  // Inserts key or replaces its record offset.
  void put(std::string_view key, std::uint64_t record);
  // Removes key when present.
  void erase(std::string_view key) noexcept;

  std::size_t size() const noexcept { return size_; }

 private:
  static constexpr std::uint64_t kEmpty = UINT64_MAX;
  static constexpr std::uint64_t kAtMask = (std::uint64_t{1} << 48) - 1;

  struct Slot {
    std::uint64_t record = kEmpty;
    std::uint64_t tag_and_at = 0;  // hash >> 48 in the top 16 bits, arena position below
  };

  static std::uint64_t hash(std::string_view key) noexcept;
  std::string_view key_at(std::uint64_t at) const noexcept;
  // The slot holding key, or the empty slot that ends its probe run.
  std::size_t probe(std::string_view key, std::uint64_t h) const noexcept;
  void grow();
  void compact_arena();

  std::vector<Slot> slots_;  // size 0 or a power of two
  std::string arena_;
  std::size_t size_ = 0;
  std::size_t dead_bytes_ = 0;
};

}  // namespace brindle
