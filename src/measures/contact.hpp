// Which animals of one frame touch: pairs of masks whose set pixels overlap or
// lie next to each other.
#pragma once

#include <cstdint>
#include <vector>

#include "common/mask.hpp"

namespace hm::measures {

// Two masks of a frame in contact, by position in the frame's list (a < b).
struct Contact {
  std::int64_t a = 0;
  std::int64_t b = 0;
  std::int64_t overlap = 0;  // pixels set in both; 0 for masks that only touch
};

// Every pair of masks that overlaps, or has a set pixel within `reach` pixels
// (Chebyshev distance, so 1 counts diagonal neighbours) of the other's set
// pixels, in (a, b) order. Non-zero is set (bool, uint8, float32 and float64
// read in place). Reach 0 asks for overlap only. ValueError for a negative
// reach or masks of different sizes.
std::vector<Contact> mask_contacts(const std::vector<MaskView>& masks, std::int64_t reach);

}  // namespace hm::measures
