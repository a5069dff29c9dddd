#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <opencv2/imgproc.hpp>
#include <random>

#include "common/errors.hpp"
#include "measures/centroid.hpp"
#include "measures/contact.hpp"
#include "measures/intersection.hpp"
#include "measures/overlap.hpp"

namespace hm::measures {
namespace {

Mask random_blobs(std::mt19937& rng, int rows, int cols, int blobs) {
  Mask m(rows, cols);
  cv::Mat mat(rows, cols, CV_8U, m.pixels.data());
  for (int b = 0; b < blobs; ++b) {
    const cv::Point c(static_cast<int>(rng() % cols), static_cast<int>(rng() % rows));
    const cv::Size axes(1 + static_cast<int>(rng() % 12), 1 + static_cast<int>(rng() % 8));
    cv::ellipse(mat, c, axes, static_cast<double>(rng() % 180), 0, 360, cv::Scalar(b % 2 ? 255 : 1),
                -1);
  }
  return m;
}

TEST(Moments, EqualTheImageMomentRoutineExactly) {
  std::mt19937 rng(11);
  for (int trial = 0; trial < 100; ++trial) {
    const int rows = 1 + static_cast<int>(rng() % 70), cols = 1 + static_cast<int>(rng() % 90);
    Mask m = random_blobs(rng, rows, cols, static_cast<int>(rng() % 4));
    const cv::Moments want = cv::moments(m.view().as_mat());
    const RawMoments got = pixel_moments(m.view());
    ASSERT_EQ(got.m00, want.m00);
    ASSERT_EQ(got.m10, want.m10);
    ASSERT_EQ(got.m01, want.m01);
  }
  // Rows wide enough that per-row sums need 64 bits.
  Mask wide(3, 5000);
  for (auto& p : wide.pixels) p = 255;
  const cv::Moments want = cv::moments(wide.view().as_mat());
  const RawMoments got = pixel_moments(wide.view());
  EXPECT_EQ(got.m00, want.m00);
  EXPECT_EQ(got.m10, want.m10);
  EXPECT_EQ(got.m01, want.m01);
}

TEST(ContourCentroid, EqualsWholeFrameTrace) {
  std::mt19937 rng(12);
  for (int trial = 0; trial < 150; ++trial) {
    const int rows = 1 + static_cast<int>(rng() % 60), cols = 1 + static_cast<int>(rng() % 80);
    Mask m = random_blobs(rng, rows, cols, static_cast<int>(rng() % 5));
    cv::Mat bin = m.view().as_mat().clone();
    std::vector<std::vector<cv::Point>> contours;
    cv::findContours(bin, contours, cv::RETR_EXTERNAL, cv::CHAIN_APPROX_SIMPLE);
    std::optional<std::pair<int, int>> want;
    if (!contours.empty()) {
      size_t best = 0;
      for (size_t i = 1; i < contours.size(); ++i)
        if (cv::contourArea(contours[i]) > cv::contourArea(contours[best])) best = i;
      const cv::Moments mo = cv::moments(contours[best]);
      if (mo.m00 != 0)
        want = std::make_pair(static_cast<int>(mo.m10 / mo.m00), static_cast<int>(mo.m01 / mo.m00));
    }
    ASSERT_EQ(largest_contour_centroid(m.view()), want) << "trial " << trial;
  }
}

TEST(CentroidSimilarity, EmptyMasksCountAsFarthest) {
  Mask a(30, 30), b(30, 30), empty(30, 30);
  a.pixels[5 * 30 + 5] = 1;
  b.pixels[5 * 30 + 15] = 1;
  const auto sim = centroid_similarity({b.view(), empty.view()}, {a.view()});
  EXPECT_NEAR(sim[0], 1 - 10 / (11 + 1e-06), 1e-12);
  EXPECT_NEAR(sim[1], 1 - 11 / (11 + 1e-06), 1e-12);
  const auto all_empty = centroid_similarity({empty.view()}, {empty.view()});
  EXPECT_TRUE(std::isnan(all_empty[0]));
  EXPECT_THROW(centroid_similarity({}, {a.view()}), ValueError);
}

TEST(IouMatrix, EqualsWholeFrameCountsOnLargeMasks) {
  // Large enough that the per-mask work runs on several threads.
  std::mt19937 rng(13);
  std::vector<Mask> masks;
  for (int i = 0; i < 6; ++i) masks.push_back(random_blobs(rng, 700, 1000, 3));
  std::vector<MaskView> views;
  for (const auto& m : masks) views.push_back(m.view());
  const auto iou = iou_matrix(views, views);
  for (size_t i = 0; i < masks.size(); ++i) {
    for (size_t j = 0; j < masks.size(); ++j) {
      std::int64_t both = 0, either = 0;
      for (size_t k = 0; k < masks[i].pixels.size(); ++k) {
        both += masks[i].pixels[k] && masks[j].pixels[k];
        either += masks[i].pixels[k] || masks[j].pixels[k];
      }
      ASSERT_EQ(iou[i * masks.size() + j], static_cast<double>(both) / (either + 1e-06));
    }
  }
  Mask other(10, 10);
  EXPECT_THROW(iou_matrix(views, {other.view()}), ValueError);
}

// Rows wider than the 16- and 64-byte scan steps, set pixels at every offset, and
// a row stride larger than the width.
TEST(TightBox, EqualsBruteForceOnWideStridedRows) {
  std::mt19937 rng(14);
  for (int trial = 0; trial < 300; ++trial) {
    const int rows = 1 + static_cast<int>(rng() % 9), cols = 1 + static_cast<int>(rng() % 300);
    const int stride = cols + static_cast<int>(rng() % 5);
    std::vector<std::uint8_t> buf(static_cast<size_t>(rows * stride), 0);
    for (int k = static_cast<int>(rng() % 4); k > 0; --k)
      buf[(rng() % rows) * stride + rng() % cols] = static_cast<std::uint8_t>(1 + rng() % 255);
    for (int r = 0; r < rows; ++r)
      for (int c = cols; c < stride; ++c) buf[r * stride + c] = 1;  // padding is not the mask
    const MaskView v{buf.data(), rows, cols, stride};
    TightBox want;
    std::int64_t area = 0;
    for (int r = 0; r < rows; ++r) {
      for (int c = 0; c < cols; ++c) {
        if (!buf[r * stride + c]) continue;
        ++area;
        if (want.empty) want = {false, c, r, c, r};
        want.x1 = std::min<std::int64_t>(want.x1, c);
        want.x2 = std::max<std::int64_t>(want.x2, c);
        want.y2 = r;
      }
    }
    const PreparedMask got = prepare(v);
    ASSERT_EQ(got.box.empty, want.empty) << trial;
    ASSERT_EQ(got.area, area) << trial;
    if (!want.empty) {
      ASSERT_EQ(got.box.x1, want.x1) << trial;
      ASSERT_EQ(got.box.x2, want.x2) << trial;
      ASSERT_EQ(got.box.y1, want.y1) << trial;
      ASSERT_EQ(got.box.y2, want.y2) << trial;
    }
  }
}

TEST(BoxIou, TouchingAndDegenerateBoxes) {
  EXPECT_EQ(box_iou({0, 0, 10, 10}, {10, 0, 20, 10}), 0.0);
  EXPECT_DOUBLE_EQ(*box_iou({0, 0, 10, 10}, {5, 5, 15, 15}), 25.0 / 175.0);
  EXPECT_FALSE(box_iou({1, 1, 1, 1}, {2, 2, 2, 2}).has_value());
  EXPECT_FALSE(box_iou({0, 0, NAN, 1}, {0, 0, 1, 1}).has_value());
}

// Contact against the plain way: dilate one mask by the reach (a square kernel) and
// look for a common pixel; overlap against a pixel count. Float masks on one side.
TEST(MaskContacts, EqualDilationAndCountOnRandomBlobs) {
  std::mt19937 rng(21);
  for (int trial = 0; trial < 200; ++trial) {
    const int rows = 1 + static_cast<int>(rng() % 40), cols = 1 + static_cast<int>(rng() % 60);
    const int reach = static_cast<int>(rng() % 4);
    std::vector<Mask> masks;
    for (int k = 0; k < 4; ++k)
      masks.push_back(random_blobs(rng, rows, cols, static_cast<int>(rng() % 2) + 1));
    cv::Mat real;
    masks[3].view().as_mat().convertTo(real, CV_32F);
    std::vector<MaskView> views{masks[0].view(), masks[1].view(), masks[2].view()};
    views.push_back({real.data, rows, cols, static_cast<std::int64_t>(real.step[0]), Element::f32});
    const std::vector<Contact> got = mask_contacts(views, reach);
    std::vector<Contact> want;
    const cv::Mat kernel = cv::Mat::ones(2 * reach + 1, 2 * reach + 1, CV_8U);
    for (int a = 0; a < 4; ++a) {
      cv::Mat grown;
      cv::dilate(masks[a].view().as_mat() != 0, grown, kernel);
      for (int b = a + 1; b < 4; ++b) {
        const cv::Mat other = masks[b].view().as_mat() != 0;
        const int both = cv::countNonZero((masks[a].view().as_mat() != 0) & other);
        if (cv::countNonZero(grown & other) > 0) want.push_back({a, b, both});
      }
    }
    ASSERT_EQ(got.size(), want.size()) << trial;
    for (size_t i = 0; i < got.size(); ++i) {
      ASSERT_EQ(got[i].a, want[i].a) << trial;
      ASSERT_EQ(got[i].b, want[i].b) << trial;
      ASSERT_EQ(got[i].overlap, want[i].overlap) << trial;
    }
  }
  Mask other(3, 3);
  EXPECT_THROW(mask_contacts({Mask(2, 2).view(), other.view()}, 1), ValueError);
  EXPECT_THROW(mask_contacts({other.view()}, -1), ValueError);
  EXPECT_TRUE(mask_contacts({}, 1).empty());
}

}  // namespace
}  // namespace hm::measures
