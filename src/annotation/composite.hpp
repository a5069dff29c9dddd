// Translucent mask colours composited over an RGBA image.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "common/mask.hpp"

namespace hm::annotation {

using Rgb = std::array<std::uint8_t, 3>;

// How the source image's pixels are stored: three bytes R, G, B; four bytes
// R, G, B and an unused fourth (the imaging library's own RGB storage); four
// bytes R, G, B, A.
enum class PixelLayout { rgb, rgbx, rgba };

// Writes into `out` (H x W x 4 RGBA) the image `src` (H x W pixels of `layout`;
// without alpha, opaque) with every mask painted in its colour at alpha 128
// where its elements are greater than 0, using the integer alpha-compositing
// arithmetic of the imaging library. A pixel set in several masks takes the
// colour of the last of them (no blending between masks). Masks larger than the
// image are clipped; smaller ones cover their own extent only. One colour per
// mask.
//
// With `boxes`, each mask's tight box of non-zero elements (what a box drawn
// around it outlines) is found in the same pass over the masks; a mask that
// reaches beyond the image is read once more for it.
void composite_masks(const std::uint8_t* src, PixelLayout layout, std::uint8_t* out,
                     std::int64_t height, std::int64_t width, const std::vector<MaskView>& masks,
                     const std::vector<Rgb>& colours, std::vector<TightBox>* boxes = nullptr);

}  // namespace hm::annotation
