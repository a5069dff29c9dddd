#include "detect/start_frame.hpp"

#include <algorithm>
#include <cstring>
#include <new>
#include <string>
#include <type_traits>

#include "common/errors.hpp"
#include "measures/intersection.hpp"
#include "measures/parallel.hpp"

namespace hm::detect {

template <typename T>
std::vector<std::uint8_t> plausible_size(const T* boxes, std::size_t count, double image_height) {
  std::vector<std::uint8_t> keep(count, 0);
  const double half = 0.5 * image_height;
  for (std::size_t i = 0; i < count; ++i) {
    const T* b = boxes + 4 * i;
    const T area_in_precision = (b[2] - b[0]) * (b[3] - b[1]);
    const double area = area_in_precision;
    const double top = b[1];
    keep[i] =
        (top < half && area < kUpperHalfAreaLimit) || (top >= half && area < kLowerHalfAreaLimit);
  }
  return keep;
}

template std::vector<std::uint8_t> plausible_size<float>(const float*, std::size_t, double);
template std::vector<std::uint8_t> plausible_size<double>(const double*, std::size_t, double);

namespace {

// Marks, for every cell of the finished table above the limit, the lower-scored
// box of the pair.
OverlapOutcome decide(std::vector<double> areas, std::vector<double> table,
                      const std::vector<double>& scores, double limit_percent) {
  const std::size_t n = areas.size();
  OverlapOutcome out;
  out.areas = std::move(areas);
  out.table = std::move(table);
  std::vector<std::uint8_t> marked(n, 0);
  for (std::size_t row = 0; row < n; ++row) {
    for (std::size_t col = 0; col < n; ++col) {
      if (!(out.table[row * n + col] > limit_percent)) continue;
      const std::size_t victim = scores[row] > scores[col] ? col : row;
      if (!marked[victim]) {
        marked[victim] = 1;
        out.removed.push_back(static_cast<std::int64_t>(victim));
      }
    }
  }
  for (std::size_t i = 0; i < n; ++i)
    if (!marked[i]) out.kept.push_back(static_cast<std::int64_t>(i));
  return out;
}

void require_one_score_per_mask(std::size_t masks, std::size_t scores) {
  if (scores != masks)
    throw ValueError("the segmenter returned " + std::to_string(masks) + " masks for " +
                     std::to_string(scores) + " boxes");
}

}  // namespace

OverlapOutcome drop_overlaps(const std::vector<PreparedMask>& masks,
                             const std::vector<double>& scores, double limit_percent) {
  require_one_score_per_mask(masks.size(), scores.size());
  std::vector<double> areas;
  areas.reserve(masks.size());
  for (const auto& m : masks) areas.push_back(static_cast<double>(m.area));
  std::vector<double> table = measures::intersection_table(masks, areas);
  return decide(std::move(areas), std::move(table), scores, limit_percent);
}

OverlapOutcome drop_overlaps(const PlaneMasks& masks, const std::vector<double>& scores,
                             double limit_percent) {
  require_one_score_per_mask(masks.size(), scores.size());
  std::vector<double> areas(masks.areas().begin(), masks.areas().end());
  std::vector<double> table = measures::intersection_table(
      masks.size(), areas, [&](std::size_t i, std::size_t j) { return masks.count_both(i, j); });
  return decide(std::move(areas), std::move(table), scores, limit_percent);
}

namespace {

// The bit patterns of reals of type T, and the mask that leaves out the sign:
// a real is non-zero exactly when its magnitude bits are (NaN included).
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

  // Position of the first non-zero real of [p, p + n), or -1: whole 64-byte
  // blocks are settled with one test each.
  static std::int64_t first_set(const T* p, std::int64_t n) {
    std::int64_t i = 0;
    while (i + kPerBlock <= n && !(or_of_words(p + i, 64) & kWordMagnitude)) i += kPerBlock;
    const Alias* bits = of(p);
    for (; i < n; ++i)
      if (bits[i] & kMagnitude) return i;
    return -1;
  }

