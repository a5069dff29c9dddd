#include <nanobind/ndarray.h>
#include <nanobind/stl/optional.h>
#include <nanobind/stl/pair.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/vector.h>

#include <memory>
#include <optional>
#include <string>

#include "common/errors.hpp"
#include "common/sizes.hpp"
#include "common/zero_buffer.hpp"
#include "detect/annotation_data.hpp"
#include "detect/image_features.hpp"
#include "detect/start_frame.hpp"
#include "feature_inputs.hpp"
#include "measures/overlap.hpp"
#include "py_common.hpp"
#include "subsystems.hpp"

namespace hm::py {

namespace {

template <typename T>
using BoxArray = nb::ndarray<const T, nb::ndim<2>, nb::c_contig, nb::device::cpu>;

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

  // The overlap rule on the segmenter's masks: (kept positions, kept masks or None).
  // The kept masks are copied out only where the caller would otherwise index
  // them: when `take` masks are kept, not as one run of positions, and all were
  // read in place; then they come as the bytes of the kept planes one after
  // another, in the masks' own element type.
  m.def(
      "drop_overlaps",
      [](nb::handle masks, std::vector<double> scores, std::int64_t take) {
        const std::vector<MaskArg> args = mask_args(masks, "masks", MaskReading::non_zero);
        const std::vector<MaskView> views = views_of(args);
        bool in_place = true;
        for (const MaskArg& a : args) in_place = in_place && a.array.is(masks);
        detect::OverlapOutcome out;
        std::vector<PreparedMask> prepared;
        {
          nb::gil_scoped_release release;
          prepared = measures::prepare_each(views);
          out = detect::drop_overlaps(prepared, scores);
        }
        const std::vector<std::int64_t>& kept = out.kept;
        const bool run = !kept.empty() &&
                         kept.back() - kept.front() + 1 == static_cast<std::int64_t>(kept.size());
        nb::object taken = nb::none();
        if (in_place && !args.empty() && static_cast<std::int64_t>(kept.size()) == take && !run) {
          const MaskView& v = views.front();
          const size_t bytes =
              checked_bytes({static_cast<std::int64_t>(kept.size()), v.rows, v.cols},
                            element_size(v.element), "kept masks");
          ZeroBuffer buffer(std::max<size_t>(bytes, 1));
          {
            nb::gil_scoped_release release;
            detect::take_masks(prepared, kept, buffer.data(), &buffer);
          }
          taken = uint8_array(std::move(buffer), {bytes});
        }
        return nb::make_tuple(int64_array(std::move(out.kept)), taken);
      },
      nb::arg("masks"), nb::arg("scores"), nb::arg("take"));

  // Loading a tracking run's annotation files.
  m.def("discover_annotation_files", [](const std::string& root) {
    nb::gil_scoped_release release;
    return detect::discover_annotation_files(root);
  });

  m.def("annotation_frame_size", [](const std::string& path) {
    nb::gil_scoped_release release;
    return detect::annotation_frame_size(path);
  });

  // One tuple per file: (json_path, image_path, frame number text, masks array,
  // boxkeys, areas, intersection table or None).
  m.def(
      "load_frame_masks",
      [](const std::vector<std::string>& paths, std::int64_t height, std::int64_t width,
         bool with_tables) {
        std::vector<detect::FrameMasks> frames;
        {
          nb::gil_scoped_release release;
          frames = detect::load_frame_masks(paths, height, width, with_tables);
        }
        nb::list out;
        for (auto& f : frames) {
          nb::object table = nb::none();
          if (with_tables) {
            const size_t k = f.keys.size();
            table = float64_array(std::move(f.table), {k, k});
          }
          nb::object image_path = nb::cast(f.masks.image_path);
          nb::list boxkeys = int_list(f.masks.boxkeys);
          const size_t n = f.masks.count();
          nb::object masks = uint8_array(std::move(f.masks.pixels), {n, static_cast<size_t>(height),
                                                                     static_cast<size_t>(width)});
          out.append(nb::make_tuple(f.json_path, image_path, f.frame_index, masks, boxkeys,
                                    int_list(f.areas), table));
        }
        return out;
      },
      nb::arg("paths"), nb::arg("height"), nb::arg("width"), nb::arg("with_tables"));

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
      [](RgbArray rgb, nb::handle masks) -> nb::list {
        const cv::Mat image = rgb_mat(rgb);
        const std::vector<MaskArg> args = mask_args(masks, "masks", MaskReading::positive);
        std::vector<std::unique_ptr<float[]>> outputs;
        std::vector<std::uint8_t> made;
        {
          nb::gil_scoped_release release;
          made = feature_inputs_of(image, views_of(args), outputs);
        }
        return feature_input_list(made, outputs);
      },
      nb::arg("rgb"), nb::arg("masks"),
      "The 1 x 3 x 256 x 256 encoder input of each of `masks`, prepared on a few threads: a "
      "list of arrays, and None for a mask under 10 non-zero pixels or without a window of "
      "pixels greater than 0.");
}

}  // namespace hm::py
