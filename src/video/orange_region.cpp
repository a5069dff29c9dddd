#include "video/orange_region.hpp"

#include <algorithm>
#include <opencv2/imgproc.hpp>
#include <vector>

#include "common/errors.hpp"
#include "common/number_text.hpp"

namespace hm::video {

std::optional<CropBox> find_orange_region(const cv::Mat& bgr) {
  if (bgr.empty() || bgr.depth() != CV_8U || bgr.channels() != 3 || bgr.dims != 2)
    throw ValueError(
        "find_orange_region: frame must be a non-empty height x width x 3 array "
        "of 8-bit BGR pixels");
  cv::Mat hsv, mask;
  cv::cvtColor(bgr, hsv, cv::COLOR_BGR2HSV);
  cv::inRange(hsv, cv::Scalar(10, 150, 150), cv::Scalar(25, 255, 255), mask);

  std::vector<std::vector<cv::Point>> contours;
  cv::findContours(mask, contours, cv::RETR_EXTERNAL, cv::CHAIN_APPROX_SIMPLE);
  if (contours.empty()) return std::nullopt;

  struct Candidate {
    double area;
    size_t index;
  };
  std::vector<Candidate> order;
  order.reserve(contours.size());
  for (size_t i = 0; i < contours.size(); ++i) order.push_back({cv::contourArea(contours[i]), i});
  // Equal areas keep the order in which the contours were found.
  std::stable_sort(order.begin(), order.end(),
                   [](const Candidate& a, const Candidate& b) { return a.area > b.area; });

  const size_t kept = std::min<size_t>(2, order.size());
  size_t best = order[0].index;
  double best_x = 0;
  for (size_t k = 0; k < kept; ++k) {
    const cv::Moments m = cv::moments(contours[order[k].index]);
    // The small constant keeps zero-area contours (lines, single pixels) finite.
    const double cx = m.m10 / (m.m00 + 0.00001);
    if (k == 0 || cx > best_x) {
      best_x = cx;
      best = order[k].index;
    }
  }
  const cv::Rect r = cv::boundingRect(contours[best]);
  return CropBox{r.x, r.y, static_cast<std::int64_t>(r.x) + r.width,
                 static_cast<std::int64_t>(r.y) + r.height};
}

CropBox crop_box_for_region(const CropBox& region) {
  if (region.x2 >= 2300) return {region.x1 - 50, 0, 2560, 1440};
  return {region.x1 - 50, 0, 2300, 1440};
}

cv::Rect clamp_to_frame(const CropBox& box, int cols, int rows) {
  auto clamp = [](std::int64_t v, int hi) {
    return static_cast<int>(std::clamp<std::int64_t>(v, 0, hi));
  };
  const int x1 = clamp(box.x1, cols), x2 = clamp(box.x2, cols);
  const int y1 = clamp(box.y1, rows), y2 = clamp(box.y2, rows);
  return {x1, y1, std::max(0, x2 - x1), std::max(0, y2 - y1)};
}

cv::Rect crop_roi(const CropBox& box, int cols, int rows) {
  const cv::Rect roi = clamp_to_frame(box, cols, rows);
  if (roi.empty())
    throw ValueError("crop box (" + crop_box_text(box) + ") leaves no pixels of a " +
                     int_text(cols) + " x " + int_text(rows) + " frame");
  return roi;
}

std::optional<CropFinding> find_crop_box(const cv::Mat& bgr) {
  const std::optional<CropBox> region = find_orange_region(bgr);
  if (!region) return std::nullopt;
  const CropBox box = crop_box_for_region(*region);
  crop_roi(box, bgr.cols, bgr.rows);
  return CropFinding{*region, box};
}

std::string crop_box_text(const CropBox& box) {
  return "x1=" + int_text(box.x1) + ", y1=" + int_text(box.y1) + ", x2=" + int_text(box.x2) +
         ", y2=" + int_text(box.y2);
}

}  // namespace hm::video
