#include "annotation/annotation_masks.hpp"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <new>
#include <nlohmann/json.hpp>
#include <opencv2/imgproc.hpp>
#include <utility>

#include "annotation/polygon_text.hpp"
#include "common/errors.hpp"
#include "common/files.hpp"

namespace hm::annotation {

using json = nlohmann::json;

MaskView AnnotationMasks::view(size_t i) const {
  const size_t plane = static_cast<size_t>(height) * static_cast<size_t>(width);
  return {pixels.data() + i * plane, height, width, width};
}

namespace {

const char* type_name(const json& v) {
  switch (v.type()) {
    case json::value_t::null:
      return "null";
    case json::value_t::object:
      return "an object";
    case json::value_t::array:
      return "a list";
    case json::value_t::string:
      return "a string";
    case json::value_t::boolean:
      return "a boolean";
    case json::value_t::number_float:
      return "a real number";
    case json::value_t::number_integer:
    case json::value_t::number_unsigned:
      return "an integer";
    default:
      return "an unsupported value";
  }
}

// A missing key is reported as the key alone, the way a map look-up reports it.
const json& member(const json& object, const char* key) {
  const auto it = object.find(key);
  if (it == object.end()) throw KeyError(key);
  return *it;
}

void require(bool ok, const std::string& what, const char* expected, const json& v) {
  if (!ok) throw TypeError(what + " must be " + expected + ", got " + type_name(v));
}

std::int64_t boxkey_of(const json& det, const std::string& where) {
  const auto it = det.find("object_id");
  if (it == det.end()) return -1;
  const json& id = *it;
  require(id.is_number_integer(), where + " \"object_id\"", "an integer", id);
  if (id.is_number_unsigned()) {
    const auto u = id.get<std::uint64_t>();
    if (u > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()))
      throw ValueError(where + " \"object_id\" " + std::to_string(u) + " is out of range");
    return static_cast<std::int64_t>(u) - 1;
  }
  const auto v = id.get<std::int64_t>();
  if (v == std::numeric_limits<std::int64_t>::min())
    throw ValueError(where + " \"object_id\" " + std::to_string(v) + " is out of range");
  return v - 1;
}

}  // namespace

namespace {

using PointD = std::pair<double, double>;

// Sutherland-Hodgman against one axis-parallel line: keeps the side where
// sign * (coordinate - limit) >= 0.
std::vector<PointD> clip_side(const std::vector<PointD>& poly, bool along_y, double limit,
                              double sign) {
  std::vector<PointD> out;
  const size_t n = poly.size();
  auto coord = [&](const PointD& p) { return along_y ? p.second : p.first; };
  auto inside = [&](const PointD& p) { return sign * (coord(p) - limit) >= 0; };
  for (size_t i = 0; i < n; ++i) {
    const PointD& a = poly[i];
    const PointD& b = poly[(i + 1) % n];
    const bool ia = inside(a), ib = inside(b);
    if (ia) out.push_back(a);
    if (ia != ib) {
      const double t = (limit - coord(a)) / (coord(b) - coord(a));
      PointD c{a.first + t * (b.first - a.first), a.second + t * (b.second - a.second)};
      (along_y ? c.second : c.first) = limit;
      out.push_back(c);
    }
  }
  return out;
}

void widen(TightBox& bounds, double x1, double y1, double x2, double y2, std::int64_t height,
           std::int64_t width) {
  // One pixel more on each side allows for the fill's clipping at the frame border.
  const auto lo = [](double v, std::int64_t size) {
    return static_cast<std::int64_t>(std::clamp(std::floor(v) - 1, 0.0, double(size - 1)));
  };
  const auto hi = [](double v, std::int64_t size) {
    return static_cast<std::int64_t>(std::clamp(std::ceil(v) + 1, -1.0, double(size - 1)));
  };
  const std::int64_t bx1 = lo(x1, width), by1 = lo(y1, height);
  const std::int64_t bx2 = hi(x2, width), by2 = hi(y2, height);
  if (x2 < -1 || y2 < -1 || bx1 > bx2 || by1 > by2) return;
  if (bounds.empty) {
    bounds = {false, bx1, by1, bx2, by2};
  } else {
    bounds.x1 = std::min(bounds.x1, bx1);
    bounds.y1 = std::min(bounds.y1, by1);
    bounds.x2 = std::max(bounds.x2, bx2);
    bounds.y2 = std::max(bounds.y2, by2);
  }
}

}  // namespace

void fill_polygon_text(std::uint8_t* mask, std::int64_t height, std::int64_t width,
                       const std::string& text, TightBox& bounds) {
  if (height <= 0 || width <= 0) {
    scaled_vertices(text, static_cast<double>(width), static_cast<double>(height));  // its errors
    return;
  }
  cv::Mat target(static_cast<int>(height), static_cast<int>(width), CV_8UC1, mask);
  fill_polygon_text(target, text, 1, bounds);
}

