#include "tools/session_end.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <thread>

#include "storage/file.h"

namespace brindle::tools {
namespace {

// The marker lists one short line per session; anything longer is not ours.
constexpr std::size_t kMarkerLimit = std::size_t{4} << 20;

class Fd {
 public:
  explicit Fd(int fd) : fd_(fd) {}
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  ~Fd() {
    if (fd_ >= 0) ::close(fd_);
  }
  int get() const { return fd_; }
  bool ok() const { return fd_ >= 0; }

 private:
  int fd_;
};

// Other processes hold the guard for moments only while this one is still a
// user of the directory. A thread of this process may hold it for good: a
// daemon thread stopped by the interpreter's cleanup inside a guarded step
// (an open, a tool) never lets go, so waiting without end would hang the
// exit. Past the limit the session stays, and the next open recovers.
bool lock_within(int fd, std::chrono::milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  auto pause = std::chrono::milliseconds(1);
  while (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    if (errno != EWOULDBLOCK && errno != EINTR) return false;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(pause);
    pause = std::min(pause * 2, std::chrono::milliseconds(50));
  }
  return true;
}

// The marker's bytes, or nothing when it is missing, not a regular file,
// too long or unreadable. Never blocks on a FIFO.
std::optional<std::string> read_marker(const std::string& path) {
  auto file = File::open_store_file(path, O_RDONLY | O_NOFOLLOW, false);
  if (!file) return std::nullopt;
  auto size = file->size();
  if (!size || *size > kMarkerLimit) return std::nullopt;
  std::string text(static_cast<std::size_t>(*size), '\0');
  if (!file->read_exact_at(text.data(), text.size(), 0)) return std::nullopt;
  return text;
}

void replace_marker(const std::string& path, std::string_view text) {
  auto file = File::open(path, O_WRONLY | O_TRUNC | O_APPEND | O_NONBLOCK | O_NOFOLLOW);
  bool torn = false;
  if (file) (void)file->append(std::span(&text, 1), 0, torn);
}

// The lock file, opened for reading when this process may not write it
// (another user's): a lock needs no more.
int open_lock_file(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
  if (fd >= 0 || (errno != EACCES && errno != EPERM)) return fd;
  return ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
}

}  // namespace

void end_session(const PendingSessionEnd& session) {
  if (session.owner != ::getpid()) return;
  Fd guard(open_lock_file(session.lock_path));
  // Declared after the guard, so let go inside it: an opener coming between
  // would find a user still there and take no part in recovery, yet be left
  // alone with the directory.
  Fd users(session.users_fd);
  if (!guard.ok() || !lock_within(guard.get(), std::chrono::seconds(3))) return;
  // Upgrading fails while any other process holds the users lock.
  const bool last = ::flock(users.get(), LOCK_EX | LOCK_NB) == 0;
  std::optional<std::string> text = read_marker(session.marker_path);
  if (!text) return;
  std::string left;
  bool ours_found = false;
  for (std::size_t start = 0; start < text->size();) {
    std::size_t end = text->find('\n', start);
    if (end == std::string::npos) end = text->size();
    std::string_view line(text->data() + start, end - start);
    start = end + 1;
    if (line.empty()) continue;
    if (!session.token.empty() && line == session.token) {
      ours_found = true;
      continue;
    }
    left.append(line).push_back('\n');
  }
  if (last && left.empty()) {
    ::unlink(session.marker_path.c_str());
  } else if (ours_found) {
    replace_marker(session.marker_path, left);
  }
}

}  // namespace brindle::tools
