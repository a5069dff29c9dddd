#include "annotation/polygon_text.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <limits>

#include "common/errors.hpp"
#include "common/number_text.hpp"

namespace hm::annotation {

namespace {

// Byte length of the white-space character starting at `i`, 0 when there is none.
size_t whitespace_at(std::string_view s, size_t i) {
  const auto first = static_cast<unsigned char>(s[i]);
  if (first > ' ' && first < 0x80) return 0;  // all that numbers are written in
  const auto b = [&](size_t k) -> unsigned {
    return i + k < s.size() ? static_cast<unsigned char>(s[i + k]) : 0u;
  };
  const unsigned c = b(0);
  if (c == ' ' || (c >= 0x09 && c <= 0x0d) || (c >= 0x1c && c <= 0x1f)) return 1;
  if (c == 0xc2 && (b(1) == 0x85 || b(1) == 0xa0)) return 2;
  if (c == 0xe1 && b(1) == 0x9a && b(2) == 0x80) return 3;  // U+1680
  if (c == 0xe2 && b(1) == 0x80) {
    const unsigned d = b(2);
    if ((d >= 0x80 && d <= 0x8a) || d == 0xa8 || d == 0xa9 || d == 0xaf) return 3;
  }
  if (c == 0xe2 && b(1) == 0x81 && b(2) == 0x9f) return 3;  // U+205F
  if (c == 0xe3 && b(1) == 0x80 && b(2) == 0x80) return 3;  // U+3000
  return 0;
}

bool is_digit(char c) { return c >= '0' && c <= '9'; }

bool equals_nocase(std::string_view a, std::string_view lower) {
  if (a.size() != lower.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    char c = a[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != lower[i]) return false;
  }
  return true;
}

// Consumes digits with single underscores between them, appending the digits to
// `out`. False when no digit was found or an underscore is misplaced.
bool digit_part(std::string_view s, size_t& i, std::string& out) {
  if (i >= s.size() || !is_digit(s[i])) return false;
  while (i < s.size()) {
    if (is_digit(s[i])) {
      out += s[i++];
    } else if (s[i] == '_' && i + 1 < s.size() && is_digit(s[i + 1])) {
      ++i;
    } else {
      break;
    }
  }
  return true;
}

std::string quoted(std::string_view token) { return "'" + std::string(token) + "'"; }

[[noreturn]] void not_a_number(std::string_view token) {
  throw ValueError("could not convert string to float: " + quoted(token));
}

std::vector<double> scaled(std::string_view text, double width, double height) {
  std::vector<double> v = polygon_coordinates(text);
  for (size_t i = 0; i < v.size(); ++i) {
    const double raw = v[i];
    const double value = raw * (i % 2 == 0 ? width : height);
    const char* axis = i % 2 == 0 ? "x" : "y";
    if (std::isnan(value))
      throw ValueError(std::string("polygon ") + axis + " coordinate " + real_text(raw) +
                       " gives NaN once scaled; a vertex needs finite coordinates");
    if (!(std::trunc(value) >= static_cast<double>(std::numeric_limits<std::int32_t>::min()) &&
          std::trunc(value) <= static_cast<double>(std::numeric_limits<std::int32_t>::max())))
      throw ValueError(std::string("polygon ") + axis + " coordinate " + real_text(raw) +
                       " is out of the 32-bit pixel range once scaled (" + real_text(value) + ")");
    v[i] = value;
  }
  return v;
}

}  // namespace

std::vector<std::string_view> split_whitespace(std::string_view text) {
  std::vector<std::string_view> tokens;
  size_t i = 0;
  while (i < text.size()) {
    size_t w;
    while (i < text.size() && (w = whitespace_at(text, i)) > 0) i += w;
    if (i >= text.size()) break;
    const size_t start = i;
    while (i < text.size() && whitespace_at(text, i) == 0) ++i;
    tokens.push_back(text.substr(start, i - start));
  }
  return tokens;
}

namespace {

// Plain decimals ([+-]digits[.digits], 15 digits at most: what polygon texts hold)
// are an integer and a power of ten both exact as doubles, so one division rounds
// them as float() does. None for anything else, which the general reading takes.
std::optional<double> plain_decimal(std::string_view token) {
  static constexpr double kPowers[] = {1e0, 1e1, 1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                       1e8, 1e9, 1e10, 1e11, 1e12, 1e13, 1e14, 1e15};
  size_t i = 0;
  bool negative = false;
  if (i < token.size() && (token[i] == '+' || token[i] == '-')) negative = token[i++] == '-';
  std::uint64_t mantissa = 0;
  int digits = 0, fraction = -1;  // digits after the point; -1 before it
  for (; i < token.size(); ++i) {
    const char c = token[i];
    if (is_digit(c)) {
      if (++digits > 15) return std::nullopt;
      mantissa = mantissa * 10 + static_cast<std::uint64_t>(c - '0');
      if (fraction >= 0) ++fraction;
    } else if (c == '.' && fraction < 0) {
      fraction = 0;
    } else {
      return std::nullopt;
    }
  }
  if (digits == 0) return std::nullopt;
  const double value = static_cast<double>(mantissa) / kPowers[std::max(fraction, 0)];
  return negative ? -value : value;
}

}  // namespace

std::optional<double> python_float(std::string_view token) {
  if (const std::optional<double> plain = plain_decimal(token)) return plain;
  size_t i = 0;
  bool negative = false;
  if (i < token.size() && (token[i] == '+' || token[i] == '-')) negative = token[i++] == '-';
  const std::string_view rest = token.substr(i);
  if (equals_nocase(rest, "inf") || equals_nocase(rest, "infinity"))
    return negative ? -std::numeric_limits<double>::infinity()
                    : std::numeric_limits<double>::infinity();
  if (equals_nocase(rest, "nan")) return std::numeric_limits<double>::quiet_NaN();

  std::string clean;
  const bool whole = digit_part(token, i, clean);
  bool fraction = false;
  if (i < token.size() && token[i] == '.') {
    clean += token[i++];
    if (i < token.size() && is_digit(token[i])) fraction = digit_part(token, i, clean);
  }
  if (!whole && !fraction) return std::nullopt;
  if (i < token.size() && (token[i] == 'e' || token[i] == 'E')) {
    clean += 'e';
    ++i;
    if (i < token.size() && (token[i] == '+' || token[i] == '-')) clean += token[i++];
    if (!digit_part(token, i, clean)) return std::nullopt;
  }
  if (i != token.size()) return std::nullopt;

  double value = 0.0;
  const auto res = std::from_chars(clean.data(), clean.data() + clean.size(), value);
  if (res.ec == std::errc::result_out_of_range) {
    // Overflow gives infinity and underflow zero (or a subnormal), as float() does.
    value = std::strtod(clean.c_str(), nullptr);
  } else if (res.ec != std::errc() || res.ptr != clean.data() + clean.size()) {
    return std::nullopt;
  }
  return negative ? -value : value;
}

std::vector<double> polygon_coordinates(std::string_view text) {
  const std::vector<std::string_view> tokens = split_whitespace(text);
  std::vector<double> coords;
  if (tokens.size() <= 1) return coords;
  coords.reserve(tokens.size() - 1);
  for (size_t i = 1; i < tokens.size(); ++i) {
    const std::optional<double> v = python_float(tokens[i]);
    if (!v) not_a_number(tokens[i]);
    coords.push_back(*v);
  }
  if (coords.size() % 2 != 0)
    throw ValueError("polygon text has an odd number of coordinates (" +
                     std::to_string(coords.size()) + "): the last x has no y");
  return coords;
}

std::vector<std::int32_t> scaled_vertices(std::string_view text, double width, double height) {
  const std::vector<double> v = scaled(text, width, height);
  std::vector<std::int32_t> out(v.size());
  for (size_t i = 0; i < v.size(); ++i) out[i] = static_cast<std::int32_t>(std::trunc(v[i]));
  return out;
}

std::vector<double> scaled_points(std::string_view text, double width, double height) {
  return scaled(text, width, height);
}

std::string rescale_polygon_text(std::string_view text, double factor_x, double factor_y) {
  const std::vector<std::string_view> tokens = split_whitespace(text);
  if (tokens.empty()) throw IndexError("polygon text is empty: it has no identifier");
  const std::vector<double> coords = polygon_coordinates(text);
  std::string out(tokens[0]);
  out += ' ';
  for (size_t i = 0; i < coords.size(); ++i) {
    if (i) out += ' ';
    out += fixed_text(coords[i] * (i % 2 == 0 ? factor_x : factor_y), 6);
  }
  return out;
}

}  // namespace hm::annotation
