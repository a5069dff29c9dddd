#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <memory>
#include <random>

#include "common/errors.hpp"
#include "pen/in_pen.hpp"
#include "pen/motion.hpp"
#include "pen/pen_polygon.hpp"
#include "pen/pen_ratio.hpp"

namespace hm::pen {
namespace {

const std::vector<Point2> kSquare = {{10, 10}, {90, 10}, {90, 90}, {10, 90}};

TEST(PenRatio, InsideHalfOutsideAndTouching) {
  const auto pct = pen_intersection_percentages(
      kSquare,
      {{20, 20, 30, 30}, {0, 20, 20, 30}, {0, 0, 5, 5}, {90, 20, 95, 30}, {30, 30, 20, 20}});
  ASSERT_EQ(pct.size(), 5u);
  EXPECT_EQ(pct[0], 100.0);
  EXPECT_DOUBLE_EQ(pct[1], 50.0);
  EXPECT_EQ(pct[2], 0.0);
  EXPECT_EQ(pct[3], 0.0);
  EXPECT_EQ(pct[4], 100.0);  // corners given in reverse order span the same rectangle
}

// The triangle (0,0) (100,0) (0,100) cut by boxes along its hypotenuse has an
// area known in closed form, which checks the overlay rather than the shortcuts.
TEST(PenRatio, MatchesClosedFormOnTriangle) {
  const std::vector<Point2> tri = {{0, 0}, {100, 0}, {0, 100}};
  std::mt19937 rng(3);
  std::uniform_real_distribution<double> u(0, 100);
  for (int k = 0; k < 200; ++k) {
    const double x1 = u(rng), y1 = u(rng), s = 1 + u(rng) / 4;
    const double x2 = x1 + s, y2 = y1 + s;
    // Area of {x + y <= 100} within the box: integrate the clipped height over x.
    double inside = 0;
    const int steps = 4000;
    for (int i = 0; i < steps; ++i) {
      const double x = x1 + (i + 0.5) * s / steps;
      inside += std::clamp(100 - x, y1, y2) - y1;
    }
    inside *= s / steps;
    const auto pct = pen_intersection_percentages(tri, {{x1, y1, x2, y2}});
    EXPECT_NEAR(pct[0], inside / (s * s) * 100, 1e-3) << x1 << " " << y1 << " " << s;
  }
}

TEST(PenRatio, BadInputRaisesNamedErrors) {
  EXPECT_THROW(pen_intersection_percentages({{0, 0}, {1, 1}}, {}), ValueError);
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  EXPECT_THROW(pen_intersection_percentages({{0, 0}, {nan, 1}, {0, 5}}, {}), ValueError);
  EXPECT_THROW(pen_intersection_percentages(kSquare, {{0, 0, inf, 1}}), ValueError);
  EXPECT_THROW(pen_intersection_percentages(kSquare, {{20, 20, 30, 30}, {5, 5, 5, 9}}),
               ZeroDivision);
  EXPECT_THROW(pen_intersection_percentages(kSquare, {{5, 5, 5, 5}}), ZeroDivision);
  EXPECT_TRUE(pen_intersection_percentages(kSquare, {}).empty());
}

TEST(PenRatio, SelfIntersectingPolygonNeverCrashes) {
  const std::vector<Point2> bowtie = {{0, 0}, {10, 10}, {10, 0}, {0, 10}};
  try {
    const auto pct = pen_intersection_percentages(bowtie, {{0, 0, 10, 10}, {2, 4, 8, 6}});
    EXPECT_EQ(pct.size(), 2u);
  } catch (const ValueError&) {
  }
}

TEST(InPen, KeepsValuesInsideForEveryElementSize) {
  Mask pen(3, 4);
  pen.pixels = {0, 1, 1, 0, 1, 1, 1, 1, 0, 0, 0, 1};
  for (size_t item : {1u, 2u, 4u, 8u}) {
    const size_t planes = 2, n = planes * 12 * item;
    std::vector<std::uint8_t> in(n);
    ZeroBuffer out(n);
    for (size_t i = 0; i < n; ++i) in[i] = static_cast<std::uint8_t>(1 + i % 250);
    restrict_to_pen(in.data(), out, planes, item, runs_of(pen.view()));
    for (size_t i = 0; i < n; ++i) {
      const bool inside = pen.pixels[(i / item) % 12] != 0;
      ASSERT_EQ(out.data()[i], inside ? in[i] : 0) << "item " << item << " byte " << i;
    }
  }
  ZeroBuffer short_out(12);
  std::vector<std::uint8_t> in(24, 1);
  EXPECT_THROW(restrict_to_pen(in.data(), short_out, 2, 1, runs_of(pen.view())), ValueError);
}

TEST(InPen, WideRowsTakeTheSameResultAsBytewise) {
  std::mt19937 rng(5);
  Mask pen(7, 131);
  for (auto& p : pen.pixels) p = rng() % 3 != 0;
  std::vector<std::uint8_t> in(pen.pixels.size());
  ZeroBuffer out(in.size());
  for (size_t i = 0; i < in.size(); ++i)
    in[i] = (i / 40) % 3 == 0 ? 0 : static_cast<std::uint8_t>(rng());
  restrict_to_pen(in.data(), out, 1, 1, runs_of(pen.view()));
  for (size_t i = 0; i < in.size(); ++i) ASSERT_EQ(out.data()[i], pen.pixels[i] ? in[i] : 0) << i;
}

// Frame-sized outputs are mapped memory written only near the blobs; blobs far
// apart, at the frame's ends and across the pen's edge must all come out whole.
TEST(InPen, SparseBlobsInAFrameSizedBuffer) {
  const std::int64_t h = 900, w = 1500;
  Mask pen(h, w);
  for (std::int64_t y = 0; y < h; ++y)
    for (std::int64_t x = 0; x < w; ++x) pen.pixels[y * w + x] = (x + y) % 997 < 900;
  std::vector<std::uint8_t> in(pen.pixels.size(), 0);
  auto blob = [&](std::int64_t y0, std::int64_t x0, std::int64_t r) {
    for (std::int64_t y = std::max<std::int64_t>(0, y0 - r); y < std::min(h, y0 + r); ++y)
      for (std::int64_t x = std::max<std::int64_t>(0, x0 - r); x < std::min(w, x0 + r); ++x)
        in[y * w + x] = static_cast<std::uint8_t>(1 + (x * 7 + y) % 200);
  };
  blob(0, 0, 5);
  blob(300, 700, 60);
  blob(310, 1400, 90);
  blob(899, 1499, 3);
  ZeroBuffer out(in.size());
  restrict_to_pen(in.data(), out, 1, 1, runs_of(pen.view()));
  for (size_t i = 0; i < in.size(); ++i) ASSERT_EQ(out.data()[i], pen.pixels[i] ? in[i] : 0) << i;
}

TEST(Motion, MaskOfOtherSizeAndEmptyMask) {
  cv::Mat mag(4, 5, CV_32F, cv::Scalar(2.5f));
  Mask wrong(5, 4);
  EXPECT_THROW(mean_in_mask(mag, wrong.view()), ValueError);
  Mask empty(4, 5);
  EXPECT_FALSE(mean_in_mask(mag, empty.view()).has_value());
  Mask some(4, 5);
  some.pixels[7] = 255;
  some.pixels[13] = 1;
  mag.at<float>(2, 3) = 4.5f;  // pixel 13
  EXPECT_DOUBLE_EQ(*mean_in_mask(mag, some.view()), 3.5);
}

TEST(Motion, MissingFrameIsFileNotFound) {
  EXPECT_THROW(flow_magnitude("/nonexistent/0000.jpg", "/nonexistent/0005.jpg"), FileNotFound);
}

TEST(PenFill, FillingAZeroSizedFrameDoesNotReachTheFiller) {
  std::vector<PenPoint> poly(3);
  poly[1].x.value = 5;
  poly[2].y.value = 5;
  EXPECT_EQ(fill_polygon(poly, 0, 0).pixels.size(), 0u);
  EXPECT_THROW(fill_polygon({}, 4, 4), ValueError);
}

// Content-keyed: the same bytes share one pen; the cache lets go of pens it no longer
// has room for, so a run over many pen files keeps a bounded number in memory.
TEST(PenCache, SharesEqualContentAndStaysBounded) {
  const std::string dir = ::testing::TempDir();
  auto pen_file = [&](int k) {
    const std::string path = dir + "/herdmask_pen_cache_" + std::to_string(k) + ".json";
    std::FILE* f = std::fopen(path.c_str(), "wb");
    const std::string text =
        R"({"shapes": [{"points": [[0, 0], [)" + std::to_string(k) + R"(, 0], [0, 5]]}]})";
    std::fwrite(text.data(), 1, text.size(), f);
    std::fclose(f);
    return path;
  };
  const std::string first = pen_file(3);
  std::weak_ptr<const Mask> kept = cached_pen_mask(first, 6, 40);
  EXPECT_EQ(cached_pen_mask(first, 6, 40), kept.lock());
  for (int k = 4; k < 40; ++k) cached_pen_mask(pen_file(k), 6, 40);
  EXPECT_TRUE(kept.expired());
  for (int k = 3; k < 40; ++k)
    std::remove((dir + "/herdmask_pen_cache_" + std::to_string(k) + ".json").c_str());
}

}  // namespace
}  // namespace hm::pen
