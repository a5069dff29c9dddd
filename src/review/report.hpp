// The tracking question report: the scan of a video's frame records for boxes
// whose mask area vanished and for pairs of masks that cover each other too much,
// and the CSV file the scan's rows are written to.
#pragma once

#include <cstdint>
#include <string>
#include <variant>
#include <vector>

namespace hm::review {

// One value of the report: absent, an integer, a real or text. Integers are
// written in plain digits, reals as Python's repr writes them, absent as nothing.
using Cell = std::variant<std::monostate, std::int64_t, double, std::string>;

// The field text of a cell, quoted as CSV requires when it holds a comma, a quote
// or a line break.
std::string csv_field(const Cell& cell);

// The numeric value of a cell used in comparisons (NaN when it is not a number).
double cell_number(const Cell& cell);

struct ReportFrame {
  Cell frame_id;
  std::vector<std::string> area_keys;  // "mask_areas" in map order
  std::vector<Cell> areas;
  std::vector<std::string> row_labels;  // the intersection table's labels
  std::vector<std::string> col_labels;
  std::vector<double> table;  // row-major, row_labels.size() x col_labels.size()
};

struct ZeroAreaRow {
  std::size_t frame = 0;  // position in the scanned frames
  std::size_t box = 0;    // position in the frame's areas
};

struct OverlapRow {
  std::size_t frame = 0;
  std::size_t row = 0, col = 0;            // cell of the intersection table
  std::size_t area_row = 0, area_col = 0;  // positions of the two boxes in the areas
  double value = 0;                        // the cell rounded to 2 decimals
};

struct ReportScan {
  std::vector<ZeroAreaRow> zero_area;
  std::vector<std::size_t> overlap_frames;  // frame positions, in scan order
  std::vector<OverlapRow> overlaps;         // report order
};

inline constexpr double kZeroArea = 0.1;

// The value rounded to `decimals` places as NumPy rounds a float64 scalar
// (scale, round half to even, unscale).
double round_decimals(double value, int decimals);

// Scans the frames in order. A box area at or below 0.1 gives a zero-area row; a
// cell strictly above `threshold` makes its frame an overlap frame and gives one
// overlap row per such cell, row-major. KeyError when a label of an overlap cell
// is not among the frame's area keys; ValueError when a table's size does not
// match its labels.
ReportScan scan_report(const std::vector<ReportFrame>& frames, double threshold);

// The report file's text: header, every overlap row, then every zero-area row.
std::string report_csv(const std::vector<ReportFrame>& frames, const ReportScan& scan);

inline constexpr const char* kReportName = "tracking_question_report.csv";

// Writes the report atomically into `folder`; FileNotFound when the folder does
// not exist, IoError when it cannot be written. Returns nothing: the caller
// builds the path text it prints.
void write_report(const std::string& folder, const std::string& csv_text);

}  // namespace hm::review
