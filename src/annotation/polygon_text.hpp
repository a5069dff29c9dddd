// Polygon texts of annotation files: an identifier token followed by x y pairs,
// each a fraction of the image side, read with the number rules of Python's float().
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace hm::annotation {

// Splits at runs of white space the way Python's str.split() does (ASCII and
// Unicode white space in UTF-8), dropping empty tokens.
std::vector<std::string_view> split_whitespace(std::string_view text);

// Reads a token as Python's float() does (sign, digits with single underscores
// between them, fraction, exponent, "inf"/"infinity"/"nan" in any case);
// nullopt when float() would refuse it. Only ASCII digits are understood.
std::optional<double> python_float(std::string_view token);

// The coordinates of a polygon text, identifier dropped. ValueError when a token is
// not a number or when the count is odd (the last x would have no y).
std::vector<double> polygon_coordinates(std::string_view text);

// Vertices scaled by the image size and truncated toward zero, as 32-bit integers
// (x0, y0, x1, y1, ...). ValueError for coordinates that are NaN, infinite or
// outside the 32-bit range once scaled.
std::vector<std::int32_t> scaled_vertices(std::string_view text, double width, double height);

// The same scaled vertices without truncation (drawing takes real coordinates),
// with the same checks.
std::vector<double> scaled_points(std::string_view text, double width, double height);

// Multiplies every x by `factor_x` and every y by `factor_y` and writes the text
// back as the identifier, a space and the coordinates with 6 decimals, single
// spaces between. IndexError for an empty text.
std::string rescale_polygon_text(std::string_view text, double factor_x, double factor_y);

}  // namespace hm::annotation
