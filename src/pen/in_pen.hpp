// Restricting a mask (of any element size, with leading axes) to the pen.
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/mask.hpp"

namespace hm::pen {

// Copies `planes` contiguous h x w planes of `item_size`-byte elements from `in`
// to `out`, with every element outside `pen` zeroed (all-zero bytes are 0 / false
// for every numeric element type). `pen` must be h x w.
void restrict_to_pen(const std::uint8_t* in, std::uint8_t* out, std::int64_t planes,
                     size_t item_size, const Mask& pen);

}  // namespace hm::pen
