#include <gtest/gtest.h>

#include <filesystem>
#include <random>

#include "common/errors.hpp"
#include "review/frame_checks.hpp"
#include "review/report.hpp"
#include "review/small_area.hpp"

namespace hm::review {
namespace {

ReportFrame frame(Cell id, std::vector<double> table) {
  ReportFrame f;
  f.frame_id = std::move(id);
  f.area_keys = {"Box0", "Box,1"};
  f.areas = {std::int64_t{0}, 12.5};
  f.row_labels = f.col_labels = f.area_keys;
  f.table = std::move(table);
  return f;
}

TEST(ReviewReport, CsvQuotesTextAndLeavesAbsentFieldsEmpty) {
  const std::vector<ReportFrame> frames = {frame(std::int64_t{7}, {0, 80.005, 80.0, 0})};
  const ReportScan scan = scan_report(frames, 80);
  ASSERT_EQ(scan.overlaps.size(), 1u);
  EXPECT_EQ(report_csv(frames, scan),
            "Frame ID,Box Pair,Intersection Value,Mask Area1,Mask Area2,Report type,Box ID,"
            "Mask Areas\n"
            "7,\"Box0-Box,1\",80.0,0,12.5,High overlap mask detected,,\n"
            "7,,,,,Zero area detected,Box0,0\n");
}

TEST(ReviewReport, BadTablesAndMissingAreasAreErrors) {
  std::vector<ReportFrame> frames = {frame(std::int64_t{1}, {0, 99, 0})};
  EXPECT_THROW(scan_report(frames, 80), ValueError);
  frames = {frame(std::int64_t{1}, {0, 99, 0, 0})};
  frames[0].col_labels[1] = "Box9";
  EXPECT_THROW(scan_report(frames, 80), KeyError);
  EXPECT_THROW(write_report("/nonexistent/folder", "x"), FileNotFound);
}

TEST(ReviewReport, RoundsLikeNumpy) {
  EXPECT_EQ(round_decimals(85.456, 2), 85.46);
  EXPECT_EQ(round_decimals(0.125, 2), 0.12);  // half to even on the scaled value
  EXPECT_EQ(round_decimals(-1.005, 2), -1.0);
}

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

TEST(ReviewFrames, OnePassFiguresMatchPrepareOnRandomMasks) {
  std::mt19937 rng(11);
  for (int trial = 0; trial < 300; ++trial) {
    const std::int64_t rows = 1 + rng() % 9, cols = 1 + rng() % 200, stride = cols + rng() % 5;
    std::vector<std::uint8_t> pixels(static_cast<size_t>(rows * stride), 0);
    const int density = static_cast<int>(rng() % 4);  // 0: empty ... 3: busy
    for (auto& px : pixels)
      if (density && rng() % (1u << (12 - 4 * density)) == 0)
        px = static_cast<std::uint8_t>(1 + rng() % 255);
    const MaskView view{pixels.data(), rows, cols, stride};
    const PreparedMask want = prepare(view), got = prepare_in_one_pass(view);
    ASSERT_EQ(got.area, want.area) << trial;
    ASSERT_EQ(got.box.empty, want.box.empty) << trial;
    if (!want.box.empty) {
      EXPECT_EQ(got.box.x1, want.box.x1);
      EXPECT_EQ(got.box.x2, want.box.x2);
      EXPECT_EQ(got.box.y1, want.box.y1);
      EXPECT_EQ(got.box.y2, want.box.y2);
    }
  }
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
  const auto boxes = mask_boxes({empty.view(), b.view()});
  EXPECT_EQ(boxes[0], (std::array<std::int64_t, 4>{0, 0, 0, 0}));
  EXPECT_EQ(boxes[1], (std::array<std::int64_t, 4>{2, 2, 4, 4}));
}

TEST(ReviewSmallArea, FirstSeenOrderAndStrictCount) {
  const std::vector<std::vector<BoxArea>> frames = {
      {{4, 50}, {1, 200}}, {{1, 100}, {4, 101}}, {{1, 0}, {4, 300}}};
  EXPECT_EQ(small_area_boxes(frames, 100, 1), (std::vector<std::size_t>{1}));
  EXPECT_EQ(small_area_boxes(frames, 100, 0), (std::vector<std::size_t>{4, 1}));
  EXPECT_TRUE(small_area_boxes({}, 100, 0).empty());
}

}  // namespace
}  // namespace hm::review
