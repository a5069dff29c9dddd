#include "annotation/composite.hpp"

#include <algorithm>
#include <cstring>
#include <string>

#include "common/errors.hpp"

namespace hm::annotation {

namespace {

constexpr std::uint32_t kPrecisionBits = 7;
constexpr std::uint32_t kOverlayAlpha = 128;

constexpr std::uint32_t shift_div255(std::uint32_t a) { return ((a >> 8) + a) >> 8; }

// Per destination alpha: the weights of source and destination and the result's alpha.
struct Blend {
  std::uint32_t coef1 = 0, coef2 = 0;
  std::uint8_t alpha = 0;
};

std::array<Blend, 256> blend_table() {
  std::array<Blend, 256> t{};
  for (std::uint32_t a = 0; a < 256; ++a) {
    const std::uint32_t blend = a * (255 - kOverlayAlpha);
    const std::uint32_t outa255 = kOverlayAlpha * 255 + blend;
    t[a].coef1 = kOverlayAlpha * 255 * 255 * (1u << kPrecisionBits) / outa255;
    t[a].coef2 = 255 * (1u << kPrecisionBits) - t[a].coef1;
    t[a].alpha = static_cast<std::uint8_t>(shift_div255(outa255 + 0x80));
  }
  return t;
}

inline std::uint8_t mix(std::uint32_t src, std::uint32_t dst, const Blend& b) {
  const std::uint32_t tmp = src * b.coef1 + dst * b.coef2;
  return static_cast<std::uint8_t>(shift_div255(tmp + (0x80u << kPrecisionBits)) >> kPrecisionBits);
}

void expand_rgb(const std::uint8_t* __restrict src, std::uint8_t* __restrict out, size_t total) {
  for (size_t p = 0; p < total; ++p) {
    out[4 * p] = src[3 * p];
    out[4 * p + 1] = src[3 * p + 1];
    out[4 * p + 2] = src[3 * p + 2];
    out[4 * p + 3] = 255;
  }
}

}  // namespace

void composite_masks(const std::uint8_t* src, int channels, std::uint8_t* out, std::int64_t height,
                     std::int64_t width, const std::vector<MaskView>& masks,
                     const std::vector<Rgb>& colours) {
  if (masks.size() != colours.size())
    throw ValueError("one colour per mask is required: " + std::to_string(masks.size()) +
                     " masks, " + std::to_string(colours.size()) + " colours");
  if (channels != 3 && channels != 4)
    throw ValueError("the image must have 3 or 4 channels, got " + std::to_string(channels));
  if (height <= 0 || width <= 0) return;
  const size_t total = static_cast<size_t>(height) * static_cast<size_t>(width);
  if (channels == 4) {
    std::memcpy(out, src, 4 * total);
  } else {
    expand_rgb(src, out, total);
  }
  static const std::array<Blend, 256> table = blend_table();
  // Each painted pixel is blended from the source pixel, so a later mask simply
  // overwrites what an earlier one painted.
  for (size_t k = 0; k < masks.size(); ++k) {
    const MaskView& m = masks[k];
    const std::int64_t rows = std::min(m.rows, height);
    const std::int64_t cols = std::min(m.cols, width);
    if (rows <= 0 || cols <= 0) continue;
    const MaskView clipped{m.data, rows, cols, m.row_stride};
    const TightBox box = tight_box(clipped);
    if (box.empty) continue;
    const Rgb& c = colours[k];
    for (std::int64_t r = box.y1; r <= box.y2; ++r) {
      const std::uint8_t* set = clipped.row(r);
      for (std::int64_t x = box.x1; x <= box.x2; ++x) {
        if (!set[x]) continue;
        const size_t p = static_cast<size_t>(r * width + x);
        const std::uint8_t* s = src + channels * p;
        const Blend& b = table[channels == 4 ? s[3] : 255];
        std::uint8_t* o = out + 4 * p;
        o[0] = mix(c[0], s[0], b);
        o[1] = mix(c[1], s[1], b);
        o[2] = mix(c[2], s[2], b);
        o[3] = b.alpha;
      }
    }
  }
}

}  // namespace hm::annotation