void fill_polygon_text(cv::Mat& target, const std::string& text, int value, TightBox& bounds) {
  const std::int64_t height = target.rows, width = target.cols;
  const std::vector<std::int32_t> v =
      scaled_vertices(text, static_cast<double>(width), static_cast<double>(height));
  // fillPoly aborts the process on an empty point list, and an empty image has
  // nothing to fill.
  if (v.empty() || height <= 0 || width <= 0) return;
  const size_t n = v.size() / 2;

  // The fill walks every row an edge spans, inside the frame or not: a vertex a
  // billion rows away would stall it for seconds. Polygons reaching further than
  // a margin beyond the frame are first clipped to the frame plus that margin.
  const double margin = static_cast<double>(std::max(height, width)) + 64.0;
  const double lo_x = -margin, lo_y = -margin;
  const double hi_x = static_cast<double>(width) + margin;
  const double hi_y = static_cast<double>(height) + margin;
  bool far = false;
  double x1 = v[0], x2 = v[0], y1 = v[1], y2 = v[1];
  for (size_t i = 0; i < n; ++i) {
    const double x = v[2 * i], y = v[2 * i + 1];
    far = far || x < lo_x || x > hi_x || y < lo_y || y > hi_y;
    x1 = std::min(x1, x);
    x2 = std::max(x2, x);
    y1 = std::min(y1, y);
    y2 = std::max(y2, y);
  }
  if (!far) {
    std::vector<cv::Point> points(n);
    for (size_t i = 0; i < n; ++i) points[i] = {v[2 * i], v[2 * i + 1]};
    const cv::Point* pts[] = {points.data()};
    const int npts[] = {static_cast<int>(n)};
    cv::fillPoly(target, pts, npts, 1, cv::Scalar(value));
    widen(bounds, x1, y1, x2, y2, height, width);
    return;
  }

  std::vector<PointD> poly(n);
  for (size_t i = 0; i < n; ++i) poly[i] = {double(v[2 * i]), double(v[2 * i + 1])};
  poly = clip_side(poly, true, lo_y, 1);
  poly = clip_side(poly, true, hi_y, -1);
  poly = clip_side(poly, false, lo_x, 1);
  poly = clip_side(poly, false, hi_x, -1);
  if (poly.empty()) return;
  // Cut points keep 8 bits of sub-pixel precision where the frame is small enough
  // for them to fit in 32 bits.
  const int shift = (hi_x < (1 << 22) && hi_y < (1 << 22)) ? 8 : 0;
  const double scale = static_cast<double>(1 << shift);
  std::vector<cv::Point> points(poly.size());
  x1 = x2 = poly[0].first;
  y1 = y2 = poly[0].second;
  for (size_t i = 0; i < poly.size(); ++i) {
    points[i] = {static_cast<int>(std::lround(poly[i].first * scale)),
                 static_cast<int>(std::lround(poly[i].second * scale))};
    x1 = std::min(x1, poly[i].first);
    x2 = std::max(x2, poly[i].first);
    y1 = std::min(y1, poly[i].second);
    y2 = std::max(y2, poly[i].second);
  }
  const cv::Point* pts[] = {points.data()};
  const int npts[] = {static_cast<int>(points.size())};
  cv::fillPoly(target, pts, npts, 1, cv::Scalar(value), cv::LINE_8, shift);
  widen(bounds, x1, y1, x2, y2, height, width);
}

AnnotationMasks masks_from_json_text(const std::string& text, std::int64_t height,
                                     std::int64_t width, const std::string& source) {
  if (height < 0 || width < 0)
    throw ValueError("negative dimensions are not allowed: height " + std::to_string(height) +
                     ", width " + std::to_string(width));
  if (height > std::numeric_limits<int>::max() || width > std::numeric_limits<int>::max())
    throw ValueError("frame size " + std::to_string(height) + " x " + std::to_string(width) +
                     " is too large");
  json data;
  try {
    data = json::parse(text);
  } catch (const json::parse_error& e) {
    throw ValueError("invalid JSON in " + source + ": " + e.what());
  }
  require(data.is_object(), "the annotation data of " + source, "an object", data);

  AnnotationMasks out;
  out.height = height;
  out.width = width;
  const json& image_path = member(data, "image_path");
  require(image_path.is_string(), "\"image_path\" of " + source, "a string", image_path);
  out.image_path = image_path.get<std::string>();
  const json& detections = member(data, "detections");
  require(detections.is_array(), "\"detections\" of " + source, "a list", detections);

  const size_t n = detections.size();
  const size_t plane = static_cast<size_t>(height) * static_cast<size_t>(width);
  out.pixels = ZeroBuffer(
      checked_bytes({static_cast<std::int64_t>(n), height, width}, 1, "masks of " + source));
  out.boxkeys.reserve(n);
  out.bounds.resize(n);
  for (size_t d = 0; d < n; ++d) {
    const std::string where = "detection " + std::to_string(d) + " of " + source;
    const json& det = detections[d];
    require(det.is_object(), where, "an object", det);
    out.boxkeys.push_back(boxkey_of(det, where));
    const json& polygons = member(det, "formatted_polygon");
    require(polygons.is_array(), where + " \"formatted_polygon\"", "a list", polygons);
    for (const json& poly : polygons) {
      require(poly.is_string(), where + " polygon", "a string", poly);
      try {
        fill_polygon_text(out.pixels.data() + d * plane, height, width,
                          poly.get_ref<const std::string&>(), out.bounds[d]);
      } catch (const ValueError& e) {
        throw ValueError(where + ": " + e.what());
      }
    }
  }
  return out;
}

AnnotationMasks masks_from_json_file(const std::string& path, std::int64_t height,
                                     std::int64_t width) {
  return masks_from_json_text(read_file(path), height, width, "'" + path + "'");
}

}  // namespace hm::annotation
