#include "measures/intersection.hpp"

#include <string>

#include "common/errors.hpp"
#include "measures/overlap.hpp"

namespace hm::measures {

double coverage_percent(std::int64_t intersection, double area) {
  if (!(area > 0)) return 0.0;
  return (static_cast<double>(intersection) / area) * 100.0;
}

std::vector<double> intersection_table(const std::vector<PreparedMask>& masks,
                                       const std::vector<double>& areas) {
  const size_t n = masks.size();
  if (areas.size() != n) throw ValueError("intersection table: one area per mask is required");
  for (size_t i = 1; i < n; ++i)
    require_same_size(masks[0].view, masks[i].view, "intersection table");
  std::vector<double> table(n * n, 0.0);
  for (size_t i = 0; i < n; ++i) {
    if (areas[i] <= 1) continue;
    for (size_t j = 0; j < i; ++j) {
      const std::int64_t both = count_both(masks[i], masks[j]);
      table[i * n + j] = coverage_percent(both, areas[i]);
      table[j * n + i] = coverage_percent(both, areas[j]);
    }
  }
  return table;
}

std::vector<double> intersection_table(const std::vector<MaskView>& masks,
                                       const std::optional<std::vector<double>>& areas) {
  for (const auto& m : masks) require_same_size(masks.front(), m, "intersection table");
  const std::vector<PreparedMask> prepared = prepare_each(masks);
  if (areas) return intersection_table(prepared, *areas);
  std::vector<double> own;
  own.reserve(prepared.size());
  for (const auto& p : prepared) own.push_back(static_cast<double>(p.area));
  return intersection_table(prepared, own);
}

}  // namespace hm::measures
