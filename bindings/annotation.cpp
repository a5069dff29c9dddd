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
#include "common/files.hpp"
#include "detect/annotation_data.hpp"
#include "py_common.hpp"
#include "subsystems.hpp"

namespace hm::py {

namespace {

// Hands the mask buffer over to NumPy as an (n, height, width) uint8 array.
nb::object masks_array(annotation::AnnotationMasks&& m) {
  return uint8_array(std::move(m.pixels),
                     {m.count(), static_cast<size_t>(m.height), static_cast<size_t>(m.width)});
}

nb::list int_list(const std::vector<std::int64_t>& values) {
  nb::list out;
  for (std::int64_t v : values) out.append(v);
  return out;
}

}  // namespace

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
        return nb::make_tuple(image_path, masks_array(std::move(masks)), keys);
      },
      nb::arg("path"), nb::arg("height"), nb::arg("width"));

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
          out.append(nb::make_tuple(f.json_path, image_path, f.frame_index,
                                    masks_array(std::move(f.masks)), boxkeys, int_list(f.areas),
                                    table));
        }
        return out;
      },
      nb::arg("paths"), nb::arg("height"), nb::arg("width"), nb::arg("with_tables"));

  // The image's raw bytes (RGB or RGBA) with the masks painted in; returns a new
  // (height, width, 4) uint8 array.
  m.def(
      "composite_masks",
      [](nb::bytes raw, int channels, std::int64_t height, std::int64_t width, nb::handle masks,
         const std::vector<std::array<int, 3>>& colours) {
        if ((channels != 3 && channels != 4) || height < 0 || width < 0 ||
            raw.size() != static_cast<size_t>(channels * height * width))
          throw ValueError("the image bytes do not match its size and channels");
        std::vector<MaskArg> args = mask_args(masks, "masks");
        std::vector<MaskView> views;
        for (const auto& a : args) views.push_back(a.view);
        std::vector<annotation::Rgb> rgb;
        for (const auto& c : colours) {
          annotation::Rgb x{};
          for (int i = 0; i < 3; ++i) {
            if (c[i] < 0 || c[i] > 255) throw ValueError("a colour channel must lie in 0..255");
            x[i] = static_cast<std::uint8_t>(c[i]);
          }
          rgb.push_back(x);
        }
        const size_t total = static_cast<size_t>(height) * static_cast<size_t>(width);
        auto* out = static_cast<std::uint8_t*>(std::malloc(total > 0 ? 4 * total : 1));
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
      "mask_boxes",
      [](nb::handle masks) {
        std::vector<MaskArg> args = mask_args(masks, "masks");
        std::vector<TightBox> boxes(args.size());
        {
          nb::gil_scoped_release release;
          for (size_t i = 0; i < args.size(); ++i) boxes[i] = tight_box(args[i].view);
        }
        nb::list out;
        for (const auto& b : boxes) out.append(nb::make_tuple(b.x1, b.y1, b.x2, b.y2));
        return out;
      },
      nb::arg("masks"));

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

  m.def(
      "write_text_atomic",
      [](const std::string& path, const std::string& text) {
        nb::gil_scoped_release release;
        write_file_atomic(path, text);
      },
      nb::arg("path"), nb::arg("text"));
}

}  // namespace hm::py
