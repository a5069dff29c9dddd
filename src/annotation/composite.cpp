#include "annotation/composite.hpp"

#include <algorithm>
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

}  // namespace

void composite_masks(std::uint8_t* rgba, std::int64_t height, std::int64_t width,
                     const std::vector<MaskView>& masks, const std::vector<Rgb>& colours) {
  if (masks.size() != colours.size())
    throw ValueError("one colour per mask is required: " + std::to_string(masks.size()) +
                     " masks, " + std::to_string(colours.size()) + " colours");
  if (height <= 0 || width <= 0 || masks.empty()) return;
  // owner[p] = 1 + position of the last mask set at p, 0 where none is.
  std::vector<std::uint32_t> owner(static_cast<size_t>(height) * static_cast<size_t>(width), 0);
  for (size_t k = 0; k < masks.size(); ++k) {
    const MaskView& m = masks[k];
    const std::int64_t rows = std::min(m.rows, height);
    const std::int64_t cols = std::min(m.cols, width);
    if (rows <= 0 || cols <= 0) continue;
    const MaskView clipped{m.data, rows, cols, m.row_stride};
    const TightBox box = tight_box(clipped);
    if (box.empty) continue;
    const auto tag = static_cast<std::uint32_t>(k + 1);
    for (std::int64_t r = box.y1; r <= box.y2; ++r) {
      const std::uint8_t* src = clipped.row(r);
      std::uint32_t* dst = owner.data() + r * width;
      for (std::int64_t c = box.x1; c <= box.x2; ++c)
        if (src[c]) dst[c] = tag;
    }
  }
  static const std::array<Blend, 256> table = blend_table();
  const size_t total = owner.size();
  for (size_t p = 0; p < total; ++p) {
    const std::uint32_t tag = owner[p];
    if (!tag) continue;
    const Rgb& c = colours[tag - 1];
    std::uint8_t* px = rgba + 4 * p;
    const Blend& b = table[px[3]];
    px[0] = mix(c[0], px[0], b);
    px[1] = mix(c[1], px[1], b);
    px[2] = mix(c[2], px[2], b);
    px[3] = b.alpha;
  }
}

}  // namespace hm::annotation
