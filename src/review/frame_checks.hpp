// Whole-frame tests on a set of masks: whether a finished video's frame can seed
// the next video, and whether the masks found on the next video's frame can be
// accepted. Both look at each mask's area and at the pairwise coverage table.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "common/mask.hpp"

namespace hm::review {

enum class LastFrameVerdict { qualifies, small_area, too_few_masks, overlap };

// The tests in order, stopping at the first that fails: every area strictly above
// `min_area`, at least `n_track` non-empty masks, every coverage strictly below
// 50 percent. ValueError when the masks differ in size.
LastFrameVerdict check_last_frame(const std::vector<MaskView>& masks, double min_area,
                                  std::int64_t n_track);

enum class MatchVerdict { accepted, overlap, wrong_count, small_area };

// The tests in order, stopping at the first that fails: every coverage at most 10
// percent, exactly `n_track` masks, every area at least `min_area`.
MatchVerdict check_new_masks(const std::vector<MaskView>& masks, std::int64_t n_track,
                             double min_area);

// Intersection over union of two x1, y1, x2, y2 boxes with no pixel added to
// widths and heights, and 1e-06 added to the denominator.
double box_iou(const std::array<double, 4>& a, const std::array<double, 4>& b);

// Per position k: the IoU of old[k] with new[k] as masks (1e-06 added to the
// union) and as tight boxes. ValueError when the lists differ in length or any
// two masks differ in size.
struct PairedIou {
  std::vector<double> mask;
  std::vector<double> box;
};
PairedIou paired_iou(const std::vector<MaskView>& old_masks,
                     const std::vector<MaskView>& new_masks);
// The same on masks already prepared, all of one size.
PairedIou paired_iou(const std::vector<PreparedMask>& old_masks,
                     const std::vector<PreparedMask>& new_masks);

}  // namespace hm::review
