// An allocator for large tables that are read at random, such as the slots
// of a key index, and for the large buffers a replay uses for a while.
//
// A probe into a table of tens of megabytes misses the TLB as well as the
// cache when the table sits on 4 KiB pages. Blocks of kMapBytes and more are
// therefore mapped on their own, and the kernel is asked to back every whole
// 2 MiB extent inside them with a huge page. Only extents that lie wholly
// inside the block are marked, so the block costs no more memory than it
// would on small pages. The request is a hint: where huge pages are off, the
// block is an ordinary anonymous mapping. Smaller blocks come from the usual
// allocator.
//
// A mapped block goes back to the system when freed. Buffers that live only
// through a replay may be mapped from a lower size (TransientAllocator):
// taken from the heap, they would sit below what the replay builds and stay
// resident, as free heap, once the replay is over.
#pragma once

#include <sys/mman.h>

#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <new>

namespace brindle {

template <class T, std::size_t kMapBytes = std::size_t{4} << 20>
class LargeTableAllocator {
 public:
  using value_type = T;
  template <class U>
  struct rebind {
    using other = LargeTableAllocator<U, kMapBytes>;
  };
  static constexpr std::size_t kMapThreshold = kMapBytes;
  static constexpr std::uintptr_t kHugePage = std::uintptr_t{2} << 20;

  LargeTableAllocator() = default;
  template <class U>
  LargeTableAllocator(const LargeTableAllocator<U, kMapBytes>&) noexcept {}

  T* allocate(std::size_t n) {
    if (n > std::numeric_limits<std::size_t>::max() / sizeof(T)) throw std::bad_array_new_length();
    const std::size_t bytes = n * sizeof(T);
    if (bytes < kMapThreshold) return std::allocator<T>().allocate(n);
    void* block = ::mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (block == MAP_FAILED) throw std::bad_alloc();
    const auto start = reinterpret_cast<std::uintptr_t>(block);
    const std::uintptr_t first = (start + kHugePage - 1) & ~(kHugePage - 1);
    const std::uintptr_t last = (start + bytes) & ~(kHugePage - 1);
    if (last > first) (void)::madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
    return static_cast<T*>(block);
  }

  void deallocate(T* p, std::size_t n) noexcept {
    const std::size_t bytes = n * sizeof(T);
    if (bytes < kMapThreshold) {
      std::allocator<T>().deallocate(p, n);
    } else {
      ::munmap(p, bytes);
    }
  }

  friend bool operator==(const LargeTableAllocator&, const LargeTableAllocator&) noexcept { return true; }
};

template <class T>
using TransientAllocator = LargeTableAllocator<T, std::size_t{64} << 10>;

}  // namespace brindle
