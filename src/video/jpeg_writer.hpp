// JPEG files of BGR frames, byte for byte what OpenCV's image writer produces with
// its default settings, without its per-row BGR to RGB copy.
#pragma once

#include <opencv2/core.hpp>
#include <string>

namespace hm::video {

// The JPEG file of an 8-bit image (quality 95, as OpenCV's default). Three-channel
// images are encoded straight from BGR; anything else goes through cv::imencode.
// IoError when the image cannot be encoded.
std::string encode_jpeg(const cv::Mat& image);

// Part of an 8-bit 4:2:0 frame (chroma planes of half the luma size, rounded up):
// the region x1..x1+width-1, y1..y1+height-1 of the luma plane, inside the frame.
// What the planes' levels become in JPEG's full-range YCbCr. A pixel's luma depends a
// little on its chroma too (the rounding of the BGR it used to pass through), so luma
// takes a shift by the pixel's chroma pair; chroma is looked up by the pair.
struct YuvLevels {
  const unsigned char* luma;       // [256] by luma
  const signed char* luma_shift;   // [256 * 256] by Cb * 256 + Cr
  const unsigned char* chroma[2];  // Cb and Cr, [256 * 256] each by Cb * 256 + Cr
};

struct Yuv420Region {
  const unsigned char* planes[3];  // Y, Cb, Cr
  long strides[3];
  int x1 = 0, y1 = 0, width = 0, height = 0;
  YuvLevels levels;
};

// The JPEG file (quality 95, 4:2:0) of a region of a 4:2:0 frame, encoded from its
// planes without the two colour conversions; chroma for a region at odd coordinates is
// averaged from the samples its pixels take. IoError when it cannot be encoded.
std::string encode_jpeg_yuv420(const Yuv420Region& region);

// Writes encoded bytes to `path` through a temporary file beside it and a rename,
// so that neither a failure nor an interruption leaves a truncated image under that
// name (an image already there stays as it was). IoError naming the file.
void write_image_file(const std::string& path, const std::string& bytes);

inline void write_jpeg(const std::string& path, const cv::Mat& image) {
  write_image_file(path, encode_jpeg(image));
}

}  // namespace hm::video
