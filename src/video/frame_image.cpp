#include "video/frame_image.hpp"

extern "C" {
#include <libavutil/frame.h>
#include <libavutil/pixfmt.h>
#include <libswscale/swscale.h>
}

#include <algorithm>
#include <cmath>
#include <memory>
#include <new>
#include <opencv2/imgproc.hpp>
#include <vector>

#include "common/errors.hpp"
#include "video/jpeg_writer.hpp"

namespace hm::video {

namespace {

struct ScalerDeleter {
  void operator()(SwsContext* c) const { sws_freeContext(c); }
};

// The full-range formats under their plain names, the range set apart: what the
// scaler itself does with them, without its warning about the old names.
AVPixelFormat plain_format(AVPixelFormat format, bool& full_range) {
  full_range = true;
  switch (format) {
    case AV_PIX_FMT_YUVJ420P:
      return AV_PIX_FMT_YUV420P;
    case AV_PIX_FMT_YUVJ422P:
      return AV_PIX_FMT_YUV422P;
    case AV_PIX_FMT_YUVJ444P:
      return AV_PIX_FMT_YUV444P;
    case AV_PIX_FMT_YUVJ440P:
      return AV_PIX_FMT_YUV440P;
    case AV_PIX_FMT_YUVJ411P:
      return AV_PIX_FMT_YUV411P;
    default:
      full_range = false;
      return format;
  }
}

cv::Mat picture_bgr(const AVFrame& f) {
  bool full_range = false;
  const AVPixelFormat format = plain_format(static_cast<AVPixelFormat>(f.format), full_range);
  // OpenCV's reader converts with these flags; the conversion itself is exact, no scaling.
  std::unique_ptr<SwsContext, ScalerDeleter> scaler(
      sws_getContext(f.width, f.height, format, f.width, f.height, AV_PIX_FMT_BGR24, SWS_BICUBIC,
                     nullptr, nullptr, nullptr));
  if (!scaler) throw ValueError("a decoded frame's pixel format cannot be converted to BGR");
  if (full_range) {
    const int* coefficients = sws_getCoefficients(SWS_CS_DEFAULT);
    sws_setColorspaceDetails(scaler.get(), coefficients, 1, coefficients, 0, 0, 1 << 16, 1 << 16);
  }
  // The converter writes whole vector widths past a row's end: rows get room for them.
  const int step = (f.width * 3 + 63) / 64 * 64 + 64;
  cv::Mat buffer(f.height + 1, step, CV_8U);
  std::uint8_t* dst[4] = {buffer.data, nullptr, nullptr, nullptr};
  const int dst_step[4] = {step, 0, 0, 0};
  sws_scale(scaler.get(), f.data, f.linesize, 0, f.height, dst, dst_step);
  return buffer(cv::Rect(0, 0, f.width * 3, f.height)).reshape(3);
}

// JPEG's YCbCr of OpenCV's BGR of a frame, level by level: the 8-bit fixed-point
// conversion libjpeg applies to BGR input.
double jpeg_luma(int b, int g, int r) { return (19595 * r + 38470 * g + 7471 * b + 32768) >> 16; }
double jpeg_cb(int b, int g, int r) {
  return (-11059 * r - 21709 * g + 32768 * b + (128 << 16) + 32767) >> 16;
}
double jpeg_cr(int b, int g, int r) {
  return (32768 * r - 27439 * g - 5329 * b + (128 << 16) + 32767) >> 16;
}

struct Levels {
  LevelMap planes[3];
};

// The scale and offset whose map agrees with `table` at most levels, the scale near
// `slope` (levels per level).
LevelMap fitted(const double (&table)[256], double slope) {
  LevelMap best;
  int best_misses = 257;
  const int nominal = static_cast<int>(std::lround(slope * 65536));
  for (int scale = nominal - 256; scale <= nominal + 256; scale += 16) {
    // The offset that puts level 128 where the table has it, give or take half a level.
    const int centre = static_cast<int>(std::lround(table[128] * 65536)) - 128 * scale;
    for (int offset = centre - 49152; offset <= centre + 16384; offset += 1024) {
      int misses = 0;
      for (int v = 0; v < 256 && misses < best_misses; ++v)
        misses += std::clamp((v * scale + offset) >> 16, 0, 255) != std::lround(table[v]);
      if (misses < best_misses) {
        best_misses = misses;
        best = {scale, offset};
      }
    }
  }
  return best;
}

// What each level of a plane becomes on the way through OpenCV's BGR and libjpeg's
// YCbCr, the path extraction took before it encoded planes: read off that path itself
// and fitted, so that the planes' images keep its levels (the scaler's fixed-point
// arithmetic sits up to a level below the exact formula). Chroma levels are averaged
// over lumas at which no channel clips; a level that clips at every luma takes the
// exact formula.
Levels measured_levels(AVPixelFormat format) {
  constexpr int kLumas = 64, kWidth = 512;  // 256 chroma samples, two pixels each
  AVFrame f{};
  f.format = format;
  f.width = kWidth;
  f.height = 2 * kLumas;
  std::vector<unsigned char> y(static_cast<size_t>(kWidth) * 2 * kLumas), u(256 * kLumas),
      v(256 * kLumas);
  f.data[0] = y.data();
  f.data[1] = u.data();
  f.data[2] = v.data();
  f.linesize[0] = kWidth;
  f.linesize[1] = f.linesize[2] = 256;
  Levels out{};
  bool full_range = false;
  plain_format(format, full_range);
  for (int p = 0; p < 3; ++p) {
    // Plane p ramps across the columns; the other planes hold mid levels (the luma
    // takes a level of its own in each pair of rows).
    for (int row = 0; row < 2 * kLumas; ++row)
      for (int x = 0; x < kWidth; ++x)
        y[static_cast<size_t>(row) * kWidth + x] =
            static_cast<unsigned char>(p == 0 ? x / 2 : 60 + 2 * (row / 2));
    for (int row = 0; row < kLumas; ++row)
      for (int x = 0; x < 256; ++x) {
        u[static_cast<size_t>(row) * 256 + x] = static_cast<unsigned char>(p == 1 ? x : 128);
        v[static_cast<size_t>(row) * 256 + x] = static_cast<unsigned char>(p == 2 ? x : 128);
      }
    const cv::Mat bgr = picture_bgr(f);
    double table[256];
    const double slope = full_range ? 1 : p == 0 ? 255.0 / 219 : 255.0 / 224;
    for (int level = 0; level < 256; ++level) {
      double sum = 0;
      int count = 0;
      for (int row = 0; row < (p == 0 ? 1 : 2 * kLumas); row += 2) {
        const cv::Vec3b c = bgr.at<cv::Vec3b>(row, 2 * level);
        if (p != 0 && (std::min({c[0], c[1], c[2]}) == 0 || std::max({c[0], c[1], c[2]}) == 255))
          continue;
        sum += p == 0   ? jpeg_luma(c[0], c[1], c[2])
               : p == 1 ? jpeg_cb(c[0], c[1], c[2])
                        : jpeg_cr(c[0], c[1], c[2]);
        ++count;
      }
      const double middle = p == 0 ? (full_range ? 0 : 16) : 128;
      table[level] = count ? sum / count
                           : std::clamp((level - middle) * slope + (p == 0 ? 0 : 128), 0.0, 255.0);
    }
    out.planes[p] = fitted(table, slope);
  }
  return out;
}

const Levels& levels_of(AVPixelFormat format) {
  static const Levels video = measured_levels(AV_PIX_FMT_YUV420P),
                      full = measured_levels(AV_PIX_FMT_YUVJ420P);
  return format == AV_PIX_FMT_YUVJ420P ? full : video;
}

bool planes_encodable(const AVFrame& f) {
  return f.format == AV_PIX_FMT_YUV420P || f.format == AV_PIX_FMT_YUVJ420P;
}

}  // namespace

VideoFrame VideoFrame::share() const {
  VideoFrame shared;
  if (picture) {
    shared.picture.reset(av_frame_clone(picture.get()));
    if (!shared.picture) throw std::bad_alloc();
  }
  shared.bgr = bgr;
  return shared;
}

cv::Size VideoFrame::size() const {
  if (picture) return {picture->width, picture->height};
  return bgr.size();
}

cv::Mat frame_bgr(const VideoFrame& frame) {
  if (frame.picture) return picture_bgr(*frame.picture);
  return frame.bgr;
}

std::string frame_jpeg(const VideoFrame& frame, const cv::Rect& region, const cv::Size& resize_to) {
  if ((region & cv::Rect(cv::Point(), frame.size())) != region || region.empty())
    throw ValueError("the region to encode does not lie inside the frame");
  if (frame.picture && resize_to.empty() && planes_encodable(*frame.picture)) {
    const AVFrame& f = *frame.picture;
    Yuv420Region r;
    for (int p = 0; p < 3; ++p) {
      r.planes[p] = f.data[p];
      r.strides[p] = f.linesize[p];
    }
    r.x1 = region.x;
    r.y1 = region.y;
    r.width = region.width;
    r.height = region.height;
    const Levels& levels = levels_of(static_cast<AVPixelFormat>(f.format));
    for (int p = 0; p < 3; ++p) r.levels[p] = levels.planes[p];
    return encode_jpeg_yuv420(r);
  }
  const cv::Mat image = frame_bgr(frame)(region);
  if (resize_to.empty()) return encode_jpeg(image);
  cv::Mat resized;
  cv::resize(image, resized, resize_to, 0, 0, cv::INTER_AREA);
  return encode_jpeg(resized);
}

}  // namespace hm::video
