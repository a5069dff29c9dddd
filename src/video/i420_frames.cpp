#include "video/i420_frames.hpp"

#include <jpeglib.h>

#include <cstdio>

// After jpeglib.h, which it builds on.
#include <jerror.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <csetjmp>
#include <cstring>
#include <memory>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <vector>

#include "common/files.hpp"

namespace hm::video {

namespace {

#if JPEG_LIB_VERSION >= 70
int dct_rows(const jpeg_component_info& c) { return c.DCT_v_scaled_size; }
int dct_cols(const jpeg_component_info& c) { return c.DCT_h_scaled_size; }
int min_dct_rows(const jpeg_decompress_struct& d) { return d.min_DCT_v_scaled_size; }
#else
int dct_rows(const jpeg_component_info& c) { return c.DCT_scaled_size; }
int dct_cols(const jpeg_component_info& c) { return c.DCT_scaled_size; }
int min_dct_rows(const jpeg_decompress_struct& d) { return d.min_DCT_scaled_size; }
#endif

struct Decoder {
  jpeg_decompress_struct cinfo{};
  jpeg_error_mgr err{};
  std::jmp_buf jump{};
  char message[JMSG_LENGTH_MAX] = {};
  bool created = false;

  Decoder() = default;
  Decoder(const Decoder&) = delete;
  Decoder& operator=(const Decoder&) = delete;
  ~Decoder() {
    if (created) jpeg_destroy_decompress(&cinfo);
  }
};

Decoder& decoder_of(j_common_ptr cinfo) {
  return *reinterpret_cast<Decoder*>(reinterpret_cast<char*>(cinfo) - offsetof(Decoder, cinfo));
}

// libjpeg's default handler ends the process; this one returns to the caller.
void on_error(j_common_ptr cinfo) {
  Decoder& d = decoder_of(cinfo);
  (*cinfo->err->format_message)(cinfo, d.message);
  std::longjmp(d.jump, 1);
}

// A warning is corrupt or missing data that libjpeg would paper over with grey:
// an error here, as the imaging library has it for a truncated file.
void on_message(j_common_ptr cinfo, int level) {
  if (level < 0) on_error(cinfo);
}

enum class Start { raw, other_colours, failed };

// Reads the header and starts decoding raw planes at the first eighth of the size
// no smaller than width x height. Plain C: nothing with a destructor may live
// across the setjmp.
Start start(Decoder& d, const std::string& bytes, std::int64_t width, std::int64_t height) {
  d.cinfo.err = jpeg_std_error(&d.err);
  d.err.error_exit = on_error;
  d.err.emit_message = on_message;
  if (setjmp(d.jump)) return Start::failed;
  jpeg_create_decompress(&d.cinfo);
  d.created = true;
  jpeg_mem_src(&d.cinfo, reinterpret_cast<const unsigned char*>(bytes.data()),
               static_cast<unsigned long>(bytes.size()));
  jpeg_read_header(&d.cinfo, TRUE);
  const bool ycc = d.cinfo.jpeg_color_space == JCS_YCbCr && d.cinfo.num_components == 3;
  const bool grey = d.cinfo.jpeg_color_space == JCS_GRAYSCALE && d.cinfo.num_components == 1;
  if (!ycc && !grey) return Start::other_colours;
  for (int c = 0; c < d.cinfo.num_components; ++c) {
    const jpeg_component_info& comp = d.cinfo.comp_info[c];
    if (d.cinfo.max_h_samp_factor % comp.h_samp_factor ||
        d.cinfo.max_v_samp_factor % comp.v_samp_factor)
      return Start::other_colours;
  }
  int num = 1;
  while (num < 8 && (static_cast<std::int64_t>(d.cinfo.image_width) * num < width * 8 ||
                     static_cast<std::int64_t>(d.cinfo.image_height) * num < height * 8))
    ++num;
  d.cinfo.scale_num = static_cast<unsigned>(num);
  d.cinfo.scale_denom = 8;
  d.cinfo.raw_data_out = TRUE;
  d.cinfo.out_color_space = d.cinfo.jpeg_color_space;
  jpeg_start_decompress(&d.cinfo);
  return Start::raw;
}

// Reads every iMCU row into the planes' row pointers and finishes. Plain C, as above.
bool read_rows(Decoder& d, JSAMPARRAY* planes, int max_rows) {
  if (setjmp(d.jump)) return false;
  std::array<JSAMPARRAY, 3> at{};
  while (d.cinfo.output_scanline < d.cinfo.output_height) {
    const int row = static_cast<int>(d.cinfo.output_scanline / d.cinfo.max_v_samp_factor /
                                     static_cast<unsigned>(min_dct_rows(d.cinfo)));
    for (int c = 0; c < d.cinfo.num_components; ++c)
      at[c] = planes[c] + row * d.cinfo.comp_info[c].v_samp_factor * dct_rows(d.cinfo.comp_info[c]);
    if (jpeg_read_raw_data(&d.cinfo, at.data(), static_cast<JDIMENSION>(max_rows)) == 0)
      ERREXIT(&d.cinfo, JERR_INPUT_EOF);
  }
  jpeg_finish_decompress(&d.cinfo);
  return true;
}

// Full-range (JFIF) planes to studio range: luma 0..255 to 16..235, differences
// 0..255 to 16..240 about 128.
constexpr double kLumaScale = 219.0 / 255.0, kLumaShift = 16.0;
constexpr double kChromaScale = 224.0 / 255.0, kChromaShift = 128.0 - 128.0 * kChromaScale;

// `src` (at its own size) into dst (dw x dh, rows packed), as scale * v + shift.
void fit_plane(const cv::Mat& src, std::uint8_t* dst, int dw, int dh, double scale, double shift) {
  cv::Mat sized = src;
  if (src.cols != dw || src.rows != dh) {
    const bool smaller = src.cols >= dw && src.rows >= dh;
    cv::resize(src, sized, cv::Size(dw, dh), 0, 0, smaller ? cv::INTER_AREA : cv::INTER_LINEAR);
  }
  cv::Mat out(dh, dw, CV_8UC1, dst);
  sized.convertTo(out, CV_8U, scale, shift);
}

void decode_other(const std::string& bytes, const std::string& path, const I420View& out) {
  cv::Mat bgr;
  try {
    bgr = cv::imdecode(
        cv::Mat(1, static_cast<int>(bytes.size()), CV_8UC1, const_cast<char*>(bytes.data())),
        cv::IMREAD_COLOR);
  } catch (const cv::Exception&) {
    bgr.release();
  }
  if (bgr.empty()) throw ValueError("cannot decode the image " + path);
  bgr_to_i420(bgr.data, bgr.rows, bgr.cols, static_cast<std::int64_t>(bgr.step[0]), out);
}

}  // namespace

void decode_jpeg_i420(const std::string& path, const I420View& out) {
  check_i420_size(out.width, out.height);
  const std::string bytes = read_file(path);
  if (bytes.size() > (std::size_t{1} << 31))
    throw ValueError("the image " + path + " is too large");
  Decoder d;
  const Start how = start(d, bytes, out.width, out.height);
  if (how == Start::failed)
    throw ValueError("cannot decode the JPEG image " + path + ": " + d.message);
  if (how == Start::other_colours) return decode_other(bytes, path, out);

  const jpeg_decompress_struct& ci = d.cinfo;
  const int n = ci.num_components;
  const int imcu_rows = static_cast<int>(ci.total_iMCU_rows);
  // Every byte the decoder reads back is written first: no clearing.
  std::array<std::unique_ptr<std::uint8_t[]>, 3> pixels;
  std::array<std::vector<JSAMPROW>, 3> rows;
  std::array<JSAMPARRAY, 3> planes{};
  // The components' sizes, taken before finishing frees what libjpeg keeps of them.
  std::array<int, 3> strides{}, widths{}, heights{};
  for (int c = 0; c < n; ++c) {
    const jpeg_component_info& comp = ci.comp_info[c];
    const int blocks = static_cast<int>(comp.width_in_blocks) + comp.h_samp_factor;
    strides[c] = blocks * dct_cols(comp);
    widths[c] = static_cast<int>(comp.downsampled_width);
    heights[c] = static_cast<int>(comp.downsampled_height);
    const int height = imcu_rows * comp.v_samp_factor * dct_rows(comp);
    pixels[c].reset(
        new std::uint8_t[static_cast<std::size_t>(strides[c]) * static_cast<std::size_t>(height)]);
    rows[c].resize(static_cast<std::size_t>(height));
    for (int r = 0; r < height; ++r)
      rows[c][r] = pixels[c].get() + static_cast<std::ptrdiff_t>(r) * strides[c];
    planes[c] = rows[c].data();
  }
  if (!read_rows(d, planes.data(), ci.max_v_samp_factor * min_dct_rows(ci)))
    throw ValueError("cannot decode the JPEG image " + path + ": " + d.message);

  const auto plane = [&](int c) {
    return cv::Mat(heights[c], widths[c], CV_8UC1, pixels[c].get(),
                   static_cast<std::size_t>(strides[c]));
  };
  const int w = static_cast<int>(out.width), h = static_cast<int>(out.height);
  fit_plane(plane(0), out.y(), w, h, kLumaScale, kLumaShift);
  if (n == 3) {
    fit_plane(plane(1), out.u(), w / 2, h / 2, kChromaScale, kChromaShift);
    fit_plane(plane(2), out.v(), w / 2, h / 2, kChromaScale, kChromaShift);
  } else {
    std::memset(out.u(), 128,
                static_cast<std::size_t>(w / 2) * static_cast<std::size_t>(h / 2) * 2);
  }
}

void bgr_to_i420(const std::uint8_t* bgr, std::int64_t rows, std::int64_t cols, std::int64_t step,
                 const I420View& out) {
  check_i420_size(out.width, out.height);
  if (rows <= 0 || cols <= 0 || rows > (1 << 24) || cols > (1 << 24) || step < 3 * cols)
    throw ValueError("a BGR frame of " + std::to_string(rows) + " x " + std::to_string(cols) +
                     " pixels cannot be converted");
  const cv::Mat src(static_cast<int>(rows), static_cast<int>(cols), CV_8UC3,
                    const_cast<std::uint8_t*>(bgr), static_cast<std::size_t>(step));
  cv::Mat sized = src;
  if (rows != out.height || cols != out.width) {
    const bool smaller = cols >= out.width && rows >= out.height;
    cv::resize(src, sized, cv::Size(static_cast<int>(out.width), static_cast<int>(out.height)), 0,
               0, smaller ? cv::INTER_AREA : cv::INTER_LINEAR);
  }
  cv::Mat planes(static_cast<int>(out.height * 3 / 2), static_cast<int>(out.width), CV_8UC1,
                 out.data);
  cv::cvtColor(sized, planes, cv::COLOR_BGR2YUV_I420);
  if (planes.data != out.data) throw ValueError("the frame could not be converted in place");
}

}  // namespace hm::video
