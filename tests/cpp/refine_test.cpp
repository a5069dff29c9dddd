#include "refine/refine.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <opencv2/imgproc.hpp>
#include <random>
#include <string>
#include <vector>

#include "common/errors.hpp"
#include "refine/held_runs.hpp"

namespace hm::refine {
namespace {

Mask random_mask(std::mt19937& rng, int rows, int cols, double density) {
  Mask m(rows, cols);
  std::bernoulli_distribution on(density);
  std::uniform_int_distribution<int> value(1, 255);
  for (auto& p : m.pixels) p = on(rng) ? static_cast<std::uint8_t>(value(rng)) : 0;
  return m;
}

// The components found from runs are the image library's whole-frame components,
// numbered the same way, with identical areas and centroids.
TEST(RefineRuns, ComponentsMatchWholeFrameLabelling) {
  std::mt19937 rng(11);
  for (int trial = 0; trial < 40; ++trial) {
    const int rows = 5 + static_cast<int>(rng() % 60), cols = 5 + static_cast<int>(rng() % 90);
    const double density = (trial % 4 + 1) * 0.12;
    const Mask m = random_mask(rng, rows, cols, density);
    cv::Mat binary, labels, stats, centroids;
    cv::compare(m.view().as_mat(), 0, binary, cv::CMP_NE);
    const int n = cv::connectedComponentsWithStats(binary, labels, stats, centroids, 8, CV_32S);
    const Runs runs = runs_of(m.view());
    const RunComponents comps = run_components(runs.runs);
    ASSERT_EQ(static_cast<int>(comps.regions.size()), n - 1);
    for (int l = 1; l < n; ++l) {
      const Region& reg = comps.regions[l - 1];
      EXPECT_EQ(reg.area, stats.at<int>(l, cv::CC_STAT_AREA));
      EXPECT_EQ(reg.centroid.x, centroids.at<double>(l, 0));
      EXPECT_EQ(reg.centroid.y, centroids.at<double>(l, 1));
      EXPECT_EQ(reg.box.x1, stats.at<int>(l, cv::CC_STAT_LEFT));
      EXPECT_EQ(reg.box.y2 - reg.box.y1 + 1, stats.at<int>(l, cv::CC_STAT_HEIGHT));
    }
    for (size_t i = 0; i < runs.runs.size(); ++i) {
      const hm::Run& r = runs.runs[i];
      ASSERT_EQ(labels.at<int>(r.row, r.x1), comps.component[i] + 1);
    }
  }
}

TEST(RefineDistance, VertexDistanceIsTheAllPairsMinimum) {
  std::mt19937 rng(5);
  std::uniform_int_distribution<int> coord(-300, 300);
  for (int trial = 0; trial < 200; ++trial) {
    std::vector<cv::Point> a(1 + rng() % 40), b(1 + rng() % 40);
    for (auto& p : a) p = {coord(rng), coord(rng)};
    for (auto& p : b) p = {coord(rng), coord(rng)};
    double best = std::numeric_limits<double>::infinity();
    for (const auto& p : a)
      for (const auto& q : b)
        best = std::min(
            best, std::sqrt(double(p.x - q.x) * (p.x - q.x) + double(p.y - q.y) * (p.y - q.y)));
    ASSERT_EQ(vertex_distance(a, b), best);
  }
  EXPECT_TRUE(std::isinf(vertex_distance({}, {{1, 1}})));
}

Mask full_pen(int rows, int cols) {
  Mask pen(rows, cols);
  std::fill(pen.pixels.begin(), pen.pixels.end(), 1);
  return pen;
}

TEST(RefineObject, Outcomes) {
  Mask m(20, 30);
  for (int r = 2; r < 8; ++r)
    for (int c = 2; c < 8; ++c) m.row(r)[c] = 1;
  const Runs runs = runs_of(m.view());
  Settings settings;
  settings.max_prev_dist = 5;
  std::vector<std::uint8_t> out(600, 0);

  // Far from the previous centroid: dropped in a later frame.
  auto result = refine_object(runs, full_pen(20, 30), Point2{25, 15}, settings, false, out.data());
  EXPECT_EQ(result.outcome, Outcome::Dropped);
  EXPECT_FALSE(result.centroid);
  EXPECT_EQ(std::count(out.begin(), out.end(), 1), 0);

  // The same in the first frame keeps the mask as given.
  result = refine_object(runs, Mask(20, 30), Point2{25, 15}, settings, true, out.data());
  EXPECT_EQ(result.outcome, Outcome::OutsidePen);
  result = refine_object(runs, full_pen(20, 30), Point2{25, 15}, settings, true, out.data());
  EXPECT_EQ(result.outcome, Outcome::Unclipped);
  ASSERT_TRUE(result.centroid);
  EXPECT_EQ(result.centroid->x, 4.5);
  EXPECT_EQ(std::count(out.begin(), out.end(), 1), 36);

  EXPECT_THROW(refine_object(runs, full_pen(20, 31), std::nullopt, settings, true, out.data()),
               ValueError);
}

TEST(RefineMainBlob, ZeroSizeMaskIsRejectedBeforeLabelling) {
  const Mask empty(0, 0);
  EXPECT_THROW(label_mask(empty.view(), std::nullopt, Settings{}), ValueError);
  EXPECT_TRUE(runs_of(empty.view()).runs.empty());
  EXPECT_TRUE(std::isinf(blob_shortest_distance(empty.view(), empty.view())));
}

TEST(RefineMainBlob, TiesGoToTheLowerLabelAndMissingRatioIsAnError) {
  // Three components of equal area: without a previous centroid the first wins;
  // with one, the nearest of the five largest.
  const std::vector<double> areas{0, 4, 4, 4};
  const std::vector<Point2> centroids{{0, 0}, {10, 10}, {50, 10}, {90, 10}};
  EXPECT_EQ(choose_main_blob(areas, centroids, std::nullopt, Settings{}).best, 1);
  EXPECT_EQ(choose_main_blob(areas, centroids, Point2{70, 10}, Settings{}).best, 2);
  Settings no_small;
  no_small.ratio_small.reset();
  EXPECT_THROW(choose_main_blob(areas, centroids, std::nullopt, no_small), IndexError);
}

// Held masks read back as they were (rows coded against the row above and spelled out),
// with their shapes, across blocks and beyond a block's size.
TEST(RefineHeldRuns, MasksReadBackWhateverTheirBlock) {
  std::mt19937 rng(5);
  Mask ellipse(60, 90);
  cv::ellipse(cv::Mat(60, 90, CV_8U, ellipse.pixels.data()), {45, 30}, {40, 20}, 30, 0, 360, 1, -1);
  std::vector<std::vector<HeldMask>> frames = {
      {{{1, 60, 90}, runs_of(ellipse.view())},
       {{60, 90}, runs_of(random_mask(rng, 60, 90, 0.4).view())},
       {{1, 1, 60, 90}, runs_of(Mask(60, 90).view())}},
      {{{0, 4}, runs_of(Mask(0, 4).view())}},
      {{{3000, 1000}, runs_of(random_mask(rng, 3000, 1000, 0.5).view())}},  // over 1 MB
      {{{60, 90}, runs_of(ellipse.view())}}};
  RunStore store;
  std::vector<HeldFrame> held;
  for (const auto& masks : frames) {
    FramePacker frame;
    for (const HeldMask& m : masks) frame.add(m.shape, m.runs);
    held.push_back(store.hold(frame));
  }
  EXPECT_EQ(held[0].block, held[1].block);
  EXPECT_NE(held[0].block, held[2].block);
  EXPECT_NE(held[2].block, held[3].block);
  EXPECT_LT(held[3].bytes.size(), 4 * frames[3][0].runs.runs.size());  // a third of 12 a run
  for (std::size_t f = 0; f < frames.size(); ++f) {
    ASSERT_EQ(held[f].count, frames[f].size());
    for (std::size_t i = 0; i < frames[f].size(); ++i) {
      const HeldMask back = held[f].mask(i), &given = frames[f][i];
      EXPECT_EQ(back.shape, given.shape);
      EXPECT_EQ(back.runs.rows, given.runs.rows);
      EXPECT_EQ(back.runs.cols, given.runs.cols);
      EXPECT_EQ(back.runs.row_start, given.runs.row_start);
      ASSERT_EQ(back.runs.runs.size(), given.runs.runs.size());
      for (std::size_t k = 0; k < back.runs.runs.size(); ++k) {
        const hm::Run &a = back.runs.runs[k], &b = given.runs.runs[k];
        ASSERT_TRUE(a.row == b.row && a.x1 == b.x1 && a.x2 == b.x2) << f << " " << i << " " << k;
      }
    }
  }
  EXPECT_THROW(held[0].mask(3), IndexError);
  Runs outside{4, 4, {{1, 2, 4}}, {}};
  EXPECT_THROW(FramePacker().add({4, 4}, outside), ValueError);
}

}  // namespace
}  // namespace hm::refine
