// Feeds arbitrary bytes to the pen polygon reader and fills what it accepts.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <exception>
#include <string>

#include "pen/pen_polygon.hpp"

namespace {

std::string scratch_path() {
  return "/tmp/herdmask_fuzz_pen_" + std::to_string(getpid()) + ".json";
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const std::string path = scratch_path();
  if (FILE* f = std::fopen(path.c_str(), "wb")) {
    std::fwrite(data, 1, size, f);
    std::fclose(f);
  } else {
    return 0;
  }
  try {
    const auto polygon = hm::pen::read_pen_polygon(path);
    // A small frame keeps each run fast; coordinates far outside are clipped by the fill.
    (void)hm::pen::fill_polygon(polygon, 48, 64);
  } catch (const std::exception&) {
    // Rejected input is the expected outcome for most mutations.
  }
  return 0;
}
