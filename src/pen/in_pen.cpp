#include "pen/in_pen.hpp"

#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace hm::pen {

void restrict_to_pen(const std::uint8_t* in, std::uint8_t* out, std::int64_t planes,
                     size_t item_size, const Mask& pen) {
  const size_t pixels = static_cast<size_t>(pen.rows * pen.cols);
  const std::uint8_t* keep = pen.pixels.data();
  for (std::int64_t p = 0; p < planes; ++p) {
    const std::uint8_t* src = in + static_cast<size_t>(p) * pixels * item_size;
    std::uint8_t* dst = out + static_cast<size_t>(p) * pixels * item_size;
    if (item_size != 1) {
      for (size_t i = 0; i < pixels; ++i)
        if (keep[i]) std::memcpy(dst + i * item_size, src + i * item_size, item_size);
      continue;
    }
    // Masks are mostly empty: only words holding a set pixel are combined and
    // written, so the untouched output pages stay the allocator's zero pages.
    size_t i = 0;
#if defined(__SSE2__)
    const __m128i zero = _mm_setzero_si128();
    for (; i + 64 <= pixels; i += 64) {
      const auto* s = reinterpret_cast<const __m128i*>(src + i);
      const __m128i any =
          _mm_or_si128(_mm_or_si128(_mm_loadu_si128(s), _mm_loadu_si128(s + 1)),
                       _mm_or_si128(_mm_loadu_si128(s + 2), _mm_loadu_si128(s + 3)));
      if (_mm_movemask_epi8(_mm_cmpeq_epi8(any, zero)) == 0xFFFF) continue;
      for (int k = 0; k < 4; ++k) {
        const __m128i v = _mm_loadu_si128(s + k);
        if (_mm_movemask_epi8(_mm_cmpeq_epi8(v, zero)) == 0xFFFF) continue;
        // Pen bytes are 0/1: comparing with zero gives 0xFF outside the pen.
        const __m128i outside = _mm_cmpeq_epi8(
            _mm_loadu_si128(reinterpret_cast<const __m128i*>(keep + i + 16 * k)), zero);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + i + 16 * k),
                         _mm_andnot_si128(outside, v));
      }
    }
#endif
    for (; i + 8 <= pixels; i += 8) {
      std::uint64_t word;
      std::memcpy(&word, src + i, 8);
      if (!word) continue;
      std::uint64_t pen_word;
      std::memcpy(&pen_word, keep + i, 8);
      word &= pen_word * 0xFF;  // pen bytes are 0/1, so each becomes 0x00/0xFF
      if (word) std::memcpy(dst + i, &word, 8);
    }
    for (; i < pixels; ++i) dst[i] = keep[i] ? src[i] : 0;
  }
}

}  // namespace hm::pen
