// Masks kept as their runs while the frames before theirs are refined.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

#include "common/runs.hpp"
#include "common/zero_buffer.hpp"

namespace hm::refine {

// One held mask: its runs in raster order, its size, and the block they live in.
struct HeldRuns {
  std::shared_ptr<const ZeroBuffer> block;
  std::span<const Run> runs;
  std::int64_t rows = 0, cols = 0;
};

// Copies runs into blocks mapped straight from the system. Thousands of small
// allocations on the C heap that outlive the frame-sized buffers freed around them
// would keep the heap from giving those buffers' memory back (it shrinks only from
// its top): held frames would cost far more than their runs. A block goes back once
// no held mask and no store uses it.
class RunStore {
 public:
  HeldRuns hold(const Runs& runs);

 private:
  std::shared_ptr<ZeroBuffer> block_;
  std::size_t used_ = 0;  // bytes of block_ handed out
};

}  // namespace hm::refine
