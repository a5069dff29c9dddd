// Whole-file reading.
#pragma once

#include <string>

namespace hm {

// Reads a whole file; FileNotFound when it does not exist, IoError when it cannot be read.
std::string read_file(const std::string& path);

}  // namespace hm
