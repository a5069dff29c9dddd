#include "measures/overlap.hpp"

#include <algorithm>

#include "common/parallel.hpp"
#include "measures/intersection.hpp"

namespace hm::measures {

std::optional<double> box_iou(const std::array<double, 4>& a, const std::array<double, 4>& b) {
  const double xa = std::max(a[0], b[0]), ya = std::max(a[1], b[1]);
  const double xb = std::min(a[2], b[2]), yb = std::min(a[3], b[3]);
  const double inter = (xa < xb && ya < yb) ? (xb - xa) * (yb - ya) : 0.0;
  const double area_a = (a[2] - a[0]) * (a[3] - a[1]);
  const double area_b = (b[2] - b[0]) * (b[3] - b[1]);
  const double uni = area_a + area_b - inter;
  if (!(uni > 0)) return std::nullopt;
  return inter / uni;
}

std::int64_t mask_intersection(const MaskView& a, const MaskView& b) {
  require_same_size(a, b, "mask intersection");
  return count_both(prepare(a), prepare(b));
}

std::optional<double> mask_coverage(const MaskView& a, const MaskView& b) {
  require_same_size(a, b, "mask intersection");
  const PreparedMask pa = prepare(a);
  if (pa.area <= 0) return std::nullopt;
  return coverage_percent(count_both(pa, prepare(b)), static_cast<double>(pa.area));
}

std::vector<PreparedMask> prepare_each(const std::vector<MaskView>& masks) {
  std::vector<PreparedMask> out(masks.size());
  parallel_for(masks.size(), threads_for_bytes(bytes_of(masks)),
               [&](size_t i) { out[i] = prepare(masks[i]); });
  return out;
}

std::vector<PreparedMask> prepare_all(const std::vector<MaskView>& first,
                                      const std::vector<MaskView>& second, const char* what) {
  std::vector<MaskView> all(first);
  all.insert(all.end(), second.begin(), second.end());
  for (const auto& m : all) require_same_size(all.front(), m, what);
  return prepare_each(all);
}

std::vector<double> iou_matrix(const std::vector<MaskView>& masks_new,
                               const std::vector<MaskView>& masks_old) {
  const std::vector<PreparedMask> all = prepare_all(masks_new, masks_old, "mask IoU");
  const size_t n = masks_new.size(), m = masks_old.size();
  std::vector<double> out(n * m, 0.0);
  for (size_t i = 0; i < n; ++i) {
    for (size_t j = 0; j < m; ++j) {
      const PreparedMask& a = all[i];
      const PreparedMask& b = all[n + j];
      const std::int64_t both = count_both(a, b);
      const std::int64_t either = a.area + b.area - both;
      out[i * m + j] = static_cast<double>(both) / (static_cast<double>(either) + 1e-06);
    }
  }
  return out;
}

}  // namespace hm::measures
