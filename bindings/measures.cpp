#include <nanobind/stl/optional.h>
#include <nanobind/stl/vector.h>

#include "measures/intersection.hpp"
#include "py_common.hpp"
#include "subsystems.hpp"

namespace hm::py {

void register_measures(nb::module_ m) {
  m.def(
      "intersection_table",
      [](nb::handle masks, std::optional<std::vector<double>> areas) {
        std::vector<MaskArg> args = mask_args(masks, "masks_dict");
        std::vector<MaskView> views;
        for (const auto& a : args) views.push_back(a.view);
        const size_t n = views.size();
        std::vector<double> table;
        {
          nb::gil_scoped_release release;
          table = measures::intersection_table(views, areas);
        }
        return float64_array(std::move(table), {n, n});
      },
      nb::arg("masks"), nb::arg("areas").none());
}

}  // namespace hm::py
