#include "common/mask.hpp"

#include <algorithm>
#include <bit>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#include <string>
#include <type_traits>

#include "common/errors.hpp"
#include "common/real_bits.hpp"

namespace hm {

cv::Mat MaskView::as_mat() const {
  if (element != Element::bytes) throw ValueError("mask: OpenCV reads byte masks only");
  if (empty())
    return cv::Mat(static_cast<int>(std::max<std::int64_t>(rows, 0)),
                   static_cast<int>(std::max<std::int64_t>(cols, 0)), CV_8U);
  // OpenCV keeps the row step unsigned and reads a step of 0 as "rows follow each
  // other": flipped or repeated rows would be misread, so they are copied.
  if (row_stride >= cols)
    return cv::Mat(static_cast<int>(rows), static_cast<int>(cols), CV_8U,
                   const_cast<std::uint8_t*>(data), static_cast<size_t>(row_stride));
  cv::Mat copy(static_cast<int>(rows), static_cast<int>(cols), CV_8U);
  for (std::int64_t r = 0; r < rows; ++r)
    std::memcpy(copy.ptr(static_cast<int>(r)), row(r), static_cast<size_t>(cols));
  return copy;
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

namespace {

std::int64_t count_set_bytes(const MaskView& m) {
  std::int64_t total = 0;
  for (std::int64_t r = 0; r < m.rows; ++r) total += count_row(m.row(r), m.cols);
  return total;
}

// Tight box, area, stored rows and the box of the positive elements of a plane of
// reals in one pass over it.
template <typename T>
PreparedMask prepare_reals(const MaskView& m) {
  using R = RealBits<T>;
  PreparedMask p;
  p.view = m;
  const PlaneView<T> plane = m.plane<T>();
  for (std::int64_t r = 0; r < m.rows; ++r) {
    const T* row = plane.row(r);
    // Most rows of an animal's mask are empty: one OR over the row's bits settles
    // them. The sign bit is masked off afterwards, so -0.0 counts as zero and NaN
    // as set, as a non-zero test on reals has it.
    const std::uint64_t row_or = or_of_words(row, static_cast<std::size_t>(m.cols) * sizeof(T));
    if (row_or != 0) {
      if (p.stored_rows.last < p.stored_rows.first) p.stored_rows.first = r;
      p.stored_rows.last = r;
    }
    if ((row_or & R::kWordMagnitude) == 0) continue;
    const std::int64_t first = R::first_set(row, m.cols);
    const std::int64_t last = first + R::last_set(row + first, m.cols - first);
    p.area += R::count_set(row + first, last - first + 1);
    extend(p.box, r, first, last);
    // The positive elements lie within [first, last]; in a mask of 0 and 1 the
    // search ends at once.
    std::int64_t a = first, b = last;
    while (a <= last && !positive(row[a])) ++a;
    if (a > last) continue;
    while (!positive(row[b])) --b;
    extend(p.positive, r, a, b);
  }
  return p;
}

// Tight box and area of a byte mask in one pass: each row with content is
// counted between its outermost set bytes while it is still in cache.
PreparedMask prepare_bytes(const MaskView& m) {
  PreparedMask p;
  p.view = m;
  for (std::int64_t r = 0; r < m.rows; ++r) {
    const std::uint8_t* row = m.row(r);
    if (or_of_words(row, static_cast<std::size_t>(m.cols)) == 0) continue;
    const std::int64_t first = first_set(row, m.cols);
    const std::int64_t last = first + last_set(row + first, m.cols - first);
    p.area += count_row(row + first, last - first + 1);
    extend(p.box, r, first, last);
  }
  if (p.box.empty) return p;
  p.stored_rows = {p.box.y1, p.box.y2};
  p.positive = p.box;
  return p;
}

// count_both for the overlap [x1, x2] x [y1, y2] of two boxes.
std::int64_t count_both_bytes(const MaskView& a, const MaskView& b, std::int64_t x1,
                              std::int64_t x2, std::int64_t y1, std::int64_t y2) {
  std::int64_t count = 0;
  for (std::int64_t r = y1; r <= y2; ++r) {
    const std::uint8_t* pa = a.row(r);
    const std::uint8_t* pb = b.row(r);
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

template <typename T>
std::int64_t count_both_reals(const MaskView& a, const MaskView& b, std::int64_t x1,
                              std::int64_t x2, std::int64_t y1, std::int64_t y2) {
  const PlaneView<T> pa = a.plane<T>(), pb = b.plane<T>();
  std::int64_t both = 0;
  for (std::int64_t r = y1; r <= y2; ++r)
    both += RealBits<T>::count_both(pa.row(r) + x1, pb.row(r) + x1, x2 - x1 + 1);
  return both;
}

}  // namespace

std::int64_t bytes_of(const std::vector<MaskView>& masks) {
  std::int64_t bytes = 0;
  for (const MaskView& m : masks)
    if (!m.empty()) bytes += m.rows * m.cols * static_cast<std::int64_t>(element_size(m.element));
  return bytes;
}

std::int64_t count_set(const MaskView& m) {
  if (m.empty()) return 0;
  return m.element == Element::bytes ? count_set_bytes(m) : prepare(m).area;
}

namespace {

template <typename T>
RowSpan real_row_span(const std::uint8_t* p, std::int64_t cols) {
  using R = RealBits<T>;
  if (!(or_of_words(p, static_cast<std::size_t>(cols) * sizeof(T)) & R::kWordMagnitude)) return {};
  const auto* row = reinterpret_cast<const T*>(p);
  const std::int64_t first = R::first_set(row, cols);
  return {first, first + R::last_set(row + first, cols - first)};
}

}  // namespace

RowSpan row_span(const MaskView& m, std::int64_t r) {
  const std::uint8_t* p = m.row(r);
  switch (m.element) {
    case Element::f32:
      return real_row_span<float>(p, m.cols);
    case Element::f64:
      return real_row_span<double>(p, m.cols);
    case Element::bytes:
      break;
  }
  if (or_of_words(p, static_cast<std::size_t>(m.cols)) == 0) return {};
  const std::int64_t first = first_set(p, m.cols);
  return {first, first + last_set(p + first, m.cols - first)};
}

TightBox tight_box(const MaskView& m) {
  TightBox box;
  if (m.empty()) return box;
  for (std::int64_t r = 0; r < m.rows; ++r) {
    const RowSpan span = row_span(m, r);
    if (span.first <= span.last) extend(box, r, span.first, span.last);
  }
  return box;
}

PreparedMask prepare(const MaskView& m) {
  if (m.empty()) return PreparedMask{m, {}, 0, {}, {}};
  switch (m.element) {
    case Element::f32:
      return prepare_reals<float>(m);
    case Element::f64:
      return prepare_reals<double>(m);
    case Element::bytes:
      break;
  }
  return prepare_bytes(m);
}

PreparedMask prepare(const MaskView& m, const TightBox& within) {
  if (m.empty() || within.empty) return PreparedMask{m, {}, 0, {}, {}};
  MaskView part = m;
  part.data = m.row(within.y1) + within.x1 * static_cast<std::int64_t>(element_size(m.element));
  part.rows = within.y2 - within.y1 + 1;
  part.cols = within.x2 - within.x1 + 1;
  PreparedMask p = prepare(part);
  p.view = m;
  for (TightBox* box : {&p.box, &p.positive}) {
    if (box->empty) continue;
    box->x1 += within.x1;
    box->x2 += within.x1;
    box->y1 += within.y1;
    box->y2 += within.y1;
  }
  if (p.stored_rows.first <= p.stored_rows.last) {
    p.stored_rows.first += within.y1;
    p.stored_rows.last += within.y1;
  }
  return p;
}

std::int64_t count_both(const PreparedMask& a, const PreparedMask& b) {
  if (a.box.empty || b.box.empty) return 0;
  const std::int64_t x1 = std::max(a.box.x1, b.box.x1), x2 = std::min(a.box.x2, b.box.x2);
  const std::int64_t y1 = std::max(a.box.y1, b.box.y1), y2 = std::min(a.box.y2, b.box.y2);
  if (x1 > x2 || y1 > y2) return 0;
  const Element e = a.view.element;
  if (e == b.view.element) {
    if (e == Element::bytes) return count_both_bytes(a.view, b.view, x1, x2, y1, y2);
    if (e == Element::f32) return count_both_reals<float>(a.view, b.view, x1, x2, y1, y2);
    return count_both_reals<double>(a.view, b.view, x1, x2, y1, y2);
  }
  // Masks of two element types: rare, read element by element.
  return visit(a.view, [&](auto pa) {
    return visit(b.view, [&](auto pb) {
      std::int64_t both = 0;
      for (std::int64_t r = y1; r <= y2; ++r) {
        const auto* ra = pa.row(r);
        const auto* rb = pb.row(r);
        for (std::int64_t c = x1; c <= x2; ++c) both += (ra[c] != 0) & (rb[c] != 0);
      }
      return both;
    });
  });
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
