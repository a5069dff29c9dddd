// The mask and box work of the start-frame search: which detections have a
// plausible size, and which of the segmented boxes survive the overlap rule.
#pragma once

#include <cstdint>
#include <vector>

#include "common/mask.hpp"
#include "common/zero_buffer.hpp"

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

// Masks that arrive as planes of reals (non-zero = set), read in place: each
// plane is read once for its tight box, area and row span, and pairs are then
// counted on the reals inside the overlap of their boxes. Nothing is converted,
// so a small animal in a large frame costs one read of its plane. The planes
// must outlive this object.
class PlaneMasks {
 public:
  template <typename T>
  static PlaneMasks from_planes(const T* data, std::int64_t count, std::int64_t rows,
                                std::int64_t cols);

  std::size_t size() const { return boxes_.size(); }
  const std::vector<TightBox>& boxes() const { return boxes_; }
  // Elements that are non-zero (NaN included, -0.0 not) per plane.
  const std::vector<std::int64_t>& areas() const { return areas_; }
  // First and last row of each plane holding any non-zero bit pattern (-0.0
  // included); first > last for a plane of zero bits only.
  const std::vector<RowRange>& raw_rows() const { return raw_rows_; }
  // Positions set in both plane i and plane j.
  std::int64_t count_both(std::size_t i, std::size_t j) const;

 private:
  template <typename T>
  std::int64_t count_both_of(std::size_t i, std::size_t j) const;

  const void* data_ = nullptr;
  bool doubles_ = false;
  std::int64_t rows_ = 0, cols_ = 0;
  std::vector<TightBox> boxes_;
  std::vector<std::int64_t> areas_;
  std::vector<RowRange> raw_rows_;
};

// drop_overlaps on planes of reals.
OverlapOutcome drop_overlaps(const PlaneMasks& masks, const std::vector<double>& scores,
                             double limit_percent = kOverlapLimitPercent);

// Copies planes `keys` (positions among `count` planes of rows x cols reals) one
// after another into `out`, which must hold zeros already (fresh zero pages):
// only rows holding a non-zero bit pattern are written, so the copy of sparse
// masks costs one read of each kept plane and little writing. With `raw_rows`
// (one range per plane, as PlaneMasks::raw_rows gives for the same data) the
// planes are not read again: only the rows in range are copied. IndexError for a
// position outside the planes, ValueError for ranges that do not fit.
// With `out_buffer` (the buffer that `out` lies in) each plane's rows are mapped
// in with one call just before they are copied, on the thread that copies them.
template <typename T>
void take_planes(const T* data, std::int64_t count, std::int64_t rows, std::int64_t cols,
                 const std::vector<std::int64_t>& keys, T* out,
                 const std::vector<RowRange>* raw_rows = nullptr, ZeroBuffer* out_buffer = nullptr);

extern template void take_planes<float>(const float*, std::int64_t, std::int64_t, std::int64_t,
                                        const std::vector<std::int64_t>&, float*,
                                        const std::vector<RowRange>*, ZeroBuffer*);
extern template void take_planes<double>(const double*, std::int64_t, std::int64_t, std::int64_t,
                                         const std::vector<std::int64_t>&, double*,
                                         const std::vector<RowRange>*, ZeroBuffer*);
extern template std::vector<std::uint8_t> plausible_size<float>(const float*, std::size_t, double);
extern template std::vector<std::uint8_t> plausible_size<double>(const double*, std::size_t,
                                                                 double);
extern template PlaneMasks PlaneMasks::from_planes<float>(const float*, std::int64_t, std::int64_t,
                                                          std::int64_t);
extern template PlaneMasks PlaneMasks::from_planes<double>(const double*, std::int64_t,
                                                           std::int64_t, std::int64_t);

}  // namespace hm::detect
