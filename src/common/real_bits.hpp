// Masks of reals read through their bit patterns: a real is non-zero exactly
// when its bits other than the sign are (NaN included, -0.0 not), which lets
// whole 64-byte blocks of a row be settled with one test.
#pragma once

#include <cstdint>
#include <type_traits>

#include "common/mask.hpp"

namespace hm {

// The bit patterns of reals of type T, and the mask that leaves out the sign.
template <typename T>
struct RealBits {
  using Bits = std::conditional_t<sizeof(T) == 4, std::uint32_t, std::uint64_t>;
  static_assert(sizeof(Bits) == sizeof(T));
  // Reads the reals' bit patterns in place; may_alias keeps that well-defined.
  using Alias [[gnu::may_alias]] = Bits;
  static constexpr Bits kMagnitude = ~Bits(0) >> 1;
  // The same over a 64-bit word holding one or two reals.
  static constexpr std::uint64_t kWordMagnitude =
      sizeof(T) == 4 ? 0x7fffffff7fffffffULL : 0x7fffffffffffffffULL;
  static constexpr std::int64_t kPerBlock = 64 / sizeof(T);

  static const Alias* of(const T* p) { return reinterpret_cast<const Alias*>(p); }

  // Whether the kPerBlock reals from p are all zero (either sign).
  static bool zero_block(const T* p) { return !(or_of_words(p, 64) & kWordMagnitude); }

  // Position of the first non-zero real of [p, p + n), or -1: whole 64-byte
  // blocks are settled with one test each.
  static std::int64_t first_set(const T* p, std::int64_t n) {
    std::int64_t i = 0;
    while (i + kPerBlock <= n && zero_block(p + i)) i += kPerBlock;
    const Alias* bits = of(p);
    for (; i < n; ++i)
      if (bits[i] & kMagnitude) return i;
    return -1;
  }

  // Position of the last non-zero real of [p, p + n), or -1.
  static std::int64_t last_set(const T* p, std::int64_t n) {
    std::int64_t i = n;
    while (i >= kPerBlock && zero_block(p + i - kPerBlock)) i -= kPerBlock;
    const Alias* bits = of(p);
    for (--i; i >= 0; --i)
      if (bits[i] & kMagnitude) return i;
    return -1;
  }

  static std::int64_t count_set(const T* p, std::int64_t n) {
    const Alias* bits = of(p);
    std::int64_t set = 0;
    for (std::int64_t c = 0; c < n; ++c) set += (bits[c] & kMagnitude) != 0;
    return set;
  }

  static std::int64_t count_both(const T* a, const T* b, std::int64_t n) {
    const Alias* x = of(a);
    const Alias* y = of(b);
    std::int64_t both = 0;
    for (std::int64_t c = 0; c < n; ++c)
      both += static_cast<std::int64_t>((x[c] & kMagnitude) != 0) & ((y[c] & kMagnitude) != 0);
    return both;
  }
};

}  // namespace hm
