#include "common/files.hpp"

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "common/errors.hpp"

namespace hm {

namespace fs = std::filesystem;

std::string read_file(const std::string& path) {
  std::error_code ec;
  if (!fs::exists(path, ec)) throw FileNotFound("No such file or directory: '" + path + "'");
  if (fs::is_directory(path, ec)) throw IoError("Is a directory: '" + path + "'");
  std::ifstream in(path, std::ios::binary);
  if (!in) throw IoError("Cannot open '" + path + "': " + std::strerror(errno));
  std::ostringstream buf;
  buf << in.rdbuf();
  if (in.bad()) throw IoError("Cannot read '" + path + "'");
  return buf.str();
}

}  // namespace hm
