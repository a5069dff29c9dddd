// The pen polygon file and the filled pen mask.
#pragma once

#include <cstdint>
#include <memory>
#include <opencv2/core/types.hpp>
#include <string>
#include <vector>

#include "common/mask.hpp"

namespace hm::pen {

// One coordinate as stored in the file: JSON integers stay integers.
struct Coord {
  double value = 0;
  bool is_integer = false;
  std::int64_t integer = 0;
};
struct PenPoint {
  Coord x, y;
};

// The first shape's points of a pen polygon file. Raises FileNotFound, ValueError
// (bad JSON, "No shapes found in the JSON file."), KeyError or TypeError.
std::vector<PenPoint> read_pen_polygon(const std::string& json_path);

// The same from the file's text; `json_path` only names the file in errors.
std::vector<PenPoint> parse_pen_polygon(const std::string& text, const std::string& json_path);

// The polygon's vertices as the fill uses them: truncated toward zero to 32-bit
// integers. ValueError for fewer than three points or coordinates that are not
// finite 32-bit values.
std::vector<cv::Point> fill_vertices(const std::vector<PenPoint>& polygon);

// The polygon filled with 1 on an h x w zero mask: vertices truncated toward zero
// to 32-bit integers, interior and boundary, 8-connected edges. ValueError for
// fewer than three points or coordinates that are not finite 32-bit values.
Mask fill_polygon(const std::vector<PenPoint>& polygon, std::int64_t h, std::int64_t w);

// The filled pen mask of a file for a frame size. The file is read on every call
// and its content is the cache key, so any change of the file is seen; the cache
// keeps a bounded number of recently used pens. Thread-safe.
std::shared_ptr<const Mask> cached_pen_mask(const std::string& json_path, std::int64_t h,
                                            std::int64_t w);

}  // namespace hm::pen
