#include "refine/refine.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numbers>
#include <numeric>
#include <opencv2/imgproc.hpp>

#include "common/errors.hpp"

namespace hm::refine {

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();

void extend(TightBox& box, std::int64_t x, std::int64_t y) {
  if (box.empty) {
    box = TightBox{false, x, y, x, y};
    return;
  }
  box.x1 = std::min(box.x1, x);
  box.x2 = std::max(box.x2, x);
  box.y1 = std::min(box.y1, y);
  box.y2 = std::max(box.y2, y);
}

// Outer contour vertices of the pixels of `box` for which is_set(row, col) holds.
// The region is copied into its own box with a zero margin, so a region touching
// the frame's edge is traced exactly as on the whole frame.
template <typename IsSet>
std::vector<cv::Point> outer_vertices(const TightBox& box, IsSet is_set) {
  if (box.empty) return {};
  const std::int64_t w = box.x2 - box.x1 + 1, h = box.y2 - box.y1 + 1;
  cv::Mat img = cv::Mat::zeros(static_cast<int>(h + 2), static_cast<int>(w + 2), CV_8U);
  for (std::int64_t r = 0; r < h; ++r) {
    std::uint8_t* dst = img.ptr<std::uint8_t>(static_cast<int>(r + 1)) + 1;
    for (std::int64_t c = 0; c < w; ++c) dst[c] = is_set(box.y1 + r, box.x1 + c) ? 1 : 0;
  }
  std::vector<std::vector<cv::Point>> contours;
  cv::findContours(img, contours, cv::RETR_EXTERNAL, cv::CHAIN_APPROX_SIMPLE,
                   cv::Point(static_cast<int>(box.x1 - 1), static_cast<int>(box.y1 - 1)));
  std::vector<cv::Point> out;
  for (const auto& c : contours) out.insert(out.end(), c.begin(), c.end());
  return out;
}

void require_int_size(std::int64_t rows, std::int64_t cols, const char* what) {
  constexpr std::int64_t kMax = std::numeric_limits<int>::max() - 4;
  if (rows > kMax || cols > kMax)
    throw ValueError(std::string(what) + ": the mask is too large (" + std::to_string(rows) +
                     " x " + std::to_string(cols) + ")");
}

double squared(std::int64_t v) { return static_cast<double>(v) * static_cast<double>(v); }

// Lower bound of the distance between any pixel of box a and any pixel of box b.
double box_gap(const TightBox& a, const TightBox& b) {
  const std::int64_t gx = std::max<std::int64_t>({0, b.x1 - a.x2, a.x1 - b.x2});
  const std::int64_t gy = std::max<std::int64_t>({0, b.y1 - a.y2, a.y1 - b.y2});
  return std::sqrt(squared(gx) + squared(gy));
}

}  // namespace

std::vector<cv::Point> contour_vertices(const MaskView& m) {
  require_int_size(m.rows, m.cols, "blob_shortest_distance");
  return outer_vertices(tight_box(m), [&](std::int64_t r, std::int64_t c) { return m.at(r, c); });
}

double vertex_distance(const std::vector<cv::Point>& a, const std::vector<cv::Point>& b) {
  if (a.empty() || b.empty()) return kInf;
  // Exact minimum of the squared distances (integers), with `b` sorted by x so
  // each vertex of `a` only visits the vertices whose x-gap alone can still win.
  std::vector<cv::Point> sorted(b);
  std::sort(sorted.begin(), sorted.end(),
            [](const cv::Point& p, const cv::Point& q) { return p.x < q.x; });
  std::int64_t best = std::numeric_limits<std::int64_t>::max();
  for (const cv::Point& p : a) {
    const auto mid = std::lower_bound(sorted.begin(), sorted.end(), p.x,
                                      [](const cv::Point& q, int x) { return q.x < x; });
    for (auto it = mid; it != sorted.end(); ++it) {
      const std::int64_t dx = std::int64_t{it->x} - p.x;
      if (dx * dx >= best) break;
      const std::int64_t dy = std::int64_t{it->y} - p.y;
      best = std::min(best, dx * dx + dy * dy);
    }
    for (auto it = mid; it != sorted.begin();) {
      --it;
      const std::int64_t dx = std::int64_t{p.x} - it->x;
      if (dx * dx >= best) break;
      const std::int64_t dy = std::int64_t{it->y} - p.y;
      best = std::min(best, dx * dx + dy * dy);
    }
  }
  // The square root of an exact integer, as the all-pairs distance matrix holds it.
  return std::sqrt(static_cast<double>(best));
}

double blob_shortest_distance(const MaskView& a, const MaskView& b) {
  return vertex_distance(contour_vertices(a), contour_vertices(b));
}

