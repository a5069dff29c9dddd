// Restricting a mask (of any element size, with leading axes) to the pen.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "common/mask.hpp"
#include "common/runs.hpp"
#include "common/zero_buffer.hpp"

namespace hm::pen {

// The runs of the cached filled pen of a file for a frame size (see
// cached_pen_mask), themselves cached alongside it: restricting a mask to the pen
// reads only what lies inside and never reads the pen's pixels. Thread-safe.
std::shared_ptr<const Runs> cached_pen_runs(const std::string& json_path, std::int64_t h,
                                            std::int64_t w);

// Fills the zero buffer `out` with the elements of `planes` contiguous h x w
// planes of `item_size`-byte elements of `in` that lie inside the pen. All-zero
// bytes are 0 / false for every numeric element type, so the rest of `out`
// already reads as outside the pen, and only stretches holding a non-zero byte
// are written: the pages of `out` away from them are never touched.
void restrict_to_pen(const std::uint8_t* in, ZeroBuffer& out, std::int64_t planes, size_t item_size,
                     const Runs& pen);

}  // namespace hm::pen
