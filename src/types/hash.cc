#include "types/hash.h"

#include <cstring>
#include <random>

namespace brindle {

namespace {

constexpr std::uint64_t kMul1 = 0x9E3779B97F4A7C15ULL;
constexpr std::uint64_t kMul2 = 0xBF58476D1CE4E5B9ULL;
constexpr std::uint64_t kMul3 = 0x94D049BB133111EBULL;

inline std::uint64_t mix(std::uint64_t x) noexcept {
  x ^= x >> 30;
  x *= kMul2;
  x ^= x >> 27;
  x *= kMul3;
  x ^= x >> 31;
  return x;
}

inline std::uint64_t load32(const unsigned char* p) noexcept {
  std::uint32_t v;
  std::memcpy(&v, p, 4);
  return v;
}

inline std::uint64_t load64(const unsigned char* p) noexcept {
  std::uint64_t v;
  std::memcpy(&v, p, 8);
  return v;
}

std::uint64_t draw_seed() noexcept {
  try {
    std::random_device device;
    return (static_cast<std::uint64_t>(device()) << 32) ^ device();
  } catch (...) {
    // No random source: fall back to an address, which still varies between
    // runs under address-space randomisation.
    static const int anchor = 0;
    return mix(reinterpret_cast<std::uintptr_t>(&anchor));
  }
}

}  // namespace

std::uint64_t process_hash_seed() noexcept {
  static const std::uint64_t seed = draw_seed();
  return seed;
}

std::uint64_t hash_bytes(std::string_view bytes, std::uint64_t seed) noexcept {
  const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
  std::size_t n = bytes.size();
  std::uint64_t h = seed ^ (n * kMul1);
  while (n >= 8) {
    h = mix(h ^ load64(p)) * kMul1;
    p += 8;
    n -= 8;
  }
  // The last 1 to 7 bytes, read without a variable-length copy: two
  // overlapping 4-byte loads, or the first, middle and last byte. Either way
  // every byte is read. (An empty view may carry a null pointer: nothing is
  // read then.)
  std::uint64_t tail = 0;
  if (n >= 4) {
    tail = load32(p) | static_cast<std::uint64_t>(load32(p + n - 4)) << 32;
  } else if (n != 0) {
    tail = p[0] | static_cast<std::uint64_t>(p[n / 2]) << 8 | static_cast<std::uint64_t>(p[n - 1]) << 16;
  }
  return mix(h ^ tail ^ (static_cast<std::uint64_t>(n) << 56));
}

}  // namespace brindle
