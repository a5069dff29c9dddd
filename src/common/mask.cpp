#include "common/mask.hpp"

#include <algorithm>
#include <cstring>
#include <string>

#include "common/errors.hpp"

namespace hm {

cv::Mat MaskView::as_mat() const {
  if (empty()) return cv::Mat(static_cast<int>(std::max<std::int64_t>(rows, 0)),
                              static_cast<int>(std::max<std::int64_t>(cols, 0)), CV_8U);
  return cv::Mat(static_cast<int>(rows), static_cast<int>(cols), CV_8U,
                 const_cast<std::uint8_t*>(data), static_cast<size_t>(row_stride));
}

namespace {

// Non-zero bytes in [p, p + n): eight bytes at a time where possible.
std::int64_t count_row(const std::uint8_t* p, std::int64_t n) {
  std::int64_t count = 0;
  std::int64_t i = 0;
  for (; i + 8 <= n; i += 8) {
    std::uint64_t word;
    std::memcpy(&word, p + i, 8);
    if (word == 0) continue;
    for (int k = 0; k < 8; ++k) count += p[i + k] != 0;
  }
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

TightBox tight_box(const MaskView& m) {
  TightBox box;
  if (m.empty()) return box;
  std::int64_t x1 = m.cols, x2 = -1, y1 = -1, y2 = -1;
  for (std::int64_t r = 0; r < m.rows; ++r) {
    const std::uint8_t* p = m.row(r);
    // First and last set column of this row, skipping zero words quickly.
    std::int64_t first = -1;
    for (std::int64_t c = 0; c < m.cols; ++c) {
      if (c + 8 <= m.cols) {
        std::uint64_t word;
        std::memcpy(&word, p + c, 8);
        if (word == 0) {
          c += 7;
          continue;
        }
      }
      if (p[c]) {
        first = c;
        break;
      }
    }
    if (first < 0) continue;
    std::int64_t last = first;
    for (std::int64_t c = m.cols - 1; c > first; --c) {
      if (p[c]) {
        last = c;
        break;
      }
    }
    if (y1 < 0) y1 = r;
    y2 = r;
    x1 = std::min(x1, first);
    x2 = std::max(x2, last);
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
  p.area = p.box.empty ? 0 : count_set(m);
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
    for (std::int64_t c = x1; c <= x2; ++c) count += (pa[c] != 0) & (pb[c] != 0);
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
