// What a video's reader reports about it, and frames of it read again on demand.
#pragma once

#include <cstdint>
#include <opencv2/core.hpp>
#include <optional>
#include <string>
#include <vector>

#include "common/printer.hpp"
#include "video/orange_region.hpp"

namespace hm::video {

// The reader's own figures, unchecked: a rate or count may be 0 or not a number.
struct VideoProbe {
  double fps = 0, frame_count = 0, width = 0, height = 0;
  double minutes() const { return frame_count / fps / 60; }
};

// Nothing when the video cannot be opened.
std::optional<VideoProbe> probe_video(const std::string& path);

// probe_video, printing the rate, the frame count and the length in seconds, or why
// the video cannot be opened. ZeroDivision when the rate reads 0.
std::optional<VideoProbe> describe_video(const std::string& path, const Printer& print);

// Length of a video in minutes, printed as describe_video prints it; nothing (after
// printing why) when it cannot be opened.
std::optional<double> video_duration_minutes(const std::string& path, const Printer& print);

// Length of a video in minutes, without printing; nothing when it cannot be opened
// or its rate reads 0.
std::optional<double> video_minutes(const std::string& path);

// The size a frame of `image`'s size is scaled to for a target height: the aspect
// ratio kept, the width rounded up. ValueError for a height that is not positive or an
// image too wide to make.
cv::Size size_for_height(const cv::Size& image, std::int64_t target_height);

enum class FrameReadStatus { ok, cannot_open, unreadable };

struct FrameReads {
  FrameReadStatus status = FrameReadStatus::ok;
  std::vector<cv::Mat> frames;            // in the order asked, when every read worked
  std::int64_t unreadable_position = -1;  // the first position that could not be read
};

// The decoded BGR frames at `positions` (0 is the first frame; any order, repeats
// allowed) from one reader: near positions by decoding forward, far ones by seeking,
// as the extraction's own reads do. With a crop box each frame is cut to the box
// clamped to the frame (ValueError when that leaves no pixels); every frame owns its
// pixels. With a resize height each frame is then scaled to it, as extraction scales
// the frames it saves. Negative positions are unreadable.
FrameReads read_frames(const std::string& path, const std::vector<std::int64_t>& positions,
                       const std::optional<CropBox>& crop,
                       const std::optional<std::int64_t>& resize_height = std::nullopt);

}  // namespace hm::video
