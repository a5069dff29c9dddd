#include "video/jpeg_writer.hpp"

#include <jpeglib.h>

// After jpeglib.h, which it builds on.
#include <jerror.h>

#include <algorithm>
#include <csetjmp>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <exception>
#include <new>
#include <opencv2/imgcodecs.hpp>
#include <vector>

#include "common/errors.hpp"
#include "common/files.hpp"
#include "video/jpeg_errors.hpp"

namespace hm::video {

namespace {

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

// A region's rows as the raw-data encoder takes them, one band (16 luma rows, 8 of each
// chroma) at a time: luma as it is, chroma on the region's own 2 x 2 grid, both padded
// past the region's right and bottom edges by repeating the last column and row (what
// the encoder does to BGR input), and levels stretched to full range.
class Yuv420Bands {
 public:
  Yuv420Bands(const Yuv420Picture& picture, const cv::Rect& region, int luma_blocks,
              int chroma_blocks)
      : p_(picture), r_(region) {
    widths_[0] = luma_blocks * DCTSIZE;
    widths_[1] = widths_[2] = chroma_blocks * DCTSIZE;
    for (int c = 0; c < 3; ++c) {
      const int rows = c == 0 ? 2 * DCTSIZE : DCTSIZE;
      gathered_[c].create(rows, widths_[c], CV_8U);
      band_[c].create(rows, widths_[c], CV_8U);
      for (int y = 0; y < rows; ++y) rows_[c][y] = band_[c].ptr<unsigned char>(y);
    }
  }

  // The rows of the band starting at luma row `top` of the region.
  JSAMPARRAY* fill(int top) {
    for (int y = 0; y < 2 * DCTSIZE; ++y) {
      const int source = r_.y + std::min(top + y, r_.height - 1);
      const std::uint8_t* in =
          p_.planes[0] + static_cast<std::ptrdiff_t>(source) * p_.strides[0] + r_.x;
      std::uint8_t* out = gathered_[0].ptr<std::uint8_t>(y);
      std::memcpy(out, in, static_cast<size_t>(r_.width));
      std::fill(out + r_.width, out + widths_[0], out[r_.width - 1]);
    }
    for (int c = 1; c < 3; ++c)
      for (int y = 0; y < DCTSIZE; ++y) {
        // The chroma rows under the two luma rows this chroma row stands for.
        const int luma = top + 2 * y;
        const int a = (r_.y + std::min(luma, r_.height - 1)) >> 1;
        const int b = (r_.y + std::min(luma + 1, r_.height - 1)) >> 1;
        chroma_row(p_.planes[c] + static_cast<std::ptrdiff_t>(a) * p_.strides[c],
                   p_.planes[c] + static_cast<std::ptrdiff_t>(b) * p_.strides[c],
                   gathered_[c].ptr<std::uint8_t>(y));
      }
    if (p_.full_range) {
      for (int c = 0; c < 3; ++c) gathered_[c].copyTo(band_[c]);
    } else {
      // OpenCV's reader converts with FFmpeg's vector code, which truncates where the exact
      // conversion rounds: its luma is about one level darker (1.05 on average). The files
      // keep to the frames every earlier run was extracted as.
      gathered_[0].convertTo(band_[0], CV_8U, 255.0 / 219.0, -16.0 * 255.0 / 219.0 - 1.05);
      for (int c = 1; c < 3; ++c)
        gathered_[c].convertTo(band_[c], CV_8U, 255.0 / 224.0, 128.0 - 128.0 * 255.0 / 224.0);
    }
    for (int c = 0; c < 3; ++c) planes_[c] = rows_[c];
    return &planes_[0];
  }

