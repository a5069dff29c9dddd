#include "common/printer.hpp"

#include <iostream>

namespace hm {

Printer stdout_printer() {
  return [](const std::string& line) { std::cout << line << '\n'; };
}

}  // namespace hm
