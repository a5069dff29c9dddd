#include <nanobind/ndarray.h>
#include <nanobind/stl/optional.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/vector.h>

#include <memory>
#include <optional>
#include <string>

#include "common/errors.hpp"
#include "common/zero_buffer.hpp"
#include "detect/image_features.hpp"
#include "detect/start_frame.hpp"
#include "py_common.hpp"
#include "subsystems.hpp"

namespace hm::py {

namespace {

using RgbArray = nb::ndarray<const std::uint8_t, nb::ndim<3>, nb::c_contig, nb::device::cpu>;
template <typename T>
using BoxArray = nb::ndarray<const T, nb::ndim<2>, nb::c_contig, nb::device::cpu>;

cv::Mat rgb_mat(const RgbArray& a) {
  if (a.shape(2) != 3)
    throw ValueError("expected an image of height x width x 3, got " + std::to_string(a.shape(2)) +
                     " channels");
  return cv::Mat(static_cast<int>(a.shape(0)), static_cast<int>(a.shape(1)), CV_8UC3,
                 const_cast<std::uint8_t*>(a.data()));
}

// A stack of masks K x (1 x ...) x H x W of 32/64-bit reals in one C-ordered
// block, as the segmenter returns them: read in place, no conversion to bool.
template <typename T>
std::optional<detect::PlaneMasks> planes_of(nb::handle masks) {
  using Planes = nb::ndarray<const T, nb::c_contig, nb::device::cpu>;
  if (!nb::isinstance<Planes>(masks)) return std::nullopt;
  Planes a = nb::cast<Planes>(masks);
  if (a.ndim() < 3) return std::nullopt;
  for (size_t d = 1; d + 2 < a.ndim(); ++d)
    if (a.shape(d) != 1) return std::nullopt;
  const auto count = static_cast<std::int64_t>(a.shape(0));
  const auto rows = static_cast<std::int64_t>(a.shape(a.ndim() - 2));
  const auto cols = static_cast<std::int64_t>(a.shape(a.ndim() - 1));
  nb::gil_scoped_release release;
  return detect::PlaneMasks::from_planes<T>(a.data(), count, rows, cols);
}

template <typename T>
void register_plausible_size(nb::module_& m) {
  m.def(
      "plausible_size",
      [](BoxArray<T> boxes, double image_height) {
        if (boxes.shape(1) != 4)
          throw ValueError("boxes must have four columns (x1, y1, x2, y2), got " +
                           std::to_string(boxes.shape(1)));
        const size_t n = boxes.shape(0);
        std::vector<std::uint8_t> keep;
        {
          nb::gil_scoped_release release;
          keep = detect::template plausible_size<T>(boxes.data(), n, image_height);
        }
        return bool_array(std::move(keep), {n});
      },
      nb::arg("boxes"), nb::arg("image_height"));
}

}  // namespace

void register_detect(nb::module_ m) {
  register_plausible_size<float>(m);
  register_plausible_size<double>(m);

  m.def(
      "drop_overlaps",
      [](nb::handle masks, std::vector<double> scores) {
        std::optional<detect::PlaneMasks> planes = planes_of<float>(masks);
        if (!planes) planes = planes_of<double>(masks);
        std::vector<MaskArg> args;
        std::vector<PreparedMask> prepared;
        if (!planes) args = mask_args(masks, "masks");
        detect::OverlapOutcome out;
        {
          nb::gil_scoped_release release;
          if (planes) {
            out = detect::drop_overlaps(*planes, scores);
          } else {
            for (const auto& a : args) prepared.push_back(prepare(a.view));
            out = detect::drop_overlaps(prepared, scores);
          }
        }
        const size_t n = out.areas.size();
        nb::object rows = nb::none();
        if (planes) {
          std::vector<std::int64_t> flat;
          for (const auto& rr : planes->raw_rows()) {
            flat.push_back(rr.first);
            flat.push_back(rr.last);
          }
          rows = int64_array(std::move(flat));
        }
        return nb::make_tuple(int64_array(std::move(out.kept)), int64_array(std::move(out.removed)),
                              float64_array(std::move(out.areas), {n}),
                              float64_array(std::move(out.table), {n, n}), rows);
      },
      nb::arg("masks"), nb::arg("scores"));

  m.def(
      "take_planes",
      [](nb::handle masks, std::vector<std::int64_t> keys,
         std::optional<std::vector<std::int64_t>> row_ranges) -> nb::object {
        std::optional<std::vector<detect::RowRange>> ranges;
        if (row_ranges) {
          if (row_ranges->size() % 2) throw ValueError("row ranges come in pairs");
          ranges.emplace();
          for (size_t i = 0; i < row_ranges->size(); i += 2)
            ranges->push_back({(*row_ranges)[i], (*row_ranges)[i + 1]});
        }
        auto take = [&](auto tag) -> nb::object {
          using T = decltype(tag);
          using Planes = nb::ndarray<const T, nb::c_contig, nb::device::cpu>;
          if (!nb::isinstance<Planes>(masks)) return nb::none();
          Planes a = nb::cast<Planes>(masks);
          if (a.ndim() < 3) return nb::none();
          const auto count = static_cast<std::int64_t>(a.shape(0));
          std::int64_t plane = 1;
          for (size_t d = 1; d < a.ndim(); ++d) plane *= static_cast<std::int64_t>(a.shape(d));
          const size_t bytes = keys.size() * static_cast<size_t>(plane) * sizeof(T);
          ZeroBuffer buffer(bytes > 0 ? bytes : 1);
          {
            nb::gil_scoped_release release;
            const auto cols = static_cast<std::int64_t>(a.shape(a.ndim() - 1));
            detect::take_planes<T>(a.data(), count, cols > 0 ? plane / cols : 0, cols, keys,
                                   reinterpret_cast<T*>(buffer.data()), ranges ? &*ranges : nullptr,
                                   &buffer);
          }
          return uint8_array(std::move(buffer), {bytes});
        };
        nb::object out = take(float{});
        if (out.is_none()) out = take(double{});
        return out;
      },
      nb::arg("masks"), nb::arg("keys"), nb::arg("row_ranges").none() = nb::none(),
      "The planes at `keys`, as bytes, or None when `masks` is not a C-contiguous stack of reals.");

  m.def(
      "enhance_dark_text",
      [](RgbArray rgb, double inv_gamma) {
        const cv::Mat image = rgb_mat(rgb);
        cv::Mat out;
        {
          nb::gil_scoped_release release;
          out = detect::enhance_dark_text(image, inv_gamma);
        }
        std::vector<std::uint8_t> bytes(out.total());
        for (int r = 0; r < out.rows; ++r)
          std::copy(out.ptr<std::uint8_t>(r), out.ptr<std::uint8_t>(r) + out.cols,
                    bytes.begin() + static_cast<std::ptrdiff_t>(r) * out.cols);
        return uint8_array(std::move(bytes),
                           {static_cast<size_t>(image.rows), static_cast<size_t>(image.cols)});
      },
      nb::arg("rgb"), nb::arg("inv_gamma"));

  m.def(
      "feature_inputs",
      [](RgbArray rgb, nb::handle masks, std::vector<std::int64_t> min_pixels) -> nb::list {
        const cv::Mat image = rgb_mat(rgb);
        const std::vector<MaskArg> args = mask_args(masks, "masks");
        const size_t side = detect::kEncoderSide;
        std::vector<MaskView> views;
        std::vector<std::unique_ptr<float[]>> outputs;
        std::vector<float*> out;
        for (const MaskArg& arg : args) {
          views.push_back(arg.view);
          outputs.push_back(std::make_unique_for_overwrite<float[]>(3 * side * side));
          out.push_back(outputs.back().get());
        }
        std::vector<std::uint8_t> made;
        {
          nb::gil_scoped_release release;
          made = detect::feature_inputs_into(image, views, min_pixels, detect::kEncoderSide, out);
        }
        nb::list result;
        for (size_t k = 0; k < outputs.size(); ++k)
          result.append(made[k] ? float32_array(std::move(outputs[k]), {1, 3, side, side})
                                : nb::none());
        return result;
      },
      nb::arg("rgb"), nb::arg("masks"), nb::arg("min_pixels"),
      "The 1 x 3 x 256 x 256 encoder input of each of `masks` (with its own pixel minimum), "
      "prepared on a few threads: a list of arrays and Nones.");
}

}  // namespace hm::py
