// The mask and box work of the start-frame search: which detections have a
// plausible size, and which of the segmented boxes survive the overlap rule.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <vector>

#include "common/mask.hpp"

namespace hm::detect {

// Largest box area, in square pixels, accepted for a box whose top edge lies in
// the upper half of the frame (farther from the camera, so smaller) ...
inline constexpr double kUpperHalfAreaLimit = 1'500'000.0;
// ... and in the lower half.
inline constexpr double kLowerHalfAreaLimit = 4'000'000.0;
// Coverage, in percent of one mask's area, above which two boxes count as one animal.
inline constexpr double kOverlapLimitPercent = 8.0;

// One flag per box (rows of x1, y1, x2, y2): true when its area, (x2 - x1) * (y2 - y1),
// is strictly below the limit of the half of the frame its top edge lies in. A top
// edge exactly at half the height belongs to the lower half. NaN anywhere drops the box.
// The area is computed in the boxes' own precision, as the detector delivered them.
template <typename T>
std::vector<std::uint8_t> plausible_size(const T* boxes, std::size_t count, double image_height);

struct OverlapOutcome {
  std::vector<double> areas;          // set pixels per mask
  std::vector<double> table;          // count x count coverage table, row-major, percent
  std::vector<std::int64_t> removed;  // distinct positions, in the order first marked
  std::vector<std::int64_t> kept;     // ascending positions not removed
};

// Marks, for every table cell above `limit_percent` (row before column, both in
// position order), the box of the pair with the lower score; with equal scores
// (or a NaN) the row box. The table is built once and never updated, so a box
// already marked can still mark another.
OverlapOutcome drop_overlaps(const std::vector<PreparedMask>& masks,
                             const std::vector<double>& scores,
                             double limit_percent = kOverlapLimitPercent);

struct RowRange {
  std::int64_t first = 0;
  std::int64_t last = -1;
};

// Masks that arrive as planes of reals (non-zero = set). Only the rows and
// columns inside each mask's tight box are turned into bytes; the rest of each
// byte plane is left to the allocator's zero pages, so a small animal in a large
// frame costs one read of its plane and little more.
class PlaneMasks {
 public:
  template <typename T>
  static PlaneMasks from_planes(const T* data, std::int64_t count, std::int64_t rows,
                                std::int64_t cols);

  const std::vector<PreparedMask>& prepared() const { return prepared_; }
  // First and last row of each plane holding any non-zero bit pattern (-0.0
  // included); first > last for a plane of zero bits only.
  const std::vector<RowRange>& raw_rows() const { return raw_rows_; }

 private:
  struct FreeBytes {
    void operator()(std::uint8_t* p) const { std::free(p); }
  };
  std::vector<std::unique_ptr<std::uint8_t, FreeBytes>> buffers_;
  std::vector<PreparedMask> prepared_;
  std::vector<RowRange> raw_rows_;
};

// Copies planes `keys` (positions among `count` planes of rows x cols reals) one
// after another into `out`, which must hold zeros already (fresh zero pages):
// only rows holding a non-zero bit pattern are written, so the copy of sparse
// masks costs one read of each kept plane and little writing. With `raw_rows`
// (one range per plane, as PlaneMasks::raw_rows gives for the same data) the
// planes are not read again: only the rows in range are copied. IndexError for a
// position outside the planes, ValueError for ranges that do not fit.
template <typename T>
void take_planes(const T* data, std::int64_t count, std::int64_t rows, std::int64_t cols,
                 const std::vector<std::int64_t>& keys, T* out,
                 const std::vector<RowRange>* raw_rows = nullptr);

extern template void take_planes<float>(const float*, std::int64_t, std::int64_t, std::int64_t,
                                        const std::vector<std::int64_t>&, float*,
                                        const std::vector<RowRange>*);
extern template void take_planes<double>(const double*, std::int64_t, std::int64_t, std::int64_t,
                                         const std::vector<std::int64_t>&, double*,
                                         const std::vector<RowRange>*);
extern template std::vector<std::uint8_t> plausible_size<float>(const float*, std::size_t, double);
extern template std::vector<std::uint8_t> plausible_size<double>(const double*, std::size_t,
                                                                 double);
extern template PlaneMasks PlaneMasks::from_planes<float>(const float*, std::int64_t, std::int64_t,
                                                          std::int64_t);
extern template PlaneMasks PlaneMasks::from_planes<double>(const double*, std::int64_t,
                                                           std::int64_t, std::int64_t);

}  // namespace hm::detect
