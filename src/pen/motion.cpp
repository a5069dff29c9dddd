#include "pen/motion.hpp"

#include <filesystem>
#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/video/tracking.hpp>

#include "common/errors.hpp"

namespace hm::pen {

namespace {

cv::Mat read_gray(const std::string& path) {
  std::error_code ec;
  if (!std::filesystem::exists(path, ec)) throw FileNotFound("no such image file: '" + path + "'");
  cv::Mat img = cv::imread(path, cv::IMREAD_GRAYSCALE);
  if (img.empty()) throw ValueError("could not read image '" + path + "'");
  return img;
}

}  // namespace

cv::Mat flow_magnitude(const std::string& earlier, const std::string& later) {
  const cv::Mat a = read_gray(earlier), b = read_gray(later);
  if (a.size() != b.size())
    throw ValueError("frames differ in size: '" + earlier + "' is " + std::to_string(a.rows) +
                     " x " + std::to_string(a.cols) + ", '" + later + "' is " +
                     std::to_string(b.rows) + " x " + std::to_string(b.cols));
  cv::Mat flow;
  cv::calcOpticalFlowFarneback(a, b, flow, 0.5, 3, 15, 3, 5, 1.2, 0);
  cv::Mat parts[2];
  cv::split(flow, parts);
  cv::Mat mag;
  cv::magnitude(parts[0], parts[1], mag);
  return mag;
}

std::optional<double> mean_in_mask(const cv::Mat& magnitude, const MaskView& mask) {
  if (mask.rows != magnitude.rows || mask.cols != magnitude.cols)
    throw ValueError("motion score: mask is " + std::to_string(mask.rows) + " x " +
                     std::to_string(mask.cols) + " but the frames are " +
                     std::to_string(magnitude.rows) + " x " + std::to_string(magnitude.cols));
  const TightBox box = tight_box(mask);
  if (box.empty) return std::nullopt;
  double sum = 0;
  std::int64_t count = 0;
  for (std::int64_t r = box.y1; r <= box.y2; ++r) {
    const std::uint8_t* m = mask.row(r);
    const float* v = magnitude.ptr<float>(static_cast<int>(r));
    for (std::int64_t c = box.x1; c <= box.x2; ++c) {
      if (m[c]) {
        sum += v[c];
        ++count;
      }
    }
  }
  return sum / static_cast<double>(count);
}

std::vector<std::optional<double>> motion_scores(const std::string& earlier,
                                                 const std::string& later,
                                                 const std::vector<MaskView>& masks) {
  const cv::Mat mag = flow_magnitude(earlier, later);
  std::vector<std::optional<double>> out;
  out.reserve(masks.size());
  for (const auto& m : masks) out.push_back(mean_in_mask(mag, m));
  return out;
}

}  // namespace hm::pen
