// Centroid-based measures: the centroid similarity matrix and the centroids of
// masks' largest outer contours.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "common/mask.hpp"

namespace hm::measures {

// Spatial moments of order 0 and 1 of a mask cast to bytes, each pixel weighted
// by its byte value (byte_value). They are integer sums, so they equal the
// image-moment routine's values on the cast exactly (its double accumulators are
// exact below 2^53).
struct RawMoments {
  double m00 = 0, m10 = 0, m01 = 0;
};
RawMoments pixel_moments(const MaskView& m);

// (row, column) = (m01 / m00, m10 / m00); NaN, NaN when m00 is 0.
struct Centroid {
  double row, col;
};
Centroid pixel_centroid(const MaskView& m);

// rows = masks_new, columns = masks_old. Distances between centroids, pairs with
// an empty mask set to (largest real distance + 1), then 1 - d / (max + 1e-06).
// ValueError when either list is empty; all NaN when every pair has an empty mask.
std::vector<double> centroid_similarity(const std::vector<MaskView>& masks_new,
                                        const std::vector<MaskView>& masks_old);

// Centroid (x, y), truncated toward zero, of the largest outer contour (first
// among equal areas), from the contour's polygon moments; nullopt when the mask
// has no contour or that contour has zero area.
std::optional<std::pair<int, int>> largest_contour_centroid(const MaskView& m);

}  // namespace hm::measures
