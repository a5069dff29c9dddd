#include "detect/image_features.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <opencv2/imgproc.hpp>
#include <string>

#include "common/errors.hpp"

namespace hm::detect {

std::array<std::uint8_t, 256> gamma_table(double inv_gamma) {
  std::array<std::uint8_t, 256> table{};
  for (int i = 0; i < 256; ++i) {
    const double v = std::pow(i / 255.0, inv_gamma) * 255.0;
    if (std::isfinite(v) && std::fabs(v) < 2147483648.0)
      table[i] =
          static_cast<std::uint8_t>(static_cast<std::uint32_t>(static_cast<std::int32_t>(v)));
    else
      table[i] = 0;
  }
  return table;
}

namespace {

void require_rgb(const cv::Mat& rgb) {
  if (rgb.type() != CV_8UC3)
    throw ValueError("expected an 8-bit image of height x width x 3 (RGB)");
}

}  // namespace

cv::Mat enhance_dark_text(const cv::Mat& rgb, double inv_gamma) {
  require_rgb(rgb);
  if (rgb.empty()) return cv::Mat(rgb.rows, rgb.cols, CV_8U);
  cv::Mat gray;
  cv::cvtColor(rgb, gray, cv::COLOR_RGB2GRAY);
  const auto table = gamma_table(inv_gamma);
  cv::Mat lut(1, 256, CV_8U, const_cast<std::uint8_t*>(table.data()));
  cv::Mat adjusted;
  cv::LUT(gray, lut, adjusted);
  cv::Mat equalized;
  cv::equalizeHist(adjusted, equalized);
  return equalized;
}

namespace {

// Per output position: first input index and the normalised weights of the
// input samples it draws from.
struct Taps {
  std::vector<int> first;
  std::vector<int> count;
  std::vector<double> weights;  // `width` per output position
  int width = 0;
};

Taps triangle_taps(int in, int out) {
  Taps t;
  const double scale = static_cast<double>(in) / out;
  const double filterscale = std::max(scale, 1.0);
  const double support = filterscale;
  t.width = static_cast<int>(std::ceil(support)) * 2 + 1;
  t.first.resize(out);
  t.count.resize(out);
  t.weights.assign(static_cast<size_t>(out) * t.width, 0.0);
  for (int o = 0; o < out; ++o) {
    const double center = (o + 0.5) * scale;
    int lo = static_cast<int>(center - support + 0.5);
    int hi = static_cast<int>(center + support + 0.5);
    lo = std::max(lo, 0);
    hi = std::min(hi, in);
    const int n = std::min(std::max(hi - lo, 0), t.width);
    double* w = &t.weights[static_cast<size_t>(o) * t.width];
    double sum = 0;
    for (int k = 0; k < n; ++k) {
      const double x = (lo + k - center + 0.5) / filterscale;
      const double a = std::fabs(x);
      w[k] = a < 1.0 ? 1.0 - a : 0.0;
      sum += w[k];
    }
    if (sum != 0)
      for (int k = 0; k < n; ++k) w[k] /= sum;
    t.first[o] = lo;
    t.count[o] = n;
  }
  return t;
}

}  // namespace

cv::Mat resize_bilinear(const cv::Mat& src, int out_cols, int out_rows) {
  if (src.type() != CV_32F) throw ValueError("resize: expected a single-channel float image");
  if (out_cols <= 0 || out_rows <= 0) throw ValueError("resize: output size must be positive");
  if (src.empty()) throw ValueError("resize: the image is empty");
  const Taps h = triangle_taps(src.cols, out_cols);
  const Taps v = triangle_taps(src.rows, out_rows);
  // Horizontal pass into doubles, then vertical.
  std::vector<double> mid(static_cast<size_t>(src.rows) * out_cols);
  for (int r = 0; r < src.rows; ++r) {
    const float* in = src.ptr<float>(r);
    double* dst = &mid[static_cast<size_t>(r) * out_cols];
    for (int o = 0; o < out_cols; ++o) {
      const double* w = &h.weights[static_cast<size_t>(o) * h.width];
      const float* p = in + h.first[o];
      double acc = 0;
      for (int k = 0; k < h.count[o]; ++k) acc += w[k] * p[k];
      dst[o] = acc;
    }
  }
  cv::Mat out(out_rows, out_cols, CV_32F);
  std::vector<double> acc(out_cols);
  for (int o = 0; o < out_rows; ++o) {
    std::fill(acc.begin(), acc.end(), 0.0);
    const double* w = &v.weights[static_cast<size_t>(o) * v.width];
    for (int k = 0; k < v.count[o]; ++k) {
      const double* row = &mid[static_cast<size_t>(v.first[o] + k) * out_cols];
      const double wk = w[k];
      for (int c = 0; c < out_cols; ++c) acc[c] += wk * row[c];
    }
    float* dst = out.ptr<float>(o);
    for (int c = 0; c < out_cols; ++c) dst[c] = static_cast<float>(acc[c]);
  }
  return out;
}

std::optional<std::vector<float>> feature_input(const cv::Mat& rgb, const MaskView& mask,
                                                int side) {
  require_rgb(rgb);
  if (mask.rows != rgb.rows || mask.cols != rgb.cols)
    throw ValueError("mask of " + std::to_string(mask.rows) + " x " + std::to_string(mask.cols) +
                     " pixels does not match the image of " + std::to_string(rgb.rows) + " x " +
                     std::to_string(rgb.cols) + " pixels");
  if (side <= 0) throw ValueError("encoder input side must be positive");
  const PreparedMask pm = prepare(mask);
  if (pm.area < kMinFeaturePixels) return std::nullopt;
  // The window stops short of the last set row and column.
  const cv::Rect window(static_cast<int>(pm.box.x1), static_cast<int>(pm.box.y1),
                        static_cast<int>(pm.box.x2 - pm.box.x1),
                        static_cast<int>(pm.box.y2 - pm.box.y1));
  if (window.width <= 0 || window.height <= 0) return std::nullopt;

  cv::Mat crop = rgb(window);
  const cv::Mat gray = enhance_dark_text(crop, 1.0 / kCropGamma);
  cv::Mat shown(window.height, window.width, CV_32F);
  for (int r = 0; r < window.height; ++r) {
    const std::uint8_t* g = gray.ptr<std::uint8_t>(r);
    const std::uint8_t* m = mask.row(window.y + r) + window.x;
    float* dst = shown.ptr<float>(r);
    for (int c = 0; c < window.width; ++c) dst[c] = m[c] ? g[c] / 255.0f : 0.0f;
  }
  const cv::Mat resized = resize_bilinear(shown, side, side);
  const size_t plane = static_cast<size_t>(side) * side;
  std::vector<float> out(3 * plane);
  for (int r = 0; r < side; ++r)
    std::memcpy(&out[static_cast<size_t>(r) * side], resized.ptr<float>(r), side * sizeof(float));
  std::copy(out.begin(), out.begin() + plane, out.begin() + plane);
  std::copy(out.begin(), out.begin() + plane, out.begin() + 2 * plane);
  return out;
}

}  // namespace hm::detect
