// Outlines of masks as annotation files store them.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "common/mask.hpp"

namespace hm::annotation {

// One mask's outline. `box` bounds its pixels greater than 0 as x, y, width,
// height (all 0 when there are none). `polygons` holds one text per outer outline:
// the label, then x y pairs naming pixel centres as fractions of the mask's size
// ((x + 0.5) / width, 8 decimals), all separated by single spaces. An outline of
// one or two points is written as a thin triangle, so that a sliver still has a
// polygon.
struct MaskOutline {
  std::array<std::int64_t, 4> box{};
  std::vector<std::string> polygons;
};

MaskOutline mask_outline(const MaskView& mask, std::string_view label);
// The outlines of a frame's masks, found on a few threads.
std::vector<MaskOutline> mask_outlines(const std::vector<MaskView>& masks, std::string_view label);

}  // namespace hm::annotation
