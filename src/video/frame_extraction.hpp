// Cutting a video into a folder of cropped, numbered JPEG frames.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "common/printer.hpp"
#include "video/orange_region.hpp"
#include "video/probe.hpp"
#include "video/segment_plan.hpp"

namespace hm::video {

struct KeptVideo;

// The reader a segment leaves open so that the call for the next segment of the same
// file carries on decoding instead of reopening and seeking. A run over a table makes
// one for each video, so runs on different threads never take each other's reader.
class KeptReader {
 public:
  KeptReader();
  ~KeptReader();
  KeptReader(const KeptReader&) = delete;
  KeptReader& operator=(const KeptReader&) = delete;

  // The kept reader when it is of this same, unchanged file; nothing otherwise
  // (a reader of another file is closed).
  std::unique_ptr<KeptVideo> take(const std::string& path);
  void keep(std::unique_ptr<KeptVideo> video);
  void close();

 private:
  std::mutex mutex_;
  std::unique_ptr<KeptVideo> video_;
};

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
  // and, once it is known to leave pixels of the frame, handed to store_box before
  // any frame is saved.
  std::optional<CropBox> cached_box;
  std::function<void(const CropBox&)> store_box;
  int encode_threads = 0;  // 0: one per hardware thread
  // Where the reader is left open after the segment (and looked for before it).
  KeptReader* kept = nullptr;
};

// How a segment's extraction ended, when it did not raise.
enum class SegmentEnd { read, cannot_open, first_frame_unreadable, no_marker };

struct SegmentResult {
  SegmentEnd end = SegmentEnd::read;  // read: the segment's frames were read (maybe none)
  std::int64_t saved = 0;
  std::optional<std::array<int, 3>> last_shape;  // rows, columns, channels
};

// Writes the frames after the segment's first frame up to its end as 0000.jpg,
// 0001.jpg, ... (one in frame_skip, and always the last), printing one line per
// saved frame. A segment that reaches the end of the video (end_min at least its
// length) runs to at least its last frame, which a truncated frame rate would
// otherwise leave out. Decoding and JPEG encoding overlap, but files appear and
// lines are printed in frame order: when an image cannot be written (IoError naming
// the file), no later frame is printed or written. Returns once every file is written.
SegmentResult crop_video_to_frames(const SegmentRequest& request, const Printer& print);

}  // namespace hm::video
