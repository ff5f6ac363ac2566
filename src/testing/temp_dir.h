// Test support: a fresh directory removed with everything in it at the end
// of the test.
#pragma once

#include <cstdint>
#include <string>

namespace brindle::testing {

class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }
  // path() joined with name.
  std::string file(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// Whole-file helpers for laying down and inspecting raw bytes.
std::string read_file(const std::string& path);
void write_file(const std::string& path, const std::string& bytes);
std::uint64_t file_size(const std::string& path);
bool file_exists(const std::string& path);

}  // namespace brindle::testing
