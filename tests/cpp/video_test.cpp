#include <gtest/gtest.h>

extern "C" {
#include <libavutil/frame.h>
}

#include <filesystem>
#include <fstream>
#include <iterator>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <opencv2/videoio.hpp>
#include <random>
#include <string>
#include <vector>

#include "common/errors.hpp"
#include "video/frame_extraction.hpp"
#include "video/frame_image.hpp"
#include "video/jpeg_writer.hpp"
#include "video/orange_region.hpp"
#include "video/video_decoder.hpp"

namespace fs = std::filesystem;
using namespace hm::video;

namespace {

struct TempDir {
  fs::path path;
  TempDir() {
    path = fs::temp_directory_path() /
           ("herdmask_video_" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) +
            "_" + ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(path);
    fs::create_directories(path);
  }
  ~TempDir() { fs::remove_all(path); }
};

std::string write_video(const fs::path& path, int frames) {
  cv::VideoWriter writer(path.string(), cv::VideoWriter::fourcc('m', 'p', '4', 'v'), 25,
                         cv::Size(40, 30));
  for (int i = 0; i < frames; ++i) {
    cv::Mat frame(30, 40, CV_8UC3, cv::Scalar(60, 60, 60 + i));
    frame(cv::Rect(20, 5, 8, 8)).setTo(cv::Scalar(0, 128, 255));
    writer.write(frame);
  }
  return path.string();
}

}  // namespace

TEST(VideoCropBox, RuleSwitchesToTheFrameEdgeAtColumn2300) {
  EXPECT_EQ(crop_box_for_region({600, 10, 2299, 90}), (CropBox{550, 0, 2300, 1440}));
  EXPECT_EQ(crop_box_for_region({600, 10, 2300, 90}), (CropBox{550, 0, 2560, 1440}));
  EXPECT_EQ(crop_box_for_region({20, 10, 40, 90}), (CropBox{-30, 0, 2300, 1440}));
  EXPECT_EQ(clamp_to_frame({-30, 0, 2300, 1440}, 40, 30), cv::Rect(0, 0, 40, 30));
  EXPECT_TRUE(clamp_to_frame({50, 0, 60, 30}, 40, 30).empty());
  EXPECT_TRUE(clamp_to_frame({INT64_MIN, INT64_MIN, INT64_MAX, -5}, 40, 30).empty());
}

TEST(VideoOrangeRegion, ZeroAreaContoursAndBadFrames) {
  cv::Mat frame(10, 10, CV_8UC3, cv::Scalar(0, 0, 0));
  frame(cv::Rect(2, 2, 1, 5)).setTo(cv::Scalar(0, 128, 255));  // a line: area 0
  EXPECT_EQ(find_orange_region(frame), (CropBox{2, 2, 3, 7}));
  EXPECT_THROW(find_orange_region(cv::Mat()), hm::ValueError);
  EXPECT_THROW(find_orange_region(cv::Mat(4, 4, CV_8UC1)), hm::ValueError);
}

TEST(VideoFrames, FrameNumbersRoundHalfToEvenAndRejectNonFinite) {
  EXPECT_EQ(frame_number(25, 0.30000000000000004), 450);
  EXPECT_EQ(frame_number(1, 2.5 / 60), 2);
  EXPECT_EQ(frame_number(1, 3.5 / 60), 4);
  EXPECT_EQ(frame_number(25, -0.1), -150);
  EXPECT_GT(frame_number(25, 1e300), 0);
  EXPECT_THROW(frame_number(25, std::nan("")), hm::ValueError);
}

