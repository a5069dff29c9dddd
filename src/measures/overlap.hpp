// Box IoU, one-sided mask coverage and the mask IoU matrix.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <vector>

#include "common/mask.hpp"

namespace hm::measures {

// Box as x1, y1, x2, y2 (no 1 added to widths). Boxes that only touch do not
// intersect. nullopt when the union is not positive.
std::optional<double> box_iou(const std::array<double, 4>& a, const std::array<double, 4>& b);

// Share, in percent, of `a`'s set pixels that `b` also sets; nullopt when `a` is empty.
std::optional<double> mask_coverage(const MaskView& a, const MaskView& b);

// Pixels set in both masks (same size required).
std::int64_t mask_intersection(const MaskView& a, const MaskView& b);

// rows = masks_new, columns = masks_old; cell = |a ∩ b| / (|a ∪ b| + 1e-06).
// Each mask's tight box and area are computed once. All masks must have one size.
std::vector<double> iou_matrix(const std::vector<MaskView>& masks_new,
                               const std::vector<MaskView>& masks_old);

// Every mask's tight box and area, computed once (on several threads for large masks).
std::vector<PreparedMask> prepare_each(const std::vector<MaskView>& masks);

// Every mask prepared once, all required to share the first mask's size.
std::vector<PreparedMask> prepare_all(const std::vector<MaskView>& first,
                                      const std::vector<MaskView>& second, const char* what);

}  // namespace hm::measures