double point_distance(const Point2& a, const Point2& b) {
  const double dx = a.x - b.x, dy = a.y - b.y;
  return std::sqrt(dx * dx + dy * dy);
}

MainBlob choose_main_blob(const std::vector<double>& areas, const std::vector<Point2>& centroids,
                          const std::optional<Point2>& prev, const Settings& settings) {
  const std::int64_t n = static_cast<std::int64_t>(areas.size());
  if (n <= 1) throw ValueError("get_main_blob: the mask has no set pixel");
  if (centroids.size() != areas.size())
    throw ValueError("get_main_blob: one centroid per component is needed");
  std::vector<std::int64_t> order(static_cast<size_t>(n - 1));
  std::iota(order.begin(), order.end(), 1);
  // Stable: equal areas keep the lower label first.
  std::stable_sort(order.begin(), order.end(),
                   [&](std::int64_t a, std::int64_t b) { return areas[a] > areas[b]; });
  if (order.size() > 5) order.resize(5);

  MainBlob main;
  main.best = order.front();
  if (prev) {
    // First minimum wins; a NaN distance counts as the smallest, as arg-min has it.
    double best_d = point_distance(centroids[order.front()], *prev);
    for (size_t i = 1; i < order.size() && !std::isnan(best_d); ++i) {
      const double d = point_distance(centroids[order[i]], *prev);
      if (std::isnan(d) || d < best_d) {
        best_d = d;
        main.best = order[i];
      }
    }
  }
  const double main_area = areas[main.best];
  const double approx_radius = std::sqrt(main_area / std::numbers::pi);
  main.min_area_threshold = main_area * settings.min_area_ratio;
  const bool large = main_area >= 1000;
  const std::optional<double>& ratio = large ? settings.ratio_large : settings.ratio_small;
  if (!ratio)
    throw IndexError(std::string("max_distance_ratios has no item ") + (large ? "0" : "1"));
  main.max_distance_threshold = approx_radius * *ratio;
  return main;
}

std::vector<bool> keep_regions(const LabelView& labels, const std::vector<Region>& regions,
                               std::int32_t main_value, const TightBox& main_box,
                               double min_area_threshold, double max_distance_threshold,
                               const std::optional<Point2>& prev, double max_prev_dist) {
  std::vector<bool> kept(regions.size(), false);
  std::optional<std::vector<cv::Point>> main_vertices;
  auto vertices_of = [&](const TightBox& box, std::int32_t value) {
    return outer_vertices(box,
                          [&](std::int64_t r, std::int64_t c) { return labels.at(r, c) == value; });
  };
  // Whether the contour distance to the main region is within the threshold. Only
  // the verdict is needed, so regions whose boxes alone lie too far apart are
  // settled without tracing them; the box gap never exceeds the vertex distance.
  auto close_to_main = [&](const Region& reg) {
    if (main_box.empty || reg.box.empty) return kInf <= max_distance_threshold;
    if (box_gap(main_box, reg.box) > max_distance_threshold) return false;
    if (!main_vertices) main_vertices = vertices_of(main_box, main_value);
    return vertex_distance(*main_vertices, vertices_of(reg.box, reg.value)) <=
           max_distance_threshold;
  };
  for (size_t i = 0; i < regions.size(); ++i) {
    const Region& reg = regions[i];
    const double to_prev = prev ? point_distance(reg.centroid, *prev) : 0.0;
    if (!(to_prev <= max_prev_dist)) continue;
    if (reg.value == main_value) {
      kept[i] = true;
      continue;
    }
    kept[i] = reg.area >= min_area_threshold && close_to_main(reg);
  }
  return kept;
}

LabelBoxes label_boxes(const LabelView& labels, std::int64_t n, std::int64_t extra) {
  LabelBoxes out;
  out.by_value.resize(static_cast<size_t>(std::max<std::int64_t>(n, 0)));
  for (std::int64_t r = 0; r < labels.rows; ++r) {
    for (std::int64_t c = 0; c < labels.cols; ++c) {
      const std::int64_t v = labels.at(r, c);
      if (v >= 0 && v < n) extend(out.by_value[static_cast<size_t>(v)], c, r);
      if (v == extra) extend(out.extra, c, r);
    }
  }
  return out;
}

std::string clean_message(const std::string& frame_text, const std::string& object_text) {
  return "clean frame" + frame_text + "--obj_id" + object_text;
}

std::string no_mask_message(const std::string& frame_text, const std::string& object_text) {
  return "frame " + frame_text + "--obj_id" + object_text + "-- no mask";
}

