// Feeds arbitrary bytes to the annotation-file reader and rasteriser.
#include <cstdint>
#include <exception>
#include <string>

#include "annotation/annotation_masks.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  try {
    const auto masks = hm::annotation::masks_from_json_text(text, 40, 56, "fuzz input");
    for (size_t i = 0; i < masks.count(); ++i) (void)masks.prepared(i);
  } catch (const std::exception&) {
    // Rejected input is the expected outcome for most mutations.
  }
  return 0;
}
