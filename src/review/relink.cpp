#include "review/relink.hpp"

#include <cmath>

#include "common/errors.hpp"
#include "measures/centroid.hpp"
#include "measures/overlap.hpp"

namespace hm::review {

PositionMeasures position_measures(const std::vector<MaskView>& new_set,
                                   const std::vector<MaskView>& new_weight,
                                   const std::vector<MaskView>& previous_set,
                                   const std::vector<MaskView>& previous_weight) {
  if (new_set.empty() || previous_set.empty())
    throw ValueError("re-linking needs at least one new and one previous mask");
  PositionMeasures out;
  out.iou = measures::iou_matrix(new_set, previous_set);
  std::vector<measures::Centroid> previous_centroids;
  previous_centroids.reserve(previous_weight.size());
  for (size_t j = 0; j < previous_set.size(); ++j) {
    previous_centroids.push_back(measures::pixel_centroid(previous_weight[j]));
    out.previous_area.push_back(static_cast<double>(count_set(previous_set[j])));
  }
  out.distance.reserve(new_weight.size() * previous_centroids.size());
  for (const MaskView& m : new_weight) {
    const measures::Centroid c = measures::pixel_centroid(m);
    for (const measures::Centroid& p : previous_centroids)
      out.distance.push_back(std::hypot(c.row - p.row, c.col - p.col));
  }
  return out;
}

}  // namespace hm::review
