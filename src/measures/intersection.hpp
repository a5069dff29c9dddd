// The pairwise intersection table: the share, in percent, of one mask's given
// area that another mask covers.
#pragma once

#include <cstddef>
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

// The same on n masks held in any form: count_both(i, j) gives the positions set
// in both mask i and mask j.
template <typename CountBoth>
std::vector<double> intersection_table(std::size_t n, const std::vector<double>& areas,
                                       CountBoth&& count_both) {
  std::vector<double> table(n * n, 0.0);
  for (std::size_t i = 0; i < n; ++i) {
    if (areas[i] <= 1) continue;
    for (std::size_t j = 0; j < i; ++j) {
      const std::int64_t both = count_both(i, j);
      table[i * n + j] = coverage_percent(both, areas[i]);
      table[j * n + i] = coverage_percent(both, areas[j]);
    }
  }
  return table;
}

}  // namespace hm::measures
