#include "detect/start_frame.hpp"

#include <algorithm>
#include <cstring>
#include <new>
#include <string>

#include "common/errors.hpp"
#include "common/parallel.hpp"
#include "measures/intersection.hpp"

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

void take_masks(const std::vector<PreparedMask>& masks, const std::vector<std::int64_t>& keys,
                std::uint8_t* out, ZeroBuffer* out_buffer) {
  const auto count = static_cast<std::int64_t>(masks.size());
  for (const std::int64_t k : keys)
    if (k < 0 || k >= count)
      throw IndexError("mask position " + std::to_string(k) + " is outside the " +
                       std::to_string(count) + " masks");
  if (keys.empty()) return;
  const MaskView& first = masks.front().view;
  for (const PreparedMask& m : masks)
    if (m.view.element != first.element)
      throw ValueError("masks to copy must share one element type");
  for (const PreparedMask& m : masks) require_same_size(first, m.view, "masks");
  const std::size_t row_bytes =
      checked_bytes({first.cols}, element_size(first.element), "mask planes");
  const std::size_t plane =
      checked_bytes({first.rows, first.cols}, element_size(first.element), "mask planes");
  parallel_for(keys.size(), threads_for_bytes(static_cast<std::int64_t>(plane * keys.size())),
               [&](std::size_t i) {
                 const PreparedMask& m = masks[static_cast<std::size_t>(keys[i])];
                 const RowSpan rows = m.stored_rows;
                 if (rows.first > rows.last) return;
                 std::uint8_t* begin = out + i * plane + rows.first * row_bytes;
                 const std::size_t bytes =
                     static_cast<std::size_t>(rows.last - rows.first + 1) * row_bytes;
                 if (out_buffer) {
                   const auto offset = static_cast<std::size_t>(begin - out_buffer->data());
                   out_buffer->prepare_write(offset, offset + bytes);
                 }
                 const MaskView& v = m.view;
                 if (v.row_stride == static_cast<std::int64_t>(row_bytes)) {
                   std::memcpy(begin, v.row(rows.first), bytes);
                   return;
                 }
                 for (std::int64_t r = rows.first; r <= rows.last; ++r)
                   std::memcpy(begin + (r - rows.first) * row_bytes, v.row(r), row_bytes);
               });
}

}  // namespace hm::detect
