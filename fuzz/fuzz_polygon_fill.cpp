// Feeds arbitrary polygon texts to the rasteriser, then traces what it filled
// back into outlines; the first byte picks the frame size.
#include <cstdint>
#include <exception>
#include <string>
#include <vector>

#include "annotation/annotation_masks.hpp"
#include "annotation/outlines.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::int64_t height = data[0] % 37, width = (data[0] / 37) % 53;
  const std::string text(reinterpret_cast<const char*>(data + 1), size - 1);
  std::vector<std::uint8_t> mask(static_cast<size_t>(height * width), 0);
  hm::TightBox bounds;
  try {
    hm::annotation::fill_polygon_text(mask.data(), height, width, text, bounds);
  } catch (const std::exception&) {
    // Rejected input is the expected outcome for most mutations.
  }
  // Whatever was filled, even by a text rejected part way, traces back into outlines.
  const hm::MaskView view{mask.data(), height, width, width};
  hm::annotation::mask_outline(view, "pig");
  return 0;
}
