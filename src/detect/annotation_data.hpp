// Loading a tracking run's folder of per-frame annotation files into per-frame
// masks, areas and intersection tables.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "annotation/annotation_masks.hpp"

namespace hm::detect {

// Annotation file paths under `root`: the folder tree walked top-down without
// following symbolic links, sub-folders visited in name order, and in each folder
// the files ending in ".json" whose stem ends in "_" and digits, ordered by that
// number (a stable sort, so equal numbers keep listing order). Folders that
// cannot be listed are skipped; a missing root gives an empty list.
std::vector<std::string> discover_annotation_files(const std::string& root);

// The frame number's text in an annotation path: what follows the last
// "output_pp_" (the whole path when there is none) up to the next ".", checked
// against the integer syntax of Python's int() and returned as sign and digits.
// ValueError when it is not a whole number.
std::string frame_index_text(const std::string& path);

// Height and width of the image named by the annotation file's "image_path".
std::pair<std::int64_t, std::int64_t> annotation_frame_size(const std::string& path);

// One annotation file made ready for the caller.
struct FrameMasks {
  std::string json_path;
  std::string frame_index;  // as frame_index_text gives it
  annotation::AnnotationMasks masks;
  std::vector<std::int64_t> areas;  // one per mask
  // Keys in first-seen order; a repeated object id keeps its first position and
  // takes the later mask, as a map built in file order does.
  std::vector<std::int64_t> keys;
  std::vector<size_t> key_mask;  // mask position of each key
  std::vector<double> table;     // keys x keys intersection table, when asked for
};

// Reads, rasterises and measures every file with up to `threads` workers. The
// result is in the order of `paths`; the error of the first failing file (in that
// order) is raised.
std::vector<FrameMasks> load_frame_masks(const std::vector<std::string>& paths, std::int64_t height,
                                         std::int64_t width, bool with_tables, int threads = 2);

}  // namespace hm::detect
