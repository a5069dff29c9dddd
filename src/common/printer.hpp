// Where progress and problem lines go. The core never writes to C++'s stdout on
// its own: every operation that prints takes a Printer, and the Python bindings
// hand in one that writes through Python's sys.stdout.
#pragma once

#include <functional>
#include <string>

namespace hm {

// Receives one line, without its trailing newline.
using Printer = std::function<void(const std::string&)>;

}  // namespace hm