TEST(VideoFrames, PipelineWritesEveryFileAndReportsFailures) {
  TempDir tmp;
  const std::string video = write_video(tmp.path / "v.mp4", 12);
  std::vector<std::string> lines;
  hm::Printer print = [&](const std::string& s) { lines.push_back(s); };

  SegmentRequest req;
  req.video_path = video;
  req.output_dir = (tmp.path / "seg").string();
  req.start_min = 0;
  req.end_min = 10.0 / 1500;
  req.start_text = "0";
  req.end_text = "x";
  req.camera_text = "5";
  std::vector<CropBox> stored;
  req.store_box = [&](const CropBox& b) { stored.push_back(b); };
  req.encode_threads = 3;
  const SegmentResult r = crop_video_to_frames(req, print);
  EXPECT_EQ(r.saved, 10);
  ASSERT_EQ(stored.size(), 1u);
  EXPECT_EQ(stored[0].x2, 2300);
  for (int i = 0; i < 10; ++i) {
    const fs::path f = tmp.path / "seg" / ("000" + std::to_string(i) + ".jpg");
    EXPECT_TRUE(fs::is_regular_file(f)) << f;
  }
  ASSERT_EQ(lines.size(), 14u);
  EXPECT_EQ(lines[2], "Processing frame 0 (saved as 0000.jpg)");
  EXPECT_EQ(lines.back(), "Dim: (30, 40, 3)");

  // A folder where an image should go: the failure names the file.
  req.output_dir = (tmp.path / "bad").string();
  req.cached_box = stored[0];
  fs::create_directories(tmp.path / "bad" / "0003.jpg");
  try {
    crop_video_to_frames(req, print);
    FAIL() << "no error";
  } catch (const hm::IoError& e) {
    EXPECT_NE(std::string(e.what()).find("0003.jpg"), std::string::npos);
  }
  req.frame_skip = 0;
  EXPECT_THROW(crop_video_to_frames(req, print), hm::ValueError);
}

TEST(VideoJpeg, SameBytesAsOpenCvsWriter) {
  TempDir tmp;
  cv::RNG rng(11);
  cv::Mat noise(37, 53, CV_8UC3), smooth(48, 64, CV_8UC3), wide(30, 2000, CV_8UC3);
  rng.fill(noise, cv::RNG::UNIFORM, 0, 256);
  for (int y = 0; y < smooth.rows; ++y)
    for (int x = 0; x < smooth.cols; ++x) smooth.at<cv::Vec3b>(y, x) = cv::Vec3b(x * 4, y * 5, 90);
  rng.fill(wide, cv::RNG::NORMAL, 120, 30);
  const cv::Mat one(1, 1, CV_8UC3, cv::Scalar(1, 2, 3));
  for (const cv::Mat& image : {noise, smooth, smooth(cv::Rect(5, 3, 17, 9)), one, wide}) {
    const fs::path path = tmp.path / "x.jpg";
    write_jpeg(path.string(), image);
    std::ifstream in(path, std::ios::binary);
    const std::vector<uchar> ours((std::istreambuf_iterator<char>(in)), {});
    std::vector<uchar> reference;
    ASSERT_TRUE(cv::imencode(".jpg", image, reference));
    EXPECT_EQ(ours, reference) << image.size();
  }
  EXPECT_THROW(write_jpeg((tmp.path / "missing" / "x.jpg").string(), one), hm::IoError);
}

