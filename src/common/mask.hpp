// Masks as the core reads them. One job each:
//   MaskView      a borrowed, read-only 2-D mask of bytes or reals, any row step.
//   PlaneView<T>  the same with its element type known, for code written per type
//                 (label images use it too).
//   Mask          an owned, contiguous byte mask.
//   PreparedMask  a MaskView with its tight box, area and stored rows, found once.
//   Runs          a mask as runs of set pixels per row (common/runs.hpp).
#pragma once

#include <algorithm>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <opencv2/core/mat.hpp>
#include <vector>

#include "common/sizes.hpp"

namespace hm {

// Element types read in place: bytes stand for bool, uint8 and int8 alike.
enum class Element : std::uint8_t { bytes, f32, f64 };

inline std::size_t element_size(Element e) {
  return e == Element::bytes ? 1 : e == Element::f32 ? 4 : 8;
}

template <typename T>
constexpr Element element_of();
template <>
constexpr Element element_of<std::uint8_t>() {
  return Element::bytes;
}
template <>
constexpr Element element_of<float>() {
  return Element::f32;
}
template <>
constexpr Element element_of<double>() {
  return Element::f64;
}

// What a pixel's element means, as each step reads it. Byte masks (bool, uint8)
// are set where non-zero under every rule. Reals differ: non-zero counts NaN and
// not -0.0; greater than 0 counts neither, nor negatives.
template <typename T>
constexpr bool non_zero(T v) {
  return v != 0;
}
template <typename T>
constexpr bool positive(T v) {
  return v > 0;
}

// An element as an array cast to unsigned bytes gives it, the weight of a pixel
// in moments taken on such a cast: bytes as they are; reals cut toward zero to a
// 32-bit integer whose low byte is kept, and 0 where that integer cannot hold
// them (NaN, infinities, beyond +-2^31), which is what the array library's cast
// gives on common hardware.
constexpr std::uint8_t byte_value(std::uint8_t v) { return v; }
template <std::floating_point T>
constexpr std::uint8_t byte_value(T v) {
  if (!(v > T(-2147483649.0) && v < T(2147483648.0))) return 0;
  return static_cast<std::uint8_t>(static_cast<std::uint32_t>(static_cast<std::int32_t>(v)));
}

template <typename T>
struct PlaneView {
  const T* data = nullptr;
  std::int64_t rows = 0;
  std::int64_t cols = 0;
  std::int64_t row_stride = 0;  // bytes between rows, negative for flipped rows

  const T* row(std::int64_t r) const {
    return reinterpret_cast<const T*>(reinterpret_cast<const char*>(data) + r * row_stride);
  }
  T at(std::int64_t r, std::int64_t c) const { return row(r)[c]; }
};

struct MaskView {
  const std::uint8_t* data = nullptr;  // first element
  std::int64_t rows = 0;
  std::int64_t cols = 0;
  std::int64_t row_stride = 0;  // bytes between rows; elements of a row are adjacent
  Element element = Element::bytes;

  bool empty() const { return rows <= 0 || cols <= 0; }
  // Start of row r. Byte masks index it directly; other elements go through plane<T>().
  const std::uint8_t* row(std::int64_t r) const { return data + r * row_stride; }
  bool at(std::int64_t r, std::int64_t c) const { return row(r)[c] != 0; }
  template <typename T>
  PlaneView<T> plane() const {
    return {reinterpret_cast<const T*>(data), rows, cols, row_stride};
  }
  // A byte mask as an OpenCV image: wrapped where OpenCV can address its rows,
  // copied where it cannot (rows flipped, repeated or overlapping).
  cv::Mat as_mat() const;
};

// Calls fn with the view as PlaneView<std::uint8_t>, <float> or <double>.
template <typename Fn>
decltype(auto) visit(const MaskView& m, Fn&& fn) {
  switch (m.element) {
    case Element::f32:
      return fn(m.plane<float>());
    case Element::f64:
      return fn(m.plane<double>());
    case Element::bytes:
      break;
  }
  return fn(m.plane<std::uint8_t>());
}

struct Mask {
  std::int64_t rows = 0;
  std::int64_t cols = 0;
  std::vector<std::uint8_t> pixels;  // 0 or 1, row after row

