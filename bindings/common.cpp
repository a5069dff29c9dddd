#include <nanobind/stl/string.h>

#include "common/number_text.hpp"
#include "py_common.hpp"
#include "subsystems.hpp"

namespace hm::py {

// The shared mask reading and the number text of the core's own messages, bound
// for the tests that hold them to NumPy's counting and Python's repr.
void register_common(nb::module_ m) {
  m.def("real_text", &hm::real_text, nb::arg("value"),
        "The core's text of a real number (what Python's repr writes).");
  m.def("count_set", [](nb::handle mask) {
    MaskArg a = mask_arg(mask, "mask", MaskReading::non_zero);
    nb::gil_scoped_release release;
    return hm::count_set(a.view);
  });
}

}  // namespace hm::py
