#include <nanobind/stl/vector.h>

#include "py_common.hpp"
#include "review/frame_checks.hpp"
#include "subsystems.hpp"

namespace hm::py {

void register_review(nb::module_ m) {
  nb::enum_<review::LastFrameVerdict>(m, "LastFrameVerdict")
      .value("qualifies", review::LastFrameVerdict::qualifies)
      .value("small_area", review::LastFrameVerdict::small_area)
      .value("too_few_masks", review::LastFrameVerdict::too_few_masks)
      .value("overlap", review::LastFrameVerdict::overlap);
  nb::enum_<review::MatchVerdict>(m, "MatchVerdict")
      .value("accepted", review::MatchVerdict::accepted)
      .value("overlap", review::MatchVerdict::overlap)
      .value("wrong_count", review::MatchVerdict::wrong_count)
      .value("small_area", review::MatchVerdict::small_area);

  m.def(
      "check_last_frame",
      [](nb::handle masks, double min_area, std::int64_t n_track) {
        const auto args = mask_args(masks, "masks_dict");
        const auto views = views_of(args);
        nb::gil_scoped_release release;
        return review::check_last_frame(views, min_area, n_track);
      },
      nb::arg("masks"), nb::arg("min_area"), nb::arg("n_track"));
  m.def(
      "check_new_masks",
      [](nb::handle masks, std::int64_t n_track, double min_area) {
        const auto args = mask_args(masks, "masks");
        const auto views = views_of(args);
        nb::gil_scoped_release release;
        return review::check_new_masks(views, n_track, min_area);
      },
      nb::arg("masks"), nb::arg("n_track"), nb::arg("min_area"));
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
}

}  // namespace hm::py
