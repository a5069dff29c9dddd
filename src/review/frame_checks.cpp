#include "review/frame_checks.hpp"

#include <algorithm>
#include <cstring>

#include "common/errors.hpp"
#include "measures/intersection.hpp"

namespace hm::review {

namespace {

inline std::uint64_t word_at(const std::uint8_t* p) {
  std::uint64_t w;
  std::memcpy(&w, p, 8);
  return w;
}

inline bool block_empty(const std::uint8_t* p) {
  std::uint64_t w = 0;
  for (int k = 0; k < 8; ++k) w |= word_at(p + 8 * k);
  return w == 0;
}

// Number of non-zero bytes in a word: fold each byte onto its low bit, then add the bytes.
inline std::int64_t nonzero_bytes(std::uint64_t w) {
  w |= w >> 4;
  w |= w >> 2;
  w |= w >> 1;
  w &= 0x0101010101010101ULL;
  return static_cast<std::int64_t>((w * 0x0101010101010101ULL) >> 56);
}

std::vector<PreparedMask> prepare_all(const std::vector<MaskView>& masks, const char* what) {
  std::vector<PreparedMask> out;
  out.reserve(masks.size());
  for (const auto& m : masks) {
    if (!out.empty()) require_same_size(out.front().view, m, what);
    out.push_back(prepare_in_one_pass(m));
  }
  return out;
}

std::vector<double> areas_of(const std::vector<PreparedMask>& masks) {
  std::vector<double> areas;
  areas.reserve(masks.size());
  for (const auto& p : masks) areas.push_back(static_cast<double>(p.area));
  return areas;
}

}  // namespace

PreparedMask prepare_in_one_pass(const MaskView& m) {
  PreparedMask p;
  p.view = m;
  if (m.empty()) return p;
  const std::int64_t cols = m.cols;
  std::int64_t x1 = cols, x2 = -1, y1 = -1, y2 = -1, area = 0;
  for (std::int64_t r = 0; r < m.rows; ++r) {
    const std::uint8_t* row = m.row(r);
    std::int64_t first = 0;
    while (first + 64 <= cols && block_empty(row + first)) first += 64;
    while (first < cols && row[first] == 0) ++first;
    if (first == cols) continue;
    std::int64_t end = cols;  // one past the last set byte
    while (end - 64 > first && block_empty(row + end - 64)) end -= 64;
    while (row[end - 1] == 0) --end;
    std::int64_t c = first;
    for (; c + 8 <= end; c += 8) area += nonzero_bytes(word_at(row + c));
    for (; c < end; ++c) area += row[c] != 0;
    if (y1 < 0) y1 = r;
    y2 = r;
    x1 = std::min(x1, first);
    x2 = std::max(x2, end - 1);
  }
  if (y1 < 0) return p;
  p.box = {false, x1, y1, x2, y2};
  p.area = area;
  return p;
}

LastFrameVerdict check_last_frame(const std::vector<MaskView>& masks, double min_area,
                                  std::int64_t n_track) {
  const auto prepared = prepare_all(masks, "masks_dict");
  std::int64_t n_valid = 0;
  for (const auto& p : prepared) {
    if (!(static_cast<double>(p.area) > min_area)) return LastFrameVerdict::small_area;
  }
  for (const auto& p : prepared) n_valid += p.area > 0 ? 1 : 0;
  if (n_valid < n_track) return LastFrameVerdict::too_few_masks;
  // The coverage table is the costly part, so it is built only when it decides.
  const auto table = measures::intersection_table(prepared, areas_of(prepared));
  for (double cell : table)
    if (!(cell < 50.0)) return LastFrameVerdict::overlap;
  return LastFrameVerdict::qualifies;
}

MatchVerdict check_new_masks(const std::vector<MaskView>& masks, std::int64_t n_track,
                             double min_area) {
  const auto prepared = prepare_all(masks, "masks");
  const auto table = measures::intersection_table(prepared, areas_of(prepared));
  for (double cell : table)
    if (!(cell <= 10.0)) return MatchVerdict::overlap;
  if (static_cast<std::int64_t>(masks.size()) != n_track) return MatchVerdict::wrong_count;
  for (const auto& p : prepared)
    if (!(static_cast<double>(p.area) >= min_area)) return MatchVerdict::small_area;
  return MatchVerdict::accepted;
}

std::vector<std::array<std::int64_t, 4>> mask_boxes(const std::vector<MaskView>& masks) {
  std::vector<std::array<std::int64_t, 4>> out;
  out.reserve(masks.size());
  for (const auto& m : masks) {
    const TightBox b = tight_box(m);
    if (b.empty)
      out.push_back({0, 0, 0, 0});
    else
      out.push_back({b.x1, b.y1, b.x2, b.y2});
  }
  return out;
}

double box_iou(const std::array<double, 4>& a, const std::array<double, 4>& b) {
  const double xa = std::max(a[0], b[0]), ya = std::max(a[1], b[1]);
  const double xb = std::min(a[2], b[2]), yb = std::min(a[3], b[3]);
  const double inter = std::max(0.0, xb - xa) * std::max(0.0, yb - ya);
  const double area_a = (a[2] - a[0]) * (a[3] - a[1]);
  const double area_b = (b[2] - b[0]) * (b[3] - b[1]);
  return inter / (area_a + area_b - inter + 1e-06);
}

PairedIou paired_iou(const std::vector<MaskView>& old_masks,
                     const std::vector<MaskView>& new_masks) {
  if (old_masks.size() != new_masks.size())
    throw ValueError("paired IoU: the old and new frames must hold the same number of masks");
  std::vector<MaskView> all(old_masks);
  all.insert(all.end(), new_masks.begin(), new_masks.end());
  const auto prepared = prepare_all(all, "masks");
  const std::size_t n = old_masks.size();
  PairedIou out;
  out.mask.reserve(n);
  out.box.reserve(n);
  auto box_of = [](const PreparedMask& p) -> std::array<double, 4> {
    if (p.box.empty) return {0, 0, 0, 0};
    return {static_cast<double>(p.box.x1), static_cast<double>(p.box.y1),
            static_cast<double>(p.box.x2), static_cast<double>(p.box.y2)};
  };
  for (std::size_t k = 0; k < n; ++k) {
    const PreparedMask& o = prepared[k];
    const PreparedMask& w = prepared[n + k];
    const double both = static_cast<double>(count_both(o, w));
    const double either = static_cast<double>(count_either(o, w));
    out.mask.push_back(both / (either + 1e-06));
    out.box.push_back(box_iou(box_of(o), box_of(w)));
  }
  return out;
}

}  // namespace hm::review
