// Reduces a tracked mask to its main blob and the close satellites around it.
//
// Components are numbered the way the image library numbers them on the whole
// frame: in raster order of the first 2 x 2 pixel block (rows and columns paired
// from 0) that holds a pixel of theirs. The numbering only matters for ties:
// among components of equal area the lower number ranks first when the five
// largest are picked, and among equally distant candidates the higher-ranked one
// becomes the main blob.
#pragma once

#include <cstdint>
#include <functional>
#include <opencv2/core/types.hpp>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "common/mask.hpp"
#include "common/runs.hpp"

namespace hm::refine {

struct Point2 {
  double x = 0, y = 0;
};

struct Settings {
  double min_area_ratio = 0.3;
  // Gap multipliers for a main blob of 1000 pixels or more, and for a smaller
  // one. Absent when the caller's list has no such item: only an error when used.
  std::optional<double> ratio_large = 0.5;
  std::optional<double> ratio_small = 1.5;
  double max_prev_dist = 200;
};

// Vertices of the outer contours of the set pixels (straight runs compressed to
// their end points), in the view's coordinates.
std::vector<cv::Point> contour_vertices(const MaskView& m);

// Smallest Euclidean distance between any vertex of `a` and any vertex of `b`;
// +inf when either list is empty.
double vertex_distance(const std::vector<cv::Point>& a, const std::vector<cv::Point>& b);

// Shortest distance between the contour vertices of two masks, +inf when either
// has no set pixel.
double blob_shortest_distance(const MaskView& a, const MaskView& b);

// Euclidean distance of two points, symmetric in the coordinates.
double point_distance(const Point2& a, const Point2& b);

struct MainBlob {
  std::int64_t best = 0;
  double min_area_threshold = 0;
  double max_distance_threshold = 0;
};

// The main blob among the five largest of labels 1..n-1 (`areas` and `centroids`
// indexed by label, entry 0 the background) and the thresholds derived from it.
// ValueError when there is no component.
MainBlob choose_main_blob(const std::vector<double>& areas, const std::vector<Point2>& centroids,
                          const std::optional<Point2>& prev, const Settings& settings);

// A read-only 32-bit label image.
using LabelView = PlaneView<std::int32_t>;

// One labelled region as the keep rules see it.
struct Region {
  double area = 0;
  Point2 centroid;
  TightBox box;  // any frame of reference, the same for all regions
};

// Gives the contour vertices of region i (i = -1: the main region), in the
// regions' frame of reference.
using VertexSource = std::function<std::vector<cv::Point>(std::int64_t)>;

// Which of `regions` stay: each must lie within `max_prev_dist` of `prev` (when
// given); the main one (index `main`, or -1 when no region is the main one) then
// stays, any other one when its area reaches `min_area_threshold` and its contour
// vertices come within `max_distance_threshold` of the main region's, whose pixel
// box is `main_box`.
std::vector<bool> keep_regions(const std::vector<Region>& regions, std::int64_t main,
                               const TightBox& main_box, const VertexSource& vertices,
                               double min_area_threshold, double max_distance_threshold,
                               const std::optional<Point2>& prev, double max_prev_dist);

// Connected components (8-connectivity) of runs in raster order, numbered as the image
// library numbers them on the whole frame.
struct Sums {
  std::int64_t area = 0, sum_x = 0, sum_y = 0;
};
struct RunComponents {
  std::vector<Region> regions;
  // Component k + 1 is regions[k] (boxes in frame coordinates), with its exact
  // pixel count and coordinate sums in sums[k].
  std::vector<Sums> sums;
  std::vector<std::int32_t> component;  // per run: its index into `regions`
};
RunComponents run_components(const std::vector<Run>& runs);

// A whole mask labelled as the image library does it, with its main blob.
struct Components {
  int count = 0;      // labels, background included
  cv::Mat labels;     // CV_32S, the mask's size
  cv::Mat stats;      // CV_32S, count x 5: left, top, width, height, area
  cv::Mat centroids;  // CV_64F, count x 2
  MainBlob main;
};
// ValueError when the mask has no set pixel.
Components label_mask(const MaskView& mask, const std::optional<Point2>& prev,
                      const Settings& settings);

// Applies the keep rules to a caller's label image: `areas` and `centroids` are
// indexed by label (entry 0 unused). Writes 1 for every kept pixel into `out`
// (labels.rows x labels.cols, zero on entry); returns whether any pixel was kept.
bool clean_labels(const LabelView& labels, const std::vector<double>& areas,
                  const std::vector<Point2>& centroids, std::int64_t best,
                  double max_distance_threshold, double min_area_threshold,
                  const std::optional<Point2>& prev, double max_prev_dist, std::uint8_t* out);

enum class Outcome {
  Empty,       // no set pixel: the entry stays as it is
  OutsidePen,  // nothing inside the pen: the entry becomes all false
  Cleaned,     // the kept blobs
  Unclipped,   // nothing kept in the first frame: the mask as given
  Dropped,     // nothing kept in a later frame: all false, and the caller says so
};

struct ObjectResult {
  Outcome outcome = Outcome::Empty;
  std::optional<Point2> centroid;  // new centroid of the object, when it has one
};

// Cleans one object's mask of one frame, given as its runs (raster order) and size;
// `pen` is the filled pen of the mask's size. Writes the new entry as 0/1 bytes into
// `out` (rows x cols, zero on entry; only the pixels of kept runs are touched).
ObjectResult refine_object(std::span<const Run> runs, std::int64_t rows, std::int64_t cols,
                           const Mask& pen, const std::optional<Point2>& prev,
                           const Settings& settings, bool first_frame, std::uint8_t* out);

inline ObjectResult refine_object(const Runs& mask, const Mask& pen,
                                  const std::optional<Point2>& prev, const Settings& settings,
                                  bool first_frame, std::uint8_t* out) {
  return refine_object(mask.runs, mask.rows, mask.cols, pen, prev, settings, first_frame, out);
}

}  // namespace hm::refine
