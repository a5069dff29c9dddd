#include "measures/centroid.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <opencv2/imgproc.hpp>

#include "common/errors.hpp"
#include "common/parallel.hpp"

namespace hm::measures {

namespace {

// The weighted sums of one pass over the mask: each row with content is summed
// over its span of non-zero elements (which holds every weighted one) while it is
// still in cache.
template <typename T>
RawMoments plane_moments(const MaskView& view) {
  const PlaneView<T> m = view.plane<T>();
  std::int64_t m00 = 0, m10 = 0, m01 = 0;
  for (std::int64_t r = 0; r < m.rows; ++r) {
    const RowSpan span = row_span(view, r);
    if (span.first > span.last) continue;
    const T* p = m.row(r);
    std::int64_t row_sum = 0, row_x = 0;
    // Per-row sums fit 32 bits while width * width * 255 does, which lets the
    // compiler keep them in wide vector lanes.
    if (span.last < 2900) {
      std::int32_t s = 0, sx = 0;
      for (auto c = static_cast<std::int32_t>(span.first); c <= span.last; ++c) {
        const std::int32_t w = byte_value(p[c]);
        s += w;
        sx += w * c;
      }
      row_sum = s;
      row_x = sx;
    } else {
      for (std::int64_t c = span.first; c <= span.last; ++c) {
        const std::int64_t w = byte_value(p[c]);
        row_sum += w;
        row_x += w * c;
      }
    }
    m00 += row_sum;
    m10 += row_x;
    m01 += row_sum * r;
  }
  RawMoments out;
  out.m00 = static_cast<double>(m00);
  out.m10 = static_cast<double>(m10);
  out.m01 = static_cast<double>(m01);
  return out;
}

}  // namespace

RawMoments pixel_moments(const MaskView& m) {
  if (m.empty()) return {};
  switch (m.element) {
    case Element::f32:
      return plane_moments<float>(m);
    case Element::f64:
      return plane_moments<double>(m);
    case Element::bytes:
      break;
  }
  return plane_moments<std::uint8_t>(m);
}

Centroid pixel_centroid(const MaskView& m) {
  const RawMoments mo = pixel_moments(m);
  if (mo.m00 == 0) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    return {nan, nan};
  }
  return {mo.m01 / mo.m00, mo.m10 / mo.m00};
}

std::vector<double> centroid_similarity(const std::vector<MaskView>& masks_new,
                                        const std::vector<MaskView>& masks_old) {
  if (masks_new.empty() || masks_old.empty())
    throw ValueError("centroid distance needs at least one mask on each side, got " +
                     std::to_string(masks_new.size()) + " new and " +
                     std::to_string(masks_old.size()) + " old");
  const size_t n = masks_new.size(), k = masks_old.size();
  std::vector<MaskView> all(masks_new);
  all.insert(all.end(), masks_old.begin(), masks_old.end());
  std::vector<Centroid> centroids(all.size());
  parallel_for(all.size(), threads_for_bytes(bytes_of(all)),
               [&](size_t i) { centroids[i] = pixel_centroid(all[i]); });
  const Centroid* cn = centroids.data();
  const Centroid* co = centroids.data() + n;

  std::vector<double> d(n * k);
  double max_valid = std::numeric_limits<double>::quiet_NaN();
  for (size_t i = 0; i < n; ++i) {
    for (size_t j = 0; j < k; ++j) {
      const double dr = cn[i].row - co[j].row, dc = cn[i].col - co[j].col;
      const double v = std::sqrt(dr * dr + dc * dc);
      d[i * k + j] = v;
      if (!std::isnan(v) && (std::isnan(max_valid) || v > max_valid)) max_valid = v;
    }
  }
  double max_dist = std::numeric_limits<double>::lowest();
  for (double& v : d) {
    if (std::isnan(v)) v = max_valid + 1.0;
    max_dist = std::isnan(v) || std::isnan(max_dist) ? std::numeric_limits<double>::quiet_NaN()
                                                     : std::max(max_dist, v);
  }
  for (double& v : d) v = 1.0 - v / (max_dist + 1e-06);
  return d;
}

std::optional<std::pair<int, int>> largest_contour_centroid(const MaskView& m) {
  const TightBox box = tight_box(m);
  if (box.empty) return std::nullopt;
  // Contours are traced on the tight box only (the tracer pads the image with
  // zeros itself) and shifted back, so the points equal those of a whole-frame trace.
  const cv::Rect roi(static_cast<int>(box.x1), static_cast<int>(box.y1),
                     static_cast<int>(box.x2 - box.x1 + 1), static_cast<int>(box.y2 - box.y1 + 1));
  cv::Mat bin;
  cv::compare(m.as_mat()(roi), 0, bin, cv::CMP_NE);
  std::vector<std::vector<cv::Point>> contours;
  cv::findContours(bin, contours, cv::RETR_EXTERNAL, cv::CHAIN_APPROX_SIMPLE, roi.tl());
  if (contours.empty()) return std::nullopt;
  size_t best = 0;
  double best_area = -1;
  for (size_t i = 0; i < contours.size(); ++i) {
    const double a = cv::contourArea(contours[i]);
    if (a > best_area) {
      best_area = a;
      best = i;
    }
  }
  const cv::Moments mo = cv::moments(contours[best]);
  if (mo.m00 == 0) return std::nullopt;
  return std::make_pair(static_cast<int>(mo.m10 / mo.m00), static_cast<int>(mo.m01 / mo.m00));
}

}  // namespace hm::measures
