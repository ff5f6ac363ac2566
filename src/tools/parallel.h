// Running independent pieces of a tool's work side by side.
//
// The tools module may use threads of its own (the store's module does not):
// they live only for the call that made them, touch no Python object, and
// are joined before the call returns.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <exception>
#include <system_error>
#include <thread>
#include <vector>

namespace brindle::tools {

// Calls work(i) once for every i below n, on up to `threads` threads with
// the caller's among them, and returns when all calls are done. An exception
// from work is rethrown here (the one of the lowest i) after every thread has
// stopped. When no thread can be started the caller does all the work.
template <class Work>
void for_each_index(std::size_t n, unsigned threads, Work&& work) {
  std::atomic<std::size_t> next{0};
  std::vector<std::exception_ptr> errors(n);
  auto run = [&] {
    for (std::size_t i; (i = next.fetch_add(1, std::memory_order_relaxed)) < n;) {
      try {
        work(i);
      } catch (...) {
        errors[i] = std::current_exception();
      }
    }
  };
  {
    std::vector<std::jthread> helpers;
    const std::size_t wanted = std::min<std::size_t>(n, std::max(threads, 1u)) - (n > 0 ? 1 : 0);
    try {
      helpers.reserve(wanted);
      for (std::size_t t = 0; t < wanted; ++t) helpers.emplace_back(run);
    } catch (const std::system_error&) {
      // Fewer threads than hoped; those started and this one share the rest.
    } catch (const std::bad_alloc&) {
    }
    run();
  }
  for (const std::exception_ptr& error : errors) {
    if (error) std::rethrow_exception(error);
  }
}

// Threads for work that reads whole files: the cores there are, up to four.
inline unsigned file_scan_threads() noexcept { return std::clamp(std::thread::hardware_concurrency(), 1u, 4u); }

}  // namespace brindle::tools
