// Error types of the core. Each maps onto one Python exception class in the
// bindings, so C++ callers and Python callers see the same distinctions.
#pragma once

#include <stdexcept>
#include <string>
#include <utility>

namespace hm {

// Bad shapes, dtypes or values (Python: ValueError).
struct ValueError : std::invalid_argument {
  using std::invalid_argument::invalid_argument;
};

// Text that is not valid JSON (Python: json.JSONDecodeError, itself a ValueError),
// with the text and the byte offset where parsing stopped.
struct JsonDecodeError : ValueError {
  JsonDecodeError(const std::string& message, std::string text, size_t offset)
      : ValueError(message), text(std::move(text)), offset(offset) {}
  std::string text;
  size_t offset;
};

// A file or folder that does not exist (Python: FileNotFoundError).
struct FileNotFound : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// Any other failure of the operating system while reading or writing (Python: OSError).
struct IoError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// A missing key in a map or JSON object (Python: KeyError).
struct KeyError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// A value of the wrong kind, e.g. a JSON string where a list is expected (Python: TypeError).
struct TypeError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// A position outside a sequence (Python: IndexError).
struct IndexError : std::out_of_range {
  using std::out_of_range::out_of_range;
};

// A division by zero that a step documents as its failure (Python: ZeroDivisionError).
struct ZeroDivision : std::domain_error {
  using std::domain_error::domain_error;
};

}  // namespace hm
