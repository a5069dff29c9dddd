#include "pen/pen_polygon.hpp"

#include <cmath>
#include <limits>
#include <list>
#include <mutex>
#include <nlohmann/json.hpp>
#include <opencv2/imgproc.hpp>

#include "common/errors.hpp"
#include "common/files.hpp"

namespace hm::pen {

using nlohmann::json;

namespace {

Coord to_coord(const json& v, const std::string& path) {
  Coord c;
  if (v.is_number_integer()) {
    c.is_integer = true;
    c.integer = v.is_number_unsigned() ? static_cast<std::int64_t>(v.get<std::uint64_t>())
                                       : v.get<std::int64_t>();
    c.value = static_cast<double>(c.integer);
  } else if (v.is_number_float()) {
    c.value = v.get<double>();
  } else {
    throw TypeError("pen polygon '" + path + "': a point coordinate is not a number");
  }
  return c;
}

}  // namespace

std::vector<PenPoint> read_pen_polygon(const std::string& json_path) {
  return parse_pen_polygon(read_file(json_path), json_path);
}

std::vector<PenPoint> parse_pen_polygon(const std::string& text, const std::string& json_path) {
  json data;
  try {
    data = json::parse(text);
  } catch (const json::parse_error& e) {
    // The parser's own text leads with its error code and the line and column,
    // which the Python error adds back in its own form.
    std::string why = e.what();
    const size_t head = why.find("]");
    const size_t colon = head == std::string::npos ? head : why.find(": ", head);
    if (colon != std::string::npos) why.erase(0, colon + 2);
    throw JsonDecodeError("invalid JSON in pen polygon file '" + json_path + "': " + why, text,
                          e.byte > 0 ? e.byte - 1 : 0);
  }
  if (!data.is_object()) throw TypeError("pen polygon '" + json_path + "': not a JSON object");
  const auto it = data.find("shapes");
  if (it == data.end()) throw KeyError("shapes");
  const json& shapes = *it;
  const bool falsy = shapes.is_null() || (shapes.is_boolean() && !shapes.get<bool>()) ||
                     (shapes.is_structured() && shapes.empty()) ||
                     (shapes.is_string() && shapes.get_ref<const std::string&>().empty()) ||
                     (shapes.is_number() && shapes.get<double>() == 0);
  if (falsy) throw ValueError("No shapes found in the JSON file.");
  if (!shapes.is_array())
    throw TypeError("pen polygon '" + json_path + "': \"shapes\" is not a list");
  const json& first = shapes[0];
  if (!first.is_object())
    throw TypeError("pen polygon '" + json_path + "': a shape is not an object");
  const auto pts = first.find("points");
  if (pts == first.end()) throw KeyError("points");
  if (!pts->is_array())
    throw TypeError("pen polygon '" + json_path + "': \"points\" is not a list");
  std::vector<PenPoint> polygon;
  polygon.reserve(pts->size());
  for (const json& p : *pts) {
    if (!p.is_array() || p.size() < 2)
      throw TypeError("pen polygon '" + json_path + "': a point is not an [x, y] pair");
    polygon.push_back({to_coord(p[0], json_path), to_coord(p[1], json_path)});
  }
  return polygon;
}

namespace {

int to_int32(const Coord& c) {
  if (!std::isfinite(c.value)) throw ValueError("pen polygon: coordinate is not finite");
  const double t = std::trunc(c.value);
  if (t < std::numeric_limits<std::int32_t>::min() || t > std::numeric_limits<std::int32_t>::max())
    throw ValueError("pen polygon: coordinate out of the 32-bit range");
  return static_cast<int>(t);
}

}  // namespace

std::vector<cv::Point> fill_vertices(const std::vector<PenPoint>& polygon) {
  if (polygon.size() < 3)
    throw ValueError("pen polygon needs at least three points, got " +
                     std::to_string(polygon.size()));
  std::vector<cv::Point> pts;
  pts.reserve(polygon.size());
  for (const auto& p : polygon) pts.emplace_back(to_int32(p.x), to_int32(p.y));
  return pts;
}

Mask fill_polygon(const std::vector<PenPoint>& polygon, std::int64_t h, std::int64_t w) {
  if (h < 0 || w < 0) throw ValueError("pen mask: negative frame size");
  const std::vector<cv::Point> pts = fill_vertices(polygon);
  Mask mask(h, w);
  if (h == 0 || w == 0) return mask;
  cv::Mat mat(static_cast<int>(h), static_cast<int>(w), CV_8U, mask.pixels.data());
  const cv::Point* data = pts.data();
  const int count = static_cast<int>(pts.size());
  cv::fillPoly(mat, &data, &count, 1, cv::Scalar(1), cv::LINE_8, 0);
  return mask;
}

namespace {

// Filled pens by file content and frame size. A pen file is small, so reading it
// on every call is cheap, and a key of its bytes sees every change however it is
// made (a rewrite within the same second and of the same size included). Least
// recently used pens go first once the cache holds kMaxPens or kMaxPenBytes.
constexpr size_t kMaxPens = 16;
constexpr size_t kMaxPenBytes = size_t{256} << 20;

struct CachedPen {
  std::string content;
  std::int64_t h = 0, w = 0;
  std::shared_ptr<const Mask> mask;
};

std::mutex cache_mutex;
std::list<CachedPen> cache;  // most recently used first
size_t cache_bytes = 0;

}  // namespace

std::shared_ptr<const Mask> cached_pen_mask(const std::string& json_path, std::int64_t h,
                                            std::int64_t w) {
  std::string content = read_file(json_path);
  {
    std::lock_guard<std::mutex> lock(cache_mutex);
    for (auto it = cache.begin(); it != cache.end(); ++it) {
      if (it->h == h && it->w == w && it->content == content) {
        cache.splice(cache.begin(), cache, it);
        return it->mask;
      }
    }
  }
  // Bad content raises from here, exactly as an uncached read would.
  auto mask =
      std::make_shared<const Mask>(fill_polygon(parse_pen_polygon(content, json_path), h, w));
  const size_t bytes = mask->pixels.size() + content.size();
  if (bytes > kMaxPenBytes) return mask;
  std::lock_guard<std::mutex> lock(cache_mutex);
  cache.push_front(CachedPen{std::move(content), h, w, mask});
  cache_bytes += bytes;
  while (cache.size() > kMaxPens || cache_bytes > kMaxPenBytes) {
    cache_bytes -= cache.back().mask->pixels.size() + cache.back().content.size();
    cache.pop_back();
  }
  return mask;
}

}  // namespace hm::pen
