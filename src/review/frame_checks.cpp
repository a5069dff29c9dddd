#include "review/frame_checks.hpp"

#include <algorithm>

#include "common/errors.hpp"
#include "measures/intersection.hpp"
#include "measures/overlap.hpp"

namespace hm::review {

namespace {

// Prepared on the calling thread: the walk examines one frame at a time, and
// starting workers for each frame measured slower than one reader on busy cores.
std::vector<PreparedMask> prepare_checked(const std::vector<MaskView>& masks, const char* what) {
  for (const auto& m : masks) require_same_size(masks.front(), m, what);
  std::vector<PreparedMask> out;
  out.reserve(masks.size());
  for (const auto& m : masks) out.push_back(prepare(m));
  return out;
}

std::vector<double> areas_of(const std::vector<PreparedMask>& masks) {
  std::vector<double> areas;
  areas.reserve(masks.size());
  for (const auto& p : masks) areas.push_back(static_cast<double>(p.area));
  return areas;
}

}  // namespace

LastFrameVerdict check_last_frame(const std::vector<MaskView>& masks, double min_area,
                                  std::int64_t n_track) {
  const auto prepared = prepare_checked(masks, "masks_dict");
  std::int64_t n_valid = 0;
  for (const auto& p : prepared) {
    if (!(static_cast<double>(p.area) > min_area)) return LastFrameVerdict::small_area;
  }
  for (const auto& p : prepared) n_valid += p.area > 0 ? 1 : 0;
  if (n_valid < n_track) return LastFrameVerdict::too_few_masks;
  // The coverage table only matters once the cheaper tests have passed.
  const auto table = measures::intersection_table(prepared, areas_of(prepared));
  for (double cell : table)
    if (!(cell < 50.0)) return LastFrameVerdict::overlap;
  return LastFrameVerdict::qualifies;
}

MatchVerdict check_new_masks(const std::vector<MaskView>& masks, std::int64_t n_track,
                             double min_area) {
  const auto prepared = prepare_checked(masks, "masks");
  const auto table = measures::intersection_table(prepared, areas_of(prepared));
  for (double cell : table)
    if (!(cell <= 10.0)) return MatchVerdict::overlap;
  if (static_cast<std::int64_t>(masks.size()) != n_track) return MatchVerdict::wrong_count;
  for (const auto& p : prepared)
    if (!(static_cast<double>(p.area) >= min_area)) return MatchVerdict::small_area;
  return MatchVerdict::accepted;
}

double box_iou(const std::array<double, 4>& a, const std::array<double, 4>& b) {
  const double xa = std::max(a[0], b[0]), ya = std::max(a[1], b[1]);
  const double xb = std::min(a[2], b[2]), yb = std::min(a[3], b[3]);
  const double inter = std::max(0.0, xb - xa) * std::max(0.0, yb - ya);
  const double area_a = (a[2] - a[0]) * (a[3] - a[1]);
  const double area_b = (b[2] - b[0]) * (b[3] - b[1]);
  return inter / (area_a + area_b - inter + 1e-06);
}

PairedIou paired_iou(const std::vector<PreparedMask>& old_masks,
                     const std::vector<PreparedMask>& new_masks) {
  if (old_masks.size() != new_masks.size())
    throw ValueError("paired IoU: the old and new frames must hold the same number of masks");
  const std::size_t n = old_masks.size();
  PairedIou out;
  out.mask.reserve(n);
  out.box.reserve(n);
  auto box_of = [](const PreparedMask& p) -> std::array<double, 4> {
    if (p.box.empty) return {0, 0, 0, 0};
    return {static_cast<double>(p.box.x1), static_cast<double>(p.box.y1),
            static_cast<double>(p.box.x2), static_cast<double>(p.box.y2)};
  };
  for (std::size_t k = 0; k < n; ++k) {
    const PreparedMask& o = old_masks[k];
    const PreparedMask& w = new_masks[k];
    const double both = static_cast<double>(count_both(o, w));
    const double either = static_cast<double>(count_either(o, w));
    out.mask.push_back(both / (either + 1e-06));
    out.box.push_back(box_iou(box_of(o), box_of(w)));
  }
  return out;
}

PairedIou paired_iou(const std::vector<MaskView>& old_masks,
                     const std::vector<MaskView>& new_masks) {
  if (old_masks.size() != new_masks.size())
    throw ValueError("paired IoU: the old and new frames must hold the same number of masks");
  const auto prepared = measures::prepare_all(old_masks, new_masks, "masks");
  const auto split = prepared.begin() + static_cast<std::ptrdiff_t>(old_masks.size());
  return paired_iou(std::vector<PreparedMask>(prepared.begin(), split),
                    std::vector<PreparedMask>(split, prepared.end()));
}

}  // namespace hm::review
