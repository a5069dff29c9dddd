#include "video/frame_image.hpp"

extern "C" {
#include <libavutil/frame.h>
#include <libavutil/pixdesc.h>
#include <libavutil/pixfmt.h>
#include <libswscale/swscale.h>
}

#include <algorithm>
#include <cstddef>
#include <memory>
#include <new>
#include <opencv2/imgproc.hpp>

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

// Formats whose planes hold one byte per sample, chroma subsampled by whole pixels: a
// window of them is converted by moving each plane's start.
bool windowable(AVPixelFormat format) {
  switch (format) {
    case AV_PIX_FMT_YUV420P:
    case AV_PIX_FMT_YUV422P:
    case AV_PIX_FMT_YUV444P:
      return true;
    default:
      return false;
  }
}

// BGR of `window` of the frame (inside it), converted as OpenCV's reader converts the
// whole frame: the same flags and levels, each pixel from its own luma and the chroma
// sample it sits on, so a window whose corner is on a chroma sample converts to the
// same pixels as the frame does there.
cv::Mat picture_bgr(const AVFrame& f, const cv::Rect& window, cv::Mat& buffer) {
  bool full_range = false;
  const AVPixelFormat format = plain_format(static_cast<AVPixelFormat>(f.format), full_range);
  std::unique_ptr<SwsContext, ScalerDeleter> scaler(
      sws_getContext(window.width, window.height, format, window.width, window.height,
                     AV_PIX_FMT_BGR24, SWS_BICUBIC, nullptr, nullptr, nullptr));
  if (!scaler) throw ValueError("a decoded frame's pixel format cannot be converted to BGR");
  if (full_range) {
    const int* coefficients = sws_getCoefficients(SWS_CS_DEFAULT);
    sws_setColorspaceDetails(scaler.get(), coefficients, 1, coefficients, 0, 0, 1 << 16, 1 << 16);
  }
  const AVPixFmtDescriptor* desc = av_pix_fmt_desc_get(format);
  const std::uint8_t* src[4] = {f.data[0], f.data[1], f.data[2], f.data[3]};
  if (window.x != 0 || window.y != 0) {
    for (int p = 0; p < 3; ++p) {
      const int sx = p == 0 ? 0 : desc->log2_chroma_w, sy = p == 0 ? 0 : desc->log2_chroma_h;
      src[p] += static_cast<std::ptrdiff_t>(window.y >> sy) * f.linesize[p] + (window.x >> sx);
    }
  }
  // The converter writes whole vector widths past a row's end: rows get room for them.
  const int step = (window.width * 3 + 63) / 64 * 64 + 64;
  buffer.create(window.height + 1, step, CV_8U);
  std::uint8_t* dst[4] = {buffer.data, nullptr, nullptr, nullptr};
  const int dst_step[4] = {step, 0, 0, 0};
  sws_scale(scaler.get(), src, f.linesize, 0, window.height, dst, dst_step);
  return buffer(cv::Rect(0, 0, window.width * 3, window.height)).reshape(3);
}

// BGR of `region` of the frame. For planar byte formats only a window around the region
// is converted, crop first: from a column that is a multiple of 64 (the converter works
// in vector widths from a row's start and finishes the rest of a row apart, so the window
// keeps the frame's split between the two) to the frame's right edge, and from the row
// pair of the region's first row to that of its last. Other formats are converted whole.
cv::Mat region_bgr(const AVFrame& f, const cv::Rect& region, cv::Mat& buffer) {
  bool full_range = false;
  const AVPixelFormat format = plain_format(static_cast<AVPixelFormat>(f.format), full_range);
  if (!windowable(format)) return picture_bgr(f, {0, 0, f.width, f.height}, buffer)(region);
  const AVPixFmtDescriptor* desc = av_pix_fmt_desc_get(format);
  const int ay = 1 << desc->log2_chroma_h;
  const int x = region.x / 64 * 64, y = region.y / ay * ay;
  const int y_end = std::min(f.height, (region.y + region.height + ay - 1) / ay * ay);
  const cv::Rect window(x, y, f.width - x, y_end - y);
  return picture_bgr(f, window,
                     buffer)(cv::Rect(region.x - x, region.y - y, region.width, region.height));
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
  if (!frame.picture) return frame.bgr;
  cv::Mat buffer;
  return picture_bgr(*frame.picture, {0, 0, frame.picture->width, frame.picture->height}, buffer);
}

std::string frame_jpeg(const VideoFrame& frame, const cv::Rect& region, const cv::Size& resize_to,
                       cv::Mat& scratch) {
  if ((region & cv::Rect(cv::Point(), frame.size())) != region || region.empty())
    throw ValueError("the region to encode does not lie inside the frame");
  if (frame.picture && resize_to.empty()) {
    // 4:2:0 frames go to the encoder as they are: no conversion to BGR and back.
    const AVFrame& f = *frame.picture;
    bool full_range = false;
    if (plain_format(static_cast<AVPixelFormat>(f.format), full_range) == AV_PIX_FMT_YUV420P) {
      Yuv420Picture planes;
      for (int p = 0; p < 3; ++p) {
        planes.planes[p] = f.data[p];
        planes.strides[p] = f.linesize[p];
      }
      planes.width = f.width;
      planes.height = f.height;
      planes.full_range = full_range;
      return encode_jpeg_yuv420(planes, region);
    }
  }
  const cv::Mat image =
      frame.picture ? region_bgr(*frame.picture, region, scratch) : frame.bgr(region);
  if (resize_to.empty()) return encode_jpeg(image);
  cv::Mat resized;
  cv::resize(image, resized, resize_to, 0, 0, cv::INTER_AREA);
  return encode_jpeg(resized);
}

}  // namespace hm::video
