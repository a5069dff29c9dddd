#include <nanobind/ndarray.h>
#include <nanobind/stl/array.h>
#include <nanobind/stl/optional.h>
#include <nanobind/stl/string.h>

#include <array>
#include <climits>
#include <cstdint>
#include <opencv2/core.hpp>
#include <optional>

#include "common/errors.hpp"
#include "py_common.hpp"
#include "subsystems.hpp"
#include "video/frame_extraction.hpp"
#include "video/orange_region.hpp"
#include "video/video_decoder.hpp"

namespace hm::py {

namespace {

using Frame = nb::ndarray<const std::uint8_t, nb::ndim<3>, nb::c_contig, nb::device::cpu>;
using Box = std::array<std::int64_t, 4>;

Box box_array(const video::CropBox& b) { return {b.x1, b.y1, b.x2, b.y2}; }

}  // namespace

void register_video(nb::module_ m) {
  m.def(
      "video_duration",
      [](const std::string& path) {
        const Printer print = python_printer();
        nb::gil_scoped_release release;
        return video::video_duration_minutes(path, print);
      },
      nb::arg("video_path"));

  m.def(
      "find_orange_region",
      [](Frame frame) -> std::optional<Box> {
        if (frame.shape(2) != 3)
          throw hm::ValueError("find_orange_region: frame must have 3 colour channels");
        if (frame.shape(0) > INT_MAX / 4 || frame.shape(1) > INT_MAX / 4)
          throw hm::ValueError("find_orange_region: frame is too large");
        const cv::Mat bgr(static_cast<int>(frame.shape(0)), static_cast<int>(frame.shape(1)),
                          CV_8UC3, const_cast<std::uint8_t*>(frame.data()));
        nb::gil_scoped_release release;
        const auto region = video::find_orange_region(bgr);
        if (!region) return std::nullopt;
        return box_array(*region);
      },
      nb::arg("frame"));

  m.def(
      "crop_video_to_frames",
      [](std::string video_path, std::string output_dir, std::string reported_dir, double start_min,
         double end_min, std::string start_text, std::string end_text, std::int64_t frame_skip,
         std::optional<std::int64_t> resize_height, bool crop, std::string camera_text,
         std::optional<Box> cached_box, nb::object store_box, int encode_threads,
         video::KeptReader* kept) {
        video::SegmentRequest req;
        req.video_path = std::move(video_path);
        req.output_dir = std::move(output_dir);
        req.reported_dir = std::move(reported_dir);
        req.start_min = start_min;
        req.end_min = end_min;
        req.start_text = std::move(start_text);
        req.end_text = std::move(end_text);
        req.frame_skip = frame_skip;
        req.resize_height = resize_height;
        req.crop = crop;
        req.camera_text = std::move(camera_text);
        if (cached_box) {
          const Box& b = *cached_box;
          req.cached_box = video::CropBox{b[0], b[1], b[2], b[3]};
        }
        if (!store_box.is_none()) {
          // Called without the GIL; the object itself stays owned by this frame.
          const nb::object* store = &store_box;
          req.store_box = [store](const video::CropBox& b) {
            nb::gil_scoped_acquire gil;
            (*store)(nb::make_tuple(b.x1, b.y1, b.x2, b.y2));
          };
        }
        req.encode_threads = encode_threads;
        req.kept = kept;
        const Printer print = python_printer();
        nb::gil_scoped_release release;
        return video::crop_video_to_frames(req, print).saved;
      },
      nb::arg("video_path"), nb::arg("output_dir"), nb::arg("reported_dir"), nb::arg("start_min"),
      nb::arg("end_min"), nb::arg("start_text"), nb::arg("end_text"), nb::arg("frame_skip"),
      nb::arg("resize_height").none(), nb::arg("crop"), nb::arg("camera_text"),
      nb::arg("cached_box").none(), nb::arg("store_box").none(), nb::arg("encode_threads") = 0,
      nb::arg("kept").none() = nb::none());

  nb::class_<video::KeptReader>(m, "KeptReader")
      .def(nb::init<>())
      .def("close", [](video::KeptReader& kept) {
        nb::gil_scoped_release release;
        kept.close();
      });

  // Decodes every frame and keeps none: the decoder's own pace, which extraction is
  // measured against. None when the decoder does not open the file.
  m.def(
      "decode_all_frames",
      [](const std::string& path) -> std::optional<std::int64_t> {
        nb::gil_scoped_release release;
        auto decoder = video::FrameDecoder::open(path);
        if (!decoder) return std::nullopt;
        while (decoder->skip()) {
        }
        return decoder->position();
      },
      nb::arg("video_path"));

  m.def(
      "video_minutes",
      [](const std::string& path) {
        nb::gil_scoped_release release;
        return video::video_minutes(path);
      },
      nb::arg("video_path"));
}

}  // namespace hm::py
