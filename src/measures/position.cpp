#include "measures/position.hpp"

#include <limits>

#include "common/parallel.hpp"

namespace hm::measures {

namespace {

// Sums of the set pixels' columns and rows within the box.
template <typename T>
void coordinate_sums(PlaneView<T> m, const TightBox& box, double& columns, double& rows) {
  std::int64_t sum_c = 0, sum_r = 0;
  for (std::int64_t r = box.y1; r <= box.y2; ++r) {
    const T* row = m.row(r);
    std::int64_t n = 0, s = 0;
    for (std::int64_t c = box.x1; c <= box.x2; ++c)
      if (non_zero(row[c])) {
        ++n;
        s += c;
      }
    sum_c += s;
    sum_r += n * r;
  }
  columns = static_cast<double>(sum_c);
  rows = static_cast<double>(sum_r);
}

}  // namespace

std::vector<MaskPosition> mask_positions(const std::vector<MaskView>& masks) {
  std::vector<MaskPosition> out(masks.size());
  parallel_for(masks.size(), threads_for_bytes(bytes_of(masks)), [&](std::size_t i) {
    const PreparedMask p = prepare(masks[i]);
    MaskPosition& pos = out[i];
    pos.area = p.area;
    pos.box = p.box;
    if (p.area == 0) {
      pos.cx = pos.cy = std::numeric_limits<double>::quiet_NaN();
      return;
    }
    double columns = 0, rows = 0;
    visit(p.view, [&](auto plane) { coordinate_sums(plane, p.box, columns, rows); });
    pos.cx = columns / static_cast<double>(p.area);
    pos.cy = rows / static_cast<double>(p.area);
  });
  return out;
}

}  // namespace hm::measures
