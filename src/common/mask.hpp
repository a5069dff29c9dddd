// Masks as the core sees them: a read-only 2-D byte view in which any non-zero
// byte is a set pixel. Views never own memory; Mask owns a contiguous buffer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <opencv2/core/mat.hpp>
#include <vector>

namespace hm {

struct MaskView {
  const std::uint8_t* data = nullptr;
  std::int64_t rows = 0;
  std::int64_t cols = 0;
  std::int64_t row_stride = 0;  // bytes between rows; columns are 1 byte apart

  bool empty() const { return rows <= 0 || cols <= 0; }
  const std::uint8_t* row(std::int64_t r) const { return data + r * row_stride; }
  bool at(std::int64_t r, std::int64_t c) const { return row(r)[c] != 0; }
  // Wraps the view without copying. Only for views with a non-negative row stride.
  cv::Mat as_mat() const;
};

// A contiguous rows x cols byte mask that owns its pixels (0 or 1).
struct Mask {
  std::int64_t rows = 0;
  std::int64_t cols = 0;
  std::vector<std::uint8_t> pixels;

  Mask() = default;
  Mask(std::int64_t r, std::int64_t c) : rows(r), cols(c), pixels(static_cast<size_t>(r * c), 0) {}
  MaskView view() const { return {pixels.data(), rows, cols, cols}; }
  std::uint8_t* row(std::int64_t r) { return pixels.data() + r * cols; }
};

// The tight inclusive box of the set pixels; `empty` when there are none.
struct TightBox {
  bool empty = true;
  std::int64_t x1 = 0, y1 = 0, x2 = 0, y2 = 0;  // inclusive
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
  for (; i + 64 <= n; i += 64) {
    Lanes w[4];
    std::memcpy(w, bytes + i, 64);
    a |= w[0];
    b |= w[1];
    c |= w[2];
    d |= w[3];
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

std::int64_t count_set(const MaskView& m);
TightBox tight_box(const MaskView& m);

// A mask together with the figures every pairwise measure needs, computed once.
struct PreparedMask {
  MaskView view;
  TightBox box;
  std::int64_t area = 0;
};
PreparedMask prepare(const MaskView& m);

// Pixels set in both masks. Only the overlap of the two tight boxes is scanned,
// which gives the same count as scanning the whole frame.
std::int64_t count_both(const PreparedMask& a, const PreparedMask& b);
// Pixels set in either mask: area(a) + area(b) - count_both(a, b).
std::int64_t count_either(const PreparedMask& a, const PreparedMask& b);

// Throws ValueError naming `what` when the two views differ in size.
void require_same_size(const MaskView& a, const MaskView& b, const char* what);

}  // namespace hm
