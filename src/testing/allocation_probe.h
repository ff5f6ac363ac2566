// Test support: the largest single allocation made while a probe is armed,
// to show that readers never size buffers from untrusted lengths. Linking
// this replaces the global operator new of the test program, which hides
// the sanitizer's new/delete mismatch checks: link it only into the test
// programs that use a probe.
#pragma once

#include <cstddef>

namespace brindle::testing {

class AllocationProbe {
 public:
  AllocationProbe();
  ~AllocationProbe();
  AllocationProbe(const AllocationProbe&) = delete;
  AllocationProbe& operator=(const AllocationProbe&) = delete;

  std::size_t largest() const;
};

}  // namespace brindle::testing
