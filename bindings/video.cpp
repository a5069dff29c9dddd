#include <nanobind/ndarray.h>
#include <nanobind/stl/array.h>
#include <nanobind/stl/optional.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/vector.h>

#include <array>
#include <climits>
#include <cstdint>
#include <opencv2/core.hpp>
#include <optional>

#include "common/errors.hpp"
#include "py_common.hpp"
#include "subsystems.hpp"
#include "video/frame_extraction.hpp"
#include "video/i420_frames.hpp"
#include "video/orange_region.hpp"
#include "video/probe.hpp"
#include "video/segment_plan.hpp"
#include "video/video_decoder.hpp"

namespace hm::py {

namespace {

using Frame = nb::ndarray<const std::uint8_t, nb::ndim<3>, nb::c_contig, nb::device::cpu>;
using Box = std::array<std::int64_t, 4>;

Box box_array(const video::CropBox& b) { return {b.x1, b.y1, b.x2, b.y2}; }

video::CropBox crop_box(const Box& b) { return {b[0], b[1], b[2], b[3]}; }

cv::Mat frame_mat(const Frame& frame, const char* what) {
  if (frame.shape(2) != 3)
    throw hm::ValueError(std::string(what) + ": frame must have 3 colour channels");
  if (frame.shape(0) > INT_MAX / 4 || frame.shape(1) > INT_MAX / 4)
    throw hm::ValueError(std::string(what) + ": frame is too large");
  return cv::Mat(static_cast<int>(frame.shape(0)), static_cast<int>(frame.shape(1)), CV_8UC3,
                 const_cast<std::uint8_t*>(frame.data()));
}

// (fps, frame count, width, height, minutes) as the reader reports them.
nb::object probe_tuple(const std::optional<video::VideoProbe>& p) {
  if (!p) return nb::none();
  return nb::make_tuple(p->fps, p->frame_count, p->width, p->height, p->minutes());
}

nb::object frame_array(const cv::Mat& frame) {
  std::vector<std::uint8_t> bytes(frame.total() * frame.elemSize());
  const size_t row = static_cast<size_t>(frame.cols) * frame.elemSize();
  for (int r = 0; r < frame.rows; ++r)
    std::copy_n(frame.ptr<std::uint8_t>(r), row, bytes.data() + r * row);
  return uint8_array(std::move(bytes),
                     {static_cast<size_t>(frame.rows), static_cast<size_t>(frame.cols),
                      static_cast<size_t>(frame.channels())});
}

// A new height * 3 / 2 x width array for a 4:2:0 picture, and its view.
std::pair<nb::object, I420View> new_i420(std::int64_t width, std::int64_t height) {
  check_i420_size(width, height);
  auto* data = static_cast<std::uint8_t*>(std::malloc(I420View::bytes(width, height)));
  if (!data) throw std::bad_alloc();
  nb::capsule owner(data, [](void* p) noexcept { std::free(p); });
  const size_t shape[2] = {static_cast<size_t>(height * 3 / 2), static_cast<size_t>(width)};
  return {nb::cast(nb::ndarray<nb::numpy, std::uint8_t>(data, 2, shape, owner)),
          I420View{data, width, height}};
}

}  // namespace

void register_video(nb::module_ m) {
  // The JPEG file as a width x height 4:2:0 picture (height * 3 / 2 x width array).
  m.def(
      "jpeg_to_i420",
      [](const std::string& path, std::int64_t width, std::int64_t height) {
        auto [array, view] = new_i420(width, height);
        {
          nb::gil_scoped_release release;
          video::decode_jpeg_i420(path, view);
        }
        return array;
      },
      nb::arg("path"), nb::arg("width"), nb::arg("height"));

  m.def(
      "bgr_to_i420",
      [](const Frame& frame, std::int64_t width, std::int64_t height) {
        const cv::Mat bgr = frame_mat(frame, "bgr_to_i420");
        auto [array, view] = new_i420(width, height);
        {
          nb::gil_scoped_release release;
          video::bgr_to_i420(bgr.data, bgr.rows, bgr.cols, static_cast<std::int64_t>(bgr.step[0]),
                             view);
        }
        return array;
      },
      nb::arg("frame"), nb::arg("width"), nb::arg("height"));

  m.def(
      "describe_video",
      [](const std::string& path) {
        const Printer print = python_printer();
        std::optional<video::VideoProbe> probe;
        {
          nb::gil_scoped_release release;
          probe = video::describe_video(path, print);
        }
        return probe_tuple(probe);
      },
      nb::arg("video_path"));

  m.def(
      "probe_video",
      [](const std::string& path) {
        std::optional<video::VideoProbe> probe;
        {
          nb::gil_scoped_release release;
          probe = video::probe_video(path);
        }
        return probe_tuple(probe);
      },
      nb::arg("video_path"));

  m.def(
      "segment_frames",
      [](double rate, double frame_count, double start_min, double end_min,
         std::int64_t frame_skip) {
        const video::SegmentFrames f = video::segment_frames(rate, frame_count, start_min, end_min);
        return nb::make_tuple(f.start_frame, f.end_frame,
                              int64_array(video::saved_positions(f, frame_count, frame_skip)));
      },
      nb::arg("rate"), nb::arg("frame_count"), nb::arg("start_min"), nb::arg("end_min"),
      nb::arg("frame_skip"));

  m.def(
      "read_frames",
      [](const std::string& path, const std::vector<std::int64_t>& positions,
         std::optional<Box> crop, std::optional<std::int64_t> resize_height) {
        std::optional<video::CropBox> box;
        if (crop) box = crop_box(*crop);
        video::FrameReads reads;
        {
          nb::gil_scoped_release release;
          reads = video::read_frames(path, positions, box, resize_height);
        }
        nb::list frames;
        for (const cv::Mat& f : reads.frames) frames.append(frame_array(f));
        return nb::make_tuple(static_cast<int>(reads.status), frames, reads.unreadable_position);
      },
      nb::arg("video_path"), nb::arg("positions"), nb::arg("crop_box").none(),
      nb::arg("resize_height").none() = nb::none());

  m.def(
      "find_orange_region",
      [](Frame frame) -> std::optional<Box> {
        const cv::Mat bgr = frame_mat(frame, "find_orange_region");
        nb::gil_scoped_release release;
        const auto region = video::find_orange_region(bgr);
        if (!region) return std::nullopt;
        return box_array(*region);
      },
      nb::arg("frame"));

  m.def(
      "find_crop_box",
      [](Frame frame) -> nb::object {
        const cv::Mat bgr = frame_mat(frame, "find_crop_box");
        std::optional<video::CropFinding> found;
        {
          nb::gil_scoped_release release;
          found = video::find_crop_box(bgr);
        }
        if (!found) return nb::none();
        return nb::make_tuple(box_array(found->region), box_array(found->box));
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
        if (cached_box) req.cached_box = crop_box(*cached_box);
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
        video::SegmentResult result;
        {
          nb::gil_scoped_release release;
          result = video::crop_video_to_frames(req, print);
        }
        return nb::make_tuple(static_cast<int>(result.end), result.saved);
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
