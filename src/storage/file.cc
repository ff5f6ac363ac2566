#include "storage/file.h"

#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <utility>

namespace brindle {

File& File::operator=(File&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = std::exchange(other.fd_, -1);
  }
  return *this;
}

File::~File() {
  if (fd_ >= 0) ::close(fd_);
}

std::expected<File, IoError> File::open(const std::string& path, int flags, mode_t mode) {
  int fd;
  do {
    fd = ::open(path.c_str(), flags | O_CLOEXEC, mode);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return std::unexpected(IoError::from_errno(errno));
  return File(fd);
}

std::expected<File, IoError> File::open_store_file(const std::string& path, int flags, bool create) {
  auto file = open(path, flags | (create ? O_CREAT : 0) | O_NONBLOCK, 0666);
  if (!file) return file;
  struct stat st;
  if (::fstat(file->fd_, &st) != 0) return std::unexpected(IoError::from_errno(errno));
  if (!S_ISREG(st.st_mode)) return std::unexpected(IoError::invalid_data("not a regular file"));
  return file;
}

std::expected<std::size_t, IoError> File::read_at(char* dst, std::size_t n, std::uint64_t offset) const {
  std::size_t done = 0;
  while (done < n) {
    ssize_t got = ::pread(fd_, dst + done, n - done, static_cast<off_t>(offset + done));
    if (got < 0) {
      if (errno == EINTR) continue;
      return std::unexpected(IoError::from_errno(errno));
    }
    if (got == 0) break;
    done += static_cast<std::size_t>(got);
  }
  return done;
}

std::expected<void, IoError> File::read_exact_at(char* dst, std::size_t n, std::uint64_t offset) const {
  auto got = read_at(dst, n, offset);
  if (!got) return std::unexpected(got.error());
  if (*got < n) return std::unexpected(IoError::unexpected_eof());
  return {};
}

std::expected<void, IoError> File::append(std::span<const std::string_view> pieces, std::uint64_t length,
                                          bool& torn) {
  torn = false;
  static_assert(IOV_MAX >= 8);
  iovec vec[8];
  std::size_t count = 0;
  for (std::string_view piece : pieces) {
    if (piece.empty()) continue;
    if (count == std::size(vec)) return std::unexpected(IoError::invalid_input("too many pieces"));
    vec[count++] = iovec{const_cast<char*>(piece.data()), piece.size()};
  }
  std::size_t first = 0;  // the first piece not yet fully written
  std::size_t written = 0;
  auto failed = [&](IoError error) -> std::expected<void, IoError> {
    if (written > 0) torn = !truncate(length);
    return std::unexpected(std::move(error));
  };
  while (first < count) {
    // One piece (the usual case: a flushed buffer) goes through write(),
    // which spares the kernel copying in an iovec array.
    ssize_t put = count - first == 1 ? ::write(fd_, vec[first].iov_base, vec[first].iov_len)
                                     : ::writev(fd_, vec + first, static_cast<int>(count - first));
    if (put < 0) {
      if (errno == EINTR) continue;
      return failed(IoError::from_errno(errno));
    }
    if (put == 0) return failed(IoError::write_zero());
    written += static_cast<std::size_t>(put);
    for (auto left = static_cast<std::size_t>(put); left > 0;) {
      std::size_t step = std::min(left, vec[first].iov_len);
      vec[first].iov_base = static_cast<char*>(vec[first].iov_base) + step;
      vec[first].iov_len -= step;
      left -= step;
      if (vec[first].iov_len == 0) ++first;
    }
  }
  return {};
}

std::expected<std::uint64_t, IoError> File::size() const {
  struct stat st;
  if (::fstat(fd_, &st) != 0) return std::unexpected(IoError::from_errno(errno));
  return static_cast<std::uint64_t>(st.st_size);
}

std::expected<void, IoError> File::truncate(std::uint64_t length) {
  int rc;
  do {
    rc = ::ftruncate(fd_, static_cast<off_t>(length));
  } while (rc != 0 && errno == EINTR);
  if (rc != 0) return std::unexpected(IoError::from_errno(errno));
  return {};
}

std::expected<const char*, IoError> FileWindow::refill(std::uint64_t offset, std::size_t n) {
  std::size_t want = std::max<std::size_t>(n, kChunk);
  if (offset < length_) want = static_cast<std::size_t>(std::min<std::uint64_t>(want, length_ - offset));
  if (data_.size() < want) data_.resize(want);
  auto got = file_.read_at(data_.data(), want, offset);
  if (!got) return std::unexpected(got.error());
  base_ = offset;
  filled_ = *got;
  if (filled_ < n) return std::unexpected(IoError::unexpected_eof());
  return data_.data();
}

}  // namespace brindle
