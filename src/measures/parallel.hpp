// Runs independent per-mask work on a few threads when the masks are large
// enough for the start-up cost to pay off. Reading frame-sized masks is limited
// by memory bandwidth per core, so two or more readers finish sooner.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <thread>
#include <vector>

namespace hm::measures {

// Calls fn(i) once for every i in [0, n). `fn` must not touch shared state other
// than its own output slot. The first exception thrown by any call is rethrown.
template <typename Fn>
void for_each_mask(size_t n, std::int64_t total_bytes, Fn&& fn) {
  constexpr std::int64_t kMinBytes = 8 << 20;
  const unsigned cores = std::max(1u, std::min(4u, std::thread::hardware_concurrency()));
  const size_t workers = std::min<size_t>(cores, n);
  if (workers < 2 || total_bytes < kMinBytes) {
    for (size_t i = 0; i < n; ++i) fn(i);
    return;
  }
  std::atomic<size_t> next{0};
  std::exception_ptr error;
  std::atomic<bool> failed{false};
  auto run = [&] {
    for (size_t i = next++; i < n && !failed; i = next++) {
      try {
        fn(i);
      } catch (...) {
        if (!failed.exchange(true)) error = std::current_exception();
      }
    }
  };
  std::vector<std::thread> pool;
  for (size_t t = 1; t < workers; ++t) pool.emplace_back(run);
  run();
  for (auto& t : pool) t.join();
  if (error) std::rethrow_exception(error);
}

}  // namespace hm::measures
