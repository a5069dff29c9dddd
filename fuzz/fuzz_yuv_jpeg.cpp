// Encodes arbitrary regions of 4:2:0 pictures of arbitrary sizes from their planes, each
// plane allocated to its exact size so that a read past it is caught; the first bytes
// pick the sizes, the region and the range, the rest are the samples.
#include <cstdint>
#include <exception>
#include <vector>

#include "video/jpeg_writer.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 7) return 0;
  const int width = 1 + data[0] % 48, height = 1 + data[1] % 40;
  const int padding = data[2] % 5;  // rows longer than the picture
  const cv::Rect region(data[3] % 50 - 1, data[4] % 42 - 1, data[5] % 50, data[6] % 42);
  hm::video::Yuv420Picture picture;
  picture.width = width;
  picture.height = height;
  picture.full_range = (data[2] & 0x80) != 0;
  const int chroma_width = (width + 1) / 2, chroma_height = (height + 1) / 2;
  std::vector<std::uint8_t> planes[3];
  size_t next = 7;
  for (int p = 0; p < 3; ++p) {
    const int stride = (p == 0 ? width : chroma_width) + padding;
    const int rows = p == 0 ? height : chroma_height;
    planes[p].resize(static_cast<size_t>(stride) * rows);
    for (auto& sample : planes[p]) sample = next < size ? data[next++] : 0;
    picture.planes[p] = planes[p].data();
    picture.strides[p] = stride;
  }
  try {
    hm::video::encode_jpeg_yuv420(picture, region);
  } catch (const std::exception&) {
    // A region outside the picture is refused.
  }
  return 0;
}
