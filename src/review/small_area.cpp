#include "review/small_area.hpp"

#include <unordered_map>

namespace hm::review {

std::vector<std::size_t> small_area_boxes(const std::vector<std::vector<BoxArea>>& frames,
                                          double area_threshold, double min_count) {
  std::vector<std::size_t> first_seen;
  std::unordered_map<std::size_t, std::int64_t> counts;
  for (const auto& frame : frames)
    for (const BoxArea& b : frame) {
      if (!(b.area <= area_threshold)) continue;
      auto [it, inserted] = counts.emplace(b.box, 0);
      if (inserted) first_seen.push_back(b.box);
      ++it->second;
    }
  std::vector<std::size_t> out;
  for (std::size_t box : first_seen)
    if (static_cast<double>(counts[box]) > min_count) out.push_back(box);
  return out;
}

}  // namespace hm::review
