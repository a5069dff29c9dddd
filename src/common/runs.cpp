#include "common/runs.hpp"

#include <algorithm>
#include <limits>
#include <string>

#include "common/errors.hpp"
#include "common/real_bits.hpp"

namespace hm {

namespace {

// The runs of non-zero reals of one row whose bits are not all zero.
template <typename T>
void real_row_runs(const T* p, std::int64_t cols, std::int64_t r, std::vector<Run>& out) {
  using R = RealBits<T>;
  std::int64_t c = 0;
  while (c < cols) {
    if (c + R::kPerBlock <= cols && R::zero_block(p + c)) {
      c += R::kPerBlock;
      continue;
    }
    const std::int64_t stop = std::min(cols, c + R::kPerBlock);
    while (c < stop && !non_zero(p[c])) ++c;
    if (c == stop) continue;
    const std::int64_t start = c;
    while (c < cols && non_zero(p[c])) ++c;
    out.push_back({static_cast<std::int32_t>(r), static_cast<std::int32_t>(start),
                   static_cast<std::int32_t>(c - 1)});
  }
}

}  // namespace

Runs runs_of(const MaskView& m) {
  Runs out;
  out.rows = std::max<std::int64_t>(m.rows, 0);
  out.cols = std::max<std::int64_t>(m.cols, 0);
  if (m.empty()) return out;
  constexpr std::int64_t kMax = std::numeric_limits<std::int32_t>::max() - 4;
  if (out.rows > kMax || out.cols > kMax)
    throw ValueError("mask: the mask is too large (" + std::to_string(m.rows) + " x " +
                     std::to_string(m.cols) + ")");
  out.row_start.assign(static_cast<std::size_t>(out.rows) + 1, 0);
  const std::int64_t cols = m.cols;
  for (std::int64_t r = 0; r < m.rows; ++r) {
    out.row_start[static_cast<std::size_t>(r)] = out.runs.size();
    const std::uint8_t* p = m.row(r);
    // Most rows of a mask are empty: one OR over the row settles them.
    if (or_of_words(p, static_cast<std::size_t>(cols) * element_size(m.element)) == 0) continue;
    if (m.element == Element::f32) {
      real_row_runs(reinterpret_cast<const float*>(p), cols, r, out.runs);
      continue;
    }
    if (m.element == Element::f64) {
      real_row_runs(reinterpret_cast<const double*>(p), cols, r, out.runs);
      continue;
    }
    for (std::int64_t c = next_set(p, 0, cols); c < cols; c = next_set(p, c, cols)) {
      const std::int64_t end = next_clear(p, c, cols);
      out.runs.push_back({static_cast<std::int32_t>(r), static_cast<std::int32_t>(c),
                          static_cast<std::int32_t>(end - 1)});
      c = end;
    }
  }
  out.row_start.back() = out.runs.size();
  return out;
}

}  // namespace hm
