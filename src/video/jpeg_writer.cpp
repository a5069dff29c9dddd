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

// Plain C on purpose: nothing with a destructor may live across the setjmp.
bool encode(const cv::Mat& image, std::string* out, char* why) {
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
  jpeg_create_compress(&cinfo);
  dest.base.init_destination = init_destination;
  dest.base.empty_output_buffer = empty_output_buffer;
  dest.base.term_destination = term_destination;
  dest.out = out;
  cinfo.dest = &dest.base;
  cinfo.image_width = static_cast<JDIMENSION>(image.cols);
  cinfo.image_height = static_cast<JDIMENSION>(image.rows);
  cinfo.input_components = 3;
  cinfo.in_color_space = JCS_EXT_BGR;
  jpeg_set_defaults(&cinfo);
  jpeg_set_quality(&cinfo, 95, TRUE);
  jpeg_start_compress(&cinfo, TRUE);
  for (int y = 0; y < image.rows; ++y) {
    JSAMPROW row = const_cast<JSAMPROW>(image.ptr<unsigned char>(y));
    jpeg_write_scanlines(&cinfo, &row, 1);
  }
  jpeg_finish_compress(&cinfo);
  jpeg_destroy_compress(&cinfo);
  return true;
}

}  // namespace

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
  if (!encode(image, &out, why)) throw IoError(std::string("could not encode the image: ") + why);
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
