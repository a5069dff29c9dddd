// Pictures as video encoders take them: 4:2:0 planes one after another (luma,
// then the blue and the red difference at half the size each way), studio range
// of BT.601 (luma 16..235, differences 16..240 around 128). Sides are even, so
// every difference sample covers exactly two by two luma pixels.
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/errors.hpp"

namespace hm {

struct I420View {
  std::uint8_t* data = nullptr;
  std::int64_t width = 0;
  std::int64_t height = 0;

  static std::size_t bytes(std::int64_t width, std::int64_t height) {
    return static_cast<std::size_t>(width) * static_cast<std::size_t>(height) * 3 / 2;
  }
  std::uint8_t* y() const { return data; }
  std::uint8_t* u() const { return data + width * height; }
  std::uint8_t* v() const { return data + width * height + (width / 2) * (height / 2); }
};

// ValueError unless width and height are even and positive.
inline void check_i420_size(std::int64_t width, std::int64_t height) {
  if (width <= 0 || height <= 0 || width % 2 || height % 2 || width > (1 << 24) ||
      height > (1 << 24))
    throw ValueError("a 4:2:0 picture needs even sides from 2 to 2^24, got " +
                     std::to_string(width) + " x " + std::to_string(height));
}

// The studio-range BT.601 values of an RGB colour, rounded.
struct Yuv {
  std::uint8_t y, u, v;
};
Yuv yuv_of_rgb(std::uint8_t r, std::uint8_t g, std::uint8_t b);

}  // namespace hm
