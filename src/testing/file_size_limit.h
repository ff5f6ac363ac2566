// Test support: real write failures. While a FileSizeLimit lives, writes
// past `limit` bytes of any file fail with EFBIG (SIGXFSZ is ignored instead
// of killing the process); the previous limit and signal action come back
// when it is destroyed.
#pragma once

#include <signal.h>
#include <sys/resource.h>

namespace brindle::testing {

class FileSizeLimit {
 public:
  explicit FileSizeLimit(rlim_t limit) {
    ok_ = ::getrlimit(RLIMIT_FSIZE, &saved_) == 0;
    old_handler_ = ::signal(SIGXFSZ, SIG_IGN);
    rlimit lowered = saved_;
    lowered.rlim_cur = limit;
    ok_ = ok_ && ::setrlimit(RLIMIT_FSIZE, &lowered) == 0;
  }
  ~FileSizeLimit() {
    ::setrlimit(RLIMIT_FSIZE, &saved_);
    ::signal(SIGXFSZ, old_handler_);
  }
  FileSizeLimit(const FileSizeLimit&) = delete;
  FileSizeLimit& operator=(const FileSizeLimit&) = delete;

  bool ok() const { return ok_; }

 private:
  rlimit saved_{};
  sighandler_t old_handler_;
  bool ok_;
};

}  // namespace brindle::testing
