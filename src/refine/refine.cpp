#include "refine/refine.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
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

// Outer contour vertices of a region drawn with 1s into `img`, which has a zero
// margin of one pixel, so a region touching the frame's edge is traced exactly as
// on the whole frame. `origin` is the frame position of img's pixel (1, 1).
std::vector<cv::Point> trace(cv::Mat& img, cv::Point origin) {
  std::vector<std::vector<cv::Point>> contours;
  cv::findContours(img, contours, cv::RETR_EXTERNAL, cv::CHAIN_APPROX_SIMPLE,
                   origin - cv::Point(1, 1));
  std::vector<cv::Point> out;
  for (const auto& c : contours) out.insert(out.end(), c.begin(), c.end());
  return out;
}

cv::Mat padded_box(const TightBox& box) {
  return cv::Mat::zeros(static_cast<int>(box.y2 - box.y1 + 3),
                        static_cast<int>(box.x2 - box.x1 + 3), CV_8U);
}

// Outer contour vertices of the pixels of `box` for which is_set(row, col) holds.
template <typename IsSet>
std::vector<cv::Point> outer_vertices(const TightBox& box, IsSet is_set) {
  if (box.empty) return {};
  cv::Mat img = padded_box(box);
  for (std::int64_t r = box.y1; r <= box.y2; ++r) {
    std::uint8_t* dst = img.ptr<std::uint8_t>(static_cast<int>(r - box.y1 + 1)) + 1;
    for (std::int64_t c = box.x1; c <= box.x2; ++c) dst[c - box.x1] = is_set(r, c) ? 1 : 0;
  }
  return trace(img, cv::Point(static_cast<int>(box.x1), static_cast<int>(box.y1)));
}

void require_int_size(std::int64_t rows, std::int64_t cols, const char* what) {
  constexpr std::int64_t kMax = std::numeric_limits<int>::max() - 4;
  if (rows > kMax || cols > kMax)
    throw ValueError(std::string(what) + ": the mask is too large (" + std::to_string(rows) +
                     " x " + std::to_string(cols) + ")");
}