Components label_mask(const MaskView& mask, const std::optional<Point2>& prev,
                      const Settings& settings) {
  require_int_size(mask.rows, mask.cols, "get_main_blob");
  // Checked first: labelling a 0 x 0 image kills the process.
  if (tight_box(mask).empty) throw ValueError("get_main_blob: the mask has no set pixel");
  cv::Mat binary;
  cv::compare(mask.as_mat(), 0, binary, cv::CMP_NE);
  Components out;
  out.count =
      cv::connectedComponentsWithStats(binary, out.labels, out.stats, out.centroids, 8, CV_32S);
  std::vector<double> areas;
  std::vector<Point2> centroids;
  for (int l = 0; l < out.count; ++l) {
    areas.push_back(out.stats.at<std::int32_t>(l, cv::CC_STAT_AREA));
    centroids.push_back({out.centroids.at<double>(l, 0), out.centroids.at<double>(l, 1)});
  }
  out.main = choose_main_blob(areas, centroids, prev, settings);
  return out;
}

bool clean_labels(const LabelView& labels, const std::vector<double>& areas,
                  const std::vector<Point2>& centroids, std::int64_t best,
                  double max_distance_threshold, double min_area_threshold,
                  const std::optional<Point2>& prev, double max_prev_dist, std::uint8_t* out) {
  if (centroids.size() != areas.size())
    throw ValueError("get_dis_to_main_and_prev_blob: one centroid per label is needed");
  require_int_size(labels.rows, labels.cols, "get_dis_to_main_and_prev_blob");
  const std::int64_t n = static_cast<std::int64_t>(areas.size());
  const LabelBoxes boxes = label_boxes(labels, n, best);
  std::vector<Region> regions;
  for (std::int64_t l = 1; l < n; ++l)
    regions.push_back({static_cast<std::int32_t>(l), areas[l], centroids[l], boxes.by_value[l]});
  // A main label that no int32 pixel can hold matches nothing (regions are >= 1).
  const bool representable = best >= std::numeric_limits<std::int32_t>::min() &&
                             best <= std::numeric_limits<std::int32_t>::max();
  const std::int32_t main_value = representable ? static_cast<std::int32_t>(best) : -1;
  const std::vector<bool> kept =
      keep_regions(labels, regions, main_value, boxes.extra, min_area_threshold,
                   max_distance_threshold, prev, max_prev_dist);
  bool any = false;
  for (std::int64_t r = 0; r < labels.rows; ++r) {
    for (std::int64_t c = 0; c < labels.cols; ++c) {
      const std::int64_t v = labels.at(r, c);
      const bool set = v >= 1 && v < n && kept[static_cast<size_t>(v - 1)];
      out[r * labels.cols + c] = set;
      any |= set;
    }
  }
  return any;
}

namespace {

struct Accumulator {
  std::int64_t area = 0, sum_x = 0, sum_y = 0;
  TightBox box;  // in the component image's coordinates
  std::uint64_t first_block = std::numeric_limits<std::uint64_t>::max();
};

Point2 mean_point(std::int64_t sum_x, std::int64_t sum_y, std::int64_t area) {
  return {static_cast<double>(sum_x) / static_cast<double>(area),
          static_cast<double>(sum_y) / static_cast<double>(area)};
}

}  // namespace

