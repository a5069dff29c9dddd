#include <nanobind/stl/array.h>
#include <nanobind/stl/pair.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/tuple.h>
#include <nanobind/stl/vector.h>

#include <array>
#include <cstdlib>

#include "annotation/annotation_masks.hpp"
#include "annotation/composite.hpp"
#include "annotation/polygon_text.hpp"
#include "common/errors.hpp"
#include "common/sizes.hpp"
#include "py_common.hpp"
#include "subsystems.hpp"

namespace hm::py {

void register_annotation(nb::module_ m) {
  m.def(
      "masks_from_json",
      [](const std::string& path, std::int64_t height, std::int64_t width) {
        annotation::AnnotationMasks masks;
        {
          nb::gil_scoped_release release;
          masks = annotation::masks_from_json_file(path, height, width);
        }
        nb::object image_path = nb::cast(masks.image_path);
        nb::list keys = int_list(masks.boxkeys);
        const size_t n = masks.count(), h = static_cast<size_t>(height),
                     w = static_cast<size_t>(width);
        return nb::make_tuple(image_path, uint8_array(std::move(masks.pixels), {n, h, w}), keys);
      },
      nb::arg("path"), nb::arg("height"), nb::arg("width"));

  // The image's raw bytes (RGB or RGBA) with the masks painted in; returns a new
  // (height, width, 4) uint8 array.
  m.def(
      "composite_masks",
      [](nb::bytes raw, int channels, std::int64_t height, std::int64_t width, nb::handle masks,
         const std::vector<std::array<int, 3>>& colours) {
        if ((channels != 3 && channels != 4) ||
            raw.size() != checked_bytes({height, width}, static_cast<size_t>(channels), "image"))
          throw ValueError("the image bytes do not match its size and channels");
        const std::vector<MaskArg> args = mask_args(masks, "masks");
        const std::vector<MaskView> views = views_of(args);
        std::vector<annotation::Rgb> rgb;
        for (const auto& c : colours) {
          annotation::Rgb x{};
          for (int i = 0; i < 3; ++i) {
            if (c[i] < 0 || c[i] > 255) throw ValueError("a colour channel must lie in 0..255");
            x[i] = static_cast<std::uint8_t>(c[i]);
          }
          rgb.push_back(x);
        }
        const size_t bytes = checked_bytes({height, width}, 4, "image");
        auto* out = static_cast<std::uint8_t*>(std::malloc(bytes > 0 ? bytes : 1));
        if (!out) throw std::bad_alloc();
        nb::capsule owner(out, [](void* p) noexcept { std::free(p); });
        {
          nb::gil_scoped_release release;
          annotation::composite_masks(reinterpret_cast<const std::uint8_t*>(raw.c_str()), channels,
                                      out, height, width, views, rgb);
        }
        const size_t shape[3] = {static_cast<size_t>(height), static_cast<size_t>(width), 4};
        return nb::cast(nb::ndarray<nb::numpy, std::uint8_t>(out, 3, shape, owner));
      },
      nb::arg("raw"), nb::arg("channels"), nb::arg("height"), nb::arg("width"), nb::arg("masks"),
      nb::arg("colours"));

  m.def(
      "polygon_points",
      [](const std::string& text, double width, double height) {
        const std::vector<double> v = annotation::scaled_points(text, width, height);
        nb::list out;
        for (size_t i = 0; i + 1 < v.size(); i += 2) out.append(nb::make_tuple(v[i], v[i + 1]));
        return out;
      },
      nb::arg("text"), nb::arg("width"), nb::arg("height"));

  m.def(
      "rescale_polygon_texts",
      [](const std::vector<std::string>& texts, double factor_x, double factor_y) {
        std::vector<std::string> out;
        out.reserve(texts.size());
        for (const auto& t : texts)
          out.push_back(annotation::rescale_polygon_text(t, factor_x, factor_y));
        return out;
      },
      nb::arg("texts"), nb::arg("factor_x"), nb::arg("factor_y"));
}

}  // namespace hm::py
