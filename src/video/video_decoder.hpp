// Frames of a video file straight from FFmpeg's decoder, as planes, in presentation
// order: the same frames, in the same order, as OpenCV's video reader returns them.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

struct AVFrame;
struct AVFormatContext;
struct AVCodecContext;
struct AVPacket;

namespace hm::video {

struct PictureDeleter {
  void operator()(AVFrame* frame) const;
};
// One decoded frame; its planes are shared with nobody once it is handed out.
using Picture = std::unique_ptr<AVFrame, PictureDeleter>;

class FrameDecoder {
 public:
  // Nothing when FFmpeg cannot open the file or decode its video stream.
  static std::unique_ptr<FrameDecoder> open(const std::string& path);
  ~FrameDecoder();
  FrameDecoder(const FrameDecoder&) = delete;
  FrameDecoder& operator=(const FrameDecoder&) = delete;

  // The next frame, or nothing at the end of the video (or where nothing more decodes).
  Picture read();
  // Decodes the next frame without handing it out; false at the end.
  bool skip();
  // Makes `index` (frames counted from 0) the next frame read. Short steps forward
  // decode the frames between; longer ones and steps back go through the nearest key
  // frame before it, placing frames by their time stamps.
  void seek(std::int64_t index);
  // The index of the frame the next read gives.
  std::int64_t position() const { return next_; }

 private:
  FrameDecoder() = default;
  bool start();  // opens path_ afresh, frame 0 next
  void close();
  Picture decode();  // the next frame out of the decoder, whatever its index
  bool seek_by_time(std::int64_t index);
  std::int64_t index_of(std::int64_t timestamp) const;

  std::string path_;
  AVFormatContext* format_ = nullptr;
  AVCodecContext* codec_ = nullptr;
  AVPacket* packet_ = nullptr;
  int stream_ = -1;
  bool flushing_ = false;  // the end of the file reached, the decoder drained
  bool ended_ = false;
  Picture pending_;  // a frame decoded ahead (while opening or seeking), not yet read
  std::int64_t next_ = 0;
  std::int64_t origin_ = 0;     // time stamp of frame 0
  bool timed_ = false;          // whether frames can be placed by time stamp
  double frames_per_tick_ = 0;  // frame rate x time base
};

}  // namespace hm::video
