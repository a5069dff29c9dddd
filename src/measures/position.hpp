// Where each mask of a frame lies: area, centroid of its set pixels and tight box.
#pragma once

#include <cstdint>
#include <vector>

#include "common/mask.hpp"

namespace hm::measures {

struct MaskPosition {
  std::int64_t area = 0;
  double cx = 0, cy = 0;  // mean column and row of the set pixels; NaN for an empty mask
  TightBox box;
};

// One position per mask; non-zero is set, every set pixel weighs one.
std::vector<MaskPosition> mask_positions(const std::vector<MaskView>& masks);

}  // namespace hm::measures