ObjectResult refine_object(const MaskView& mask, const TightBox& box, const Mask& pen,
                           const std::optional<Point2>& prev, const Settings& settings,
                           bool first_frame, const std::string& frame_text,
                           const std::string& object_text, const Printer& print,
                           std::uint8_t* out) {
  ObjectResult result;
  if (box.empty) return result;
  require_int_size(mask.rows, mask.cols, "process_video_segments");
  if (pen.rows != mask.rows || pen.cols != mask.cols)
    throw ValueError("process_video_segments: the pen mask does not match the mask's size");
  if (box.x1 < 0 || box.y1 < 0 || box.x2 >= mask.cols || box.y2 >= mask.rows)
    throw ValueError("process_video_segments: box outside the mask");

  // The mask clipped to the pen, only over the mask's own box.
  const std::int64_t bw = box.x2 - box.x1 + 1, bh = box.y2 - box.y1 + 1;
  cv::Mat in_pen(static_cast<int>(bh), static_cast<int>(bw), CV_8U);
  for (std::int64_t r = 0; r < bh; ++r) {
    const std::uint8_t* m = mask.row(box.y1 + r) + box.x1;
    const std::uint8_t* p = pen.pixels.data() + (box.y1 + r) * pen.cols + box.x1;
    std::uint8_t* dst = in_pen.ptr<std::uint8_t>(static_cast<int>(r));
    for (std::int64_t c = 0; c < bw; ++c) dst[c] = (m[c] != 0) & (p[c] != 0);
  }
  const TightBox inner = tight_box({in_pen.data, bh, bw, static_cast<std::int64_t>(in_pen.step)});
  if (inner.empty) {
    result.outcome = Outcome::OutsidePen;
    return result;
  }
  const cv::Rect roi_rect(static_cast<int>(inner.x1), static_cast<int>(inner.y1),
                          static_cast<int>(inner.x2 - inner.x1 + 1),
                          static_cast<int>(inner.y2 - inner.y1 + 1));
  const cv::Mat roi = in_pen(roi_rect);
  const std::int64_t ox = box.x1 + inner.x1, oy = box.y1 + inner.y1;  // frame offset of roi

  cv::Mat labels;
  const int n = cv::connectedComponents(roi, labels, 8, CV_32S);
  std::vector<Accumulator> acc(static_cast<size_t>(std::max(n, 1)));
  for (int r = 0; r < labels.rows; ++r) {
    const std::int32_t* row = labels.ptr<std::int32_t>(r);
    const std::uint64_t block_row = static_cast<std::uint64_t>((oy + r) >> 1) << 32;
    for (int c = 0; c < labels.cols; ++c) {
      const std::int32_t l = row[c];
      if (l <= 0 || l >= n) continue;
      Accumulator& a = acc[static_cast<size_t>(l)];
      ++a.area;
      a.sum_x += ox + c;
      a.sum_y += oy + r;
      extend(a.box, c, r);
      a.first_block =
          std::min(a.first_block, block_row | static_cast<std::uint64_t>((ox + c) >> 1));
    }
  }
  // Number the components as the whole-frame labelling would.
  std::vector<std::int32_t> raw(static_cast<size_t>(std::max(n - 1, 0)));
  std::iota(raw.begin(), raw.end(), 1);
  std::sort(raw.begin(), raw.end(), [&](std::int32_t a, std::int32_t b) {
    return acc[a].first_block < acc[b].first_block;
  });
  std::vector<Region> regions;
  std::vector<double> areas{0.0};
  std::vector<Point2> centroids{Point2{}};
  for (std::int32_t l : raw) {
    const Accumulator& a = acc[static_cast<size_t>(l)];
    const Point2 c = mean_point(a.sum_x, a.sum_y, a.area);
    regions.push_back({l, static_cast<double>(a.area), c, a.box});
    areas.push_back(static_cast<double>(a.area));
    centroids.push_back(c);
  }
  const MainBlob main = choose_main_blob(areas, centroids, prev, settings);
  const Region& main_region = regions[static_cast<size_t>(main.best - 1)];
  const LabelView view{labels.ptr<std::int32_t>(0), labels.rows, labels.cols,
                       static_cast<std::int64_t>(labels.step1())};
  const std::vector<bool> kept =
      keep_regions(view, regions, main_region.value, main_region.box, main.min_area_threshold,
                   main.max_distance_threshold, prev, settings.max_prev_dist);

  std::vector<std::uint8_t> keep_raw(static_cast<size_t>(n), 0);
  std::int64_t area = 0, sum_x = 0, sum_y = 0;
  for (size_t i = 0; i < regions.size(); ++i) {
    if (!kept[i]) continue;
    const Accumulator& a = acc[static_cast<size_t>(regions[i].value)];
    keep_raw[static_cast<size_t>(regions[i].value)] = 1;
    area += a.area;
    sum_x += a.sum_x;
    sum_y += a.sum_y;
  }
  if (area > 0) {
    for (int r = 0; r < labels.rows; ++r) {
      const std::int32_t* row = labels.ptr<std::int32_t>(r);
      std::uint8_t* dst = out + (oy + r) * mask.cols + ox;
      for (int c = 0; c < labels.cols; ++c) dst[c] = keep_raw[static_cast<size_t>(row[c])];
    }
    result.outcome = Outcome::Cleaned;
    result.centroid = mean_point(sum_x, sum_y, area);
    return result;
  }
  if (first_frame) {
    // The first frame keeps the object as the tracker gave it, pen or not.
    for (std::int64_t r = box.y1; r <= box.y2; ++r) {
      const std::uint8_t* m = mask.row(r);
      std::uint8_t* dst = out + r * mask.cols;
      for (std::int64_t c = box.x1; c <= box.x2; ++c) {
        const bool set = m[c] != 0;
        dst[c] = set;
        area += set;
        sum_x += set ? c : 0;
        sum_y += set ? r : 0;
      }
    }
    result.outcome = Outcome::Unclipped;
    result.centroid = mean_point(sum_x, sum_y, area);
    return result;
  }
  print(clean_message(frame_text, object_text));
  print(no_mask_message(frame_text, object_text));
  result.outcome = Outcome::Dropped;
  return result;
}

}  // namespace hm::refine
