// The extension module herdmask._core: one submodule per subsystem.
#include <nanobind/nanobind.h>

#include "py_common.hpp"
#include "subsystems.hpp"

NB_MODULE(_core, m) {
  hm::py::register_error_translation();
  hm::py::register_common(m.def_submodule("common"));
  hm::py::register_video(m.def_submodule("video"));
  hm::py::register_pen(m.def_submodule("pen"));
  hm::py::register_measures(m.def_submodule("measures"));
  hm::py::register_detect(m.def_submodule("detect"));
  hm::py::register_annotation(m.def_submodule("annotation"));
  hm::py::register_review(m.def_submodule("review"));
  hm::py::register_refine(m.def_submodule("refine"));
}
