// One registration function per binding file.
#pragma once

#include <nanobind/nanobind.h>

namespace hm::py {

void register_common(nanobind::module_ m);
void register_video(nanobind::module_ m);
void register_pen(nanobind::module_ m);
void register_measures(nanobind::module_ m);
void register_detect(nanobind::module_ m);
void register_annotation(nanobind::module_ m);
void register_review(nanobind::module_ m);
void register_refine(nanobind::module_ m);

}  // namespace hm::py
