#include "annotation/annotation_masks.hpp"

#include <cstdlib>
#include <limits>
#include <new>
#include <nlohmann/json.hpp>
#include <opencv2/imgproc.hpp>

#include "annotation/polygon_text.hpp"
#include "common/errors.hpp"
#include "common/files.hpp"

namespace hm::annotation {

using json = nlohmann::json;

void ZeroBuffer::Free::operator()(std::uint8_t* p) const { std::free(p); }

ZeroBuffer ZeroBuffer::allocate(size_t bytes) {
  ZeroBuffer b;
  // calloc(0) may give a null pointer; one byte keeps `data` valid for owners.
  auto* p = static_cast<std::uint8_t*>(std::calloc(bytes > 0 ? bytes : 1, 1));
  if (!p) throw std::bad_alloc();
  b.data.reset(p);
  b.size = bytes;
  return b;
}

MaskView AnnotationMasks::view(size_t i) const {
  const size_t plane = static_cast<size_t>(height) * static_cast<size_t>(width);
  return {pixels.data.get() + i * plane, height, width, width};
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

void fill_polygon_text(std::uint8_t* mask, std::int64_t height, std::int64_t width,
                       const std::string& text) {
  const std::vector<std::int32_t> v =
      scaled_vertices(text, static_cast<double>(width), static_cast<double>(height));
  // fillPoly aborts the process on an empty point list, and an empty image has
  // nothing to fill.
  if (v.empty() || height <= 0 || width <= 0) return;
  std::vector<cv::Point> points(v.size() / 2);
  for (size_t i = 0; i < points.size(); ++i) points[i] = {v[2 * i], v[2 * i + 1]};
  cv::Mat target(static_cast<int>(height), static_cast<int>(width), CV_8UC1, mask);
  const cv::Point* pts[] = {points.data()};
  const int npts[] = {static_cast<int>(points.size())};
  cv::fillPoly(target, pts, npts, 1, cv::Scalar(1));
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
  if (plane > 0 && n > std::numeric_limits<size_t>::max() / plane) throw std::bad_alloc();
  out.pixels = ZeroBuffer::allocate(n * plane);
  out.boxkeys.reserve(n);
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
        fill_polygon_text(out.pixels.data.get() + d * plane, height, width,
                          poly.get_ref<const std::string&>());
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
