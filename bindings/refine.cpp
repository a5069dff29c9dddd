#include "refine/refine.hpp"

#include <nanobind/ndarray.h>
#include <nanobind/stl/optional.h>
#include <nanobind/stl/pair.h>
#include <nanobind/stl/string.h>

#include <algorithm>
#include <memory>
#include <new>
#include <span>
#include <vector>

#include "common/errors.hpp"
#include "common/runs.hpp"
#include "common/sizes.hpp"
#include "common/zero_buffer.hpp"
#include "pen/pen_polygon.hpp"
#include "py_common.hpp"
#include "refine/held_runs.hpp"
#include "subsystems.hpp"

namespace hm::py {

namespace {

using refine::Point2;
using FlatBools = nb::ndarray<bool, nb::ndim<1>, nb::c_contig, nb::device::cpu>;
using Labels = nb::ndarray<const std::int32_t, nb::ndim<2>, nb::c_contig, nb::device::cpu>;
using Reals = nb::ndarray<const double, nb::ndim<1>, nb::c_contig, nb::device::cpu>;
using Points = nb::ndarray<const double, nb::ndim<2>, nb::c_contig, nb::device::cpu>;

template <typename T>
nb::object mat_array(cv::Mat mat, std::vector<size_t> shape) {
  auto* heap = new cv::Mat(std::move(mat));
  nb::capsule owner(heap, [](void* p) noexcept { delete static_cast<cv::Mat*>(p); });
  nb::ndarray<nb::numpy, T> arr(reinterpret_cast<T*>(heap->data), shape.size(), shape.data(),
                                owner);
  return nb::cast(arr);
}

std::optional<Point2> to_point(const std::optional<std::pair<double, double>>& p) {
  if (!p) return std::nullopt;
  return Point2{p->first, p->second};
}

nb::object point_object(const std::optional<Point2>& p) {
  if (!p) return nb::none();
  return nb::make_tuple(p->x, p->y);
}

void require_out(const FlatBools& out, std::int64_t rows, std::int64_t cols) {
  if (static_cast<std::int64_t>(out.shape(0)) != rows * cols)
    throw ValueError("output buffer does not match the mask's size");
}

nb::object refine_runs(std::span<const Run> runs, std::int64_t rows, std::int64_t cols,
                       const std::vector<std::int64_t>& mask_shape, nb::handle needs,
                       const refine::Settings& settings) {
  if (runs.empty()) return nb::none();
  const nb::tuple found = nb::cast<nb::tuple>(needs());
  if (found.size() != 3) throw ValueError("refine_mask: needs() must give three values");
  const auto pen_json_path = nb::cast<std::string>(found[0]);
  const auto prev = nb::cast<std::optional<std::pair<double, double>>>(found[1]);
  const bool first_frame = nb::cast<bool>(found[2]);
  refine::ObjectResult result;
  ZeroBuffer out;
  {
    nb::gil_scoped_release release;
    const auto pen = pen::cached_pen_mask(pen_json_path, rows, cols);
    // Zero pages: a cleaned mask writes only the rows of its blobs.
    out = ZeroBuffer(std::max<size_t>(checked_bytes({rows, cols}, 1, "mask"), 1));
    result = refine::refine_object(runs, rows, cols, *pen, to_point(prev), settings, first_frame,
                                   out.data());
  }
  // An entry left all false outside the pen, or given back as it was, keeps the
  // mask's own shape; a cleaned one gets one leading axis.
  std::vector<size_t> shape;
  if (result.outcome == refine::Outcome::OutsidePen ||
      (result.outcome == refine::Outcome::Unclipped && mask_shape.size() > 2)) {
    for (std::int64_t d : mask_shape) shape.push_back(static_cast<size_t>(d));
  } else {
    shape = {1, static_cast<size_t>(rows), static_cast<size_t>(cols)};
  }
  return nb::make_tuple(result.outcome, point_object(result.centroid),
                        bool_array(std::move(out), std::move(shape)));
}

}  // namespace

void register_refine(nb::module_ m) {
  nb::class_<refine::Settings>(m, "Settings")
      .def(nb::init<>())
      .def(
          "__init__",
          [](refine::Settings* s, double min_area_ratio, std::optional<double> ratio_large,
             std::optional<double> ratio_small, double max_prev_dist) {
            new (s) refine::Settings{min_area_ratio, ratio_large, ratio_small, max_prev_dist};
          },
          nb::arg("min_area_ratio"), nb::arg("ratio_large").none(), nb::arg("ratio_small").none(),
          nb::arg("max_prev_dist"));

  nb::enum_<refine::Outcome>(m, "Outcome")
      .value("Empty", refine::Outcome::Empty)
      .value("OutsidePen", refine::Outcome::OutsidePen)
      .value("Cleaned", refine::Outcome::Cleaned)
      .value("Unclipped", refine::Outcome::Unclipped)
      .value("Dropped", refine::Outcome::Dropped);

  // A frame's masks packed as their runs of non-zero pixels, with the shapes they came
  // in, to be refined later from them.
  nb::class_<refine::HeldFrame>(m, "PackedFrame")
      .def("__len__", [](const refine::HeldFrame& f) { return f.count; })
      .def_prop_ro("nbytes", [](const refine::HeldFrame& f) { return f.bytes.size(); })
      .def(
          "shape",
          [](const refine::HeldFrame& f, std::size_t index) {
            nb::list shape;
            for (const std::int64_t d : f.mask(index).shape) shape.append(d);
            return nb::tuple(shape);
          },
          nb::arg("index"));

  nb::class_<refine::RunStore>(m, "RunStore")
      .def(nb::init<>())
      .def(
          "pack",
          [](refine::RunStore& store, nb::handle masks) {
            std::vector<MaskArg> args;
            for (nb::handle mask : masks)
              args.push_back(mask_arg(mask, "mask", MaskReading::non_zero));
            nb::gil_scoped_release release;
            refine::FramePacker frame;
            for (const MaskArg& arg : args) frame.add(arg.shape, runs_of(arg.view));
            return store.hold(frame);
          },
          nb::arg("masks"));

  // One object's mask of one frame cleaned: (outcome, new centroid or None, new entry),
  // or None for a mask without set pixels. Only for a mask with set pixels is `needs()`
  // called, for (pen file path, previous centroid or None, whether this is the first
  // frame): the caller looks these up, and raises, as late as that.
  m.def(
      "refine_mask",
      [](nb::handle mask, nb::handle needs, const refine::Settings& settings) -> nb::object {
        const MaskArg arg = mask_arg(mask, "mask", MaskReading::non_zero);
        Runs runs;
        {
          nb::gil_scoped_release release;
          runs = runs_of(arg.view);
        }
        return refine_runs(runs.runs, runs.rows, runs.cols, arg.shape, needs, settings);
      },
      nb::arg("mask"), nb::arg("needs"), nb::arg("settings"));

  // The same for the mask at `index` of a packed frame.
  m.def(
      "refine_held",
      [](const refine::HeldFrame& frame, std::size_t index, nb::handle needs,
         const refine::Settings& settings) -> nb::object {
        refine::HeldMask held;
        {
          nb::gil_scoped_release release;
          held = frame.mask(index);
        }
        return refine_runs(held.runs.runs, held.runs.rows, held.runs.cols, held.shape, needs,
                           settings);
      },
      nb::arg("frame"), nb::arg("index"), nb::arg("needs"), nb::arg("settings"));

  m.def(
      "shortest_distance",
      [](nb::handle a, nb::handle b) {
        const MaskArg ma = mask_arg(a, "blob_mask1"), mb = mask_arg(b, "blob_mask2");
        nb::gil_scoped_release release;
        return refine::blob_shortest_distance(ma.view, mb.view);
      },
      nb::arg("blob_mask1"), nb::arg("blob_mask2"));

  m.def(
      "label_mask",
      [](nb::handle mask, std::optional<std::pair<double, double>> prev,
         const refine::Settings& settings) {
        const MaskArg arg = mask_arg(mask, "mask");
        refine::Components comp;
        {
          nb::gil_scoped_release release;
          comp = refine::label_mask(arg.view, to_point(prev), settings);
        }
        const auto n = static_cast<size_t>(comp.count);
        const auto rows = static_cast<size_t>(arg.view.rows),
                   cols = static_cast<size_t>(arg.view.cols);
        return nb::make_tuple(
            comp.count, mat_array<std::int32_t>(comp.labels, {rows, cols}),
            mat_array<std::int32_t>(comp.stats, {n, 5}), mat_array<double>(comp.centroids, {n, 2}),
            comp.main.min_area_threshold, comp.main.max_distance_threshold, comp.main.best);
      },
      nb::arg("mask"), nb::arg("prev").none(), nb::arg("settings"));

  m.def(
      "clean_labels",
      [](Labels labels, Reals areas, Points centroids, std::int64_t best,
         double max_distance_threshold, double min_area_threshold,
         std::optional<std::pair<double, double>> prev, double max_prev_dist, FlatBools out) {
        const auto rows = static_cast<std::int64_t>(labels.shape(0));
        const auto cols = static_cast<std::int64_t>(labels.shape(1));
        require_out(out, rows, cols);
        if (centroids.shape(1) != 2) throw ValueError("centroids must have two columns");
        if (centroids.shape(0) != areas.shape(0))
          throw ValueError("stats and centroids must have one row per label");
        std::vector<double> area_list{0.0};
        std::vector<Point2> centroid_list{Point2{}};
        for (size_t i = 0; i < areas.shape(0); ++i) {
          area_list.push_back(areas(i));
          centroid_list.push_back({centroids(i, 0), centroids(i, 1)});
        }
        nb::gil_scoped_release release;
        const refine::LabelView view{labels.data(), rows, cols, cols * 4};
        return refine::clean_labels(view, area_list, centroid_list, best, max_distance_threshold,
                                    min_area_threshold, to_point(prev), max_prev_dist,
                                    reinterpret_cast<std::uint8_t*>(out.data()));
      },
      nb::arg("labels"), nb::arg("areas"), nb::arg("centroids"), nb::arg("best"),
      nb::arg("max_distance_threshold"), nb::arg("min_area_threshold"), nb::arg("prev").none(),
      nb::arg("max_prev_dist"), nb::arg("out"));
}

}  // namespace hm::py
