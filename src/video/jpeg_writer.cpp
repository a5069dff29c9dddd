#include "video/jpeg_writer.hpp"

#include <jpeglib.h>

// After jpeglib.h, which it builds on.
#include <jerror.h>

#include <algorithm>
#include <csetjmp>
#include <cstring>
#include <exception>
#include <new>
#include <opencv2/imgcodecs.hpp>
#include <string>
#include <vector>

#include "common/errors.hpp"
#include "common/files.hpp"

namespace hm::video {

namespace {

struct ErrorManager {
  jpeg_error_mgr base;
  std::jmp_buf jump;
  char message[JMSG_LENGTH_MAX];
};

// libjpeg's default handler ends the process; this one returns to the encoder.
void on_error(j_common_ptr cinfo) {
  auto* err = reinterpret_cast<ErrorManager*>(cinfo->err);
  (*cinfo->err->format_message)(cinfo, err->message);
  std::longjmp(err->jump, 1);
}

// Compressed bytes go straight into a string that doubles as it fills. The string
// lives in the caller's frame, above the setjmp, so a jump never skips its destructor.
struct StringDestination {
  jpeg_destination_mgr base;
  std::string* out;
};

bool grow(j_compress_ptr cinfo, size_t used) {
  auto* dest = reinterpret_cast<StringDestination*>(cinfo->dest);
  try {
    dest->out->resize(std::max({dest->out->size() * 2, dest->out->capacity(), size_t{1} << 16}));
  } catch (const std::bad_alloc&) {
    return false;
  }
  dest->base.next_output_byte = reinterpret_cast<JOCTET*>(dest->out->data()) + used;
  dest->base.free_in_buffer = dest->out->size() - used;
  return true;
}

void init_destination(j_compress_ptr cinfo) {
  if (!grow(cinfo, 0)) ERREXIT1(cinfo, JERR_OUT_OF_MEMORY, 0);
}

boolean empty_output_buffer(j_compress_ptr cinfo) {
  // libjpeg calls this only with the whole buffer full.
  auto* dest = reinterpret_cast<StringDestination*>(cinfo->dest);
  if (!grow(cinfo, dest->out->size())) ERREXIT1(cinfo, JERR_OUT_OF_MEMORY, 0);
  return TRUE;
}

void term_destination(j_compress_ptr cinfo) {
  auto* dest = reinterpret_cast<StringDestination*>(cinfo->dest);
  dest->out->resize(dest->out->size() - dest->base.free_in_buffer);
}

// Starts a quality-95 compression of a width x height image into `out`, after the
// caller's setjmp (errors jump there).
void start_compress(jpeg_compress_struct& cinfo, StringDestination& dest, std::string* out,
                    int width, int height, J_COLOR_SPACE space, bool raw) {
  jpeg_create_compress(&cinfo);
  dest.base.init_destination = init_destination;
  dest.base.empty_output_buffer = empty_output_buffer;
  dest.base.term_destination = term_destination;
  dest.out = out;
  cinfo.dest = &dest.base;
  cinfo.image_width = static_cast<JDIMENSION>(width);
  cinfo.image_height = static_cast<JDIMENSION>(height);
  cinfo.input_components = 3;
  cinfo.in_color_space = space;
  // YCbCr with luma sampled 2 x 2 and chroma 1 x 1, whatever the input.
  jpeg_set_defaults(&cinfo);
  jpeg_set_quality(&cinfo, 95, TRUE);
  cinfo.raw_data_in = raw ? TRUE : FALSE;
  jpeg_start_compress(&cinfo, TRUE);
}

// The rows of one band of 16 luma rows and 8 chroma rows in the layout libjpeg takes
// raw data in, widened to whole 16 x 16 blocks; filled by the caller before each call.
struct RawBand {
  JSAMPROW luma[16];
  JSAMPROW chroma[2][8];
};

// Plain C on purpose: nothing with a destructor may live across the setjmp. BGR rows
// of `image`, or with `region` the bands `fill` writes.
bool encode(const cv::Mat* image, const Yuv420Region* region, RawBand* band,
            void (*fill)(const Yuv420Region&, int, RawBand*), std::string* out, char* why) {
  jpeg_compress_struct cinfo;
  ErrorManager err;
  StringDestination dest;
  cinfo.err = jpeg_std_error(&err.base);
  err.base.error_exit = on_error;
  err.message[0] = '\0';
  if (setjmp(err.jump)) {
    std::memcpy(why, err.message, JMSG_LENGTH_MAX);
    jpeg_destroy_compress(&cinfo);
    return false;
  }
  if (image) {
    start_compress(cinfo, dest, out, image->cols, image->rows, JCS_EXT_BGR, false);
    for (int y = 0; y < image->rows; ++y) {
      JSAMPROW row = const_cast<JSAMPROW>(image->ptr<unsigned char>(y));
      jpeg_write_scanlines(&cinfo, &row, 1);
    }
  } else {
    start_compress(cinfo, dest, out, region->width, region->height, JCS_YCbCr, true);
    JSAMPARRAY planes[3] = {band->luma, band->chroma[0], band->chroma[1]};
    for (int b = 0; b * 16 < region->height; ++b) {
      fill(*region, b, band);
      jpeg_write_raw_data(&cinfo, planes, 16);
    }
  }
  jpeg_finish_compress(&cinfo);
  jpeg_destroy_compress(&cinfo);
  return true;
}

// Rows and columns past the region's edge repeat its last ones, as libjpeg pads; each
// chroma sample is the rounded mean (libjpeg's alternating bias) of the chroma the
// region's 2 x 2 pixels take from the frame, which is one sample when x1 and y1 are even.
void fill_band(const Yuv420Region& r, int b, RawBand* band) {
  const YuvLevels& lv = r.levels;
  const int padded = (r.width + 15) / 16 * 16, width = r.width, x1 = r.x1;
  for (int i = 0; i < 16; ++i) {
    const int y = std::min(b * 16 + i, r.height - 1);
    const unsigned char* __restrict src = r.planes[0] + (r.y1 + y) * r.strides[0] + x1;
    const unsigned char* __restrict cb = r.planes[1] + ((r.y1 + y) / 2) * r.strides[1];
    const unsigned char* __restrict cr = r.planes[2] + ((r.y1 + y) / 2) * r.strides[2];
    unsigned char* __restrict dst = band->luma[i];
    for (int x = 0; x < width; ++x) {
      const int c = (x1 + x) / 2;
      const int level = lv.luma[src[x]] + lv.luma_shift[cb[c] * 256 + cr[c]];
      dst[x] = static_cast<unsigned char>(std::clamp(level, 0, 255));
    }
    std::fill(dst + width, dst + padded, dst[width - 1]);
  }
  const int half = padded / 2;
  for (int i = 0; i < 8; ++i) {
    const int ya = std::min(b * 16 + 2 * i, r.height - 1), yb = std::min(ya + 1, r.height - 1);
    const unsigned char* cb_a = r.planes[1] + ((r.y1 + ya) / 2) * r.strides[1];
    const unsigned char* cr_a = r.planes[2] + ((r.y1 + ya) / 2) * r.strides[2];
    const unsigned char* cb_b = r.planes[1] + ((r.y1 + yb) / 2) * r.strides[1];
    const unsigned char* cr_b = r.planes[2] + ((r.y1 + yb) / 2) * r.strides[2];
    for (int p = 0; p < 2; ++p) {
      const unsigned char* __restrict table = lv.chroma[p];
      unsigned char* __restrict dst = band->chroma[p][i];
      if (x1 % 2 == 0 && cb_a == cb_b) {
        const int samples = (width + 1) / 2;
        for (int x = 0; x < samples; ++x) {
          const int c = x1 / 2 + x;
          dst[x] = table[cb_a[c] * 256 + cr_a[c]];
        }
        std::fill(dst + samples, dst + half, dst[samples - 1]);
        continue;
      }
      for (int x = 0; x < half; ++x) {
        const int ca = (x1 + std::min(2 * x, width - 1)) / 2;
        const int cb = (x1 + std::min(2 * x + 1, width - 1)) / 2;
        const int sum = table[cb_a[ca] * 256 + cr_a[ca]] + table[cb_a[cb] * 256 + cr_a[cb]] +
                        table[cb_b[ca] * 256 + cr_b[ca]] + table[cb_b[cb] * 256 + cr_b[cb]];
        dst[x] = static_cast<unsigned char>((sum + 1 + (x & 1)) >> 2);
      }
    }
  }
}

}  // namespace

std::string encode_jpeg_yuv420(const Yuv420Region& region) {
  if (region.width <= 0 || region.height <= 0 || region.width > JPEG_MAX_DIMENSION ||
      region.height > JPEG_MAX_DIMENSION)
    throw IoError("could not encode the image: a region of " + std::to_string(region.width) +
                  " x " + std::to_string(region.height) + " pixels");
  const size_t padded = static_cast<size_t>(region.width + 15) / 16 * 16;
  std::vector<unsigned char> luma(padded * 16), chroma(padded * 8);
  RawBand band;
  for (int i = 0; i < 16; ++i) band.luma[i] = luma.data() + i * padded;
  for (int i = 0; i < 8; ++i) {
    band.chroma[0][i] = chroma.data() + i * (padded / 2);
    band.chroma[1][i] = chroma.data() + (8 + i) * (padded / 2);
  }
  std::string out;
  out.reserve(static_cast<size_t>(region.width) * static_cast<size_t>(region.height));
  char why[JMSG_LENGTH_MAX] = {};
  if (!encode(nullptr, &region, &band, fill_band, &out, why))
    throw IoError(std::string("could not encode the image: ") + why);
  return out;
}

std::string encode_jpeg(const cv::Mat& image) {
  if (image.type() != CV_8UC3 || image.empty()) {
    std::vector<uchar> bytes;
    std::string why;
    bool ok = false;
    try {
      ok = cv::imencode(".jpg", image, bytes);
    } catch (const cv::Exception& e) {
      why = std::string(": ") + e.what();
    }
    if (!ok) throw IoError("could not encode the image as JPEG" + why);
    return std::string(bytes.begin(), bytes.end());
  }
  // A start that most camera frames fit; the string doubles when one does not.
  std::string out;
  out.reserve(image.total() / 2);
  char why[JMSG_LENGTH_MAX] = {};
  if (!encode(&image, nullptr, nullptr, nullptr, &out, why))
    throw IoError(std::string("could not encode the image: ") + why);
  return out;
}

void write_image_file(const std::string& path, const std::string& bytes) {
  try {
    write_file_atomic(path, bytes);
  } catch (const std::exception& e) {
    throw IoError("could not write frame image " + path + ": " + e.what());
  }
}

}  // namespace hm::video
