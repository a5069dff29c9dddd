// Translucent mask colours composited over an RGBA image.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "common/mask.hpp"

namespace hm::annotation {

using Rgb = std::array<std::uint8_t, 3>;

// Writes into `out` (H x W x 4 RGBA) the image `src` (H x W x `channels`, 3 for RGB
// with opaque alpha, 4 for RGBA) with every mask painted in its colour at alpha 128,
// using the integer alpha-compositing arithmetic of the imaging library. A pixel set
// in several masks takes the colour of the last of them (no blending between
// masks). Masks larger than the image are clipped; smaller ones cover their own
// extent only. One colour per mask.
void composite_masks(const std::uint8_t* src, int channels, std::uint8_t* out, std::int64_t height,
                     std::int64_t width, const std::vector<MaskView>& masks,
                     const std::vector<Rgb>& colours);

}  // namespace hm::annotation
