#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>
#include <utility>
#include <vector>

#include "annotation/composite.hpp"
#include "common/errors.hpp"
#include "common/mask.hpp"
#include "common/number_text.hpp"
#include "common/runs.hpp"
#include "common/sizes.hpp"
#include "common/zero_buffer.hpp"
#include "measures/centroid.hpp"
#include "measures/intersection.hpp"

namespace hm {
namespace {

TEST(RealText, MatchesPythonReprLayout) {
  EXPECT_EQ(real_text(0.1), "0.1");
  EXPECT_EQ(real_text(10.0), "10.0");
  EXPECT_EQ(real_text(0.1 + 0.2), "0.30000000000000004");
  EXPECT_EQ(real_text(1e-05), "1e-05");
  EXPECT_EQ(real_text(0.0001), "0.0001");
  EXPECT_EQ(real_text(1e16), "1e+16");
  EXPECT_EQ(real_text(1234567890123456.0), "1234567890123456.0");
  EXPECT_EQ(real_text(1.5e300), "1.5e+300");
  EXPECT_EQ(real_text(-0.0), "-0.0");
  EXPECT_EQ(real_text(5e-324), "5e-324");
  EXPECT_EQ(real_text(-2.5), "-2.5");
  EXPECT_EQ(real_text(25.0), "25.0");
}

TEST(FixedText, RoundsLikePythonFormat) {
  EXPECT_EQ(fixed_text(0.25, 6), "0.250000");
  EXPECT_EQ(fixed_text(2.675, 2), "2.67");  // binary value lies below 2.675
  EXPECT_EQ(fixed_text(600.0, 2), "600.00");
}

Mask random_mask(std::mt19937& rng, int rows, int cols, double density) {
  Mask m(rows, cols);
  std::bernoulli_distribution on(density);
  for (auto& p : m.pixels) p = on(rng) ? 1 : 0;
  return m;
}

// Set pixels of a, and pixels set in both, counted one by one over the frame.
std::pair<std::int64_t, std::int64_t> brute_counts(const Mask& a, const Mask& b) {
  std::int64_t area = 0, both = 0;
  for (size_t i = 0; i < a.pixels.size(); ++i) {
    area += a.pixels[i] != 0;
    both += a.pixels[i] && b.pixels[i];
  }
  return {area, both};
}

TEST(MaskOps, BoxRestrictedCountsEqualWholeFrameCounts) {
  std::mt19937 rng(7);
  for (int trial = 0; trial < 200; ++trial) {
    const int rows = 1 + static_cast<int>(rng() % 40), cols = 1 + static_cast<int>(rng() % 40);
    const double density = (trial % 4) * 0.02;
    Mask a = random_mask(rng, rows, cols, density), b = random_mask(rng, rows, cols, density * 3);
    const auto [area_a, both] = brute_counts(a, b);
    const PreparedMask pa = prepare(a.view()), pb = prepare(b.view());
    EXPECT_EQ(pa.area, area_a);
    EXPECT_EQ(count_both(pa, pb), both);
  }
}

TEST(MaskOps, CountsOnRowsLongerThanOneVectorTally) {
  // Rows past 255 sixteen-byte chunks make the vector tallies flush mid-row.
  std::mt19937 rng(11);
  for (const int cols : {4079, 4080, 4081, 9000}) {
    Mask a = random_mask(rng, 3, cols, 0.7), b = random_mask(rng, 3, cols, 0.5);
    a.pixels[5] = 200;  // any non-zero byte is set
    const auto [area_a, both] = brute_counts(a, b);
    const PreparedMask pa = prepare(a.view()), pb = prepare(b.view());
    EXPECT_EQ(pa.area, area_a);
    EXPECT_EQ(count_set(a.view()), area_a);
    EXPECT_EQ(count_both(pa, pb), both);
  }
}

TEST(MaskOps, WordOrSeesEveryByteWhateverTheLength) {
  for (size_t n = 1; n <= 140; ++n)
    for (size_t k = 0; k < n; ++k) {
      std::vector<std::uint8_t> bytes(n, 0);
      EXPECT_EQ(or_of_words(bytes.data(), n), 0u);
      bytes[k] = 0x80;
      ASSERT_NE(or_of_words(bytes.data(), n), 0u) << n << " bytes, byte " << k;
    }
  // A trailing 32-bit real keeps its sign bit in either half of the word.
  const float tail[3] = {0.0f, 0.0f, -0.0f};
  EXPECT_EQ(or_of_words(tail, sizeof tail) & 0x7fffffff7fffffffULL, 0u);
}

TEST(MaskOps, TightBoxIsInclusiveAndEmptyForBlankMasks) {
  Mask m(5, 12);
  EXPECT_TRUE(tight_box(m.view()).empty);
  m.row(1)[9] = 1;
  m.row(3)[2] = 7;
  const TightBox b = tight_box(m.view());
  EXPECT_FALSE(b.empty);
  EXPECT_EQ(b.x1, 2);
  EXPECT_EQ(b.x2, 9);
  EXPECT_EQ(b.y1, 1);
  EXPECT_EQ(b.y2, 3);
  EXPECT_TRUE(tight_box(Mask(0, 0).view()).empty);
}

TEST(IntersectionTable, LaterMaskWithAreaOneOrLessKeepsItsPairsZero) {
  Mask a(4, 4), b(4, 4), c(4, 4);
  for (int r = 0; r < 2; ++r)
    for (int col = 0; col < 4; ++col) a.row(r)[col] = 1;  // 8 pixels
  for (int r = 1; r < 3; ++r)
    for (int col = 0; col < 2; ++col) b.row(r)[col] = 1;  // 4 pixels, 2 shared with a
  c.row(0)[0] = 1;
  const std::vector<MaskView> masks{a.view(), b.view(), c.view()};
  const auto t = measures::intersection_table(masks, std::vector<double>{8, 4, 1});
  EXPECT_DOUBLE_EQ(t[1 * 3 + 0], 50.0);  // half of b lies under a
  EXPECT_DOUBLE_EQ(t[0 * 3 + 1], 25.0);
  for (int k = 0; k < 3; ++k) {
    EXPECT_EQ(t[2 * 3 + k], 0.0);
    EXPECT_EQ(t[k * 3 + 2], 0.0);
  }
  const auto own = measures::intersection_table(masks, std::nullopt);
  EXPECT_DOUBLE_EQ(own[1 * 3 + 0], 50.0);
}

TEST(MaskRuns, RunsCoverExactlyTheSetPixelsRowByRow) {
  std::mt19937 rng(3);
  for (int cols : {1, 7, 8, 63, 64, 65, 130}) {
    for (double density : {0.0, 0.02, 0.5, 0.97}) {
      const Mask m = random_mask(rng, 9, cols, density);
      Mask painted(9, cols);
      const Runs runs = runs_of(m.view());
      ASSERT_EQ(runs.row_start.size(), 10u);
      for (std::int64_t row = 0; row < 9; ++row)
        for (size_t k = runs.row_start[row]; k < runs.row_start[row + 1]; ++k)
          ASSERT_EQ(runs.runs[k].row, row);
      for (const hm::Run& r : runs.runs) {
        ASSERT_LE(r.x1, r.x2);
        for (int c = r.x1; c <= r.x2; ++c) painted.row(r.row)[c] += 1;
        EXPECT_TRUE(r.x1 == 0 || !m.view().at(r.row, r.x1 - 1));
        EXPECT_TRUE(r.x2 + 1 == cols || !m.view().at(r.row, r.x2 + 1));
      }
      for (size_t i = 0; i < m.pixels.size(); ++i)
        ASSERT_EQ(painted.pixels[i], m.pixels[i] != 0) << cols << " " << density << " " << i;
    }
  }
}

// OpenCV keeps a row step unsigned and reads 0 as "contiguous": a flipped or a
// repeated-row mask reaches it as a copy, and reads as that copy does.
TEST(MaskView, FlippedAndRepeatedRowsReachOpenCvAsCopies) {
  std::mt19937 rng(4);
  const Mask m = random_mask(rng, 6, 9, 0.4);
  const MaskView flipped{m.pixels.data() + 5 * 9, 6, 9, -9};
  const MaskView repeated{m.pixels.data() + 2 * 9, 6, 9, 0};
  for (const MaskView& v : {flipped, repeated}) {
    const cv::Mat mat = v.as_mat();
    ASSERT_EQ(mat.rows, 6);
    for (int r = 0; r < 6; ++r)
      for (int c = 0; c < 9; ++c) ASSERT_EQ(mat.at<std::uint8_t>(r, c), v.row(r)[c]);
  }
}

// A box known to hold every set pixel gives the figures of a whole-frame scan.
TEST(MaskOps, PreparedWithinABoxEqualsPreparedWhole) {
  std::mt19937 rng(9);
  Mask m(20, 30);
  for (int r = 4; r < 11; ++r)
    for (int c = 6; c < 20; ++c) m.row(r)[c] = rng() % 3 == 0;
  const PreparedMask whole = prepare(m.view());
  const PreparedMask part = prepare(m.view(), TightBox{false, 5, 3, 22, 12});
  EXPECT_EQ(part.area, whole.area);
  EXPECT_EQ(part.box.x1, whole.box.x1);
  EXPECT_EQ(part.box.y2, whole.box.y2);
  EXPECT_EQ(part.stored_rows.first, whole.stored_rows.first);
  EXPECT_EQ(part.stored_rows.last, whole.stored_rows.last);
}

// The byte an array cast to uint8 gives a real (the array library's own cast on
// this hardware, as the measures' reference formulations use it).
TEST(ByteValue, CutsTowardZeroAndKeepsTheLowByte) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  const std::pair<double, int> cases[] = {
      {-1.0, 255},         {-0.5, 0},         {0.5, 0}, {1.5, 1}, {255.9, 255}, {256.0, 0},
      {300.0, 44},         {-300.0, 212},     {nan, 0}, {inf, 0}, {-inf, 0},    {2147483648.0, 0},
      {2147483647.0, 255}, {-2147483648.0, 0}};
  for (const auto& [v, want] : cases) {
    EXPECT_EQ(byte_value(v), want) << v;
    if (!(std::fabs(v) > 1e6)) {
      EXPECT_EQ(byte_value(static_cast<float>(v)), want) << v;
    }
  }
  EXPECT_EQ(byte_value(std::uint8_t{200}), 200);
}

// A plane of reals holding 1, 2.5, -0.5, NaN, -0.0 and 0, against byte masks of
// what each rule takes for set: non-zero (figures, runs, boxes), greater than 0
// (the positive box, painting) and the byte cast (moments).
template <typename T>
void expect_rules_match_byte_masks(unsigned seed) {
  std::mt19937 rng(seed);
  const int rows = 29, cols = 70;  // rows longer than one 64-byte block of reals
  std::vector<T> plane(static_cast<size_t>(rows) * cols, T(0));
  Mask non_zero_mask(rows, cols), positive_mask(rows, cols), weights(rows, cols);
  const T values[] = {T(1), T(2.5), T(-0.5), std::numeric_limits<T>::quiet_NaN(), T(-0.0)};
  for (int r = 3; r < rows - 2; ++r)
    for (int c = 0; c < cols; ++c) {
      if (rng() % 3 == 0) continue;
      const T v = values[rng() % 5];
      plane[static_cast<size_t>(r) * cols + c] = v;
      non_zero_mask.row(r)[c] = v != 0 || std::isnan(v);
      positive_mask.row(r)[c] = v > 0;
      weights.row(r)[c] = byte_value(v);
    }
  const MaskView real{reinterpret_cast<const std::uint8_t*>(plane.data()), rows, cols,
                      cols * static_cast<std::int64_t>(sizeof(T)), element_of<T>()};

  const PreparedMask p = prepare(real);
  const TightBox nz = tight_box(non_zero_mask.view()), pos = tight_box(positive_mask.view());
  EXPECT_EQ(p.area, count_set(non_zero_mask.view()));
  EXPECT_EQ(std::tie(p.box.x1, p.box.y1, p.box.x2, p.box.y2), std::tie(nz.x1, nz.y1, nz.x2, nz.y2));
  EXPECT_EQ(std::tie(p.positive.x1, p.positive.y1, p.positive.x2, p.positive.y2),
            std::tie(pos.x1, pos.y1, pos.x2, pos.y2));

  const Runs got = runs_of(real), want = runs_of(non_zero_mask.view());
  ASSERT_EQ(got.runs.size(), want.runs.size());
  for (size_t k = 0; k < got.runs.size(); ++k)
    EXPECT_EQ(std::tie(got.runs[k].row, got.runs[k].x1, got.runs[k].x2),
              std::tie(want.runs[k].row, want.runs[k].x1, want.runs[k].x2));

  const measures::RawMoments m = measures::pixel_moments(real);
  const measures::RawMoments w = measures::pixel_moments(weights.view());
  EXPECT_EQ(std::tie(m.m00, m.m10, m.m01), std::tie(w.m00, w.m10, w.m01));

  // Painted where greater than 0, boxed where non-zero, in the same pass.
  std::vector<std::uint8_t> image(static_cast<size_t>(rows) * cols * 3);
  for (auto& b : image) b = static_cast<std::uint8_t>(rng());
  std::vector<std::uint8_t> from_real(image.size() / 3 * 4), from_bytes(from_real.size());
  std::vector<TightBox> boxes;
  annotation::composite_masks(image.data(), annotation::PixelLayout::rgb, from_real.data(), rows,
                              cols, {real}, {{10, 200, 30}}, &boxes);
  annotation::composite_masks(image.data(), annotation::PixelLayout::rgb, from_bytes.data(), rows,
                              cols, {positive_mask.view()}, {{10, 200, 30}});
  EXPECT_EQ(from_real, from_bytes);
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(std::tie(boxes[0].x1, boxes[0].y1, boxes[0].x2, boxes[0].y2),
            std::tie(nz.x1, nz.y1, nz.x2, nz.y2));
}

TEST(RealMasks, EachRuleReadsAsItsByteMask) {
  for (unsigned seed = 1; seed < 12; ++seed) {
    expect_rules_match_byte_masks<float>(seed);
    expect_rules_match_byte_masks<double>(seed);
  }
}

TEST(CheckedBytes, OverflowingOrNegativeShapesAreRefusedBeforeAllocation) {
  EXPECT_EQ(checked_bytes({3, 4}, 8, "x"), 96u);
  EXPECT_EQ(checked_bytes({0, std::int64_t{1} << 40, std::int64_t{1} << 40}, 4, "x"), 0u);
  EXPECT_THROW(checked_bytes({std::int64_t{1} << 40, std::int64_t{1} << 40}, 1, "x"), ValueError);
  EXPECT_THROW(checked_bytes({std::int64_t{1} << 62}, 4, "x"), ValueError);
  EXPECT_THROW(checked_bytes({-1, 4}, 1, "x"), ValueError);
  EXPECT_THROW(Mask(std::int64_t{1} << 32, std::int64_t{1} << 32), ValueError);
}

// Released frame-sized buffers are reused: whatever the last owner wrote,
// read, or wrote back to zero, the next buffer of that size must read all zero.
TEST(ZeroBufferReuse, EveryBufferStartsZeroWhateverItsPredecessorDid) {
  const size_t bytes = (size_t{3} << 20) + 123;
  for (int round = 0; round < 12; ++round) {
    std::vector<ZeroBuffer> held;
    for (int k = 0; k < 6; ++k) {
      ZeroBuffer b(bytes);
      ASSERT_EQ(b.size(), bytes);
      ASSERT_TRUE(std::all_of(b.data(), b.data() + bytes, [](std::uint8_t v) { return v == 0; }))
          << "round " << round << " buffer " << k;
      volatile std::uint8_t sink = 0;
      for (size_t i = 0; i < bytes; i += 8192) sink = sink + b.data()[i];  // read-only pages
      b.prepare_write(100000, 300000);
      for (size_t i = 100000 + static_cast<size_t>(k) * 977; i < bytes; i += 4099 * (k + 1))
        b.data()[i] = static_cast<std::uint8_t>(1 + i % 251);
      b.data()[bytes - 1] = 7;
      b.data()[5000] = 1;
      b.data()[5000] = 0;  // written, yet zero again
      if (k % 2) held.push_back(std::move(b));
    }
  }
  ZeroBuffer small(100);
  for (size_t i = 0; i < 100; ++i) ASSERT_EQ(small.data()[i], 0);
}

}  // namespace
}  // namespace hm
