// libjpeg reports a fault through a handler that must not return, and its own ends the
// process. This one keeps libjpeg's message and jumps back to where the caller's setjmp
// stands; nothing with a destructor may live between the two.
#pragma once

#include <csetjmp>

// clang-format off
#include <cstdio>  // jpeglib.h needs FILE and size_t declared before it
#include <jpeglib.h>
// clang-format on

namespace hm::video {

struct JpegErrors {
  jpeg_error_mgr base;
  std::jmp_buf jump;
  char message[JMSG_LENGTH_MAX];
};

// Formats the message into the JpegErrors that is `cinfo`'s error manager and jumps.
[[noreturn]] void jump_on_jpeg_error(j_common_ptr cinfo);

// Makes `errors` the handler of a libjpeg object: `cinfo.err = use_jpeg_errors(errors)`.
jpeg_error_mgr* use_jpeg_errors(JpegErrors& errors);

}  // namespace hm::video
