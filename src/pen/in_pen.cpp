#include "pen/in_pen.hpp"

#include <cstring>

namespace hm::pen {

void restrict_to_pen(const std::uint8_t* in, std::uint8_t* out, std::int64_t planes,
                     size_t item_size, const Mask& pen) {
  const size_t pixels = static_cast<size_t>(pen.rows * pen.cols);
  const std::uint8_t* keep = pen.pixels.data();
  for (std::int64_t p = 0; p < planes; ++p) {
    const std::uint8_t* src = in + static_cast<size_t>(p) * pixels * item_size;
    std::uint8_t* dst = out + static_cast<size_t>(p) * pixels * item_size;
    if (item_size == 1) {
      // The pen mask holds 0/1: negating it gives a byte mask of 0x00/0xFF.
      for (size_t i = 0; i < pixels; ++i)
        dst[i] = src[i] & static_cast<std::uint8_t>(-static_cast<int>(keep[i]));
      continue;
    }
    for (size_t i = 0; i < pixels; ++i) {
      if (keep[i])
        std::memcpy(dst + i * item_size, src + i * item_size, item_size);
      else
        std::memset(dst + i * item_size, 0, item_size);
    }
  }
}

}  // namespace hm::pen
