// Restricting a mask (of any element size, with leading axes) to the pen.
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/mask.hpp"

namespace hm::pen {

// Writes into `out`, which must be zero-filled, the elements of `planes`
// contiguous h x w planes of `item_size`-byte elements of `in` that lie inside
// `pen` (h x w, 0/1). All-zero bytes are 0 / false for every numeric element type,
// so the rest of `out` already reads as outside the pen.
void restrict_to_pen(const std::uint8_t* in, std::uint8_t* out, std::int64_t planes,
                     size_t item_size, const Mask& pen);

}  // namespace hm::pen
