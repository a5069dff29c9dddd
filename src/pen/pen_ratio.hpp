// How much of each detection box lies inside the pen polygon, measured on the
// exact (floating-point) geometry rather than on a raster.
#pragma once

#include <array>
#include <vector>

namespace hm::pen {

struct Point2 {
  double x = 0, y = 0;
};

// Box as x1, y1, x2, y2; the rectangle spans min..max of each pair.
using Box4 = std::array<double, 4>;

// For each box in order: area(box ∩ polygon) / area(box) * 100.
// ValueError for a polygon of fewer than three points, non-finite coordinates or
// a polygon the geometry engine rejects; ZeroDivision for a box of zero area.
std::vector<double> pen_intersection_percentages(const std::vector<Point2>& polygon,
                                                 const std::vector<Box4>& boxes);

}  // namespace hm::pen
