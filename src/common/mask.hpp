// Masks as the core sees them: a read-only 2-D byte view in which any non-zero
// byte is a set pixel. Views never own memory; Mask owns a contiguous buffer.
#pragma once

#include <cstdint>
#include <vector>

#include <opencv2/core/mat.hpp>

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
