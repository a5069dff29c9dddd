#include "video/probe.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>
#include <opencv2/imgproc.hpp>
#include <opencv2/videoio.hpp>

#include "common/errors.hpp"
#include "common/number_text.hpp"

namespace hm::video {

namespace {

// Decoding forward is cheaper than a seek (which decodes from the previous key
// frame) for gaps up to about a group of pictures.
constexpr std::int64_t kDecodeAhead = 32;

}  // namespace

cv::Size size_for_height(const cv::Size& image, std::int64_t target_height) {
  if (target_height <= 0 || target_height > std::numeric_limits<int>::max())
    throw ValueError(
        "resize_dim: the target height (its second element) must be a positive "
        "number of pixels, got " +
        int_text(target_height));
  const double width = std::ceil(static_cast<double>(target_height) *
                                 (static_cast<double>(image.width) / image.height));
  if (!(width >= 1 && width <= std::numeric_limits<int>::max()))
    throw ValueError("resize_dim: a target height of " + int_text(target_height) +
                     " gives an image too wide to make");
  return {static_cast<int>(width), static_cast<int>(target_height)};
}

std::optional<VideoProbe> probe_video(const std::string& path) {
  cv::VideoCapture cap(path);
  if (!cap.isOpened()) return std::nullopt;
  return VideoProbe{cap.get(cv::CAP_PROP_FPS), cap.get(cv::CAP_PROP_FRAME_COUNT),
                    cap.get(cv::CAP_PROP_FRAME_WIDTH), cap.get(cv::CAP_PROP_FRAME_HEIGHT)};
}

std::optional<VideoProbe> describe_video(const std::string& path, const Printer& print) {
  const std::optional<VideoProbe> probe = probe_video(path);
  if (!probe) {
    print("Error: Could not open video " + path);
    return std::nullopt;
  }
  print("Video FPS: " + real_text(probe->fps));
  print("Total frames: " + real_text(probe->frame_count));
  if (probe->fps == 0)
    throw ZeroDivision("float division by zero (the video's frame rate reads 0)");
  print("Video duration: " + fixed_text(probe->frame_count / probe->fps, 2) + " seconds");
  return probe;
}

std::optional<double> video_duration_minutes(const std::string& path, const Printer& print) {
  const std::optional<VideoProbe> probe = describe_video(path, print);
  if (!probe) return std::nullopt;
  return probe->minutes();
}

std::optional<double> video_minutes(const std::string& path) {
  const std::optional<VideoProbe> probe = probe_video(path);
  if (!probe || probe->fps == 0) return std::nullopt;
  return probe->minutes();
}

FrameReads read_frames(const std::string& path, const std::vector<std::int64_t>& positions,
                       const std::optional<CropBox>& crop,
                       const std::optional<std::int64_t>& resize_height) {
  FrameReads out;
  cv::VideoCapture cap(path);
  if (!cap.isOpened()) {
    out.status = FrameReadStatus::cannot_open;
    return out;
  }
  std::vector<size_t> order(positions.size());
  std::iota(order.begin(), order.end(), size_t{0});
  std::stable_sort(order.begin(), order.end(),
                   [&](size_t a, size_t b) { return positions[a] < positions[b]; });
  std::vector<cv::Mat> frames(positions.size());
  std::int64_t next = 0;  // the position the reader's next read delivers
  cv::Mat decoded;
  std::int64_t decoded_at = -1;
  for (size_t k : order) {
    const std::int64_t want = positions[k];
    if (want != decoded_at) {
      bool ok = want >= 0;
      if (ok && (want < next || want - next > kDecodeAhead)) {
        // A reader that cannot seek (a still image read as a video) must not hand
        // over whatever frame it stands on.
        ok = cap.set(cv::CAP_PROP_POS_FRAMES, static_cast<double>(want)) &&
             cap.get(cv::CAP_PROP_POS_FRAMES) == static_cast<double>(want);
        next = want;
      }
      for (; ok && next < want; ++next) ok = cap.grab();
      ok = ok && cap.read(decoded) && !decoded.empty();
      if (!ok) {
        out.status = FrameReadStatus::unreadable;
        out.unreadable_position = want;
        return out;
      }
      next = want + 1;
      decoded_at = want;
    }
    const cv::Mat cut = crop ? decoded(crop_roi(*crop, decoded.cols, decoded.rows)) : decoded;
    if (resize_height) {
      // Scaled as extraction scales the frames it saves.
      cv::resize(cut, frames[k], size_for_height(cut.size(), *resize_height), 0, 0, cv::INTER_AREA);
    } else {
      frames[k] = cut.clone();
    }
  }
  out.frames = std::move(frames);
  return out;
}

}  // namespace hm::video
