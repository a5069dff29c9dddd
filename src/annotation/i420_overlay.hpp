// An annotation file's masks, boxes and label tabs painted over a 4:2:0 picture,
// for the overlay videos: the picture composite_masks and the imaging library's
// boxes and tabs make of an RGB frame, without going through RGB.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "annotation/annotation_masks.hpp"
#include "annotation/composite.hpp"
#include "common/i420.hpp"

namespace hm::annotation {

// An opaque RGB picture set above a mask's box (its label on a tab of its colour).
struct LabelTab {
  const std::uint8_t* rgb = nullptr;
  std::int64_t rows = 0;
  std::int64_t cols = 0;
  std::int64_t step = 0;  // bytes between rows
};

// Paints over `frame`, in order, the masks whose outlines are `polygons` (each
// mask's polygon texts as annotation files store them, filled as
// masks_from_json_text fills them at the frame's size): each mask's colour at
// alpha 128 where it is set (a later mask covers an earlier one), then for each
// mask with any pixel, in turn, its tight box outlined `line` pixels wide inwards
// in its colour and its tab with the tab's bottom-left pixel on the box's top-left
// one. Luma is blended per pixel; each difference sample is the mean of what its
// four pixels would be alone, so the picture is the RGB drawing converted, within
// rounding. One colour and one tab (empty for none) per mask. ValueError for sizes
// that do not fit and for polygon texts that are not.
void draw_masks_i420(const I420View& frame, const std::vector<std::vector<std::string>>& polygons,
                     const std::vector<Rgb>& colours, const std::vector<LabelTab>& tabs,
                     std::int64_t line);

}  // namespace hm::annotation
