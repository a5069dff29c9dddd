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

// Copies the masks at `keys` one after another into `out`, as contiguous planes of
// their element type; `out` must hold zeros already (fresh zero pages). Only each
// mask's stored rows are written, so copying a small animal of a large frame
// costs little and the copy is exact bit for bit. With `out_buffer` (the buffer
// `out` lies in) each plane's rows are mapped in with one call just before they
// are copied, on the thread that copies them. IndexError for a position outside
// the masks; ValueError when the masks differ in size or element type.
void take_masks(const std::vector<PreparedMask>& masks, const std::vector<std::int64_t>& keys,
                std::uint8_t* out, ZeroBuffer* out_buffer = nullptr);

extern template std::vector<std::uint8_t> plausible_size<float>(const float*, std::size_t, double);
extern template std::vector<std::uint8_t> plausible_size<double>(const double*, std::size_t,
                                                                 double);

}  // namespace hm::detect
