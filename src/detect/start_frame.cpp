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

OverlapOutcome drop_overlaps(const std::vector<PreparedMask>& masks,
                             const std::vector<double>& scores, double limit_percent) {
  const std::size_t n = masks.size();
  if (scores.size() != n)
    throw ValueError("the segmenter returned " + std::to_string(n) + " masks for " +
                     std::to_string(scores.size()) + " boxes");
  OverlapOutcome out;
  out.areas.reserve(n);
  for (const auto& m : masks) out.areas.push_back(static_cast<double>(m.area));
  out.table = measures::intersection_table(masks, out.areas);

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

namespace {

// OR of all 64-bit words of [p, p + n) (n a multiple of 4). Sixteen-byte lanes
// and four accumulators keep enough loads in flight to run at memory speed.
std::uint64_t row_bits(const void* p, std::size_t n) {
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
    std::uint32_t w;
    std::memcpy(&w, bytes + i, 4);
    out |= w | (std::uint64_t{w} << 32);
  }
  return out;
}

}  // namespace

template <typename T>
PlaneMasks PlaneMasks::from_planes(const T* data, std::int64_t count, std::int64_t rows,
                                   std::int64_t cols) {
  if (count < 0 || rows < 0 || cols < 0) throw ValueError("mask planes: negative size");
  using Bits = std::conditional_t<sizeof(T) == 4, std::uint32_t, std::uint64_t>;
  static_assert(sizeof(Bits) == sizeof(T));
  // Reads the reals' bit patterns in place; may_alias keeps that well-defined.
  using AliasBits [[gnu::may_alias]] = Bits;
  constexpr Bits kMagnitude = ~Bits(0) >> 1;
  // The same mask over a 64-bit word holding one or two reals.
  constexpr std::uint64_t kRowMagnitude =
      sizeof(T) == 4 ? 0x7fffffff7fffffffULL : 0x7fffffffffffffffULL;
  PlaneMasks out;
  const std::size_t plane = static_cast<std::size_t>(rows) * static_cast<std::size_t>(cols);
  const auto n = static_cast<std::size_t>(count);
  out.buffers_.resize(n);
  out.prepared_.resize(n);
  out.raw_rows_.resize(n);
  // Planes are independent; two readers get more of the memory bandwidth than one.
  measures::for_each_mask(n, static_cast<std::int64_t>(plane * sizeof(T) * n), [&](std::size_t k) {
    const T* src = data + k * plane;
    PreparedMask pm;
    TightBox box;
    RowRange raw;
    std::int64_t area = 0;
    for (std::int64_t r = 0; r < rows; ++r) {
      const T* row = src + r * cols;
      // Most rows of an animal's mask are empty: one OR over the row's bits settles
      // them. The sign bit is masked off afterwards, so -0.0 counts as zero and NaN
      // as set, as a non-zero test on reals has it.
      const std::uint64_t row_or = row_bits(row, cols * sizeof(T));
      if (row_or != 0) {
        if (raw.last < raw.first) raw.first = r;
        raw.last = r;
      }
      if ((row_or & kRowMagnitude) == 0) continue;
      const AliasBits* bits = reinterpret_cast<const AliasBits*>(row);
      std::int64_t set = 0;
      for (std::int64_t c = 0; c < cols; ++c) set += (bits[c] & kMagnitude) != 0;
      std::int64_t first = 0;
      while (row[first] == T(0)) ++first;
      std::int64_t last = cols - 1;
      while (row[last] == T(0)) --last;
      if (box.empty) {
        box = {false, first, r, last, r};
      } else {
        box.x1 = std::min(box.x1, first);
        box.x2 = std::max(box.x2, last);
        box.y2 = r;
      }
      area += set;
    }
    // calloc leaves untouched pages to the kernel's shared zero page.
    auto* bytes = static_cast<std::uint8_t*>(std::calloc(plane > 0 ? plane : 1, 1));
    if (!bytes) throw std::bad_alloc();
    out.buffers_[k].reset(bytes);
    if (!box.empty) {
      for (std::int64_t r = box.y1; r <= box.y2; ++r) {
        const T* row = src + r * cols;
        std::uint8_t* dst = bytes + r * cols;
        for (std::int64_t c = box.x1; c <= box.x2; ++c) dst[c] = row[c] != T(0);
      }
    }
    pm.view = {bytes, rows, cols, cols};
    pm.box = box;
    pm.area = area;
    out.prepared_[k] = pm;
    out.raw_rows_[k] = raw;
  });
  return out;
}

template PlaneMasks PlaneMasks::from_planes<float>(const float*, std::int64_t, std::int64_t,
                                                   std::int64_t);
template PlaneMasks PlaneMasks::from_planes<double>(const double*, std::int64_t, std::int64_t,
                                                    std::int64_t);

template <typename T>
void take_planes(const T* data, std::int64_t count, std::int64_t rows, std::int64_t cols,
                 const std::vector<std::int64_t>& keys, T* out,
                 const std::vector<RowRange>* raw_rows) {
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
          if (rr.first <= rr.last)
            std::memcpy(dst + rr.first * cols, src + rr.first * cols,
                        static_cast<std::size_t>(rr.last - rr.first + 1) * row_bytes);
          return;
        }
        for (std::int64_t r = 0; r < rows; ++r) {
          const T* row = src + r * cols;
          // Any bit counts here (-0.0 too), so the copy is exact bit for bit.
          if (row_bits(row, row_bytes) != 0) std::memcpy(dst + r * cols, row, row_bytes);
        }
      });
}

template void take_planes<float>(const float*, std::int64_t, std::int64_t, std::int64_t,
                                 const std::vector<std::int64_t>&, float*,
                                 const std::vector<RowRange>*);
template void take_planes<double>(const double*, std::int64_t, std::int64_t, std::int64_t,
                                  const std::vector<std::int64_t>&, double*,
                                  const std::vector<RowRange>*);

}  // namespace hm::detect
