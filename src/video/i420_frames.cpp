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
#include "video/jpeg_errors.hpp"

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
  JpegErrors err{};
  bool created = false;

  Decoder() = default;
  Decoder(const Decoder&) = delete;
  Decoder& operator=(const Decoder&) = delete;
  ~Decoder() {
    if (created) jpeg_destroy_decompress(&cinfo);
  }
};

// A warning is corrupt or missing data that libjpeg would paper over with grey:
// an error here, as the imaging library has it for a truncated file.
void on_message(j_common_ptr cinfo, int level) {
  if (level < 0) jump_on_jpeg_error(cinfo);
}

enum class Start { raw, other_colours, too_large, failed };

// More pixels than any camera's frame, refused before anything the size of the
// image is allocated (the imaging library refuses such files too, as bombs).
constexpr std::uint64_t kMostPixels = std::uint64_t{1} << 27;

// Reads the header and starts decoding raw planes at the first eighth of the size
// no smaller than width x height. Plain C: nothing with a destructor may live
// across the setjmp.
Start start(Decoder& d, const std::string& bytes, std::int64_t width, std::int64_t height) {
  d.cinfo.err = use_jpeg_errors(d.err);
  d.err.base.emit_message = on_message;
  if (setjmp(d.err.jump)) return Start::failed;
  jpeg_create_decompress(&d.cinfo);
  d.created = true;
  jpeg_mem_src(&d.cinfo, reinterpret_cast<const unsigned char*>(bytes.data()),
               static_cast<unsigned long>(bytes.size()));
  jpeg_read_header(&d.cinfo, TRUE);
  if (std::uint64_t{d.cinfo.image_width} * d.cinfo.image_height > kMostPixels)
    return Start::too_large;
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

// Called with each iMCU row's number once it is in the band's rows: plain
// arithmetic that never throws, as it runs under the setjmp below.
using BandSink = void (*)(void* sink, int imcu_row);

// Reads every iMCU row and finishes: into the whole planes' row pointers, each row
// in its place, or with `sink` into the same band rows each time, handed on after
// each. Plain C, as above.
bool read_rows(Decoder& d, JSAMPARRAY* planes, int max_rows, BandSink sink, void* target) {
  if (setjmp(d.err.jump)) return false;
  std::array<JSAMPARRAY, 3> at{};
  while (d.cinfo.output_scanline < d.cinfo.output_height) {
    const int row = static_cast<int>(d.cinfo.output_scanline / d.cinfo.max_v_samp_factor /
                                     static_cast<unsigned>(min_dct_rows(d.cinfo)));
    for (int c = 0; c < d.cinfo.num_components; ++c)
      at[c] =
          planes[c] +
          (sink ? 0 : row * d.cinfo.comp_info[c].v_samp_factor * dct_rows(d.cinfo.comp_info[c]));
    if (jpeg_read_raw_data(&d.cinfo, at.data(), static_cast<JDIMENSION>(max_rows)) == 0)
      ERREXIT(&d.cinfo, JERR_INPUT_EOF);
    if (sink) sink(target, row);
  }
  jpeg_finish_decompress(&d.cinfo);
  return true;
}

// Full-range (JFIF) values to studio range in 16-bit fixed point, rounded as
// lround(16 + v * 219 / 255) and lround(128 + (v - 128) * 224 / 255) round them.
inline std::uint8_t studio_luma(std::uint32_t v) {
  return static_cast<std::uint8_t>((v * 56284u + 1081344u) >> 16);
}
inline std::uint8_t studio_chroma(std::uint32_t v) {
  return static_cast<std::uint8_t>((v * 57569u + 1052560u) >> 16);
}

// Decoded bands straight into the picture, while they are in cache: the planes at
// the picture's size, or the differences at the luma's size, halved each way here.
struct Bands {
  I420View out;
  int components = 0;
  std::array<const std::uint8_t*, 3> rows{};  // each component's band
  std::array<int, 3> strides{};
  int luma_rows = 0;    // luma rows a band holds
  int chroma_rows = 0;  // difference rows a band holds
  bool halve = false;   // the differences come at the luma's size

  static void take(void* self, int imcu_row) { static_cast<Bands*>(self)->convert(imcu_row); }

  void convert(int imcu_row) const {
    const std::int64_t w = out.width, h = out.height, cw = w / 2, ch = h / 2;
    const std::int64_t y0 = std::int64_t{imcu_row} * luma_rows;
    for (std::int64_t r = 0; r < luma_rows && y0 + r < h; ++r) {
      const std::uint8_t* in = rows[0] + r * strides[0];
      std::uint8_t* o = out.y() + (y0 + r) * w;
      for (std::int64_t x = 0; x < w; ++x) o[x] = studio_luma(in[x]);
    }
    if (components < 3) return;
    for (int c = 1; c < 3; ++c) {
      std::uint8_t* plane = c == 1 ? out.u() : out.v();
      if (!halve) {
        const std::int64_t c0 = std::int64_t{imcu_row} * chroma_rows;
        for (std::int64_t r = 0; r < chroma_rows && c0 + r < ch; ++r) {
          const std::uint8_t* in = rows[c] + r * strides[c];
          std::uint8_t* o = plane + (c0 + r) * cw;
          for (std::int64_t x = 0; x < cw; ++x) o[x] = studio_chroma(in[x]);
        }
        continue;
      }
      const std::int64_t c0 = std::int64_t{imcu_row} * chroma_rows / 2;
      for (std::int64_t r = 0; r < chroma_rows / 2 && c0 + r < ch; ++r) {
        const std::uint8_t* top = rows[c] + 2 * r * strides[c];
        const std::uint8_t* bottom = top + strides[c];
        std::uint8_t* o = plane + (c0 + r) * cw;
        for (std::int64_t x = 0; x < cw; ++x)
          o[x] = studio_chroma(
              (std::uint32_t{top[2 * x]} + top[2 * x + 1] + bottom[2 * x] + bottom[2 * x + 1] + 2) /
              4);
      }
    }
  }
};

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
  decode_jpeg_bytes_i420(read_file(path), path, out);
}

