// Cutting a video into a folder of cropped, numbered JPEG frames.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "common/printer.hpp"
#include "video/orange_region.hpp"

namespace hm::video {

// Length of a video in minutes, printing its rate, frame count and seconds; nothing
// (after printing why) when it cannot be opened. ZeroDivision when the rate reads 0.
std::optional<double> video_duration_minutes(const std::string& path, const Printer& print);

// Whole frame number of a minute mark at `fps` frames per second, rounded half to
// even. ValueError when the minutes are not finite; clamped far beyond any video.
std::int64_t frame_number(int fps, double minutes);

struct SegmentRequest {
  std::string video_path;
  std::string output_dir;    // where the images are written (created when missing)
  std::string reported_dir;  // folder named in the closing line; output_dir when empty
  double start_min = 10, end_min = 12;
  std::string start_text = "10", end_text = "12";  // minutes as the caller writes them
  std::int64_t frame_skip = 1;
  std::optional<std::int64_t> resize_height;
  bool crop = true;
  std::string camera_text = "None";
  // The camera's box when already known; otherwise it is detected on the first frame
  // and handed to store_box before any frame is saved.
  std::optional<CropBox> cached_box;
  std::function<void(const CropBox&)> store_box;
  int encode_threads = 0;  // 0: one per hardware thread
  // Leaves the reader open after the segment so that a call for the next segment of
  // the same file carries on decoding instead of reopening and seeking.
  bool keep_open = false;
};

struct SegmentResult {
  std::int64_t saved = 0;
  std::optional<std::array<int, 3>> last_shape;  // rows, columns, channels
};

// Writes the frames after the segment's first frame up to its end as 0000.jpg,
// 0001.jpg, ... (one in frame_skip, and always the last), printing one line per
// saved frame. Decoding and JPEG encoding overlap; returns once every file is
// written. IoError naming the file when an image cannot be written.
SegmentResult crop_video_to_frames(const SegmentRequest& request, const Printer& print);

// Closes the reader a keep_open segment left open, if any.
void close_kept_video();

// Closes the reader a keep_open segment left behind, if any.
void close_kept_video();

}  // namespace hm::video
