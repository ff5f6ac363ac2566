// Shared pieces of the fuzz programs: a failed check that the fuzzer reports
// as a finding, a scratch directory per process, and value comparison by
// encoding (values have no equality of their own; the encoding is
// deterministic, maps in insertion order).
#pragma once

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "codec/codec.h"
#include "testing/temp_dir.h"
#include "types/value.h"

namespace brindle::fuzz {

// Aborts, which libFuzzer records as a crash with the input that caused it.
[[noreturn]] inline void fail(const std::string& what) {
  std::fprintf(stderr, "fuzz check failed: %s\n", what.c_str());
  std::abort();
}

inline void check(bool ok, const std::string& what) {
  if (!ok) fail(what);
}

inline std::string encoded(const Value& value) {
  std::string out;
  check(encode(value, out) == EncodeStatus::Ok, "a value the store produced does not encode");
  return out;
}

// One directory for the whole run, emptied before each input so that no
// input sees files of the one before.
inline const std::string& fresh_dir() {
  static testing::TempDir dir;
  for (const auto& entry : std::filesystem::directory_iterator(dir.path())) {
    std::filesystem::remove_all(entry.path());
  }
  return dir.path();
}

}  // namespace brindle::fuzz