void decode_jpeg_bytes_i420(const std::string& bytes, const std::string& path,
                            const I420View& out) {
  check_i420_size(out.width, out.height);
  if (bytes.size() > (std::size_t{1} << 31))
    throw ValueError("the image " + path + " is too large");
  Decoder d;
  const Start how = start(d, bytes, out.width, out.height);
  if (how == Start::failed)
    throw ValueError("cannot decode the JPEG image " + path + ": " + d.err.message);
  if (how == Start::too_large)
    throw ValueError("the JPEG image " + path + " is " + std::to_string(d.cinfo.image_width) +
                     " x " + std::to_string(d.cinfo.image_height) +
                     " pixels, more than a frame can be");
  if (how == Start::other_colours) return decode_other(bytes, path, out);

  const jpeg_decompress_struct& ci = d.cinfo;
  const int n = ci.num_components;
  const int imcu_rows = static_cast<int>(ci.total_iMCU_rows);
  const int max_rows = ci.max_v_samp_factor * min_dct_rows(ci);
  const int w = static_cast<int>(out.width), h = static_cast<int>(out.height);

  // Most frames: 4:2:0 at an eighth of the size asked for, taken a band at a time.
  Bands bands{out, n};
  bool banded = true;
  for (int c = 0; c < n; ++c) {
    const jpeg_component_info& comp = ci.comp_info[c];
    const int rows = comp.v_samp_factor * dct_rows(comp);
    const int width = static_cast<int>(comp.downsampled_width);
    const int height = static_cast<int>(comp.downsampled_height);
    if (c == 0) {
      bands.luma_rows = rows;
      banded = width == w && height == h;
    } else {
      const bool halve = width == w && height == h && rows == bands.luma_rows && rows % 2 == 0;
      const bool half = width == w / 2 && height == h / 2 && 2 * rows == bands.luma_rows;
      // both differences alike, as one band geometry serves them
      banded = banded && (halve || half) &&
               (c == 1 || (halve == bands.halve && rows == bands.chroma_rows));
      bands.chroma_rows = rows;
      bands.halve = halve;
    }
  }
  if (banded) {
    std::array<std::unique_ptr<std::uint8_t[]>, 3> pixels;
    std::array<std::vector<JSAMPROW>, 3> rows;
    std::array<JSAMPARRAY, 3> planes{};
    for (int c = 0; c < n; ++c) {
      const jpeg_component_info& comp = ci.comp_info[c];
      bands.strides[c] =
          (static_cast<int>(comp.width_in_blocks) + comp.h_samp_factor) * dct_cols(comp);
      const int band = comp.v_samp_factor * dct_rows(comp);
      pixels[c].reset(new std::uint8_t[static_cast<std::size_t>(bands.strides[c]) *
                                       static_cast<std::size_t>(band)]);
      bands.rows[c] = pixels[c].get();
      for (int r = 0; r < band; ++r) rows[c].push_back(pixels[c].get() + r * bands.strides[c]);
      planes[c] = rows[c].data();
    }
    if (!read_rows(d, planes.data(), max_rows, &Bands::take, &bands))
      throw ValueError("cannot decode the JPEG image " + path + ": " + d.err.message);
    if (n == 1)
      std::memset(out.u(), 128,
                  static_cast<std::size_t>(w / 2) * static_cast<std::size_t>(h / 2) * 2);
    return;
  }

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
  if (!read_rows(d, planes.data(), max_rows, nullptr, nullptr))
    throw ValueError("cannot decode the JPEG image " + path + ": " + d.err.message);

  const auto plane = [&](int c) {
    return cv::Mat(heights[c], widths[c], CV_8UC1, pixels[c].get(),
                   static_cast<std::size_t>(strides[c]));
  };
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
