#include "common/files.hpp"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
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

void write_file_atomic(const std::string& path, const std::string& content) {
  const fs::path target(path);
  fs::path folder = target.parent_path();
  if (folder.empty()) folder = ".";
  std::error_code ec;
  if (!fs::is_directory(folder, ec))
    throw FileNotFound("No such directory: '" + folder.string() + "'");
  std::random_device rd;
  const fs::path tmp =
      folder / ("." + target.filename().string() + ".tmp" + std::to_string(rd() % 1000000000u));
  {
    std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
    if (!out) throw IoError("Cannot write '" + tmp.string() + "': " + std::strerror(errno));
    out.write(content.data(), static_cast<std::streamsize>(content.size()));
    out.flush();
    if (!out) {
      out.close();
      fs::remove(tmp, ec);
      throw IoError("Cannot write '" + tmp.string() + "'");
    }
  }
  fs::rename(tmp, target, ec);
  if (ec) {
    std::error_code ignore;
    fs::remove(tmp, ignore);
    throw IoError("Cannot replace '" + path + "': " + ec.message());
  }
}

}  // namespace hm
