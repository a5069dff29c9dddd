// Masks kept as their runs while the frames before theirs are refined.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "common/runs.hpp"
#include "common/zero_buffer.hpp"

namespace hm::refine {

// A mask as it is held: the shape it came in and its runs.
struct HeldMask {
  std::vector<std::int64_t> shape;
  Runs runs;
};

// One frame's masks, packed into a block of a RunStore. Each row's runs are coded
// against the row above, in variable-length integers: the outline of an animal moves
// a few pixels from row to row, so a row costs about three bytes, a quarter of its
// runs spelled out.
struct HeldFrame {
  std::shared_ptr<const ZeroBuffer> block;
  std::span<const std::uint8_t> bytes;
  std::size_t count = 0;  // masks

  // The mask at `index` read back (IndexError beyond `count`; ValueError for bytes that
  // do not read back as runs inside the mask).
  HeldMask mask(std::size_t index) const;
};

// A frame's masks packed one after another, each as soon as it is read, so that only
// one mask's runs are spelled out at a time.
class FramePacker {
 public:
  // ValueError for a shape with a negative side, or runs outside the mask or out of
  // raster order.
  void add(const std::vector<std::int64_t>& shape, const Runs& runs);

 private:
  friend class RunStore;
  std::vector<std::uint8_t> bytes_, body_;
  std::size_t count_ = 0;
};

// Holds packed frames in blocks mapped straight from the system. Thousands of small
// allocations on the C heap that outlive the frame-sized buffers freed around them
// would keep the heap from giving those buffers' memory back (it shrinks only from
// its top): held frames would cost far more than their runs. A block goes back once
// no held frame and no store uses it.
class RunStore {
 public:
  HeldFrame hold(const FramePacker& frame);

 private:
  std::shared_ptr<ZeroBuffer> block_;
  std::size_t used_ = 0;  // bytes of block_ handed out
};

}  // namespace hm::refine
