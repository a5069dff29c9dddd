#include <nanobind/ndarray.h>
#include <nanobind/stl/vector.h>

#include "feature_inputs.hpp"
#include "measures/overlap.hpp"
#include "py_common.hpp"
#include "review/frame_checks.hpp"
#include "review/relink.hpp"
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
        const auto args = mask_args(masks, "masks_dict", MaskReading::non_zero);
        const auto views = views_of(args);
        nb::gil_scoped_release release;
        return review::check_last_frame(views, min_area, n_track);
      },
      nb::arg("masks"), nb::arg("min_area"), nb::arg("n_track"));
  m.def(
      "check_new_masks",
      [](nb::handle masks, std::int64_t n_track, double min_area) {
        const auto args = mask_args(masks, "masks", MaskReading::non_zero);
        const auto views = views_of(args);
        nb::gil_scoped_release release;
        return review::check_new_masks(views, n_track, min_area);
      },
      nb::arg("masks"), nb::arg("n_track"), nb::arg("min_area"));
  // One compared frame of the overlap review: each mask read once for both the
  // paired IoUs and the encoder inputs. (mask IoUs, box IoUs, old inputs, new inputs).
  m.def(
      "compare_frames",
      [](RgbArray rgb_old, nb::handle old_masks, RgbArray rgb_new, nb::handle new_masks) {
        const cv::Mat image_old = rgb_mat(rgb_old), image_new = rgb_mat(rgb_new);
        const auto old_args = mask_args(old_masks, "old masks", MaskReading::positive);
        const auto new_args = mask_args(new_masks, "new masks", MaskReading::positive);
        if (old_args.size() != new_args.size())
          throw ValueError("the old and new frames must hold the same number of masks");
        review::PairedIou r;
        std::vector<std::unique_ptr<float[]>> old_out, new_out;
        std::vector<std::uint8_t> old_made, new_made;
        {
          nb::gil_scoped_release release;
          const auto prepared =
              measures::prepare_all(views_of(old_args), views_of(new_args), "masks");
          const auto split = prepared.begin() + static_cast<std::ptrdiff_t>(old_args.size());
          const std::vector<PreparedMask> old_prepared(prepared.begin(), split),
              new_prepared(split, prepared.end());
          r = review::paired_iou(old_prepared, new_prepared);
          old_made = feature_inputs_of(image_old, old_prepared, old_out);
          new_made = feature_inputs_of(image_new, new_prepared, new_out);
        }
        const std::size_t n = r.mask.size();
        return nb::make_tuple(
            float64_array(std::move(r.mask), {n}), float64_array(std::move(r.box), {n}),
            feature_input_list(old_made, old_out), feature_input_list(new_made, new_out));
      },
      nb::arg("rgb_old"), nb::arg("old_masks"), nb::arg("rgb_new"), nb::arg("new_masks"));

  m.def(
      "position_measures",
      [](nb::handle masks_new, nb::handle masks_previous) {
        const auto new_set = mask_args(masks_new, "start masks", MaskReading::non_zero);
        const auto new_weight = mask_args(masks_new, "start masks", MaskReading::byte_value);
        const auto previous_set =
            mask_args(masks_previous, "previous masks", MaskReading::non_zero);
        const auto previous_weight =
            mask_args(masks_previous, "previous masks", MaskReading::byte_value);
        review::PositionMeasures r;
        {
          nb::gil_scoped_release release;
          r = review::position_measures(views_of(new_set), views_of(new_weight),
                                        views_of(previous_set), views_of(previous_weight));
        }
        const size_t n = new_set.size(), p = previous_set.size();
        return nb::make_tuple(float64_array(std::move(r.iou), {n, p}),
                              float64_array(std::move(r.distance), {n, p}),
                              float64_array(std::move(r.previous_area), {p}));
      },
      nb::arg("masks_new"), nb::arg("masks_previous"));
}

}  // namespace hm::py
