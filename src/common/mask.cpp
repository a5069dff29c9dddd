#include "common/mask.hpp"

#include <algorithm>
#include <bit>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#include <string>

#include "common/errors.hpp"

namespace hm {

cv::Mat MaskView::as_mat() const {
  if (empty())
    return cv::Mat(static_cast<int>(std::max<std::int64_t>(rows, 0)),
                   static_cast<int>(std::max<std::int64_t>(cols, 0)), CV_8U);
  return cv::Mat(static_cast<int>(rows), static_cast<int>(cols), CV_8U,
                 const_cast<std::uint8_t*>(data), static_cast<size_t>(row_stride));
}

namespace {

#if defined(__SSE2__)
// Counts the bytes of the sixteen-byte chunks from position i up to n that
// `excluded` (chunk position -> -1 in each byte not to count) leaves, and moves i
// past them. Excluded bytes are tallied per lane and the lanes summed before any
// can pass 255.
template <typename Excluded>
std::int64_t count_chunks(std::int64_t n, std::int64_t& i, Excluded excluded) {
  const __m128i zero = _mm_setzero_si128();
  std::int64_t count = 0;
  while (i + 16 <= n) {
    __m128i tally = zero;
    const std::int64_t stop = std::min(n - 15, i + 255 * 16);
    std::int64_t seen = 0;
    for (; i < stop; i += 16, seen += 16) tally = _mm_sub_epi8(tally, excluded(i));
    const __m128i sums = _mm_sad_epu8(tally, zero);
    count += seen - _mm_cvtsi128_si32(sums) - _mm_extract_epi16(sums, 4);
  }
  return count;
}

__m128i load16(const std::uint8_t* p) {
  return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
}
#endif

// Non-zero bytes in [p, p + n).
std::int64_t count_row(const std::uint8_t* p, std::int64_t n) {
  std::int64_t count = 0;
  std::int64_t i = 0;
#if defined(__SSE2__)
  count += count_chunks(
      n, i, [p](std::int64_t k) { return _mm_cmpeq_epi8(load16(p + k), _mm_setzero_si128()); });
#endif
  for (; i < n; ++i) count += p[i] != 0;
  return count;
}

}  // namespace

std::int64_t count_set(const MaskView& m) {
  if (m.empty()) return 0;
  std::int64_t total = 0;
  for (std::int64_t r = 0; r < m.rows; ++r) total += count_row(m.row(r), m.cols);
  return total;
}

namespace {

#if defined(__SSE2__)
// Bit k set when byte k of the 16 at p is non-zero.
unsigned set_bits16(const std::uint8_t* p) {
  const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
  return ~static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(v, _mm_setzero_si128()))) &
         0xFFFFu;
}

bool any_set64(const std::uint8_t* p) {
  const auto load = [p](int k) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + k)); };
  const __m128i any =
      _mm_or_si128(_mm_or_si128(load(0), load(16)), _mm_or_si128(load(32), load(48)));
  return _mm_movemask_epi8(_mm_cmpeq_epi8(any, _mm_setzero_si128())) != 0xFFFF;
}
#endif

// First non-zero byte of [p, p + n), or -1.
std::int64_t first_set(const std::uint8_t* p, std::int64_t n) {
  std::int64_t i = 0;
#if defined(__SSE2__)
  for (; i + 64 <= n; i += 64) {
    if (!any_set64(p + i)) continue;
    for (int k = 0; k < 64; k += 16)
      if (const unsigned bits = set_bits16(p + i + k)) return i + k + std::countr_zero(bits);
  }
#endif
  for (; i < n; ++i)
    if (p[i]) return i;
  return -1;
}

// Last non-zero byte of [p, p + n), or -1.
std::int64_t last_set(const std::uint8_t* p, std::int64_t n) {
  std::int64_t i = n;
#if defined(__SSE2__)
  for (; i >= 16; i -= 16)
    if (const unsigned bits = set_bits16(p + i - 16)) return i - 16 + 31 - std::countl_zero(bits);
#endif
  for (--i; i >= 0; --i)
    if (p[i]) return i;
  return -1;
}

}  // namespace

TightBox tight_box(const MaskView& m) {
  TightBox box;
  if (m.empty()) return box;
  std::int64_t x1 = m.cols, x2 = -1, y1 = -1, y2 = -1;
  for (std::int64_t r = 0; r < m.rows; ++r) {
    const std::uint8_t* p = m.row(r);
    // Most rows of an animal's mask are empty: one test per row settles them.
    if (or_of_words(p, static_cast<std::size_t>(m.cols)) == 0) continue;
    // A row with content is read from both ends only up to its outermost set bytes.
    const std::int64_t first = first_set(p, m.cols);
    x1 = std::min(x1, first);
    x2 = std::max(x2, first + last_set(p + first, m.cols - first));
    if (y1 < 0) y1 = r;
    y2 = r;
  }
  if (y1 < 0) return box;
  box.empty = false;
  box.x1 = x1;
  box.y1 = y1;
  box.x2 = x2;
  box.y2 = y2;
  return box;
}

PreparedMask prepare(const MaskView& m) {
  PreparedMask p;
  p.view = m;
  p.box = tight_box(m);
  if (!p.box.empty) {
    // Nothing is set outside the tight box, so counting inside it is enough.
    MaskView inner = m;
    inner.data = m.row(p.box.y1) + p.box.x1;
    inner.rows = p.box.y2 - p.box.y1 + 1;
    inner.cols = p.box.x2 - p.box.x1 + 1;
    p.area = count_set(inner);
  }
  return p;
}

std::int64_t count_both(const PreparedMask& a, const PreparedMask& b) {
  if (a.box.empty || b.box.empty) return 0;
  const std::int64_t x1 = std::max(a.box.x1, b.box.x1), x2 = std::min(a.box.x2, b.box.x2);
  const std::int64_t y1 = std::max(a.box.y1, b.box.y1), y2 = std::min(a.box.y2, b.box.y2);
  if (x1 > x2 || y1 > y2) return 0;
  std::int64_t count = 0;
  for (std::int64_t r = y1; r <= y2; ++r) {
    const std::uint8_t* pa = a.view.row(r);
    const std::uint8_t* pb = b.view.row(r);
    std::int64_t c = x1;
#if defined(__SSE2__)
    count += count_chunks(x2 + 1, c, [pa, pb](std::int64_t k) {
      const __m128i zero = _mm_setzero_si128();
      return _mm_or_si128(_mm_cmpeq_epi8(load16(pa + k), zero),
                          _mm_cmpeq_epi8(load16(pb + k), zero));
    });
#endif
    for (; c <= x2; ++c) count += (pa[c] != 0) & (pb[c] != 0);
  }
  return count;
}

std::int64_t count_either(const PreparedMask& a, const PreparedMask& b) {
  return a.area + b.area - count_both(a, b);
}

void require_same_size(const MaskView& a, const MaskView& b, const char* what) {
  if (a.rows != b.rows || a.cols != b.cols)
    throw ValueError(std::string(what) + ": masks differ in size (" + std::to_string(a.rows) +
                     " x " + std::to_string(a.cols) + " and " + std::to_string(b.rows) + " x " +
                     std::to_string(b.cols) + ")");
}

}  // namespace hm
