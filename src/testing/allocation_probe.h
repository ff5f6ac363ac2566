// Test support: the largest single allocation made while a probe is armed,
// and the sum of them all, to show that readers never size buffers from
// untrusted lengths; and allocations that fail past a size, to show what
// running out leaves. Linking this replaces the global operator new of the
// test program, which hides the sanitizer's new/delete mismatch checks: link
// it only into the test programs that use a probe.
#pragma once

#include <cstddef>
#include <cstdint>

namespace brindle::testing {

class AllocationProbe {
 public:
  // While armed, an allocation of more than fail_above bytes throws
  // std::bad_alloc, as an exhausted heap would.
  explicit AllocationProbe(std::size_t fail_above = SIZE_MAX);
  ~AllocationProbe();
  AllocationProbe(const AllocationProbe&) = delete;
  AllocationProbe& operator=(const AllocationProbe&) = delete;

  std::size_t largest() const;
  // The bytes of every allocation made while armed, freed or not.
  std::size_t total() const;
};

}  // namespace brindle::testing
