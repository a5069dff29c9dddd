// What re-linking by position weighs: where each animal found on a new start frame
// lies against each animal of the previous link's last frame.
#pragma once

#include <vector>

#include "common/mask.hpp"

namespace hm::review {

struct PositionMeasures {
  std::vector<double> iou;            // new x previous, as the IoU matrix measures it
  std::vector<double> distance;       // new x previous, pixels between the mask centroids;
                                      // NaN where either mask has no centroid
  std::vector<double> previous_area;  // set pixels of each previous mask
};

// Masks are read under two rules: `*_set` (non-zero is set) for the IoU and the
// areas, `*_weight` (the byte value is the pixel's weight) for the centroids, as the
// centroid similarity reads them; each pair of lists views the same masks. ValueError
// when the masks differ in size or a list is empty.
PositionMeasures position_measures(const std::vector<MaskView>& new_set,
                                   const std::vector<MaskView>& new_weight,
                                   const std::vector<MaskView>& previous_set,
                                   const std::vector<MaskView>& previous_weight);

}  // namespace hm::review
