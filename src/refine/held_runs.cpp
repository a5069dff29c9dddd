#include "refine/held_runs.hpp"

#include <algorithm>
#include <cstring>

namespace hm::refine {

namespace {

// Large enough to be mapped rather than taken from the heap, and to hold the runs of
// a few hundred typical masks.
constexpr std::size_t kBlockBytes = std::size_t{1} << 20;

}  // namespace

HeldRuns RunStore::hold(const Runs& runs) {
  HeldRuns held;
  held.rows = runs.rows;
  held.cols = runs.cols;
  const std::size_t bytes = runs.runs.size() * sizeof(Run);
  if (bytes == 0) return held;
  if (!block_ || block_->size() - used_ < bytes) {
    block_ = std::make_shared<ZeroBuffer>(std::max(kBlockBytes, bytes));
    used_ = 0;
  }
  Run* at = reinterpret_cast<Run*>(block_->data() + used_);
  std::memcpy(at, runs.runs.data(), bytes);
  used_ += bytes;
  held.block = block_;
  held.runs = std::span<const Run>(at, runs.runs.size());
  return held;
}

}  // namespace hm::refine
