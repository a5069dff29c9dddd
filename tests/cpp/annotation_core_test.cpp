#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <limits>
#include <opencv2/imgproc.hpp>
#include <random>
#include <string>
#include <vector>

#include "annotation/annotation_masks.hpp"
#include "annotation/polygon_text.hpp"
#include "common/errors.hpp"
#include "common/number_text.hpp"
#include "detect/annotation_data.hpp"

namespace hm {
namespace {

namespace fs = std::filesystem;
using annotation::python_float;

TEST(PythonFloat, AcceptsWhatFloatAccepts) {
  const std::vector<std::pair<std::string, double>> ok = {
      {"1", 1.0},          {"-2.5", -2.5},        {"+.5", 0.5},           {"5.", 5.0},
      {"1e-3", 1e-3},      {"1E+2", 100.0},       {"1_000.0_5", 1000.05}, {"0.1", 0.1},
      {"1e999", INFINITY}, {"-1e999", -INFINITY}, {"1e-999", 0.0},        {"InFiNiTy", INFINITY},
      {"-inf", -INFINITY}};
  for (const auto& [text, want] : ok) {
    const auto got = python_float(text);
    ASSERT_TRUE(got.has_value()) << text;
    EXPECT_EQ(*got, want) << text;
  }
  EXPECT_TRUE(std::isnan(*python_float("NaN")));
  EXPECT_TRUE(std::isnan(*python_float("-nan")));
}

TEST(PythonFloat, RefusesWhatFloatRefuses) {
  for (const char* text : {"", "-", ".", "e5", "1e", "1_", "_1", "1__0", "1._5", "0x10", "1.2.3",
                           "infx", "nan1", "1,5", "1e1.5", "--1", "1 2"})
    EXPECT_FALSE(python_float(text).has_value()) << text;
}

TEST(PolygonText, SplitsAtUnicodeWhiteSpaceLikeStrSplit) {
  // U+00A0 (no-break space), U+3000 and a record separator separate tokens.
  const auto t = annotation::split_whitespace(
      " pig\xc2\xa0"
      "0.5\xe3\x80\x80"
      "0.25\x1e\t");
  ASSERT_EQ(t.size(), 3u);
  EXPECT_EQ(t[0], "pig");
  EXPECT_EQ(t[1], "0.5");
  EXPECT_EQ(t[2], "0.25");
}

TEST(PolygonText, ScalesAndTruncatesTowardZero) {
  EXPECT_EQ(annotation::scaled_vertices("p 0.999 0.5 -0.05 0.999", 10, 4),
            (std::vector<std::int32_t>{9, 2, 0, 3}));
  EXPECT_TRUE(annotation::scaled_vertices("pig", 10, 10).empty());
  EXPECT_TRUE(annotation::scaled_vertices("", 10, 10).empty());
}

TEST(PolygonText, BadCoordinatesAreValueErrors) {
  for (const char* text :
       {"p 0.1 x", "p 0.1 0.2 0.3", "p nan 0.1", "p 0.1 inf", "p 1e9 0.1", "p -1e9 0.1"})
    EXPECT_THROW(annotation::scaled_vertices(text, 100, 100), ValueError) << text;
  // The largest 32-bit coordinates are still accepted.
  EXPECT_NO_THROW(annotation::scaled_vertices("p 2147483647 -2147483648", 1, 1));
}

TEST(PolygonText, RescaleWritesSixDecimals) {
  EXPECT_EQ(annotation::rescale_polygon_text("pig 0.5 0.25", 0.5, 2.0), "pig 0.250000 0.500000");
  EXPECT_EQ(annotation::rescale_polygon_text("  pig\t", 0.5, 2.0), "pig ");
  EXPECT_THROW(annotation::rescale_polygon_text(" ", 1, 1), IndexError);
}

// fillPoly aborts the process when handed an empty point list.
TEST(AnnotationMasks, IdentifierOnlyPolygonDoesNotAbortFill) {
  const auto m = annotation::masks_from_json_text(
      R"({"image_path": "f.jpg", "detections": [{"object_id": 2, "formatted_polygon": ["pig", ""]}]})",
      4, 5, "test");
  ASSERT_EQ(m.count(), 1u);
  EXPECT_EQ(m.boxkeys[0], 1);
  EXPECT_EQ(count_set(m.view(0)), 0);
}

TEST(AnnotationMasks, HugeCoordinatesAreClippedByTheFill) {
  // Scaled by 7 and 6 these corners lie near the ends of the 32-bit range.
  const auto m = annotation::masks_from_json_text(
      R"({"image_path": "f", "detections": [{"formatted_polygon":
          ["p -3e8 -3e8 3e8 -3e8 3e8 3e8 -3e8 3e8", "q 0.5 -3e8 0.6 3e8"]}]})",
      6, 7, "test");
  EXPECT_EQ(m.boxkeys[0], -1);
  EXPECT_EQ(count_set(m.view(0)), 42);
}

TEST(AnnotationMasks, BadDocumentsRaiseTheirErrorKinds) {
  auto run = [](const char* text) { annotation::masks_from_json_text(text, 4, 4, "test"); };
  EXPECT_THROW(run("{"), ValueError);
  EXPECT_THROW(run("[]"), TypeError);
  EXPECT_THROW(run(R"({"detections": []})"), KeyError);
  EXPECT_THROW(run(R"({"image_path": "f"})"), KeyError);
  EXPECT_THROW(run(R"({"image_path": 3, "detections": []})"), TypeError);
  EXPECT_THROW(run(R"({"image_path": "f", "detections": "abc"})"), TypeError);
  EXPECT_THROW(run(R"({"image_path": "f", "detections": [{}]})"), KeyError);
  EXPECT_THROW(run(R"({"image_path": "f", "detections": [{"formatted_polygon": "p 0 0"}]})"),
               TypeError);
  EXPECT_THROW(run(R"({"image_path": "f", "detections": [{"formatted_polygon": [5]}]})"),
               TypeError);
  EXPECT_THROW(
      run(R"({"image_path": "f", "detections": [{"object_id": "1", "formatted_polygon": []}]})"),
      TypeError);
  EXPECT_THROW(
      annotation::masks_from_json_text(R"({"image_path": "f", "detections": []})", -1, 4, "test"),
      ValueError);
}

