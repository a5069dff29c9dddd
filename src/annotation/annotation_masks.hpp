// Per-object masks rasterised from an annotation file's polygon texts.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "common/mask.hpp"

namespace hm::annotation {

// A zero-filled byte buffer from calloc: pages that are never written stay shared
// zero pages, so masks cost memory only where polygons lie. Freed with std::free,
// which lets the buffer be handed over to an array owner.
struct ZeroBuffer {
  struct Free {
    void operator()(std::uint8_t* p) const;
  };
  std::unique_ptr<std::uint8_t, Free> data;
  size_t size = 0;

  static ZeroBuffer allocate(size_t bytes);  // std::bad_alloc when it cannot
};

// n masks of height x width bytes (0 or 1), one after another.
struct AnnotationMasks {
  std::string image_path;
  std::int64_t height = 0;
  std::int64_t width = 0;
  ZeroBuffer pixels;
  std::vector<std::int64_t> boxkeys;  // object_id - 1, one per mask

  size_t count() const { return boxkeys.size(); }
  MaskView view(size_t i) const;
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

// Fills the polygon text into `mask` with value 1. A text with no coordinate pair
// fills nothing.
void fill_polygon_text(std::uint8_t* mask, std::int64_t height, std::int64_t width,
                       const std::string& text);

}  // namespace hm::annotation
