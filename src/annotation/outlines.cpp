#include "annotation/outlines.hpp"

#include <algorithm>
#include <charconv>
#include <limits>
#include <opencv2/imgproc.hpp>

#include "common/errors.hpp"
#include "common/parallel.hpp"

namespace hm::annotation {

namespace {

void append_fixed8(std::string& text, double value) {
  char buf[64];
  const auto [end, ec] = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::fixed, 8);
  if (ec != std::errc()) throw ValueError("an outline coordinate cannot be written");
  text.append(buf, end);
}

}  // namespace

MaskOutline mask_outline(const MaskView& mask, std::string_view label) {
  MaskOutline out;
  const TightBox box = prepare(mask).positive;
  if (box.empty) return out;
  constexpr std::int64_t kMaxSide = std::numeric_limits<int>::max() - 2;
  if (mask.rows > kMaxSide || mask.cols > kMaxSide)
    throw ValueError("a mask wider or taller than " + std::to_string(kMaxSide) +
                     " pixels cannot be outlined");
  out.box = {box.x1, box.y1, box.x2 - box.x1 + 1, box.y2 - box.y1 + 1};

  // Outlines are traced in a window one pixel wider than the set pixels, not
  // over the whole frame: the tracer then sees the same borders at a fraction
  // of the cost.
  const std::int64_t x0 = std::max<std::int64_t>(box.x1 - 1, 0);
  const std::int64_t y0 = std::max<std::int64_t>(box.y1 - 1, 0);
  const std::int64_t x_end = std::min(box.x2 + 2, mask.cols);
  const std::int64_t y_end = std::min(box.y2 + 2, mask.rows);
  cv::Mat window(static_cast<int>(y_end - y0), static_cast<int>(x_end - x0), CV_8U);
  visit(mask, [&](auto plane) {
    for (int r = 0; r < window.rows; ++r) {
      const auto* src = plane.row(y0 + r) + x0;
      auto* dst = window.ptr<std::uint8_t>(r);
      for (int c = 0; c < window.cols; ++c) dst[c] = positive(src[c]) ? 1 : 0;
    }
  });
  std::vector<std::vector<cv::Point>> contours;
  cv::findContours(window, contours, cv::RETR_EXTERNAL, cv::CHAIN_APPROX_SIMPLE,
                   cv::Point(static_cast<int>(x0), static_cast<int>(y0)));

  const double width = static_cast<double>(mask.cols), height = static_cast<double>(mask.rows);
  for (auto& points : contours) {
    if (points.size() == 1) points = {points[0], points[0], points[0]};
    if (points.size() == 2) points = {points[0], points[1], points[1]};
    std::string text(label);
    for (const cv::Point& p : points) {
      text += ' ';
      append_fixed8(text, (p.x + 0.5) / width);
      text += ' ';
      append_fixed8(text, (p.y + 0.5) / height);
    }
    out.polygons.push_back(std::move(text));
  }
  return out;
}

std::vector<MaskOutline> mask_outlines(const std::vector<MaskView>& masks, std::string_view label) {
  std::vector<MaskOutline> out(masks.size());
  parallel_for(masks.size(), threads_for_bytes(bytes_of(masks)),
               [&](std::size_t i) { out[i] = mask_outline(masks[i], label); });
  return out;
}

}  // namespace hm::annotation
