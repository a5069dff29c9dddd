#include <nanobind/stl/array.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/vector.h>

#include <array>
#include <climits>

#include "common/errors.hpp"
#include "py_common.hpp"
#include "review/frame_checks.hpp"
#include "review/report.hpp"
#include "review/small_area.hpp"
#include "subsystems.hpp"

namespace hm::py {

namespace {

using review::Cell;

std::string text_of(nb::handle obj) {
  if (PyUnicode_Check(obj.ptr())) return nb::cast<std::string>(obj);
  return nb::cast<std::string>(nb::str(obj));
}

// Integers (Python's and NumPy's) stay integers so the report writes them plainly;
// everything else with a real value is a real; anything else is written as text.
Cell cell_of(nb::handle obj) {
  PyObject* p = obj.ptr();
  if (p == Py_None) return {};
  if (PyBool_Check(p)) return std::string(p == Py_True ? "True" : "False");
  if (PyUnicode_Check(p)) return nb::cast<std::string>(obj);
  if (!PyFloat_Check(p) && PyIndex_Check(p)) {
    nb::object as_int = nb::steal(PyNumber_Index(p));
    if (!as_int.is_valid()) throw nb::python_error();
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(as_int.ptr(), &overflow);
    if (overflow == 0 && !(v == -1 && PyErr_Occurred())) return static_cast<std::int64_t>(v);
    PyErr_Clear();
    return text_of(obj);
  }
  const double d = PyFloat_AsDouble(p);
  if (d == -1.0 && PyErr_Occurred()) {
    PyErr_Clear();
    return text_of(obj);
  }
  return d;
}

std::vector<std::string> labels_of(nb::handle index) {
  std::vector<std::string> out;
  for (nb::handle label : index) out.push_back(text_of(label));
  return out;
}

nb::object item(nb::handle record, const char* key, const std::string& frame_text) {
  nb::object k = nb::str(key);
  PyObject* found = nullptr;
  if (PyDict_Check(record.ptr())) {
    found = PyDict_GetItemWithError(record.ptr(), k.ptr());
    if (!found && PyErr_Occurred()) throw nb::python_error();
    if (found) return nb::borrow(found);
  } else {
    PyObject* got = PyObject_GetItem(record.ptr(), k.ptr());
    if (got) return nb::steal(got);
    if (!PyErr_ExceptionMatches(PyExc_KeyError)) throw nb::python_error();
    PyErr_Clear();
  }
  throw KeyError(std::string("frame record ") + frame_text + " has no '" + key + "' entry");
}

nb::tuple tracking_report(nb::handle data, double threshold) {
  nb::module_ np = nb::module_::import_("numpy");
  std::vector<review::ReportFrame> frames;
  std::vector<nb::object> frame_ids;
  std::vector<std::vector<nb::object>> area_keys, area_values;
  nb::object items = data.attr("items")();
  for (nb::handle pair : items) {
    nb::object fid = pair[0];
    nb::object record = pair[1];
    review::ReportFrame fr;
    fr.frame_id = cell_of(fid);
    const std::string fid_text = review::csv_field(fr.frame_id);
    nb::object areas = item(record, "mask_areas", fid_text);
    std::vector<nb::object> keys, values;
    for (nb::handle kv : areas.attr("items")()) {
      nb::object key = kv[0], value = kv[1];
      Cell c = cell_of(value);
      if (!std::holds_alternative<std::int64_t>(c) && !std::holds_alternative<double>(c))
        throw TypeError("tracking report: the mask area of " + text_of(key) + " in frame " +
                        fid_text + " is not a number");
      fr.area_keys.push_back(text_of(key));
      fr.areas.push_back(std::move(c));
      keys.push_back(key);
      values.push_back(value);
    }
    nb::object table = item(record, "intersections_df", fid_text);
    if (!nb::hasattr(table, "index") || !nb::hasattr(table, "columns"))
      throw TypeError("tracking report: intersections_df of frame " + fid_text +
                      " must be a labelled table");
    fr.row_labels = labels_of(table.attr("index"));
    fr.col_labels = labels_of(table.attr("columns"));
    nb::object arr = np.attr("ascontiguousarray")(table.attr("to_numpy")(), "float64");
    auto view = nb::cast<nb::ndarray<const double, nb::c_contig, nb::device::cpu>>(arr);
    fr.table.assign(view.data(), view.data() + view.size());
    if (view.ndim() != 2 || view.shape(0) != fr.row_labels.size() ||
        view.shape(1) != fr.col_labels.size())
      throw ValueError("tracking report: the intersection table of frame " + fid_text +
                       " does not match its labels");
    frames.push_back(std::move(fr));
    frame_ids.push_back(fid);
    area_keys.push_back(std::move(keys));
    area_values.push_back(std::move(values));
  }

  review::ReportScan scan;
  {
    nb::gil_scoped_release release;
    scan = review::scan_report(frames, threshold);
  }

  nb::list zero_rows;
  nb::str k_frame("Frame ID"), k_type("Report type"), k_box("Box ID"), k_areas("Mask Areas");
  nb::str zero_text("Zero area detected");
  for (const auto& z : scan.zero_area) {
    nb::dict row;
    row[k_frame] = frame_ids[z.frame];
    row[k_type] = zero_text;
    row[k_box] = area_keys[z.frame][z.box];
    row[k_areas] = area_values[z.frame][z.box];
    zero_rows.append(row);
  }
  nb::list overlap_frames;
  for (std::size_t f : scan.overlap_frames) overlap_frames.append(frame_ids[f]);

  nb::list c_frame, c_pair, c_value, c_area1, c_area2;
  std::size_t last_start = 0;
  for (std::size_t i = 0; i < scan.overlaps.size(); ++i) {
    const auto& o = scan.overlaps[i];
    const auto& fr = frames[o.frame];
    if (i == 0 || o.frame != scan.overlaps[i - 1].frame) last_start = i;
    c_frame.append(frame_ids[o.frame]);
    c_pair.append(nb::str((fr.row_labels[o.row] + "-" + fr.col_labels[o.col]).c_str()));
    c_value.append(nb::float_(o.value));
    c_area1.append(area_values[o.frame][o.area_row]);
    c_area2.append(area_values[o.frame][o.area_col]);
  }
  std::string csv;
  if (!scan.zero_area.empty() || !scan.overlap_frames.empty()) {
    nb::gil_scoped_release release;
    csv = review::report_csv(frames, scan);
  }
  return nb::make_tuple(zero_rows, overlap_frames,
                        nb::make_tuple(c_frame, c_pair, c_value, c_area1, c_area2), last_start,
                        nb::str(csv.c_str(), csv.size()));
}

std::vector<MaskView> views_of(const std::vector<MaskArg>& args) {
  std::vector<MaskView> views;
  views.reserve(args.size());
  for (const auto& a : args) views.push_back(a.view);
  return views;
}

nb::list small_area_boxes(nb::handle laste_frame, nb::handle min_frame_id, double area_threshold,
                          double min_count) {
  nb::dict ids;
  nb::list keys;
  std::vector<std::vector<review::BoxArea>> frames;
  for (nb::handle pair : laste_frame.attr("items")()) {
    nb::object fid = pair[0];
    const int later = PyObject_RichCompareBool(fid.ptr(), min_frame_id.ptr(), Py_GT);
    if (later < 0) throw nb::python_error();
    if (!later) continue;
    nb::object areas = item(pair[1], "mask_areas", text_of(fid));
    std::vector<review::BoxArea> frame;
    for (nb::handle kv : areas.attr("items")()) {
      nb::object key = kv[0];
      const double area = PyFloat_AsDouble(kv[1].ptr());
      if (area == -1.0 && PyErr_Occurred()) {
        PyErr_Clear();
        throw TypeError("the mask area of " + text_of(key) + " in frame " + text_of(fid) +
                        " is not a number");
      }
      if (!ids.contains(key)) {
        ids[key] = nb::int_(nb::len(keys));
        keys.append(key);
      }
      frame.push_back({nb::cast<std::size_t>(ids[key]), area});
    }
    frames.push_back(std::move(frame));
  }
  nb::list out;
  for (std::size_t id : review::small_area_boxes(frames, area_threshold, min_count))
    out.append(keys[id]);
  return out;
}

}  // namespace

void register_review(nb::module_ m) {
  m.def("tracking_report", &tracking_report, nb::arg("data"), nb::arg("threshold"));
  m.def(
      "write_report",
      [](const std::string& folder, const std::string& text) {
        nb::gil_scoped_release release;
        review::write_report(folder, text);
      },
      nb::arg("folder"), nb::arg("text"));
  m.def(
      "check_last_frame",
      [](nb::handle masks, double min_area, std::int64_t n_track) {
        const auto args = mask_args(masks, "masks_dict");
        const auto views = views_of(args);
        nb::gil_scoped_release release;
        return static_cast<int>(review::check_last_frame(views, min_area, n_track));
      },
      nb::arg("masks"), nb::arg("min_area"), nb::arg("n_track"));
  m.def(
      "check_new_masks",
      [](nb::handle masks, std::int64_t n_track, double min_area) {
        const auto args = mask_args(masks, "masks");
        const auto views = views_of(args);
        nb::gil_scoped_release release;
        return static_cast<int>(review::check_new_masks(views, n_track, min_area));
      },
      nb::arg("masks"), nb::arg("n_track"), nb::arg("min_area"));
  m.def(
      "mask_boxes",
      [](nb::handle masks) {
        const auto args = mask_args(masks, "masks");
        const auto views = views_of(args);
        std::vector<double> flat;
        {
          nb::gil_scoped_release release;
          for (const auto& b : review::mask_boxes(views))
            for (auto v : b) flat.push_back(static_cast<double>(v));
        }
        return float64_array(std::move(flat), {views.size(), 4});
      },
      nb::arg("masks"));
  m.def(
      "paired_iou",
      [](nb::handle old_masks, nb::handle new_masks) {
        const auto old_args = mask_args(old_masks, "old masks");
        const auto new_args = mask_args(new_masks, "new masks");
        const auto old_views = views_of(old_args), new_views = views_of(new_args);
        review::PairedIou r;
        {
          nb::gil_scoped_release release;
          r = review::paired_iou(old_views, new_views);
        }
        const std::size_t n = r.mask.size();
        return nb::make_tuple(float64_array(std::move(r.mask), {n}),
                              float64_array(std::move(r.box), {n}));
      },
      nb::arg("old_masks"), nb::arg("new_masks"));
  m.def("box_iou", &review::box_iou, nb::arg("box_a"), nb::arg("box_b"));
  m.def("small_area_boxes", &small_area_boxes, nb::arg("laste_frame"), nb::arg("min_frame_id"),
        nb::arg("area_threshold"), nb::arg("min_count"));
}

}  // namespace hm::py
