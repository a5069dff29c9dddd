#include "detect/annotation_data.hpp"

#include <algorithm>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <opencv2/imgcodecs.hpp>
#include <system_error>
#include <unordered_map>

#include "common/errors.hpp"
#include "common/files.hpp"
#include "common/parallel.hpp"
#include "measures/intersection.hpp"

namespace hm::detect {

namespace fs = std::filesystem;

namespace {

std::string join_path(const std::string& folder, const std::string& name) {
  if (folder.empty() || folder.back() == '/') return folder + name;
  return folder + "/" + name;
}

bool ascii_digit(char c) { return c >= '0' && c <= '9'; }

// The digits of "_(\d+)$" searched in `stem`, or empty when it does not match.
// "$" also matches before one final newline.
std::string stem_number(std::string_view stem) {
  if (!stem.empty() && stem.back() == '\n') stem.remove_suffix(1);
  size_t i = stem.size();
  while (i > 0 && ascii_digit(stem[i - 1])) --i;
  if (i == stem.size() || i == 0 || stem[i - 1] != '_') return {};
  return std::string(stem.substr(i));
}

// Orders digit strings by their value.
bool number_less(const std::string& a, const std::string& b) {
  const size_t za = std::min(a.find_first_not_of('0'), a.size());
  const size_t zb = std::min(b.find_first_not_of('0'), b.size());
  const size_t la = a.size() - za, lb = b.size() - zb;
  if (la != lb) return la < lb;
  return a.compare(za, la, b, zb, lb) < 0;
}

void walk(const std::string& folder, std::vector<std::string>& out) {
  std::error_code ec;
  fs::directory_iterator it(folder, ec);
  if (ec) return;
  std::vector<std::string> dirs;
  std::vector<std::pair<std::string, std::string>> files;  // (number, name)
  for (; it != fs::directory_iterator(); it.increment(ec)) {
    if (ec) return;
    std::error_code kind;
    const std::string name = it->path().filename().string();
    if (it->is_directory(kind)) {
      dirs.push_back(name);
      continue;
    }
    if (name.size() < 5 || name.compare(name.size() - 5, 5, ".json") != 0) continue;
    // The stem drops the last extension; a name that is only ".json" keeps it.
    const size_t dot = name.rfind('.');
    const std::string_view stem = dot == 0 || name.find_first_not_of('.') > dot
                                      ? std::string_view(name)
                                      : std::string_view(name).substr(0, dot);
    std::string number = stem_number(stem);
    if (!number.empty()) files.emplace_back(std::move(number), name);
  }
  std::sort(dirs.begin(), dirs.end());
  std::stable_sort(files.begin(), files.end(),
                   [](const auto& a, const auto& b) { return number_less(a.first, b.first); });
  for (const auto& f : files) out.push_back(join_path(folder, f.second));
  for (const auto& d : dirs) {
    const std::string sub = join_path(folder, d);
    std::error_code link;
    if (fs::is_symlink(sub, link)) continue;
    walk(sub, out);
  }
}

bool int_space(char c) { return c == ' ' || (c >= 0x09 && c <= 0x0d) || (c >= 0x1c && c <= 0x1f); }

FrameMasks load_one(const std::string& path, std::int64_t height, std::int64_t width,
                    bool with_tables) {
  FrameMasks f;
  f.json_path = path;
  f.masks = annotation::masks_from_json_file(path, height, width);
  f.frame_index = frame_index_text(path);
  const size_t n = f.masks.count();
  f.areas.resize(n);
  std::vector<PreparedMask> prepared(n);
  for (size_t i = 0; i < n; ++i) {
    prepared[i] = f.masks.prepared(i);
    f.areas[i] = prepared[i].area;
  }
  std::unordered_map<std::int64_t, size_t> slot;
  for (size_t i = 0; i < n; ++i) {
    const auto [pos, fresh] = slot.emplace(f.masks.boxkeys[i], f.keys.size());
    if (fresh) {
      f.keys.push_back(f.masks.boxkeys[i]);
      f.key_mask.push_back(i);
    } else {
      f.key_mask[pos->second] = i;
    }
  }
  if (with_tables) {
    std::vector<PreparedMask> kept;
    std::vector<double> areas;
    for (size_t m : f.key_mask) {
      kept.push_back(prepared[m]);
      areas.push_back(static_cast<double>(f.areas[m]));
    }
    f.table = measures::intersection_table(kept, areas);
  }
  return f;
}

}  // namespace

std::vector<std::string> discover_annotation_files(const std::string& root) {
  std::vector<std::string> out;
  walk(root, out);
  return out;
}

std::string frame_index_text(const std::string& path) {
  static const std::string marker = "output_pp_";
  const size_t at = path.rfind(marker);
  std::string_view s(path);
  if (at != std::string::npos) s = s.substr(at + marker.size());
  s = s.substr(0, std::min(s.find('.'), s.size()));
  const std::string_view original = s;
  while (!s.empty() && int_space(s.front())) s.remove_prefix(1);
  while (!s.empty() && int_space(s.back())) s.remove_suffix(1);
  std::string out;
  size_t i = 0;
  if (i < s.size() && (s[i] == '+' || s[i] == '-')) {
    if (s[i] == '-') out += '-';
    ++i;
  }
  bool ok = i < s.size() && ascii_digit(s[i]);
  for (; ok && i < s.size(); ++i) {
    if (ascii_digit(s[i])) {
      out += s[i];
    } else if (!(s[i] == '_' && i + 1 < s.size() && ascii_digit(s[i + 1]))) {
      ok = false;
    }
  }
  if (!ok)
    throw ValueError("invalid literal for int() with base 10: '" + std::string(original) +
                     "' (the frame number of annotation file '" + path + "')");
  return out;
}

std::pair<std::int64_t, std::int64_t> annotation_frame_size(const std::string& path) {
  nlohmann::json data;
  try {
    data = nlohmann::json::parse(read_file(path));
  } catch (const nlohmann::json::parse_error& e) {
    throw ValueError("invalid JSON in '" + path + "': " + e.what());
  }
  if (!data.is_object()) throw TypeError("the annotation data of '" + path + "' must be an object");
  const auto it = data.find("image_path");
  if (it == data.end()) throw KeyError("image_path");
  if (!it->is_string()) throw TypeError("\"image_path\" of '" + path + "' must be a string");
  const std::string image_path = it->get<std::string>();
  std::error_code ec;
  if (!fs::exists(image_path, ec))
    throw FileNotFound("No such file or directory: '" + image_path + "' (the image of '" + path +
                       "')");
  const cv::Mat image = cv::imread(image_path, cv::IMREAD_COLOR);
  if (image.empty())
    throw ValueError("could not read the image '" + image_path + "' named by '" + path + "'");
  return {image.rows, image.cols};
}

std::vector<FrameMasks> load_frame_masks(const std::vector<std::string>& paths, std::int64_t height,
                                         std::int64_t width, bool with_tables, int threads) {
  std::vector<FrameMasks> out(paths.size());
  parallel_for(paths.size(), static_cast<unsigned>(std::max(threads, 1)),
               [&](size_t i) { out[i] = load_one(paths[i], height, width, with_tables); });
  return out;
}

}  // namespace hm::detect