Point2 mean_point(std::int64_t sum_x, std::int64_t sum_y, std::int64_t area) {
  return {static_cast<double>(sum_x) / static_cast<double>(area),
          static_cast<double>(sum_y) / static_cast<double>(area)};
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
  // Unsigned: two squared 31-bit gaps can exceed the signed range.
  auto sq = [](std::int64_t v) { return static_cast<std::uint64_t>(v * v); };
  std::uint64_t best = std::numeric_limits<std::uint64_t>::max();
  for (const cv::Point& p : a) {
    const auto mid = std::lower_bound(sorted.begin(), sorted.end(), p.x,
                                      [](const cv::Point& q, int x) { return q.x < x; });
    for (auto it = mid; it != sorted.end(); ++it) {
      const std::uint64_t dx2 = sq(std::int64_t{it->x} - p.x);
      if (dx2 >= best) break;
      best = std::min(best, dx2 + sq(std::int64_t{it->y} - p.y));
    }
    for (auto it = mid; it != sorted.begin();) {
      --it;
      const std::uint64_t dx2 = sq(std::int64_t{p.x} - it->x);
      if (dx2 >= best) break;
      best = std::min(best, dx2 + sq(std::int64_t{it->y} - p.y));
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

std::vector<bool> keep_regions(const std::vector<Region>& regions, std::int64_t main,
                               const TightBox& main_box, const VertexSource& vertices,
                               double min_area_threshold, double max_distance_threshold,
                               const std::optional<Point2>& prev, double max_prev_dist) {
  std::vector<bool> kept(regions.size(), false);
  std::optional<std::vector<cv::Point>> main_vertices;
  // Whether the contour distance to the main region is within the threshold. Only
  // the verdict is needed, so regions whose boxes alone lie too far apart are
  // settled without tracing them; the box gap never exceeds the vertex distance.
  auto close_to_main = [&](std::int64_t i) {
    const Region& reg = regions[static_cast<size_t>(i)];
    if (main_box.empty || reg.box.empty) return kInf <= max_distance_threshold;
    if (box_gap(main_box, reg.box) > max_distance_threshold) return false;
    if (!main_vertices) main_vertices = vertices(-1);
    return vertex_distance(*main_vertices, vertices(i)) <= max_distance_threshold;
  };
  for (std::int64_t i = 0; i < static_cast<std::int64_t>(regions.size()); ++i) {
    const Region& reg = regions[static_cast<size_t>(i)];
    const double to_prev = prev ? point_distance(reg.centroid, *prev) : 0.0;
    if (!(to_prev <= max_prev_dist)) continue;
    kept[static_cast<size_t>(i)] =
        i == main || (reg.area >= min_area_threshold && close_to_main(i));
  }
  return kept;
}

namespace {

std::int64_t find_root(std::vector<std::int64_t>& parent, std::int64_t i) {
  while (parent[i] != i) {
    parent[i] = parent[parent[i]];
    i = parent[i];
  }
  return i;
}

std::int64_t run_length(const Run& r) { return std::int64_t{r.x2} - r.x1 + 1; }

}  // namespace

RunComponents run_components(const std::vector<Run>& runs) {
  const std::int64_t n = static_cast<std::int64_t>(runs.size());
  std::vector<std::int64_t> parent(static_cast<size_t>(n));
  std::iota(parent.begin(), parent.end(), 0);
  auto unite = [&](std::int64_t a, std::int64_t b) {
    a = find_root(parent, a);
    b = find_root(parent, b);
    if (a != b) parent[std::max(a, b)] = std::min(a, b);
  };
  // Runs of adjacent rows touch, 8-connected, when their column ranges overlap
  // after widening by one.
  std::int64_t prev_begin = 0, prev_end = 0, prev_row = -2;
  for (std::int64_t i = 0; i < n;) {
    const std::int64_t row = runs[i].row;
    std::int64_t j = i;
    while (j < n && runs[j].row == row) ++j;
    if (prev_row == row - 1) {
      std::int64_t p = prev_begin;
      for (std::int64_t k = i; k < j; ++k) {
        while (p < prev_end && std::int64_t{runs[p].x2} + 1 < runs[k].x1) ++p;
        for (std::int64_t q = p; q < prev_end && runs[q].x1 <= std::int64_t{runs[k].x2} + 1; ++q)
          unite(q, k);
      }
    }
    prev_begin = i;
    prev_end = j;
    prev_row = row;
    i = j;
  }

  RunComponents out;
  std::vector<std::int64_t> id_of_root(static_cast<size_t>(n), -1);
  std::vector<std::uint64_t> first_block;
  out.component.resize(static_cast<size_t>(n));
  for (std::int64_t i = 0; i < n; ++i) {
    const std::int64_t root = find_root(parent, i);
    if (id_of_root[root] < 0) {
      id_of_root[root] = static_cast<std::int64_t>(out.sums.size());
      out.sums.push_back({});
      out.regions.push_back({});
      first_block.push_back(std::numeric_limits<std::uint64_t>::max());
    }
    const auto id = static_cast<size_t>(id_of_root[root]);
    out.component[i] = static_cast<std::int32_t>(id);
    const Run& r = runs[i];
    const std::int64_t len = run_length(r);
    Sums& s = out.sums[id];
    s.area += len;
    s.sum_x += (std::int64_t{r.x1} + r.x2) * len / 2;
    s.sum_y += std::int64_t{r.row} * len;
    extend(out.regions[id].box, r.x1, r.row);
    extend(out.regions[id].box, r.x2, r.row);
    const std::uint64_t key =
        (static_cast<std::uint64_t>(r.row >> 1) << 32) | static_cast<std::uint64_t>(r.x1 >> 1);
    first_block[id] = std::min(first_block[id], key);
  }
  // Renumber by the first 2 x 2 block, the whole-frame labelling's order.
  const size_t count = out.regions.size();
  std::vector<size_t> order(count);
  std::iota(order.begin(), order.end(), size_t{0});
  std::sort(order.begin(), order.end(),
            [&](size_t a, size_t b) { return first_block[a] < first_block[b]; });
  std::vector<std::int32_t> new_id(count);
  RunComponents sorted;
  for (size_t k = 0; k < count; ++k) {
    new_id[order[k]] = static_cast<std::int32_t>(k);
    const Sums& s = out.sums[order[k]];
    sorted.sums.push_back(s);
    sorted.regions.push_back({static_cast<double>(s.area), mean_point(s.sum_x, s.sum_y, s.area),
                              out.regions[order[k]].box});
  }
  sorted.component.reserve(static_cast<size_t>(n));
  for (std::int32_t c : out.component) sorted.component.push_back(new_id[static_cast<size_t>(c)]);
  return sorted;
}

namespace {

// The boxes of the values 0..n-1 and of `extra` in a label image.
struct LabelBoxes {
  std::vector<TightBox> by_value;
  TightBox extra;
};

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

}  // namespace

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
    regions.push_back({areas[l], centroids[l], boxes.by_value[l]});
  const VertexSource vertices = [&](std::int64_t i) {
    const std::int64_t value = i < 0 ? best : i + 1;
    const TightBox& box = i < 0 ? boxes.extra : boxes.by_value[static_cast<size_t>(value)];
    return outer_vertices(box,
                          [&](std::int64_t r, std::int64_t c) { return labels.at(r, c) == value; });
  };
  const std::int64_t main = best >= 1 && best < n ? best - 1 : -1;
  const std::vector<bool> kept =
      keep_regions(regions, main, boxes.extra, vertices, min_area_threshold, max_distance_threshold,
                   prev, max_prev_dist);
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

void paint(std::uint8_t* out, std::int64_t cols, const Run& r) {
  std::memset(out + std::int64_t{r.row} * cols + r.x1, 1, static_cast<size_t>(run_length(r)));
}

}  // namespace

ObjectResult refine_object(std::span<const Run> runs, std::int64_t rows, std::int64_t cols,
                           const Mask& pen, const std::optional<Point2>& prev,
                           const Settings& settings, bool first_frame, std::uint8_t* out) {
  ObjectResult result;
  if (runs.empty()) return result;
  if (pen.rows != rows || pen.cols != cols)
    throw ValueError("process_video_segments: the pen mask does not match the mask's size");

  // The mask clipped to the pen, run by run.
  std::vector<Run> in_pen;
  for (const Run& r : runs) {
    if (r.row < 0 || r.row >= rows || r.x1 < 0 || r.x2 >= cols || r.x1 > r.x2)
      throw ValueError("process_video_segments: a run lies outside the mask");
    const std::uint8_t* p = pen.pixels.data() + std::int64_t{r.row} * pen.cols;
    for (std::int32_t c = r.x1; c <= r.x2;) {
      while (c <= r.x2 && !p[c]) ++c;
      if (c > r.x2) break;
      const std::int32_t start = c;
      while (c <= r.x2 && p[c]) ++c;
      in_pen.push_back({r.row, start, c - 1});
    }
  }
  if (in_pen.empty()) {
    result.outcome = Outcome::OutsidePen;
    return result;
  }

  const RunComponents comps = run_components(in_pen);
  std::vector<double> areas{0.0};
  std::vector<Point2> centroids{Point2{}};
  for (const Region& reg : comps.regions) {
    areas.push_back(reg.area);
    centroids.push_back(reg.centroid);
  }
  const MainBlob main_blob = choose_main_blob(areas, centroids, prev, settings);
  const std::int64_t main = main_blob.best - 1;

  // The runs of each component, for tracing its contour on demand.
  const size_t count = comps.regions.size();
  std::vector<size_t> start(count + 1, 0);
  for (std::int32_t c : comps.component) ++start[static_cast<size_t>(c) + 1];
  for (size_t k = 0; k < count; ++k) start[k + 1] += start[k];
  std::vector<size_t> members(in_pen.size());
  {
    std::vector<size_t> fill(start.begin(), start.end() - 1);
    for (size_t i = 0; i < in_pen.size(); ++i) members[fill[comps.component[i]]++] = i;
  }
  const VertexSource vertices = [&](std::int64_t i) {
    const size_t k = static_cast<size_t>(i < 0 ? main : i);
    const TightBox& box = comps.regions[k].box;
    cv::Mat img = padded_box(box);
    for (size_t m = start[k]; m < start[k + 1]; ++m) {
      const Run& r = in_pen[members[m]];
      std::memset(img.ptr<std::uint8_t>(static_cast<int>(r.row - box.y1 + 1)) + (r.x1 - box.x1 + 1),
                  1, static_cast<size_t>(run_length(r)));
    }
    return trace(img, cv::Point(static_cast<int>(box.x1), static_cast<int>(box.y1)));
  };
  const std::vector<bool> kept = keep_regions(
      comps.regions, main, comps.regions[static_cast<size_t>(main)].box, vertices,
      main_blob.min_area_threshold, main_blob.max_distance_threshold, prev, settings.max_prev_dist);

  Sums total;
  for (size_t k = 0; k < count; ++k) {
    if (!kept[k]) continue;
    total.area += comps.sums[k].area;
    total.sum_x += comps.sums[k].sum_x;
    total.sum_y += comps.sums[k].sum_y;
  }
  if (total.area > 0) {
    for (size_t i = 0; i < in_pen.size(); ++i)
      if (kept[static_cast<size_t>(comps.component[i])]) paint(out, cols, in_pen[i]);
    result.outcome = Outcome::Cleaned;
    result.centroid = mean_point(total.sum_x, total.sum_y, total.area);
    return result;
  }
  if (first_frame) {
    // The first frame keeps the object as the tracker gave it, pen or not.
    for (const Run& r : runs) {
      paint(out, cols, r);
      const std::int64_t len = run_length(r);
      total.area += len;
      total.sum_x += (std::int64_t{r.x1} + r.x2) * len / 2;
      total.sum_y += std::int64_t{r.row} * len;
    }
    result.outcome = Outcome::Unclipped;
    result.centroid = mean_point(total.sum_x, total.sum_y, total.area);
    return result;
  }
  result.outcome = Outcome::Dropped;
  return result;
}

}  // namespace hm::refine
