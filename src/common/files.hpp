// Whole-file reading and atomic writing.
#pragma once

#include <string>

namespace hm {

// Reads a whole file; FileNotFound when it does not exist, IoError when it cannot be read.
std::string read_file(const std::string& path);

// Writes `content` to `path` through a temporary file in the same folder and a
// rename, so that a failure never leaves a truncated file behind.
void write_file_atomic(const std::string& path, const std::string& content);

}  // namespace hm