namespace {

std::vector<std::string> file_bytes(const fs::path& dir) {
  std::vector<std::string> out;
  for (int i = 0;; ++i) {
    std::ifstream in(dir / ("000" + std::to_string(i) + ".jpg"), std::ios::binary);
    if (!in) return out;
    out.emplace_back(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
}

}  // namespace

TEST(VideoFrames, KeptReaderGivesTheFramesOfAFreshOneAndNoticesAReplacedFile) {
  TempDir tmp;
  const std::string video = write_video(tmp.path / "v.mp4", 14);
  hm::Printer print = [](const std::string&) {};
  KeptReader reader;
  SegmentRequest req;
  req.video_path = video;
  req.cached_box = CropBox{-30, 0, 2300, 1440};
  req.frame_skip = 2;
  auto cut = [&](int from, int to, bool keep, const std::string& name) {
    req.start_min = from / 1500.0;
    req.end_min = to / 1500.0;
    req.kept = keep ? &reader : nullptr;
    req.output_dir = (tmp.path / name).string();
    return crop_video_to_frames(req, print).saved;
  };
  for (int s = 0; s < 12; s += 4) EXPECT_GT(cut(s, s + 4, true, "kept" + std::to_string(s)), 0);
  reader.close();
  for (int s = 0; s < 12; s += 4) cut(s, s + 4, false, "fresh" + std::to_string(s));
  for (int s = 0; s < 12; s += 4) {
    const auto kept = file_bytes(tmp.path / ("kept" + std::to_string(s)));
    EXPECT_EQ(kept, file_bytes(tmp.path / ("fresh" + std::to_string(s)))) << s;
    EXPECT_FALSE(kept.empty());
  }

  // Rewritten between two segments: the second reads the new file, not the old reader.
  cut(0, 4, true, "old");
  write_video(tmp.path / "v.mp4", 9);
  // Frames 5..8 remain (printed as 4..7), every second one kept; the old reader would
  // have gone on to 11 and saved five.
  EXPECT_EQ(cut(4, 12, true, "new"), 2);
  reader.close();
  EXPECT_EQ(cut(4, 12, false, "new_fresh"), 2);
  EXPECT_EQ(file_bytes(tmp.path / "new"), file_bytes(tmp.path / "new_fresh"));
}

TEST(VideoFrames, SavedPositionsFollowTheExtractionLoop) {
  // The loop written out: read the start frame, then one frame per frame_idx, saving
  // the kept ones, until a read runs past the video.
  auto plain = [](const SegmentFrames& f, std::int64_t count, std::int64_t skip) {
    std::vector<std::int64_t> out;
    if (f.start_frame < 0 || f.start_frame >= count) return out;
    for (std::int64_t idx = f.start_frame; idx < f.end_frame; ++idx) {
      if (idx + 1 >= count) break;
      if (idx % skip == 0 || idx == f.end_frame - 1) out.push_back(idx + 1);
    }
    return out;
  };
  std::mt19937 rng(5);
  for (int i = 0; i < 3000; ++i) {
    const std::int64_t count = rng() % 60, skip = 1 + rng() % 7;
    const SegmentFrames f{static_cast<std::int64_t>(rng() % 70) - 3,
                          static_cast<std::int64_t>(rng() % 70) - 3};
    EXPECT_EQ(saved_positions(f, static_cast<double>(count), skip), plain(f, count, skip)) << i;
  }
  // 100 frames at 29.97: the truncated rate ends the last segment at frame 98; it
  // runs on to the video's last frame instead.
  EXPECT_EQ(segment_frames(29.97, 100, 0.04, 100 / 29.97 / 60).end_frame, 99);
  EXPECT_EQ(segment_frames(29.97, 100, 0.02, 0.04).end_frame, 70);
  EXPECT_THROW(segment_frames(std::nan(""), 100, 0, 1), hm::ValueError);
  EXPECT_TRUE(saved_positions({0, 1000000000000}, 3, 1 << 30).size() == 1);
}

namespace {

// Frames whose content changes with their number, so that a frame read in the wrong
// place shows.
std::string write_clip(const fs::path& path, int fourcc, cv::Size size, int frames) {
  cv::VideoWriter writer(path.string(), fourcc, 25, size);
  if (!writer.isOpened()) return "";
  for (int i = 0; i < frames; ++i) {
    cv::Mat frame(size, CV_8UC3, cv::Scalar(40 + i % 170, 90, 200 - i % 150));
    cv::circle(frame, cv::Point(i % size.width, size.height / 2), 7, cv::Scalar(0, 128, 255), -1);
    writer.write(frame);
  }
  return path.string();
}

std::vector<cv::Mat> opencv_frames(const std::string& path) {
  cv::VideoCapture cap(path);
  std::vector<cv::Mat> frames;
  for (cv::Mat f; cap.read(f);) frames.push_back(f.clone());
  return frames;
}

VideoFrame from(Picture p) {
  VideoFrame f;
  f.picture = std::move(p);
  return f;
}

}  // namespace

// The decoder gives OpenCV's reader's frames, pixel for pixel, in order and after any
// seek.
TEST(VideoDecoder, SameFramesAsOpenCvsReaderInOrderAndAfterSeeks) {
  TempDir tmp;
  struct Clip {
    const char* name;
    int fourcc;
    cv::Size size;
  };
  const Clip clips[] = {{"h264.mp4", cv::VideoWriter::fourcc('a', 'v', 'c', '1'), {202, 48}},
                        {"mp4v.mp4", cv::VideoWriter::fourcc('m', 'p', '4', 'v'), {140, 30}},
                        {"mjpg.avi", cv::VideoWriter::fourcc('M', 'J', 'P', 'G'), {35, 27}}};
  for (const Clip& clip : clips) {
    const std::string path = write_clip(tmp.path / clip.name, clip.fourcc, clip.size, 230);
    ASSERT_FALSE(path.empty()) << clip.name;
    const std::vector<cv::Mat> expected = opencv_frames(path);
    ASSERT_EQ(expected.size(), 230u) << clip.name;
    auto decoder = FrameDecoder::open(path);
    ASSERT_TRUE(decoder) << clip.name;
    for (size_t i = 0; i < expected.size(); ++i) {
      const VideoFrame frame = from(decoder->read());
      ASSERT_FALSE(frame.empty()) << clip.name << " " << i;
      ASSERT_EQ(cv::norm(frame_bgr(frame), expected[i], cv::NORM_INF), 0) << clip.name << " " << i;
    }
    EXPECT_FALSE(decoder->read());
    // Back, far forward (by time stamps), a short step forward (decoding), past the end.
    for (const std::int64_t at : {3, 200, 17, 60, 229, 0, 120, 140, 230, 5}) {
      decoder->seek(at);
      EXPECT_EQ(decoder->position(), at);
      const VideoFrame frame = from(decoder->read());
      if (at == 230) {
        EXPECT_TRUE(frame.empty());
        continue;
      }
      ASSERT_FALSE(frame.empty()) << clip.name << " seek " << at;
      EXPECT_EQ(cv::norm(frame_bgr(frame), expected[at], cv::NORM_INF), 0)
          << clip.name << " " << at;
    }
    // A region's file, at even and odd coordinates and sizes: 4:2:0 frames (MJPEG's at
    // full range) encoded from their planes decode to the pixels of the BGR region's file
    // within JPEG's rounding; other formats give that file byte for byte.
    decoder->seek(41);
    const VideoFrame frame = from(decoder->read());
    const bool planar =
        frame.picture->format == AV_PIX_FMT_YUV420P || frame.picture->format == AV_PIX_FMT_YUVJ420P;
    const cv::Size size = frame.size();
    std::vector<cv::Rect> regions{{3, 1, size.width - 8, size.height - 4},
                                  {0, 0, size.width, size.height},
                                  {2, 4, size.width - 9, size.height - 7}};
    if (size.width > 100) regions.emplace_back(70, 3, size.width - 75, size.height - 8);
    cv::Mat scratch;
    for (const cv::Rect& region : regions) {
      const std::string file = frame_jpeg(frame, region, {}, scratch);
      const std::string bgr_file = encode_jpeg(frame_bgr(frame)(region));
      if (!planar) {
        EXPECT_EQ(file, bgr_file) << clip.name << " " << region;
        continue;
      }
      const cv::Mat pixels = cv::imdecode(
          cv::Mat(1, static_cast<int>(file.size()), CV_8U, const_cast<char*>(file.data())),
          cv::IMREAD_COLOR);
      const cv::Mat bgr_pixels = cv::imdecode(
          cv::Mat(1, static_cast<int>(bgr_file.size()), CV_8U, const_cast<char*>(bgr_file.data())),
          cv::IMREAD_COLOR);
      ASSERT_EQ(pixels.size(), region.size()) << clip.name << " " << region;
      EXPECT_LT(cv::norm(pixels, bgr_pixels, cv::NORM_L1) / static_cast<double>(pixels.total() * 3),
                1.5)
          << clip.name << " " << region;
    }
  }
}

TEST(VideoDecoder, FilesThatAreNotVideosOrAreCutShort) {
  TempDir tmp;
  EXPECT_FALSE(FrameDecoder::open((tmp.path / "missing.mp4").string()));
  std::ofstream(tmp.path / "empty.mp4").close();
  EXPECT_FALSE(FrameDecoder::open((tmp.path / "empty.mp4").string()));
  const std::string path =
      write_clip(tmp.path / "v.avi", cv::VideoWriter::fourcc('M', 'J', 'P', 'G'), {33, 25}, 20);
  std::ifstream in(path, std::ios::binary);
  const std::string bytes((std::istreambuf_iterator<char>(in)), {});
  std::ofstream(tmp.path / "cut.avi", std::ios::binary) << bytes.substr(0, bytes.size() / 2);
  auto decoder = FrameDecoder::open((tmp.path / "cut.avi").string());
  ASSERT_TRUE(decoder);
  int frames = 0;
  while (decoder->read()) ++frames;
  EXPECT_GT(frames, 3);
  EXPECT_LT(frames, 20);
  decoder->seek(1000);
  EXPECT_FALSE(decoder->read());
}
