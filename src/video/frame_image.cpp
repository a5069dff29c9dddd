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
int jpeg_luma(int b, int g, int r) { return (19595 * r + 38470 * g + 7471 * b + 32768) >> 16; }
int jpeg_cb(int b, int g, int r) {
  return (-11059 * r - 21709 * g + 32768 * b + (128 << 16) + 32767) >> 16;
}
int jpeg_cr(int b, int g, int r) {
  return (32768 * r - 27439 * g - 5329 * b + (128 << 16) + 32767) >> 16;
}

struct Levels {
  unsigned char luma[256];
  std::vector<signed char> luma_shift;
  std::vector<unsigned char> chroma[2];

  YuvLevels view() const { return {luma, luma_shift.data(), {chroma[0].data(), chroma[1].data()}}; }
};

// What the planes' levels become on the way through OpenCV's BGR and libjpeg's YCbCr,
// the path extraction took before it encoded planes, read off that path itself: the
// scaler's fixed-point arithmetic sits up to a level off the exact formula, and not
// evenly (chroma 127 becomes 126; a pixel's luma comes out lower by about a level
// when its chroma is away from grey). Luma by itself at grey chroma, and then its
// shift and the chroma for each chroma pair, at a luma where the pair clips no channel
// (the pairs that clip at every luma take the shift and chroma at mid grey).
Levels measured_levels(AVPixelFormat format) {
  Levels out;
  // Luma: a ramp at grey chroma.
  {
    AVFrame f{};
    f.format = format;
    f.width = 512;
    f.height = 2;
    std::vector<unsigned char> y(1024), grey(256, 128);
    for (int x = 0; x < 512; ++x) y[x] = y[512 + x] = static_cast<unsigned char>(x / 2);
    f.data[0] = y.data();
    f.data[1] = f.data[2] = grey.data();
    f.linesize[0] = 512;
    f.linesize[1] = f.linesize[2] = 256;
    const cv::Mat bgr = picture_bgr(f);
    for (int level = 0; level < 256; ++level) {
      const cv::Vec3b c = bgr.at<cv::Vec3b>(0, 2 * level);
      out.luma[level] = static_cast<unsigned char>(jpeg_luma(c[0], c[1], c[2]));
    }
  }
  // Chroma pairs: Cb down the rows, Cr across, each pair over 2 x 2 pixels, at a few
  // lumas; the first luma at which no channel clips gives the pair's levels.
  out.luma_shift.assign(65536, 0);
  out.chroma[0].assign(65536, 128);
  out.chroma[1].assign(65536, 128);
  std::vector<bool> done(65536, false);
  AVFrame f{};
  f.format = format;
  f.width = 512;
  f.height = 512;
  std::vector<unsigned char> y(512 * 512), cb(256 * 256), cr(256 * 256);
  for (int row = 0; row < 256; ++row)
    for (int col = 0; col < 256; ++col) {
      cb[row * 256 + col] = static_cast<unsigned char>(row);
      cr[row * 256 + col] = static_cast<unsigned char>(col);
    }
  f.data[0] = y.data();
  f.data[1] = cb.data();
  f.data[2] = cr.data();
  f.linesize[0] = 512;
  f.linesize[1] = f.linesize[2] = 256;
  for (const int luma : {128, 96, 160, 64, 192, 40, 216}) {
    std::fill(y.begin(), y.end(), static_cast<unsigned char>(luma));
    const cv::Mat bgr = picture_bgr(f);
    for (int pair = 0; pair < 65536; ++pair) {
      if (done[pair]) continue;
      const cv::Vec3b c = bgr.at<cv::Vec3b>(2 * (pair / 256), 2 * (pair % 256));
      const bool clips = std::min({c[0], c[1], c[2]}) == 0 || std::max({c[0], c[1], c[2]}) == 255;
      if (clips && luma != 128) continue;
      out.luma_shift[pair] = static_cast<signed char>(
          std::clamp(jpeg_luma(c[0], c[1], c[2]) - out.luma[luma], -128, 127));
      out.chroma[0][pair] = static_cast<unsigned char>(jpeg_cb(c[0], c[1], c[2]));
      out.chroma[1][pair] = static_cast<unsigned char>(jpeg_cr(c[0], c[1], c[2]));
      done[pair] = !clips;
    }
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
    r.levels = levels_of(static_cast<AVPixelFormat>(f.format)).view();
    return encode_jpeg_yuv420(r);
  }
  const cv::Mat image = frame_bgr(frame)(region);
  if (resize_to.empty()) return encode_jpeg(image);
  cv::Mat resized;
  cv::resize(image, resized, resize_to, 0, 0, cv::INTER_AREA);
  return encode_jpeg(resized);
}

}  // namespace hm::video
