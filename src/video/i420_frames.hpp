// Frames made into 4:2:0 pictures of a chosen size for the overlay videos: JPEG
// files decoded straight to their planes (no colour conversion, no upsampling, the
// inverse DCT itself scaling down), BGR frames resized and converted.
#pragma once

#include <cstdint>
#include <string>

#include "common/i420.hpp"

namespace hm::video {

// Decodes the JPEG file at `path` into `out`, whatever its size: the decoder scales
// to the first eighth of the file's size that is no smaller, and the planes are
// resized from there when that is not out's size. A file in another colour space
// than YCbCr or grey goes through OpenCV's decoder. FileNotFound; ValueError for a
// file that is not a whole JPEG, a truncated or corrupt one included.
void decode_jpeg_i420(const std::string& path, const I420View& out);

// The same from the file's bytes; `name` names it in messages.
void decode_jpeg_bytes_i420(const std::string& bytes, const std::string& name, const I420View& out);

// The BGR frame (rows x cols pixels, `step` bytes a row) resized to out's size and
// converted into it.
void bgr_to_i420(const std::uint8_t* bgr, std::int64_t rows, std::int64_t cols, std::int64_t step,
                 const I420View& out);

}  // namespace hm::video
