// Boxes whose mask stayed small for many late frames of a finished video.
#pragma once

#include <cstdint>
#include <vector>

namespace hm::review {

// One mask area of one frame; `box` is the box key's id (the caller numbers keys).
struct BoxArea {
  std::size_t box = 0;
  double area = 0;
};

// Counts, over the given frames in order, the areas at or below `area_threshold`
// per box, and returns the ids whose count is strictly above `min_count`, in the
// order in which each first counted.
std::vector<std::size_t> small_area_boxes(const std::vector<std::vector<BoxArea>>& frames,
                                          double area_threshold, double min_count);

}  // namespace hm::review
