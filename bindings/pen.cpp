#include <nanobind/stl/string.h>

#include "pen/pen_polygon.hpp"
#include "py_common.hpp"
#include "subsystems.hpp"

namespace hm::py {

namespace {

nb::object coord_object(const pen::Coord& c) {
  return c.is_integer ? nb::cast(c.integer) : nb::cast(c.value);
}

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
}

}  // namespace hm::py
