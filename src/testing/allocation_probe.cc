#include "testing/allocation_probe.h"

#include <cstdint>
#include <cstdlib>
#include <new>

namespace {
bool g_armed = false;
std::size_t g_largest = 0;
std::size_t g_total = 0;
std::size_t g_fail_above = SIZE_MAX;
}  // namespace

// Kept out of line so the compiler does not pair malloc with inlined deletes.
[[gnu::noinline]] void* operator new(std::size_t n) {
  if (g_armed && n > g_largest) g_largest = n;
  if (g_armed) g_total += n;
  if (g_armed && n > g_fail_above) throw std::bad_alloc();
  if (void* p = std::malloc(n == 0 ? 1 : n)) return p;
  throw std::bad_alloc();
}
[[gnu::noinline]] void operator delete(void* p) noexcept { std::free(p); }
[[gnu::noinline]] void operator delete(void* p, std::size_t) noexcept { std::free(p); }
// The array forms too: under the sanitizers they would otherwise go to the
// sanitizer's own, which neither counts nor fails them.
[[gnu::noinline]] void* operator new[](std::size_t n) { return ::operator new(n); }
[[gnu::noinline]] void operator delete[](void* p) noexcept { std::free(p); }
[[gnu::noinline]] void operator delete[](void* p, std::size_t) noexcept { std::free(p); }

namespace brindle::testing {

AllocationProbe::AllocationProbe(std::size_t fail_above) {
  g_largest = 0;
  g_total = 0;
  g_fail_above = fail_above;
  g_armed = true;
}

AllocationProbe::~AllocationProbe() { g_armed = false; }

std::size_t AllocationProbe::largest() const { return g_largest; }

std::size_t AllocationProbe::total() const { return g_total; }

}  // namespace brindle::testing
