#include "common/sizes.hpp"

#include <cstddef>
#include <limits>

#include "common/errors.hpp"

namespace hm {

std::size_t checked_bytes(std::initializer_list<std::int64_t> dims, std::size_t item_size,
                          const std::string& what) {
  constexpr auto kLimit = static_cast<std::uint64_t>(std::numeric_limits<std::ptrdiff_t>::max());
  std::string shape;
  for (const std::int64_t d : dims) shape += (shape.empty() ? "" : " x ") + std::to_string(d);
  std::uint64_t bytes = item_size;
  bool fits = true;
  for (const std::int64_t d : dims) {
    if (d < 0) throw ValueError(what + ": negative dimension in " + shape);
    // A zero dimension makes the whole array empty, whatever the others are.
    if (d == 0) return 0;
  }
  for (const std::int64_t d : dims) {
    if (__builtin_mul_overflow(bytes, static_cast<std::uint64_t>(d), &bytes) || bytes > kLimit)
      fits = false;
  }
  if (!fits)
    throw ValueError(what + ": " + shape + " elements of " + std::to_string(item_size) +
                     " bytes do not fit in memory");
  return static_cast<std::size_t>(bytes);
}

}  // namespace hm
