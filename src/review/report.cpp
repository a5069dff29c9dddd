#include "review/report.hpp"

#include <cmath>
#include <filesystem>
#include <unordered_map>

#include "common/errors.hpp"
#include "common/files.hpp"
#include "common/number_text.hpp"

namespace hm::review {

namespace {

const char* const kColumns[] = {"Frame ID",   "Box Pair",   "Intersection Value",
                                "Mask Area1", "Mask Area2", "Report type",
                                "Box ID",     "Mask Areas"};

std::string quoted(const std::string& text) {
  if (text.find_first_of(",\"\r\n") == std::string::npos) return text;
  std::string out = "\"";
  for (char c : text) {
    if (c == '"') out += '"';
    out += c;
  }
  return out + "\"";
}

void append_line(std::string& out, const Cell (&cells)[8]) {
  for (int i = 0; i < 8; ++i) {
    if (i) out += ',';
    out += csv_field(cells[i]);
  }
  out += '\n';
}

}  // namespace

std::string csv_field(const Cell& cell) {
  if (std::holds_alternative<std::int64_t>(cell)) return int_text(std::get<std::int64_t>(cell));
  if (std::holds_alternative<double>(cell)) return real_text(std::get<double>(cell));
  if (std::holds_alternative<std::string>(cell)) return quoted(std::get<std::string>(cell));
  return {};
}

double cell_number(const Cell& cell) {
  if (std::holds_alternative<std::int64_t>(cell))
    return static_cast<double>(std::get<std::int64_t>(cell));
  if (std::holds_alternative<double>(cell)) return std::get<double>(cell);
  return std::nan("");
}

double round_decimals(double value, int decimals) {
  const double scale = std::pow(10.0, decimals);
  return std::nearbyint(value * scale) / scale;
}

ReportScan scan_report(const std::vector<ReportFrame>& frames, double threshold) {
  ReportScan scan;
  std::unordered_map<std::string, std::size_t> area_index;
  for (std::size_t f = 0; f < frames.size(); ++f) {
    const ReportFrame& fr = frames[f];
    if (fr.area_keys.size() != fr.areas.size())
      throw ValueError("tracking report: one mask area per box key is required");
    for (std::size_t b = 0; b < fr.areas.size(); ++b)
      if (cell_number(fr.areas[b]) <= kZeroArea) scan.zero_area.push_back({f, b});

    const std::size_t rows = fr.row_labels.size(), cols = fr.col_labels.size();
    if (fr.table.size() != rows * cols)
      throw ValueError("tracking report: the intersection table of frame " +
                       csv_field(fr.frame_id) + " does not match its labels");
    bool any = false;
    for (std::size_t r = 0; r < rows && !any; ++r)
      for (std::size_t c = 0; c < cols; ++c)
        if (fr.table[r * cols + c] > threshold) {
          any = true;
          break;
        }
    if (!any) continue;
    scan.overlap_frames.push_back(f);

    area_index.clear();
    for (std::size_t b = 0; b < fr.area_keys.size(); ++b) area_index.emplace(fr.area_keys[b], b);
    auto area_of = [&](const std::string& key) {
      auto it = area_index.find(key);
      if (it == area_index.end())
        throw KeyError("tracking report: box " + key + " of the intersection table of frame " +
                       csv_field(fr.frame_id) + " has no entry in mask_areas");
      return it->second;
    };
    for (std::size_t r = 0; r < rows; ++r)
      for (std::size_t c = 0; c < cols; ++c) {
        const double v = fr.table[r * cols + c];
        if (!(v > threshold)) continue;
        scan.overlaps.push_back(
            {f, r, c, area_of(fr.row_labels[r]), area_of(fr.col_labels[c]), round_decimals(v, 2)});
      }
  }
  return scan;
}

std::string report_csv(const std::vector<ReportFrame>& frames, const ReportScan& scan) {
  std::string out;
  Cell header[8];
  for (int i = 0; i < 8; ++i) header[i] = std::string(kColumns[i]);
  append_line(out, header);
  for (const OverlapRow& o : scan.overlaps) {
    const ReportFrame& fr = frames[o.frame];
    const Cell cells[8] = {fr.frame_id,
                           fr.row_labels[o.row] + "-" + fr.col_labels[o.col],
                           o.value,
                           fr.areas[o.area_row],
                           fr.areas[o.area_col],
                           std::string("High overlap mask detected"),
                           {},
                           {}};
    append_line(out, cells);
  }
  for (const ZeroAreaRow& z : scan.zero_area) {
    const ReportFrame& fr = frames[z.frame];
    const Cell cells[8] = {
        fr.frame_id,    {}, {}, {}, {}, std::string("Zero area detected"), fr.area_keys[z.box],
        fr.areas[z.box]};
    append_line(out, cells);
  }
  return out;
}

void write_report(const std::string& folder, const std::string& csv_text) {
  namespace fs = std::filesystem;
  std::error_code ec;
  if (!fs::is_directory(folder, ec))
    throw FileNotFound("tracking report: the report folder '" + folder + "' does not exist");
  write_file_atomic((fs::path(folder) / kReportName).string(), csv_text);
}

}  // namespace hm::review
