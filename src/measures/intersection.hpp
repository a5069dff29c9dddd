// The pairwise intersection table: the share, in percent, of one mask's given
// area that another mask covers.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "common/mask.hpp"

namespace hm::measures {

// One coverage percentage: intersection / area * 100, or 0 when the area is not positive.
double coverage_percent(std::int64_t intersection, double area);

// n x n row-major table. Cell [i, j] is the percentage of mask i's area covered by
// mask j; each unordered pair is computed once. A pair is skipped when the later
// mask's (larger position) area is 1 or less. Without `areas`, each mask's own
// count of set pixels is its area. All masks must have one size.
std::vector<double> intersection_table(const std::vector<MaskView>& masks,
                                       const std::optional<std::vector<double>>& areas);

// The same on masks already prepared (tight box and area computed once).
std::vector<double> intersection_table(const std::vector<PreparedMask>& masks,
                                       const std::vector<double>& areas);

}  // namespace hm::measures
