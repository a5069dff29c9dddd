#include <nanobind/stl/array.h>
#include <nanobind/stl/optional.h>
#include <nanobind/stl/vector.h>

#include "measures/centroid.hpp"
#include "measures/contact.hpp"
#include "measures/intersection.hpp"
#include "measures/overlap.hpp"
#include "py_common.hpp"
#include "subsystems.hpp"

namespace hm::py {

namespace {

// A ratio that the measures give as the integer 0 when it is undefined.
nb::object ratio_or_zero(const std::optional<double>& v) { return v ? nb::cast(*v) : nb::cast(0); }

// A new x old float64 matrix from a measure over two lists of masks.
template <typename Measure>
nb::object new_by_old(nb::handle masks_new, nb::handle masks_old, MaskReading reading,
                      Measure measure) {
  const std::vector<MaskArg> an = mask_args(masks_new, "masks_new", reading);
  const std::vector<MaskArg> ao = mask_args(masks_old, "masks_old", reading);
  const std::vector<MaskView> vn = views_of(an), vo = views_of(ao);
  std::vector<double> out;
  {
    nb::gil_scoped_release release;
    out = measure(vn, vo);
  }
  return float64_array(std::move(out), {vn.size(), vo.size()});
}

}  // namespace

void register_measures(nb::module_ m) {
  m.def(
      "intersection_table",
      [](nb::handle masks, std::optional<std::vector<double>> areas) {
        const std::vector<MaskArg> args = mask_args(masks, "masks_dict", MaskReading::non_zero);
        const std::vector<MaskView> views = views_of(args);
        const size_t n = views.size();
        std::vector<double> table;
        {
          nb::gil_scoped_release release;
          table = measures::intersection_table(views, areas);
        }
        return float64_array(std::move(table), {n, n});
      },
      nb::arg("masks"), nb::arg("areas").none());

  m.def(
      "box_iou",
      [](const std::array<double, 4>& a, const std::array<double, 4>& b) {
        return ratio_or_zero(measures::box_iou(a, b));
      },
      nb::arg("box1"), nb::arg("box2"));

  m.def(
      "mask_coverage",
      [](nb::handle a, nb::handle b) {
        const MaskArg ma = mask_arg(a, "mask1", MaskReading::non_zero),
                      mb = mask_arg(b, "mask2", MaskReading::non_zero);
        std::optional<double> v;
        {
          nb::gil_scoped_release release;
          v = measures::mask_coverage(ma.view, mb.view);
        }
        return ratio_or_zero(v);
      },
      nb::arg("mask1"), nb::arg("mask2"));

  m.def(
      "coverage_pair",
      [](nb::handle a, nb::handle b, double area1, double area2) {
        const MaskArg ma = mask_arg(a, "mask1", MaskReading::non_zero),
                      mb = mask_arg(b, "mask2", MaskReading::non_zero);
        std::int64_t both = 0;
        {
          nb::gil_scoped_release release;
          both = measures::mask_intersection(ma.view, mb.view);
        }
        auto ratio = [both](double area) -> std::optional<double> {
          if (!(area > 0)) return std::nullopt;
          return measures::coverage_percent(both, area);
        };
        return nb::make_tuple(ratio_or_zero(ratio(area1)), ratio_or_zero(ratio(area2)));
      },
      nb::arg("mask1"), nb::arg("mask2"), nb::arg("mask_area_1"), nb::arg("mask_area_2"));

  m.def(
      "iou_matrix",
      [](nb::handle masks_new, nb::handle masks_old) {
        return new_by_old(masks_new, masks_old, MaskReading::non_zero, measures::iou_matrix);
      },
      nb::arg("masks_new"), nb::arg("masks_old"));

  m.def(
      "centroid_similarity",
      [](nb::handle masks_new, nb::handle masks_old) {
        // Moments are taken on the masks cast to bytes, each pixel weighted by its byte.
        return new_by_old(masks_new, masks_old, MaskReading::byte_value,
                          measures::centroid_similarity);
      },
      nb::arg("masks_new"), nb::arg("masks_old"));

  m.def(
      "mask_boxes",
      [](nb::handle masks) {
        const std::vector<MaskArg> args = mask_args(masks, "masks", MaskReading::non_zero);
        std::vector<TightBox> boxes(args.size());
        {
          nb::gil_scoped_release release;
          for (size_t i = 0; i < args.size(); ++i) boxes[i] = tight_box(args[i].view);
        }
        return box_array(boxes);
      },
      nb::arg("masks"),
      "Each mask's tight inclusive box x1, y1, x2, y2 as an n x 4 int64 array; zeros for an "
      "empty mask.");

  m.def(
      "mask_centroids",
      [](nb::handle masks) {
        const std::vector<MaskArg> args = mask_args(masks, "masks", MaskReading::byte_value);
        std::vector<double> out(2 * args.size());
        {
          nb::gil_scoped_release release;
          for (size_t i = 0; i < args.size(); ++i) {
            const measures::Centroid c = measures::pixel_centroid(args[i].view);
            out[2 * i] = c.col;
            out[2 * i + 1] = c.row;
          }
        }
        return float64_array(std::move(out), {args.size(), size_t{2}});
      },
      nb::arg("masks"),
      "Each mask's centroid x, y (column and row moments over the area, each pixel weighted by "
      "its byte value: the mean of the set pixels of a bool or 0/1 mask) as an n x 2 float64 "
      "array; NaN for an empty mask.");

  m.def(
      "contour_centroids",
      [](nb::handle masks) {
        const std::vector<MaskArg> args = mask_args(masks, "masks_dict");
        const std::vector<MaskView> views = views_of(args);
        std::vector<std::optional<std::pair<int, int>>> found;
        {
          nb::gil_scoped_release release;
          for (const auto& v : views) found.push_back(measures::largest_contour_centroid(v));
        }
        nb::list out;
        for (const auto& c : found)
          out.append(c ? nb::object(nb::make_tuple(c->first, c->second)) : nb::none());
        return out;
      },
      nb::arg("masks"));

  m.def(
      "mask_contacts",
      [](nb::handle masks, std::int64_t reach) {
        const std::vector<MaskArg> args = mask_args(masks, "masks", MaskReading::non_zero);
        const std::vector<MaskView> views = views_of(args);
        std::vector<measures::Contact> found;
        {
          nb::gil_scoped_release release;
          found = measures::mask_contacts(views, reach);
        }
        std::vector<std::int64_t> flat;
        flat.reserve(found.size() * 3);
        for (const auto& c : found) flat.insert(flat.end(), {c.a, c.b, c.overlap});
        return int64_array(std::move(flat), {found.size(), 3});
      },
      nb::arg("masks"), nb::arg("reach"),
      "Pairs of masks in contact as a k x 3 int64 array: position a, position b (a < b), "
      "pixels set in both.");
}

}  // namespace hm::py
