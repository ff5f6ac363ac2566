// A file descriptor with ownership, and the few I/O calls the store makes on
// it: positioned reads, whole-record appends, length and truncation.
// Interrupted calls are retried; every failure is an IoError.
#pragma once

#include <sys/types.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "storage/storage_error.h"

namespace brindle {

class File {
 public:
  File() = default;
  File(File&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  File& operator=(File&& other) noexcept;
  File(const File&) = delete;
  File& operator=(const File&) = delete;
  ~File();

  // open(2) with O_CLOEXEC added; new files get mode less the umask.
  static std::expected<File, IoError> open(const std::string& path, int flags, mode_t mode = 0666);

  // Opens a file of the store with flags, creating it (mode 0666 less the
  // umask) when missing. Non-blocking, so that a FIFO named like a store
  // file fails (or is refused below) instead of waiting for a peer; anything
  // but a regular file is refused with "not a regular file". Open the write
  // handle first: a FIFO without a reader then fails with ENXIO.
  // With create false a missing file fails with ENOENT.
  static std::expected<File, IoError> open_store_file(const std::string& path, int flags, bool create = true);

  bool is_open() const noexcept { return fd_ >= 0; }

  // Reads up to n bytes at offset; fewer only at the end of the file.
  std::expected<std::size_t, IoError> read_at(char* dst, std::size_t n, std::uint64_t offset) const;
  // Reads exactly n bytes at offset; the end of the file is UnexpectedEof.
  std::expected<void, IoError> read_exact_at(char* dst, std::size_t n, std::uint64_t offset) const;

  // Appends the pieces, in order, all or nothing: one writev, repeated for
  // the rest after a partial write. `length` is the file's length before the
  // call; when a write fails the file is cut back to it, so it still ends
  // where it did. `torn` is set when that cut itself failed: the file then
  // ends inside the appended bytes and the caller must not append again.
  // For append-mode handles only.
  std::expected<void, IoError> append(std::span<const std::string_view> pieces, std::uint64_t length, bool& torn);

  std::expected<std::uint64_t, IoError> size() const;
  std::expected<void, IoError> truncate(std::uint64_t length);

 private:
  explicit File(int fd) : fd_(fd) {}
  int fd_ = -1;
};

// A sliding window over a file of known length, for reading many small
// fields (record headers, keys) in large chunks instead of one call each.
// *file must outlive the window.
class FileWindow {
 public:
  FileWindow(const File& file, std::uint64_t length) : file_(file), length_(length) {}

  // Makes [offset, offset + n) readable and returns a pointer to it, valid
  // until the next call. The caller has checked that the range lies inside
  // the file's length; a file that shrank meanwhile gives UnexpectedEof.
  std::expected<const char*, IoError> view(std::uint64_t offset, std::size_t n) {
    // Scans ask for a few bytes at a time; most requests lie in the window.
    if (offset >= base_ && offset + n <= base_ + filled_) return data_.data() + (offset - base_);
    return refill(offset, n);
  }

  // What the window already holds from offset on, up to the file's length;
  // empty when it holds nothing there. Reads nothing. Valid until the next
  // call of view.
  std::string_view held(std::uint64_t offset) const noexcept {
    if (offset < base_ || offset - base_ >= filled_ || offset >= length_) return {};
    const std::size_t from = static_cast<std::size_t>(offset - base_);
    return {data_.data() + from, static_cast<std::size_t>(std::min<std::uint64_t>(filled_ - from, length_ - offset))};
  }

 private:
  std::expected<const char*, IoError> refill(std::uint64_t offset, std::size_t n);

  static constexpr std::size_t kChunk = 1 << 20;
  const File& file_;
  std::uint64_t length_;
  std::vector<char> data_;
  std::uint64_t base_ = 0;
  std::size_t filled_ = 0;
};

}  // namespace brindle
