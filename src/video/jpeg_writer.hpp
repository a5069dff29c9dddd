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

// Writes encoded bytes to `path` through a temporary file beside it and a rename,
// so that neither a failure nor an interruption leaves a truncated image under that
// name (an image already there stays as it was). IoError naming the file.
void write_image_file(const std::string& path, const std::string& bytes);

inline void write_jpeg(const std::string& path, const cv::Mat& image) {
  write_image_file(path, encode_jpeg(image));
}

}  // namespace hm::video
