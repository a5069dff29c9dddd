#include <gtest/gtest.h>

#include "common/errors.hpp"
#include "review/frame_checks.hpp"

namespace hm::review {
namespace {

Mask square(std::int64_t rows, std::int64_t cols, std::int64_t y, std::int64_t x,
            std::int64_t side) {
  Mask m(rows, cols);
  for (std::int64_t r = y; r < y + side && r < rows; ++r)
    for (std::int64_t c = x; c < x + side && c < cols; ++c) m.row(r)[c] = 1;
  return m;
}

TEST(ReviewFrames, LastFrameTestsInOrder) {
  const Mask a = square(20, 20, 0, 0, 4), b = square(20, 20, 0, 2, 4),
             c = square(20, 20, 10, 10, 4);
  EXPECT_EQ(check_last_frame({a.view(), c.view()}, 15, 2), LastFrameVerdict::qualifies);
  EXPECT_EQ(check_last_frame({a.view(), c.view()}, 16, 2), LastFrameVerdict::small_area);
  EXPECT_EQ(check_last_frame({a.view(), c.view()}, 15, 3), LastFrameVerdict::too_few_masks);
  EXPECT_EQ(check_last_frame({a.view(), b.view()}, 15, 2), LastFrameVerdict::overlap);
  EXPECT_EQ(check_last_frame({}, 10, 0), LastFrameVerdict::qualifies);
  const Mask other = square(5, 5, 0, 0, 2);
  EXPECT_THROW(check_last_frame({a.view(), other.view()}, 0, 0), ValueError);
  EXPECT_EQ(check_new_masks({a.view(), b.view()}, 2, 1), MatchVerdict::overlap);
  EXPECT_EQ(check_new_masks({a.view(), c.view()}, 2, 16), MatchVerdict::accepted);
  EXPECT_EQ(check_new_masks({a.view(), c.view()}, 2, 17), MatchVerdict::small_area);
}

TEST(ReviewFrames, PairedIouOnEmptyAndEqualMasks) {
  const Mask empty(8, 8), a = square(8, 8, 1, 1, 3), b = square(8, 8, 2, 2, 3);
  const PairedIou r =
      paired_iou({empty.view(), a.view(), a.view()}, {a.view(), a.view(), b.view()});
  EXPECT_EQ(r.mask[0], 0.0);
  EXPECT_EQ(r.box[0], 0.0);
  EXPECT_DOUBLE_EQ(r.mask[1], 9 / (9 + 1e-06));
  EXPECT_DOUBLE_EQ(r.mask[2], 4 / (14 + 1e-06));
  EXPECT_DOUBLE_EQ(r.box[2], 1 / (4 + 4 - 1 + 1e-06));  // inclusive corners, no pixel added
  EXPECT_THROW(paired_iou({a.view()}, {}), ValueError);
  EXPECT_EQ(box_iou({0, 0, 0, 0}, {0, 0, 0, 0}), 0.0);
}

}  // namespace
}  // namespace hm::review
