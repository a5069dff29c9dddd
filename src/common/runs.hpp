// A mask as runs of set pixels, row by row: the form in which masks are clipped,
// labelled and painted without visiting their empty pixels.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "common/mask.hpp"

namespace hm {

// A horizontal run of set pixels in one row, columns x1..x2 inclusive.
struct Run {
  std::int32_t row = 0, x1 = 0, x2 = 0;
};

struct Runs {
  std::int64_t rows = 0, cols = 0;
  std::vector<Run> runs;  // raster order
  // rows + 1 offsets into `runs`: row r holds runs [row_start[r], row_start[r + 1]).
  // Left empty for a mask without pixels.
  std::vector<std::size_t> row_start;

  bool empty() const { return runs.empty(); }
};

// The runs of the non-zero elements of a mask, read in one pass. ValueError
// when a side does not fit 32 bits.
Runs runs_of(const MaskView& m);

}  // namespace hm