  // Position of the last non-zero real of [p, p + n), or -1.
  static std::int64_t last_set(const T* p, std::int64_t n) {
    std::int64_t i = n;
    while (i >= kPerBlock && !(or_of_words(p + i - kPerBlock, 64) & kWordMagnitude)) i -= kPerBlock;
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

}  // namespace

template <typename T>
PlaneMasks PlaneMasks::from_planes(const T* data, std::int64_t count, std::int64_t rows,
                                   std::int64_t cols) {
  if (count < 0 || rows < 0 || cols < 0) throw ValueError("mask planes: negative size");
  using R = RealBits<T>;
  PlaneMasks out;
  out.data_ = data;
  out.doubles_ = sizeof(T) == 8;
  out.rows_ = rows;
  out.cols_ = cols;
  const std::size_t plane = static_cast<std::size_t>(rows) * static_cast<std::size_t>(cols);
  const auto n = static_cast<std::size_t>(count);
  out.boxes_.resize(n);
  out.areas_.resize(n);
  out.raw_rows_.resize(n);
  // Planes are independent; two readers get more of the memory bandwidth than one.
  measures::for_each_mask(n, static_cast<std::int64_t>(plane * sizeof(T) * n), [&](std::size_t k) {
    const T* src = data + k * plane;
    TightBox box;
    RowRange raw;
    std::int64_t area = 0;
    for (std::int64_t r = 0; r < rows; ++r) {
      const T* row = src + r * cols;
      // Most rows of an animal's mask are empty: one OR over the row's bits settles
      // them. The sign bit is masked off afterwards, so -0.0 counts as zero and NaN
      // as set, as a non-zero test on reals has it.
      const std::uint64_t row_or = or_of_words(row, cols * sizeof(T));
      if (row_or != 0) {
        if (raw.last < raw.first) raw.first = r;
        raw.last = r;
      }
      if ((row_or & R::kWordMagnitude) == 0) continue;
      area += R::count_set(row, cols);
      const std::int64_t first = R::first_set(row, cols);
      const std::int64_t last = first + R::last_set(row + first, cols - first);
      if (box.empty) {
        box = {false, first, r, last, r};
      } else {
        box.x1 = std::min(box.x1, first);
        box.x2 = std::max(box.x2, last);
        box.y2 = r;
      }
    }
    out.boxes_[k] = box;
    out.areas_[k] = area;
    out.raw_rows_[k] = raw;
  });
  return out;
}

template <typename T>
std::int64_t PlaneMasks::count_both_of(std::size_t i, std::size_t j) const {
  const TightBox& a = boxes_[i];
  const TightBox& b = boxes_[j];
  if (a.empty || b.empty) return 0;
  const std::int64_t x1 = std::max(a.x1, b.x1), x2 = std::min(a.x2, b.x2);
  const std::int64_t y1 = std::max(a.y1, b.y1), y2 = std::min(a.y2, b.y2);
  if (x1 > x2 || y1 > y2) return 0;
  const auto plane = static_cast<std::size_t>(rows_) * static_cast<std::size_t>(cols_);
  const T* pa = static_cast<const T*>(data_) + i * plane;
  const T* pb = static_cast<const T*>(data_) + j * plane;
  std::int64_t both = 0;
  for (std::int64_t r = y1; r <= y2; ++r)
    both += RealBits<T>::count_both(pa + r * cols_ + x1, pb + r * cols_ + x1, x2 - x1 + 1);
  return both;
}

std::int64_t PlaneMasks::count_both(std::size_t i, std::size_t j) const {
  if (i >= size() || j >= size()) throw IndexError("mask plane position out of range");
  return doubles_ ? count_both_of<double>(i, j) : count_both_of<float>(i, j);
}

template PlaneMasks PlaneMasks::from_planes<float>(const float*, std::int64_t, std::int64_t,
                                                   std::int64_t);
template PlaneMasks PlaneMasks::from_planes<double>(const double*, std::int64_t, std::int64_t,
                                                    std::int64_t);

template <typename T>
void take_planes(const T* data, std::int64_t count, std::int64_t rows, std::int64_t cols,
                 const std::vector<std::int64_t>& keys, T* out,
                 const std::vector<RowRange>* raw_rows, ZeroBuffer* out_buffer) {
  if (count < 0 || rows < 0 || cols < 0) throw ValueError("mask planes: negative size");
  if (raw_rows) {
    if (raw_rows->size() != static_cast<std::size_t>(count))
      throw ValueError("one row range per mask plane is needed");
    for (const RowRange& rr : *raw_rows)
      if (rr.first <= rr.last && (rr.first < 0 || rr.last >= rows))
        throw ValueError("a row range lies outside the mask planes");
  }
  for (const std::int64_t k : keys)
    if (k < 0 || k >= count)
      throw IndexError("mask position " + std::to_string(k) + " is outside the " +
                       std::to_string(count) + " masks");
  const std::size_t plane = static_cast<std::size_t>(rows) * static_cast<std::size_t>(cols);
  const std::size_t row_bytes = static_cast<std::size_t>(cols) * sizeof(T);
  measures::for_each_mask(
      keys.size(), static_cast<std::int64_t>(plane * sizeof(T) * keys.size()), [&](std::size_t i) {
        const T* src = data + static_cast<std::size_t>(keys[i]) * plane;
        T* dst = out + i * plane;
        if (raw_rows) {
          const RowRange rr = (*raw_rows)[static_cast<std::size_t>(keys[i])];
          if (rr.first > rr.last) return;
          T* begin = dst + rr.first * cols;
          const std::size_t bytes = static_cast<std::size_t>(rr.last - rr.first + 1) * row_bytes;
          if (out_buffer) {
            const auto offset = static_cast<std::size_t>(reinterpret_cast<std::uint8_t*>(begin) -
                                                         out_buffer->data());
            out_buffer->prepare_write(offset, offset + bytes);
          }
          std::memcpy(begin, src + rr.first * cols, bytes);
          return;
        }
        for (std::int64_t r = 0; r < rows; ++r) {
          const T* row = src + r * cols;
          // Any bit counts here (-0.0 too), so the copy is exact bit for bit.
          if (or_of_words(row, row_bytes) != 0) std::memcpy(dst + r * cols, row, row_bytes);
        }
      });
}

template void take_planes<float>(const float*, std::int64_t, std::int64_t, std::int64_t,
                                 const std::vector<std::int64_t>&, float*,
                                 const std::vector<RowRange>*, ZeroBuffer*);
template void take_planes<double>(const double*, std::int64_t, std::int64_t, std::int64_t,
                                  const std::vector<std::int64_t>&, double*,
                                  const std::vector<RowRange>*, ZeroBuffer*);

}  // namespace hm::detect
