#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <opencv2/imgproc.hpp>
#include <random>

#include "common/errors.hpp"
#include "common/mask.hpp"
#include "detect/image_features.hpp"
#include "detect/start_frame.hpp"

namespace hm::detect {
namespace {

TEST(PlausibleSize, LimitsAndHalfHeightBoundary) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  // image height 100: half is 50
  const std::vector<double> boxes = {
      0, 10,  1500, 1010,  // upper, exactly 1.5e6: dropped
      0, 10,  1499, 1010,  // upper, below: kept
      0, 50,  2000, 2050,  // at half: lower limit, exactly 4e6: dropped
      0, 50,  1999, 2050,  // at half, below 4e6: kept
      0, 49,  1600, 1049,  // upper, 1.6e6: dropped
      0, nan, 1,    1,     // NaN: dropped
  };
  const auto keep = plausible_size(boxes.data(), 6, 100.0);
  EXPECT_EQ(keep, (std::vector<std::uint8_t>{0, 1, 0, 1, 0, 0}));
}

TEST(PlausibleSize, AreaInSinglePrecisionAsDelivered) {
  // Near 1.5e6 the product rounds differently in float and in double; each is
  // judged in its own precision.
  const float fb[4] = {0.0f, 0.0f, 1224.7449f, 1224.7449f};
  const double db[4] = {0.0, 0.0, 1224.7449f, 1224.7449f};
  const float farea = (fb[2] - fb[0]) * (fb[3] - fb[1]);
  const double darea = (db[2] - db[0]) * (db[3] - db[1]);
  EXPECT_EQ(plausible_size(fb, 1, 1000.0)[0], farea < 1'500'000.0f);
  EXPECT_EQ(plausible_size(db, 1, 1000.0)[0], darea < 1'500'000.0);
}

Mask square(int rows, int cols, int x, int y, int side) {
  Mask m(rows, cols);
  for (int r = y; r < y + side; ++r)
    for (int c = x; c < x + side; ++c) m.row(r)[c] = 1;
  return m;
}

std::vector<PreparedMask> prepared(const std::vector<Mask>& masks) {
  std::vector<PreparedMask> out;
  for (const auto& m : masks) out.push_back(prepare(m.view()));
  return out;
}

struct OverlapCase {
  std::vector<double> scores;
  std::vector<std::int64_t> kept;
};

class DropOverlaps : public ::testing::TestWithParam<OverlapCase> {};

TEST_P(DropOverlaps, LowerScoreGoesAndTiesDropTheRow) {
  // mask 1 lies inside mask 0 (25 of 100 pixels); mask 2 stands apart.
  const std::vector<Mask> masks = {square(40, 40, 0, 0, 10), square(40, 40, 5, 5, 5),
                                   square(40, 40, 30, 30, 5)};
  const auto out = drop_overlaps(prepared(masks), GetParam().scores);
  EXPECT_EQ(out.kept, GetParam().kept);
  EXPECT_DOUBLE_EQ(out.table[0 * 3 + 1], 25.0);
  EXPECT_DOUBLE_EQ(out.table[1 * 3 + 0], 100.0);
  EXPECT_EQ(out.areas, (std::vector<double>{100, 25, 25}));
}

INSTANTIATE_TEST_SUITE_P(Scores, DropOverlaps,
                         ::testing::Values(OverlapCase{{0.9, 0.8, 0.1}, {0, 2}},
                                           OverlapCase{{0.8, 0.9, 0.1}, {1, 2}},
                                           OverlapCase{{0.8, 0.8, 0.1}, {2}},
                                           OverlapCase{{std::nan(""), 0.8, 0.1}, {2}}),
                         [](const auto& info) { return "case" + std::to_string(info.index); });

TEST(DropOverlapsRule, ExactlyEightPercentIsKeptAndOneSidedCoverageDropsTheCovered) {
  // 2 of 25 pixels each way: 8 % exactly.
  auto out =
      drop_overlaps(prepared({square(40, 40, 10, 10, 5), square(40, 40, 13, 14, 5)}), {0.5, 0.5});
  EXPECT_EQ(out.kept, (std::vector<std::int64_t>{0, 1}));
  // A small mask inside a large one: only the small one's cell passes 8 %.
  out = drop_overlaps(prepared({square(40, 40, 0, 0, 30), square(40, 40, 2, 2, 3)}), {0.5, 0.5});
  EXPECT_EQ(out.kept, (std::vector<std::int64_t>{0}));
  EXPECT_EQ(out.removed, (std::vector<std::int64_t>{1}));
}

TEST(DropOverlapsRule, MismatchedScoresAndEmptyInput) {
  EXPECT_THROW(drop_overlaps(prepared({square(8, 8, 0, 0, 2)}), {}), ValueError);
  const auto out = drop_overlaps(std::vector<PreparedMask>{}, {});
  EXPECT_TRUE(out.kept.empty() && out.table.empty());
}

// Planes of reals, as the segmenter gives them, against the same masks as bytes:
// -0.0 is not set, NaN and negative values are.
template <typename T>
void expect_real_planes_match_bytes(unsigned seed) {
  std::mt19937 rng(seed);
  const int count = 5, rows = 37, cols = 53;
  std::vector<T> planes(static_cast<size_t>(count) * rows * cols, T(0));
  std::vector<Mask> bytes;
  std::uniform_int_distribution<int> pos(0, 40), len(0, 15);
  for (int k = 0; k < count; ++k) {
    Mask m(rows, cols);
    if (k != 2) {  // mask 2 stays empty
      const int x = pos(rng) % cols, y = pos(rng) % rows, w = len(rng), h = len(rng);
      for (int r = y; r < std::min(rows, y + h); ++r)
        for (int c = x; c < std::min(cols, x + w); ++c) {
          if (rng() % 5 == 0) continue;
          const int kind = static_cast<int>(rng() % 6);
          const T v = kind == 0 ? T(-0.5) : kind == 1 ? std::numeric_limits<T>::quiet_NaN() : T(1);
          planes[(static_cast<size_t>(k) * rows + r) * cols + c] = v;
          m.row(r)[c] = 1;
        }
    }
    planes[static_cast<size_t>(k) * rows * cols + (k * 7) % (rows * cols)] = T(-0.0);
    bytes.push_back(std::move(m));
  }
  std::vector<PreparedMask> reals;
  for (int k = 0; k < count; ++k) {
    const MaskView v{reinterpret_cast<const std::uint8_t*>(planes.data() + k * rows * cols), rows,
                     cols, cols * static_cast<std::int64_t>(sizeof(T)), element_of<T>()};
    reals.push_back(prepare(v));
  }
  const auto ref = prepared(bytes);
  for (int k = 0; k < count; ++k) {
    EXPECT_EQ(reals[k].area, ref[k].area);
    EXPECT_EQ(count_set(reals[k].view), ref[k].area);
    EXPECT_EQ(reals[k].box.empty, ref[k].box.empty);
    if (!ref[k].box.empty) {
      EXPECT_EQ(reals[k].box.x1, ref[k].box.x1);
      EXPECT_EQ(reals[k].box.y1, ref[k].box.y1);
      EXPECT_EQ(reals[k].box.x2, ref[k].box.x2);
      EXPECT_EQ(reals[k].box.y2, ref[k].box.y2);
    }
    for (int j = 0; j < count; ++j) {
      EXPECT_EQ(count_both(reals[k], reals[j]), count_both(ref[k], ref[j]));
      EXPECT_EQ(count_both(reals[k], ref[j]), count_both(ref[k], ref[j]));  // mixed types
    }
  }
  const std::vector<double> scores{0.9, 0.8, 0.7, 0.6, 0.5};
  const auto from_reals = drop_overlaps(reals, scores);
  const auto from_bytes = drop_overlaps(ref, scores);
  EXPECT_EQ(from_reals.table, from_bytes.table);
  EXPECT_EQ(from_reals.kept, from_bytes.kept);
  EXPECT_EQ(from_reals.removed, from_bytes.removed);

  // The kept planes copied out bit for bit, -0.0 included, from their stored rows.
  const std::vector<std::int64_t> keys{3, 0, 2};
  const size_t plane = static_cast<size_t>(rows) * cols;
  std::vector<T> out(keys.size() * plane, T(0));
  take_masks(reals, keys, reinterpret_cast<std::uint8_t*>(out.data()));
  for (size_t i = 0; i < keys.size(); ++i)
    EXPECT_EQ(
        std::memcmp(out.data() + i * plane, planes.data() + keys[i] * plane, plane * sizeof(T)), 0);
  EXPECT_THROW(take_masks(reals, {5}, reinterpret_cast<std::uint8_t*>(out.data())), IndexError);
}

TEST(RealPlanes, SameFiguresAndCopiesAsByteMasks) {
  for (unsigned seed = 1; seed < 20; ++seed) {
    expect_real_planes_match_bytes<float>(seed);
    expect_real_planes_match_bytes<double>(seed);
  }
}

TEST(GammaTable, TruncatesAndKeepsEnds) {
  const auto t10 = gamma_table(1.0 / 10);
  EXPECT_EQ(t10[0], 0);
  EXPECT_EQ(t10[1], 146);
  EXPECT_EQ(t10[25], 202);
  EXPECT_EQ(t10[255], 255);
  const auto t15 = gamma_table(1.0 / 1.5);
  EXPECT_EQ(t15[0], 0);
  EXPECT_EQ(t15[255], 255);
  for (int i = 0; i < 256; ++i)
    EXPECT_EQ(t15[i], static_cast<int>(std::pow(i / 255.0, 1.0 / 1.5) * 255.0)) << i;
  // A negative gamma sends 0 to infinity: no undefined cast, a defined byte.
  EXPECT_EQ(gamma_table(-1.0)[0], 0);
}

TEST(EnhanceDarkText, EmptyImageAndWrongType) {
  const cv::Mat empty(0, 5, CV_8UC3);
  EXPECT_EQ(enhance_dark_text(empty, 1.0).cols, 5);
  EXPECT_THROW(enhance_dark_text(cv::Mat(3, 3, CV_8UC1), 1.0), ValueError);
}

TEST(ResizeBilinear, KeepsConstantsAndAveragesWhenShrinking) {
  cv::Mat flat(37, 611, CV_32F, cv::Scalar(0.25f));
  const cv::Mat out = resize_bilinear(flat, 256, 256);
  double lo, hi;
  cv::minMaxLoc(out, &lo, &hi);
  EXPECT_NEAR(lo, 0.25, 1e-6);
  EXPECT_NEAR(hi, 0.25, 1e-6);
  // A 1-pixel checkerboard shrunk 4x averages to its mean instead of aliasing.
  cv::Mat checker(1024, 1024, CV_32F);
  for (int r = 0; r < 1024; ++r)
    for (int c = 0; c < 1024; ++c) checker.at<float>(r, c) = static_cast<float>((r + c) % 2);
  cv::minMaxLoc(resize_bilinear(checker, 256, 256)(cv::Rect(2, 2, 250, 250)), &lo, &hi);
  EXPECT_NEAR(lo, 0.5, 1e-6);
  EXPECT_NEAR(hi, 0.5, 1e-6);
  EXPECT_THROW(resize_bilinear(cv::Mat(0, 4, CV_32F), 8, 8), ValueError);
}

TEST(FeatureInput, NoneForTinyOrThinMasksAndMismatchedSizes) {
  const cv::Mat rgb(20, 30, CV_8UC3, cv::Scalar(10, 20, 30));
  Mask nine(20, 30);
  for (int r = 0; r < 3; ++r)
    for (int c = 0; c < 3; ++c) nine.row(5 + r)[5 + c] = 1;
  EXPECT_FALSE(feature_input(rgb, nine.view()).has_value());
  Mask row(20, 30), column(20, 30);
  for (int c = 0; c < 25; ++c) row.row(7)[c] = 1;
  for (int r = 0; r < 15; ++r) column.row(r)[4] = 1;
  EXPECT_FALSE(feature_input(rgb, row.view()).has_value());
  EXPECT_FALSE(feature_input(rgb, column.view()).has_value());
  nine.row(9)[9] = 1;  // tenth pixel: the window becomes 4 x 4
  const auto ten = feature_input(rgb, nine.view());
  ASSERT_TRUE(ten.has_value());
  EXPECT_EQ(ten->size(), 3u * 256 * 256);
  EXPECT_THROW(feature_input(rgb, Mask(20, 31).view()), ValueError);
}

}  // namespace
}  // namespace hm::detect
