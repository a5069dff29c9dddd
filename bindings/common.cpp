#include <nanobind/stl/string.h>

#include "common/number_text.hpp"
#include "py_common.hpp"
#include "subsystems.hpp"

namespace hm::py {

void register_common(nb::module_ m) {
  m.def("real_text", &hm::real_text, nb::arg("value"),
        "Python's repr of a float, computed by the core.");
  m.def("fixed_text", &hm::fixed_text, nb::arg("value"), nb::arg("decimals"));
  m.def("count_set", [](nb::handle mask) {
    MaskArg a = mask_arg(mask, "mask");
    nb::gil_scoped_release release;
    return hm::count_set(a.view);
  });
}

}  // namespace hm::py
