// Buffer sizes from declared shapes, checked before anything is allocated.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <string>

namespace hm {

// Bytes of an array of `dims` elements of `item_size` bytes each. ValueError,
// naming `what`, for a negative dimension or a size that no buffer can have
// (beyond the address range, including products that overflow).
std::size_t checked_bytes(std::initializer_list<std::int64_t> dims, std::size_t item_size,
                          const std::string& what);

}  // namespace hm
