// JPEG files of BGR frames, byte for byte what OpenCV's image writer produces with
// its default settings, without its per-row BGR to RGB copy.
#pragma once

#include <opencv2/core.hpp>
#include <string>

namespace hm::video {

// Writes an 8-bit image as a JPEG file (quality 95, as OpenCV's default). Three-channel
// images are encoded straight from BGR; anything else goes through cv::imwrite.
// IoError naming the file when it cannot be encoded or written.
void write_jpeg(const std::string& path, const cv::Mat& image);

}  // namespace hm::video
