#include "common/runs.hpp"

#include <algorithm>
#include <cstring>
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
  constexpr std::uint64_t kOnes = 0x0101010101010101ULL, kHighs = 0x8080808080808080ULL;
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
    std::int64_t c = 0;
    while (c < cols) {
      // Zero stretches go by 64 bytes, then 8, before the byte-wise search.
      for (; c + 64 <= cols; c += 64) {
        std::uint64_t w[8];
        std::memcpy(w, p + c, 64);
        if ((w[0] | w[1] | w[2] | w[3]) | (w[4] | w[5] | w[6] | w[7])) break;
      }
      for (; c + 8 <= cols; c += 8) {
        std::uint64_t w;
        std::memcpy(&w, p + c, 8);
        if (w) break;
      }
      while (c < cols && !p[c]) ++c;
      if (c >= cols) break;
      const std::int64_t start = c;
      for (; c + 8 <= cols; c += 8) {
        std::uint64_t w;
        std::memcpy(&w, p + c, 8);
        if ((w - kOnes) & ~w & kHighs) break;  // some byte is zero
      }
      while (c < cols && p[c]) ++c;
      out.runs.push_back({static_cast<std::int32_t>(r), static_cast<std::int32_t>(start),
                          static_cast<std::int32_t>(c - 1)});
    }
  }
  out.row_start.back() = out.runs.size();
  return out;
}

}  // namespace hm