 private:
  // One chroma row over the region's columns: each sample the mean of the samples under
  // its two luma columns in rows `a` and `b` (rounded as the encoder's own downsampling
  // rounds), which is the sample itself when the region starts on an even column and row.
  void chroma_row(const std::uint8_t* a, const std::uint8_t* b, std::uint8_t* out) const {
    const int last = r_.x + r_.width - 1;
    if (a == b && r_.x % 2 == 0) {
      const int n = (last >> 1) - (r_.x >> 1) + 1;
      std::memcpy(out, a + (r_.x >> 1), static_cast<size_t>(n));
      std::fill(out + n, out + widths_[1], out[n - 1]);
      return;
    }
    int bias = 1;
    for (int j = 0; j < widths_[1]; ++j, bias ^= 3) {
      const int left = std::min(r_.x + 2 * j, last) >> 1,
                right = std::min(r_.x + 2 * j + 1, last) >> 1;
      out[j] = static_cast<std::uint8_t>((a[left] + a[right] + b[left] + b[right] + bias) >> 2);
    }
  }

  const Yuv420Picture& p_;
  const cv::Rect r_;
  int widths_[3];
  cv::Mat gathered_[3], band_[3];
  JSAMPROW rows_[3][2 * DCTSIZE];
  JSAMPARRAY planes_[3];
};

// Compresses the BGR image, or the region whose rows `bands` gives. Plain C on purpose:
// nothing with a destructor may live across the setjmp, so the caller makes `bands`.
bool encode(const cv::Mat* bgr, const cv::Rect& region, Yuv420Bands* bands, std::string* out,
            char* why) {
  jpeg_compress_struct cinfo;
  JpegErrors err;
  StringDestination dest;
  cinfo.err = use_jpeg_errors(err);
  if (setjmp(err.jump)) {
    std::memcpy(why, err.message, JMSG_LENGTH_MAX);
    jpeg_destroy_compress(&cinfo);
    return false;
  }
  jpeg_create_compress(&cinfo);
  dest.base.init_destination = init_destination;
  dest.base.empty_output_buffer = empty_output_buffer;
  dest.base.term_destination = term_destination;
  dest.out = out;
  cinfo.dest = &dest.base;
  cinfo.image_width = static_cast<JDIMENSION>(bgr ? bgr->cols : region.width);
  cinfo.image_height = static_cast<JDIMENSION>(bgr ? bgr->rows : region.height);
  cinfo.input_components = 3;
  // YCbCr input defaults to 2 x 2 luma and 1 x 1 chroma sampling, as BGR input does.
  cinfo.in_color_space = bgr ? JCS_EXT_BGR : JCS_YCbCr;
  jpeg_set_defaults(&cinfo);
  jpeg_set_quality(&cinfo, 95, TRUE);
  cinfo.raw_data_in = bgr ? FALSE : TRUE;
  jpeg_start_compress(&cinfo, TRUE);
  if (bgr) {
    for (int y = 0; y < bgr->rows; ++y) {
      JSAMPROW row = const_cast<JSAMPROW>(bgr->ptr<unsigned char>(y));
      jpeg_write_scanlines(&cinfo, &row, 1);
    }
  }
  for (int top = 0; !bgr && top < region.height; top += 2 * DCTSIZE) {
    JSAMPARRAY* band = nullptr;
    try {
      band = bands->fill(top);
    } catch (const std::exception& e) {
      std::snprintf(why, JMSG_LENGTH_MAX, "%s", e.what());
      jpeg_destroy_compress(&cinfo);
      return false;
    }
    jpeg_write_raw_data(&cinfo, band, 2 * DCTSIZE);
  }
  jpeg_finish_compress(&cinfo);
  jpeg_destroy_compress(&cinfo);
  return true;
}

}  // namespace

std::string encode_jpeg_yuv420(const Yuv420Picture& picture, const cv::Rect& region) {
  if (region.empty() || (region & cv::Rect(0, 0, picture.width, picture.height)) != region)
    throw ValueError("the region to encode does not lie inside the picture");
  const int luma_blocks = (region.width + DCTSIZE - 1) / DCTSIZE;
  const int chroma_blocks = ((region.width + 1) / 2 + DCTSIZE - 1) / DCTSIZE;
  Yuv420Bands bands(picture, region, luma_blocks, chroma_blocks);
  std::string out;
  out.reserve(static_cast<size_t>(region.area()) / 2);
  char why[JMSG_LENGTH_MAX] = {};
  if (!encode(nullptr, region, &bands, &out, why))
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
  if (!encode(&image, {}, nullptr, &out, why))
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