class AnnotationFolder : public ::testing::Test {
 protected:
  fs::path root;
  void SetUp() override {
    root = fs::temp_directory_path() /
           ("hm_annotation_" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) +
            "_" + ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(root);
    fs::create_directories(root);
  }
  void TearDown() override { fs::remove_all(root); }
  void write(const fs::path& rel, const std::string& text) {
    fs::create_directories((root / rel).parent_path());
    std::ofstream(root / rel) << text;
  }
};

TEST_F(AnnotationFolder, DiscoveryOrdersNumericallyAndVisitsSubfoldersByName) {
  for (const char* name : {"output_pp_2.json", "output_pp_10.json", "output_pp_1.json",
                           "notes.json", "output_pp_3.txt", "b/output_pp_0.json",
                           "a/output_pp_5.json", "a/z/output_pp_7.json", ".json"})
    write(name, "{}");
  const auto paths = detect::discover_annotation_files(root.string());
  std::vector<std::string> rel;
  for (const auto& p : paths) rel.push_back(fs::relative(p, root).string());
  EXPECT_EQ(rel, (std::vector<std::string>{"output_pp_1.json", "output_pp_2.json",
                                           "output_pp_10.json", "a/output_pp_5.json",
                                           "a/z/output_pp_7.json", "b/output_pp_0.json"}));
  EXPECT_TRUE(detect::discover_annotation_files((root / "missing").string()).empty());
}

TEST_F(AnnotationFolder, FrameIndexFollowsTheLastMarker) {
  EXPECT_EQ(detect::frame_index_text("/x/output_pp_3/output_pp_0012.json"), "0012");
  EXPECT_EQ(detect::frame_index_text("/x/run.v2/output_pp_-4.json"), "-4");
  EXPECT_EQ(detect::frame_index_text("/x/output_pp_1_000.json"), "1000");
  EXPECT_THROW(detect::frame_index_text("/x/frame_12.json"), ValueError);
  EXPECT_THROW(detect::frame_index_text("/x/output_pp_12a.json"), ValueError);
}

TEST_F(AnnotationFolder, FirstFailingFileInPathOrderIsReported) {
  const std::string good = R"({"image_path": "f", "detections": [{"object_id": 1,
      "formatted_polygon": ["p 0 0 1 0 1 1 0 1"]}]})";
  std::vector<std::string> paths;
  for (int i = 0; i < 12; ++i) {
    const std::string name = "output_pp_" + std::to_string(i) + ".json";
    write(name, i == 7 ? std::string("{bad") : good);
    paths.push_back((root / name).string());
  }
  paths[9] = (root / "output_pp_99.json").string();  // missing, but after the bad file
  try {
    detect::load_frame_masks(paths, 3, 3, true);
    FAIL() << "no error";
  } catch (const ValueError& e) {
    EXPECT_NE(std::string(e.what()).find("output_pp_7.json"), std::string::npos) << e.what();
  }
  paths.resize(7);
  const auto frames = detect::load_frame_masks(paths, 3, 3, true);
  ASSERT_EQ(frames.size(), 7u);
  for (size_t i = 0; i < frames.size(); ++i) {
    EXPECT_EQ(frames[i].json_path, paths[i]);
    EXPECT_EQ(frames[i].areas, (std::vector<std::int64_t>{9}));
    EXPECT_EQ(frames[i].table, (std::vector<double>{0.0}));
  }
}

}  // namespace
}  // namespace hm

namespace hm {
namespace {

// Polygons reaching far beyond the frame are cut down before the fill; inside the
// frame the result stays that of the uncut polygon, up to a pixel at a span's end.
TEST(AnnotationMasks, CutFarPolygonsFillLikeTheWholeOnes) {
  std::mt19937 rng(5);
  std::uniform_real_distribution<double> far(-6000, 6000), in(0, 1);
  const int h = 40, w = 60;
  std::int64_t differing = 0, filled = 0;
  for (int t = 0; t < 300; ++t) {
    std::vector<cv::Point> pts = {{int(far(rng)), int(far(rng))},
                                  {int(in(rng)*w), int(in(rng)*h)},
                                  {int(in(rng)*w), int(in(rng)*h)}};
    std::string text = "p";
    for (const auto& p : pts)
      text += " " + real_text(double(p.x) / w) + " " + real_text(double(p.y) / h);
    std::vector<std::uint8_t> got(h * w, 0);
    TightBox bounds;
    annotation::fill_polygon_text(got.data(), h, w, text, bounds);
    cv::Mat want = cv::Mat::zeros(h, w, CV_8UC1);
    cv::fillPoly(want, std::vector<std::vector<cv::Point>>{pts}, cv::Scalar(1));
    for (int y = 0; y < h; ++y)
      for (int x = 0; x < w; ++x) {
        const bool g = got[y * w + x], e = want.at<std::uint8_t>(y, x);
        differing += g != e;
        filled += e;
        if (g) {
          ASSERT_FALSE(bounds.empty);
          ASSERT_TRUE(x >= bounds.x1 && x <= bounds.x2 && y >= bounds.y1 && y <= bounds.y2);
        }
      }
  }
  EXPECT_LE(differing * 200, filled) << differing << " of " << filled;
}

}  // namespace
}  // namespace hm
