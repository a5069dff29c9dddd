// Decodes arbitrary bytes as a JPEG file into 4:2:0 pictures of arbitrary even sizes, the
// picture allocated to its exact size so that a write past it is caught; the first two
// bytes pick the size, the rest are the file.
#include <cstdint>
#include <exception>
#include <string>
#include <vector>

#include "video/i420_frames.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  const std::int64_t width = 2 * (1 + data[0] % 40), height = 2 * (1 + data[1] % 30);
  std::vector<std::uint8_t> picture(hm::I420View::bytes(width, height));
  const std::string bytes(reinterpret_cast<const char*>(data) + 2, size - 2);
  try {
    hm::video::decode_jpeg_bytes_i420(bytes, "fuzz", {picture.data(), width, height});
  } catch (const std::exception&) {
    // Bytes that are not a whole JPEG file are refused.
  }
  return 0;
}