  Mask() = default;
  Mask(std::int64_t r, std::int64_t c)
      : rows(r), cols(c), pixels(checked_bytes({r, c}, 1, "mask"), 0) {}
  MaskView view() const { return {pixels.data(), rows, cols, cols}; }
  std::uint8_t* row(std::int64_t r) { return pixels.data() + r * cols; }
};

// The tight inclusive box of the set pixels; `empty` when there are none.
struct TightBox {
  bool empty = true;
  std::int64_t x1 = 0, y1 = 0, x2 = 0, y2 = 0;  // inclusive
};

// Grows `box` by the span [first, last] of row r, rows taken in any order.
inline void extend(TightBox& box, std::int64_t r, std::int64_t first, std::int64_t last) {
  if (box.empty) {
    box = {false, first, r, last, r};
    return;
  }
  box.x1 = std::min(box.x1, first);
  box.x2 = std::max(box.x2, last);
  box.y1 = std::min(box.y1, r);
  box.y2 = std::max(box.y2, r);
}

// An inclusive span of rows or columns; first > last for none.
struct RowSpan {
  std::int64_t first = 0;
  std::int64_t last = -1;
};

// OR of [p, p + n) read as 64-bit words; a last partial word is read zero-padded
// and folded into both halves, so a trailing 32-bit value keeps its place in
// either. Sixteen-byte lanes and four accumulators keep enough loads in flight
// to scan at memory speed. Non-zero exactly when some byte is.
inline std::uint64_t or_of_words(const void* p, std::size_t n) {
  using Lanes = std::uint64_t __attribute__((vector_size(16)));
  const auto* bytes = static_cast<const unsigned char*>(p);
  Lanes a{}, b{}, c{}, d{};
  std::size_t i = 0;
  // Four separate loads: one 64-byte copy into an array of lanes compiles, in
  // some callers, to a round trip through the stack that halves the speed.
  for (; i + 64 <= n; i += 64) {
    Lanes w0, w1, w2, w3;
    std::memcpy(&w0, bytes + i, 16);
    std::memcpy(&w1, bytes + i + 16, 16);
    std::memcpy(&w2, bytes + i + 32, 16);
    std::memcpy(&w3, bytes + i + 48, 16);
    a |= w0;
    b |= w1;
    c |= w2;
    d |= w3;
  }
  a |= b | c | d;
  std::uint64_t out = a[0] | a[1];
  for (; i + 8 <= n; i += 8) {
    std::uint64_t w;
    std::memcpy(&w, bytes + i, 8);
    out |= w;
  }
  if (i < n) {
    std::uint64_t w = 0;
    std::memcpy(&w, bytes + i, n - i);
    out |= w | (w << 32);
  }
  return out;
}

// Index of the first non-zero byte of p[x..n), or n. Zero stretches go by 64
// bytes, then 8, before the byte-wise search.
inline std::int64_t next_set(const std::uint8_t* p, std::int64_t x, std::int64_t n) {
  for (; x + 64 <= n; x += 64) {
    std::uint64_t w[8];
    std::memcpy(w, p + x, 64);
    if ((w[0] | w[1] | w[2] | w[3]) | (w[4] | w[5] | w[6] | w[7])) break;
  }
  for (; x + 8 <= n; x += 8) {
    std::uint64_t w;
    std::memcpy(&w, p + x, 8);
    if (w) break;
  }
  while (x < n && !p[x]) ++x;
  return x;
}

// Index of the first zero byte of p[x..n), or n. Set stretches go by 8 bytes.
inline std::int64_t next_clear(const std::uint8_t* p, std::int64_t x, std::int64_t n) {
  constexpr std::uint64_t kOnes = 0x0101010101010101ULL, kHighs = 0x8080808080808080ULL;
  for (; x + 8 <= n; x += 8) {
    std::uint64_t w;
    std::memcpy(&w, p + x, 8);
    if ((w - kOnes) & ~w & kHighs) break;  // some byte is zero
  }
  while (x < n && p[x]) ++x;
  return x;
}

// Bytes the masks' elements span: what one pass over all of them reads.
std::int64_t bytes_of(const std::vector<MaskView>& masks);

std::int64_t count_set(const MaskView& m);
TightBox tight_box(const MaskView& m);
// The first and last non-zero element of row r (inclusive as first and last), or
// none; an empty row costs one OR over it, a row with content is read from both
// ends only as far as those elements.
RowSpan row_span(const MaskView& m, std::int64_t r);

// Non-zero is set for the figures below; `positive` is the tight box of the
// elements greater than 0, found in the same pass for the steps that paint or
// cut out those (for byte masks the same as `box`).
struct PreparedMask {
  MaskView view;
  TightBox box;
  std::int64_t area = 0;
  TightBox positive;
  // Rows holding any bit other than zero: the box's rows, and for reals also rows
  // whose only non-zero bits are those of -0.0. Copying these rows into zeros
  // copies the mask bit for bit.
  RowSpan stored_rows;
};
PreparedMask prepare(const MaskView& m);
// The same for a mask known to have no set pixel outside `within`.
PreparedMask prepare(const MaskView& m, const TightBox& within);

// Pixels set in both masks. Only the overlap of the two tight boxes is scanned,
// which gives the same count as scanning the whole frame.
std::int64_t count_both(const PreparedMask& a, const PreparedMask& b);
// Pixels set in either mask: area(a) + area(b) - count_both(a, b).
std::int64_t count_either(const PreparedMask& a, const PreparedMask& b);

// Throws ValueError naming `what` when the two views differ in size.
void require_same_size(const MaskView& a, const MaskView& b, const char* what);

}  // namespace hm
