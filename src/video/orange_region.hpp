// The orange marker that every camera image carries, and the crop box derived from it.
#pragma once

#include <cstdint>
#include <opencv2/core.hpp>
#include <optional>
#include <string>

namespace hm::video {

// Columns x1 up to but not including x2, rows y1 up to but not including y2, in
// pixels of the full frame. Values may lie outside the frame (x1 may be negative).
struct CropBox {
  std::int64_t x1 = 0, y1 = 0, x2 = 0, y2 = 0;
  bool operator==(const CropBox&) const = default;
};

// Box of the rightmost (by centroid) of the two largest orange regions of an 8-bit
// BGR frame, or nothing when the frame has no orange pixel. ValueError unless the
// frame is a non-empty 8-bit three-channel image.
std::optional<CropBox> find_orange_region(const cv::Mat& bgr);

// The camera's crop box for a detected orange region: full height, from 50 pixels
// left of the region to column 2300, or to 2560 when the region reaches 2300.
CropBox crop_box_for_region(const CropBox& region);

// The box clamped to a frame of `cols` x `rows`; may be empty.
cv::Rect clamp_to_frame(const CropBox& box, int cols, int rows);

// The box clamped to a frame of `cols` x `rows`; ValueError when that leaves no pixels.
cv::Rect crop_roi(const CropBox& box, int cols, int rows);

struct CropFinding {
  CropBox region;  // the orange region found
  CropBox box;     // the camera's crop box for it
};

// The orange region of a frame and the crop box it gives, without printing; nothing
// when the frame has no orange pixel. ValueError when the box leaves no pixels of
// the frame (as extraction refuses such a box).
std::optional<CropFinding> find_crop_box(const cv::Mat& bgr);

std::string crop_box_text(const CropBox& box);

}  // namespace hm::video
