// The images of decoded frames: their BGR pixels, and the JPEG file extraction writes.
#pragma once

#include <opencv2/core.hpp>
#include <string>

#include "video/video_decoder.hpp"

namespace hm::video {

// A frame as extraction takes it: the decoder's planes, or BGR pixels from OpenCV's
// reader for a file FFmpeg's decoder does not open.
struct VideoFrame {
  Picture picture;
  cv::Mat bgr;

  bool empty() const { return !picture && bgr.empty(); }
  // Another handle on the same pixels, which both only read.
  VideoFrame share() const;
  cv::Size size() const;
};

// The frame's BGR pixels, as OpenCV's video reader gives them (the same conversion).
// The result may share the frame's pixels.
cv::Mat frame_bgr(const VideoFrame& frame);

// The JPEG file extraction writes of `region` (inside the frame), scaled to `resize_to`
// with area interpolation when that is not empty. A 4:2:0 frame kept at its size is
// encoded from the decoder's planes (encode_jpeg_yuv420: the pixels of OpenCV's file
// within JPEG's rounding); otherwise the bytes OpenCV's writer makes of the frame's BGR
// pixels there, with only a window around the region converted (crop first) where the
// decoder's planes allow it. `scratch` holds the converted pixels; kept from
// one frame to the next, it spares mapping and clearing fresh pages for every frame.
// IoError when it cannot be encoded.
std::string frame_jpeg(const VideoFrame& frame, const cv::Rect& region, const cv::Size& resize_to,
                       cv::Mat& scratch);

}  // namespace hm::video
