#include "common/i420.hpp"

#include <algorithm>

namespace hm {

Yuv yuv_of_rgb(std::uint8_t r, std::uint8_t g, std::uint8_t b) {
  const double y = 0.299 * r + 0.587 * g + 0.114 * b;
  const double u = -0.168736 * r - 0.331264 * g + 0.5 * b;
  const double v = 0.5 * r - 0.418688 * g - 0.081312 * b;
  // Every value lies in 16..240: rounding is adding a half and cutting.
  const auto byte = [](double x) {
    return static_cast<std::uint8_t>(std::clamp(x, 0.0, 255.0) + 0.5);
  };
  return {byte(16 + y * 219.0 / 255.0), byte(128 + u * 224.0 / 255.0),
          byte(128 + v * 224.0 / 255.0)};
}

}  // namespace hm
