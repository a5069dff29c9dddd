#include "measures/contact.hpp"

#include <algorithm>

#include "common/errors.hpp"
#include "measures/overlap.hpp"

namespace hm::measures {

namespace {

// Inclusive rectangle of pixels; empty when a corner passes the other.
struct Window {
  std::int64_t x1, y1, x2, y2;
  bool empty() const { return x1 > x2 || y1 > y2; }
};

// The part of box `a` that lies within `reach` of box `b`: only set pixels of a
// there can be near one of b.
Window near_part(const TightBox& a, const TightBox& b, std::int64_t reach) {
  return {std::max(a.x1, b.x1 - reach), std::max(a.y1, b.y1 - reach), std::min(a.x2, b.x2 + reach),
          std::min(a.y2, b.y2 + reach)};
}

// Whether some set pixel of `a` inside `w` has a set pixel of `b` within `reach`.
// Each run of set pixels of a row of `a` is widened by `reach` and looked for in
// the rows of `b` within reach, so the cost is about (2 reach + 1) times the window.
template <typename A, typename B>
bool within_reach(PlaneView<A> a, PlaneView<B> b, const Window& w, const TightBox& box_b,
                  std::int64_t reach) {
  for (std::int64_t r = w.y1; r <= w.y2; ++r) {
    const A* row_a = a.row(r);
    const std::int64_t rb0 = std::max(r - reach, box_b.y1), rb1 = std::min(r + reach, box_b.y2);
    std::int64_t c = w.x1;
    while (c <= w.x2) {
      if (!non_zero(row_a[c])) {
        ++c;
        continue;
      }
      std::int64_t e = c;
      while (e < w.x2 && non_zero(row_a[e + 1])) ++e;
      const std::int64_t cb0 = std::max(c - reach, box_b.x1), cb1 = std::min(e + reach, box_b.x2);
      for (std::int64_t rb = rb0; rb <= rb1; ++rb) {
        const B* row_b = b.row(rb);
        for (std::int64_t k = cb0; k <= cb1; ++k)
          if (non_zero(row_b[k])) return true;
      }
      c = e + 1;
    }
  }
  return false;
}

bool touch(const PreparedMask& a, const PreparedMask& b, const Window& w, std::int64_t reach) {
  return visit(a.view, [&](auto plane_a) {
    return visit(b.view,
                 [&](auto plane_b) { return within_reach(plane_a, plane_b, w, b.box, reach); });
  });
}

}  // namespace

std::vector<Contact> mask_contacts(const std::vector<MaskView>& masks, std::int64_t reach) {
  if (reach < 0) throw ValueError("mask contacts: reach must be 0 or more");
  for (const auto& m : masks) require_same_size(masks.front(), m, "mask contacts");
  std::vector<Contact> out;
  if (masks.empty()) return out;
  // Farther than the frame's size reaches nothing more, and box arithmetic stays far from overflow.
  reach = std::min(reach, std::max(masks.front().rows, masks.front().cols));
  const std::vector<PreparedMask> prepared = prepare_each(masks);
  const auto n = static_cast<std::int64_t>(masks.size());
  for (std::int64_t i = 0; i < n; ++i) {
    const PreparedMask& a = prepared[i];
    if (a.area == 0) continue;
    for (std::int64_t j = i + 1; j < n; ++j) {
      const PreparedMask& b = prepared[j];
      if (b.area == 0) continue;
      const Window w = near_part(a.box, b.box, reach);
      if (w.empty()) continue;
      const std::int64_t both = count_both(a, b);
      if (both > 0 || (reach > 0 && touch(a, b, w, reach))) out.push_back({i, j, both});
    }
  }
  return out;
}

}  // namespace hm::measures
