#include "video/jpeg_errors.hpp"

#include <cstdio>

namespace hm::video {

void jump_on_jpeg_error(j_common_ptr cinfo) {
  auto* errors = reinterpret_cast<JpegErrors*>(cinfo->err);
  (*cinfo->err->format_message)(cinfo, errors->message);
  std::longjmp(errors->jump, 1);
}

jpeg_error_mgr* use_jpeg_errors(JpegErrors& errors) {
  jpeg_error_mgr* base = jpeg_std_error(&errors.base);
  errors.base.error_exit = jump_on_jpeg_error;
  errors.message[0] = '\0';
  return base;
}

}  // namespace hm::video
