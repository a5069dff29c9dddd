// JPEG files of frames: of BGR pixels, byte for byte what OpenCV's image writer produces
// with its default settings, without its per-row BGR to RGB copy; and of a decoder's 4:2:0
// planes, the same file within JPEG's rounding, without the trip through BGR.
#pragma once

#include <cstdint>
#include <opencv2/core.hpp>
#include <string>

namespace hm::video {

// The JPEG file of an 8-bit image (quality 95, as OpenCV's default). Three-channel
// images are encoded straight from BGR; anything else goes through cv::imencode.
// IoError when the image cannot be encoded.
std::string encode_jpeg(const cv::Mat& image);

// A picture as 4:2:0 video planes: luma at full size, each chroma plane at half size both
// ways (rounded up). Video levels (luma 16-235, chroma 16-240) unless `full_range`.
struct Yuv420Picture {
  const std::uint8_t* planes[3] = {};
  int strides[3] = {};
  int width = 0, height = 0;  // in luma samples
  bool full_range = false;
};

// The JPEG file (quality 95, 4:2:0, as encode_jpeg writes) of `region` of the picture,
// which must lie inside it, encoded from the planes: luma levels stretched to full range,
// chroma taken as it is where the region starts on a chroma sample and averaged where it
// does not. It decodes to the pixels encode_jpeg's file of the BGR conversion decodes to,
// within JPEG's rounding (out-of-gamut colours apart, which BGR clips). ValueError for a
// region outside the picture; IoError when it cannot be encoded.
std::string encode_jpeg_yuv420(const Yuv420Picture& picture, const cv::Rect& region);

// Writes encoded bytes to `path` through a temporary file beside it and a rename,
// so that neither a failure nor an interruption leaves a truncated image under that
// name (an image already there stays as it was). IoError naming the file.
void write_image_file(const std::string& path, const std::string& bytes);

inline void write_jpeg(const std::string& path, const cv::Mat& image) {
  write_image_file(path, encode_jpeg(image));
}

}  // namespace hm::video
