#include <nanobind/ndarray.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/vector.h>

#include "common/errors.hpp"
#include "common/sizes.hpp"
#include "pen/in_pen.hpp"
#include "pen/motion.hpp"
#include "pen/pen_polygon.hpp"
#include "pen/pen_ratio.hpp"
#include "py_common.hpp"
#include "subsystems.hpp"

namespace hm::py {

namespace {

nb::object coord_object(const pen::Coord& c) {
  return c.is_integer ? nb::cast(c.integer) : nb::cast(c.value);
}

using Coords = nb::ndarray<const double, nb::ndim<2>, nb::c_contig, nb::device::cpu>;
using Bytes = nb::ndarray<const std::uint8_t, nb::ndim<1>, nb::c_contig, nb::device::cpu>;

}  // namespace

void register_pen(nb::module_ m) {
  m.def(
      "read_pen_polygon",
      [](const std::string& path) {
        std::vector<pen::PenPoint> pts;
        {
          nb::gil_scoped_release release;
          pts = pen::read_pen_polygon(path);
        }
        nb::list out;
        for (const auto& p : pts) out.append(nb::make_tuple(coord_object(p.x), coord_object(p.y)));
        return out;
      },
      nb::arg("json_path"));
  m.def(
      "pen_mask",
      [](const std::string& path, std::int64_t h, std::int64_t w) {
        std::shared_ptr<const Mask> mask;
        {
          nb::gil_scoped_release release;
          mask = pen::cached_pen_mask(path, h, w);
        }
        return uint8_array(mask->pixels, {static_cast<size_t>(h), static_cast<size_t>(w)});
      },
      nb::arg("json_path"), nb::arg("height"), nb::arg("width"));

  m.def(
      "intersection_percentages",
      [](Coords polygon, Coords boxes, double threshold) {
        if (polygon.shape(1) != 2) throw ValueError("pen polygon: points must be (x, y) pairs");
        if (boxes.shape(1) != 4 && boxes.shape(0) != 0)
          throw ValueError("boxes: each box needs four coordinates x1, y1, x2, y2");
        std::vector<pen::Point2> poly(polygon.shape(0));
        for (size_t i = 0; i < poly.size(); ++i) poly[i] = {polygon(i, 0), polygon(i, 1)};
        std::vector<pen::Box4> bx(boxes.shape(0));
        for (size_t i = 0; i < bx.size(); ++i)
          bx[i] = {boxes(i, 0), boxes(i, 1), boxes(i, 2), boxes(i, 3)};
        std::vector<double> pct;
        {
          nb::gil_scoped_release release;
          pct = pen::pen_intersection_percentages(poly, bx);
        }
        nb::list percentages, inside;
        for (double p : pct) {
          percentages.append(p);
          inside.append(p >= threshold);
        }
        return nb::make_tuple(percentages, inside);
      },
      nb::arg("polygon"), nb::arg("boxes"), nb::arg("ratio_threshold"));

  // A new flat byte array: the bytes of `src` (h x w planes of `item_size`-byte
  // elements) inside the pen, zero elsewhere.
  m.def(
      "in_pen",
      [](Bytes in, std::int64_t h, std::int64_t w, size_t item_size, const std::string& path) {
        if (item_size == 0)
          throw ValueError("in-pen mask: buffer sizes do not match the mask shape");
        const size_t plane = checked_bytes({h, w}, item_size, "in-pen mask");
        const size_t n = in.shape(0);
        if (plane > 0 && n % plane != 0)
          throw ValueError("in-pen mask: buffer sizes do not match the mask shape");
        ZeroBuffer out;
        {
          nb::gil_scoped_release release;
          if (n == 0) {
            // No plane to restrict: the pen file is read and checked, but no pen is
            // filled for a shape that holds no data, however large it claims to be.
            pen::fill_vertices(pen::read_pen_polygon(path));
          } else {
            const std::shared_ptr<const Runs> runs = pen::cached_pen_runs(path, h, w);
            out = ZeroBuffer(n);
            const auto planes = static_cast<std::int64_t>(plane ? n / plane : 0);
            pen::restrict_to_pen(in.data(), out, planes, item_size, *runs);
          }
        }
        if (n == 0) return uint8_array(std::vector<std::uint8_t>{}, {0});
        return uint8_array(std::move(out), {n});
      },
      nb::arg("src"), nb::arg("height"), nb::arg("width"), nb::arg("item_size"),
      nb::arg("json_path"));

  m.def(
      "motion_scores",
      [](const std::string& earlier, const std::string& later, nb::handle masks) {
        const std::vector<MaskArg> args = mask_args(masks, "masks_dict");
        const std::vector<MaskView> views = views_of(args);
        std::vector<std::optional<double>> scores;
        {
          nb::gil_scoped_release release;
          scores = pen::motion_scores(earlier, later, views);
        }
        nb::list out;
        for (const auto& s : scores) out.append(s ? nb::cast(*s) : nb::cast(0));
        return out;
      },
      nb::arg("earlier"), nb::arg("later"), nb::arg("masks"));
}

}  // namespace hm::py
