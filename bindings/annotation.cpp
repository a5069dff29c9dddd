#include <nanobind/stl/array.h>
#include <nanobind/stl/pair.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/tuple.h>
#include <nanobind/stl/vector.h>

#include <array>
#include <cstdlib>

#include "annotation/annotation_masks.hpp"
#include "annotation/composite.hpp"
#include "annotation/i420_overlay.hpp"
#include "annotation/outlines.hpp"
#include "annotation/polygon_text.hpp"
#include "common/errors.hpp"
#include "common/sizes.hpp"
#include "py_common.hpp"
#include "subsystems.hpp"

namespace hm::py {

namespace {

// The Arrow C data interface (its two structures, as the standard fixes them).
struct ArrowSchema {
  const char* format;
  const char* name;
  const char* metadata;
  std::int64_t flags;
  std::int64_t n_children;
  ArrowSchema** children;
  ArrowSchema* dictionary;
  void (*release)(ArrowSchema*);
  void* private_data;
};
struct ArrowArray {
  std::int64_t length;
  std::int64_t null_count;
  std::int64_t offset;
  std::int64_t n_buffers;
  std::int64_t n_children;
  const void** buffers;
  ArrowArray** children;
  ArrowArray* dictionary;
  void (*release)(ArrowArray*);
  void* private_data;
};

// The first byte of an image lent as a (schema, array) pair of Arrow capsules
// holding `pixels` pixels of four bytes each, in one buffer, row after row (a
// fixed-size list of four bytes per pixel). ValueError for any other layout. The
// capsules keep the memory alive; the caller holds them for the call.
const std::uint8_t* arrow_pixels(nb::handle exported, size_t pixels) {
  const auto pair = nb::cast<nb::tuple>(exported);
  if (pair.size() != 2) throw ValueError("an image export is a pair of Arrow capsules");
  const auto* schema =
      static_cast<const ArrowSchema*>(PyCapsule_GetPointer(pair[0].ptr(), "arrow_schema"));
  const auto* array =
      static_cast<const ArrowArray*>(PyCapsule_GetPointer(pair[1].ptr(), "arrow_array"));
  if (!schema || !array) throw nb::python_error();
  const bool list_of_four = schema->format && std::string(schema->format) == "+w:4" &&
                            schema->n_children == 1 && schema->children && schema->children[0] &&
                            schema->children[0]->format &&
                            std::string(schema->children[0]->format) == "C";
  if (!list_of_four || array->n_children != 1 || !array->children || !array->children[0] ||
      array->offset != 0 || array->length != static_cast<std::int64_t>(pixels))
    throw ValueError("the image export is not four bytes a pixel in one block");
  const ArrowArray* bytes = array->children[0];
  if (bytes->offset != 0 || bytes->n_buffers < 2 || !bytes->buffers ||
      bytes->length != static_cast<std::int64_t>(4 * pixels) ||
      (pixels > 0 && bytes->buffers[1] == nullptr))
    throw ValueError("the image export is not four bytes a pixel in one block");
  return static_cast<const std::uint8_t*>(bytes->buffers[1]);
}

std::vector<annotation::Rgb> rgb_colours(const std::vector<std::array<int, 3>>& colours) {
  std::vector<annotation::Rgb> rgb;
  for (const auto& c : colours) {
    annotation::Rgb x{};
    for (int i = 0; i < 3; ++i) {
      if (c[i] < 0 || c[i] > 255) throw ValueError("a colour channel must lie in 0..255");
      x[i] = static_cast<std::uint8_t>(c[i]);
    }
    rgb.push_back(x);
  }
  return rgb;
}

}  // namespace

void register_annotation(nb::module_ m) {
  // Paints the masks whose outlines are `polygons` (per mask its polygon texts, in
  // drawing order) over the 4:2:0 picture `frame` (height * 3 / 2 x width), in place,
  // each with its colour, its tab (height x width x 3 RGB) and its box `line` pixels wide.
  m.def(
      "draw_masks_i420",
      [](nb::ndarray<std::uint8_t, nb::ndim<2>, nb::c_contig, nb::device::cpu> frame,
         const std::vector<std::vector<std::string>>& polygons,
         const std::vector<std::array<int, 3>>& colours,
         const std::vector<
             nb::ndarray<const std::uint8_t, nb::ndim<3>, nb::c_contig, nb::device::cpu>>& tabs,
         std::int64_t line) {
        const auto rows = static_cast<std::int64_t>(frame.shape(0));
        if (rows % 3) throw ValueError("a 4:2:0 picture has height * 3 / 2 rows");
        const I420View view{frame.data(), static_cast<std::int64_t>(frame.shape(1)), rows / 3 * 2};
        const std::vector<annotation::Rgb> rgb = rgb_colours(colours);
        std::vector<annotation::LabelTab> views;
        for (const auto& t : tabs) {
          if (t.shape(2) != 3) throw ValueError("a label tab must be an RGB picture");
          const auto cols = static_cast<std::int64_t>(t.shape(1));
          views.push_back({t.data(), static_cast<std::int64_t>(t.shape(0)), cols, 3 * cols});
        }
        nb::gil_scoped_release release;
        annotation::draw_masks_i420(view, polygons, rgb, views, line);
      },
      nb::arg("frame"), nb::arg("polygons"), nb::arg("colours"), nb::arg("tabs"), nb::arg("line"));

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

  // The image with the masks painted in: (height x width x 4 uint8 array or None,
  // n x 4 int64 array of each mask's tight box or None). `pixels` is the image's
  // own memory lent as an Arrow array (the imaging library's export: four bytes a
  // pixel) or a copy of its bytes (three or four a pixel, as `mode` has them).
  // The result goes into `target`, a new RGBA image of the same size lent the
  // same way, when given (None is returned for the array); else into a new array.
  m.def(
      "composite_masks",
      [](nb::handle pixels, const std::string& mode, std::int64_t height, std::int64_t width,
         nb::handle masks, const std::vector<std::array<int, 3>>& colours, bool with_boxes,
         nb::handle target) {
        if (mode != "RGB" && mode != "RGBA")
          throw ValueError("the image must be RGB or RGBA, got mode " + mode);
        const bool alpha = mode == "RGBA";
        const size_t pixel_count = checked_bytes({height, width}, 1, "image");
        const std::uint8_t* src = nullptr;
        annotation::PixelLayout layout{};
        if (nb::isinstance<nb::bytes>(pixels)) {
          const auto raw = nb::borrow<nb::bytes>(pixels);
          if (raw.size() != pixel_count * (alpha ? 4 : 3))
            throw ValueError("the image bytes do not match its size and mode");
          src = reinterpret_cast<const std::uint8_t*>(raw.c_str());
          layout = alpha ? annotation::PixelLayout::rgba : annotation::PixelLayout::rgb;
        } else {
          src = arrow_pixels(pixels, pixel_count);
          layout = alpha ? annotation::PixelLayout::rgba : annotation::PixelLayout::rgbx;
        }
        const std::vector<MaskArg> args = mask_args(masks, "masks", MaskReading::positive);
        const std::vector<MaskView> views = views_of(args);
        const std::vector<annotation::Rgb> rgb = rgb_colours(colours);
        nb::object image = nb::none();
        std::uint8_t* out = nullptr;
        if (target.is_none()) {
          const size_t bytes = checked_bytes({height, width}, 4, "image");
          out = static_cast<std::uint8_t*>(std::malloc(bytes > 0 ? bytes : 1));
          if (!out) throw std::bad_alloc();
          nb::capsule owner(out, [](void* p) noexcept { std::free(p); });
          const size_t shape[3] = {static_cast<size_t>(height), static_cast<size_t>(width), 4};
          image = nb::cast(nb::ndarray<nb::numpy, std::uint8_t>(out, 3, shape, owner));
        } else {
          // The new image's own memory, written in full below.
          out = const_cast<std::uint8_t*>(arrow_pixels(target, pixel_count));
        }
        std::vector<TightBox> boxes;
        {
          nb::gil_scoped_release release;
          annotation::composite_masks(src, layout, out, height, width, views, rgb,
                                      with_boxes ? &boxes : nullptr);
        }
        if (!with_boxes) return nb::make_tuple(image, nb::none());
        return nb::make_tuple(image, box_array(boxes));
      },
      nb::arg("pixels"), nb::arg("mode"), nb::arg("height"), nb::arg("width"), nb::arg("masks"),
      nb::arg("colours"), nb::arg("with_boxes"), nb::arg("target").none());

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

  // Per mask: ((x, y, width, height) of its pixels greater than 0, [polygon texts]).
  m.def(
      "mask_outlines",
      [](nb::handle masks, const std::string& label) {
        const std::vector<MaskArg> args = mask_args(masks, "masks", MaskReading::positive);
        const std::vector<MaskView> views = views_of(args);
        std::vector<annotation::MaskOutline> outlines;
        {
          nb::gil_scoped_release release;
          outlines = annotation::mask_outlines(views, label);
        }
        nb::list out;
        for (const auto& o : outlines)
          out.append(nb::make_tuple(nb::make_tuple(o.box[0], o.box[1], o.box[2], o.box[3]),
                                    nb::cast(o.polygons)));
        return out;
      },
      nb::arg("masks"), nb::arg("label"));
}

}  // namespace hm::py
