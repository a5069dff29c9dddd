// Translucent mask colours composited over an RGBA image.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "common/mask.hpp"

namespace hm::annotation {

using Rgb = std::array<std::uint8_t, 3>;

// Paints every mask in its colour at alpha 128 over the H x W x 4 RGBA pixels in
// place, with the integer alpha-compositing arithmetic of the imaging library. A
// pixel set in several masks takes the colour of the last of them (no blending
// between masks). Masks larger than the image are clipped; smaller ones cover
// their own extent only. One colour per mask.
void composite_masks(std::uint8_t* rgba, std::int64_t height, std::int64_t width,
                     const std::vector<MaskView>& masks, const std::vector<Rgb>& colours);

}  // namespace hm::annotation
