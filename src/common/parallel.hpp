// Independent work items run on a few threads.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

namespace hm {

// Threads worth starting for work that reads `bytes` of memory: reading
// frame-sized masks is limited by memory bandwidth per core, so two or more
// readers finish sooner, but below a few megabytes starting them costs more.
inline unsigned threads_for_bytes(std::int64_t bytes) {
  constexpr std::int64_t kMinBytes = 8 << 20;
  if (bytes < kMinBytes) return 1;
  return std::max(1u, std::min(4u, std::thread::hardware_concurrency()));
}

// Calls fn(i) once for every i in [0, n) on up to `threads` threads, the calling
// one included. `fn` must not touch shared state other than its own output slot.
// When calls throw, the exception of the lowest i is rethrown, as a serial loop
// would raise it, and no i above a failed one is started. When no further thread
// can be started, those already running do the work.
template <typename Fn>
void parallel_for(std::size_t n, unsigned threads, Fn&& fn) {
  const std::size_t workers = std::min<std::size_t>(std::max(threads, 1u), n);
  if (workers < 2) {
    for (std::size_t i = 0; i < n; ++i) fn(i);
    return;
  }
  std::atomic<std::size_t> next{0};
  std::atomic<std::size_t> first_failure{n};
  std::mutex error_lock;
  std::exception_ptr error;
  auto run = [&] {
    for (std::size_t i; (i = next.fetch_add(1)) < n;) {
      if (i > first_failure.load()) break;
      try {
        fn(i);
      } catch (...) {
        std::lock_guard<std::mutex> lock(error_lock);
        if (i < first_failure.load()) {
          first_failure.store(i);
          error = std::current_exception();
        }
      }
    }
  };
  std::vector<std::thread> pool;
  for (std::size_t t = 1; t < workers; ++t) {
    try {
      pool.emplace_back(run);
    } catch (const std::system_error&) {
      break;
    }
  }
  run();
  for (auto& t : pool) t.join();
  if (error) std::rethrow_exception(error);
}

}  // namespace hm
