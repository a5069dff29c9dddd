#include "video/jpeg_writer.hpp"

#include <jpeglib.h>

#include <cerrno>
#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <opencv2/imgcodecs.hpp>
#include <vector>

#include "common/errors.hpp"

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

// Plain C on purpose: nothing with a destructor may live across the setjmp.
bool encode(const cv::Mat& image, std::FILE* file, char* why) {
  jpeg_compress_struct cinfo;
  ErrorManager err;
  cinfo.err = jpeg_std_error(&err.base);
  err.base.error_exit = on_error;
  err.message[0] = '\0';
  if (setjmp(err.jump)) {
    std::memcpy(why, err.message, JMSG_LENGTH_MAX);
    jpeg_destroy_compress(&cinfo);
    return false;
  }
  jpeg_create_compress(&cinfo);
  jpeg_stdio_dest(&cinfo, file);
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

void write_jpeg(const std::string& path, const cv::Mat& image) {
  if (image.type() != CV_8UC3 || image.empty()) {
    bool ok = false;
    std::string why;
    try {
      ok = cv::imwrite(path, image);
    } catch (const cv::Exception& e) {
      why = std::string(": ") + e.what();
    }
    if (!ok) throw IoError("could not write frame image " + path + why);
    return;
  }
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (!file) throw IoError("could not write frame image " + path + ": " + std::strerror(errno));
  // The encoder hands over 4 KiB at a time; one buffer the size of a typical frame
  // image turns hundreds of write calls per file into a few.
  // (glibc ignores the size unless it is also given the buffer.)
  thread_local std::vector<char> buffer(std::size_t{1} << 20);
  std::setvbuf(file, buffer.data(), _IOFBF, buffer.size());
  char why[JMSG_LENGTH_MAX] = {};
  const bool encoded = encode(image, file, why);
  const bool closed = std::fclose(file) == 0;
  if (!encoded || !closed) {
    const std::string reason = encoded ? std::strerror(errno) : why;
    // No truncated image stays behind under a name that looks complete.
    std::remove(path.c_str());
    throw IoError("could not write frame image " + path + ": " + reason);
  }
}

}  // namespace hm::video
