// Per-object masks rasterised from an annotation file's polygon texts.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <opencv2/core/mat.hpp>
#include <string>
#include <vector>

#include "common/mask.hpp"
#include "common/zero_buffer.hpp"

namespace hm::annotation {

// The objects of one annotation file: their keys and their masks, n planes of
// height x width bytes (0 or 1) one after another in zero pages.
struct AnnotationMasks {
  std::string image_path;
  std::int64_t height = 0;
  std::int64_t width = 0;
  ZeroBuffer pixels;
  std::vector<std::int64_t> boxkeys;  // object_id - 1, one per mask
  // One per mask: a box holding every pixel its fill may have written.
  std::vector<TightBox> bounds;

  size_t count() const { return boxkeys.size(); }
  MaskView view(size_t i) const;
  // Mask i prepared, scanning only its fill bounds.
  PreparedMask prepared(size_t i) const { return prepare(view(i), bounds[i]); }
};

// Reads an annotation JSON text and fills one mask per detection. Errors:
// ValueError (invalid JSON, bad polygon text or size), KeyError (missing
// "image_path", "detections" or "formatted_polygon"), TypeError (a value of the
// wrong JSON type). `source` names the file in messages.
AnnotationMasks masks_from_json_text(const std::string& text, std::int64_t height,
                                     std::int64_t width, const std::string& source);

// The same from a file; FileNotFound when it does not exist.
AnnotationMasks masks_from_json_file(const std::string& path, std::int64_t height,
                                     std::int64_t width);

// Fills the polygon text into `mask` with value 1 and widens `bounds` to cover what
// was written. A text with no coordinate pair fills nothing.
void fill_polygon_text(std::uint8_t* mask, std::int64_t height, std::int64_t width,
                       const std::string& text, TightBox& bounds);

// The same into an 8- or 16-bit single-channel image, with `value`.
void fill_polygon_text(cv::Mat& target, const std::string& text, int value, TightBox& bounds);

}  // namespace hm::annotation
