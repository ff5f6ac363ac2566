// Seeded hashing of byte strings for the store's in-memory hash tables.
//
// Keys come from files and callers, so they are treated as hostile: the seed
// is drawn once per process from the system's random source, which keeps an
// attacker from choosing keys that all land in one bucket.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace brindle {

// The per-process seed; fixed after its first use.
std::uint64_t process_hash_seed() noexcept;

std::uint64_t hash_bytes(std::string_view bytes, std::uint64_t seed) noexcept;

// Hasher for unordered containers keyed by std::string; transparent, so
// lookups by std::string_view need no temporary string.
struct TextHash {
  using is_transparent = void;
  std::size_t operator()(std::string_view s) const noexcept {
    return static_cast<std::size_t>(hash_bytes(s, process_hash_seed()));
  }
  std::size_t operator()(const std::string& s) const noexcept {
    return (*this)(std::string_view(s));
  }
};

}  // namespace brindle
