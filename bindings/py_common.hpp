// Helpers shared by the binding files: mask arguments, output arrays, printing
// through Python's sys.stdout and the mapping of core errors to Python exceptions.
#pragma once

#include <nanobind/nanobind.h>
#include <nanobind/ndarray.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "common/mask.hpp"
#include "common/printer.hpp"
#include "common/zero_buffer.hpp"

namespace hm::py {

namespace nb = nanobind;

// A mask argument: the array it was read from (kept alive), its 2-D view and
// the leading axes of length 1 that were squeezed away.
struct MaskArg {
  nb::object array;
  MaskView view;
  std::vector<std::int64_t> shape;  // full shape as given
};

// How a step reads its masks: what it takes for a set pixel, and so which
// element types it reads in place. Any other mask goes through one NumPy
// conversion that keeps what the rule looks at.
enum class MaskReading {
  // Non-zero is set; only byte masks (bool, uint8, int8) in place, for steps that
  // hand masks to OpenCV. Others are converted to bool.
  bytes_only,
  // Non-zero is set; byte masks and float32/float64 in place. Others to bool.
  non_zero,
  // Greater than 0 is set (a step may also count the non-zero elements); bool,
  // uint8 and float32/float64 in place. Other numbers are converted to float64,
  // which keeps both tests; anything else to bool by "greater than 0".
  positive,
  // The element cast to an unsigned byte is the pixel's weight; byte masks and
  // float32/float64 in place. Others are cast to uint8 by NumPy.
  byte_value,
};

// Reads any array-like as a mask without copying when its element is one the
// step reads in place and its columns are adjacent (reals also aligned); other
// dtypes, strides and object arrays go through one NumPy conversion. ValueError
// when the array is not 2-D after squeezing leading axes of length 1. `what`
// names the argument in errors.
MaskArg mask_arg(nb::handle obj, const char* what, MaskReading reading = MaskReading::bytes_only);
// Every item of a sequence read as mask_arg reads it. A C-contiguous stack
// (masks x 1 x ... x height x width) of an element read in place is taken as it
// is, one plane per mask, without visiting its items.
std::vector<MaskArg> mask_args(nb::handle sequence, const char* what,
                               MaskReading reading = MaskReading::bytes_only);
std::vector<MaskView> views_of(const std::vector<MaskArg>& args);

// A NumPy array that owns a copy of `values` with the given shape.
nb::object float64_array(std::vector<double> values, std::vector<size_t> shape);
nb::object bool_array(std::vector<std::uint8_t> values, std::vector<size_t> shape);
nb::object uint8_array(std::vector<std::uint8_t> values, std::vector<size_t> shape);
// A uint8 NumPy array that takes over `buffer` (its size must match the shape).
nb::object uint8_array(ZeroBuffer buffer, std::vector<size_t> shape);
nb::object bool_array(ZeroBuffer buffer, std::vector<size_t> shape);
nb::object float32_array(std::vector<float> values, std::vector<size_t> shape);
// A float32 NumPy array that takes over `values` (as many as the shape holds),
// for outputs written in full, which need no clearing first.
nb::object float32_array(std::unique_ptr<float[]> values, std::vector<size_t> shape);
// A 1-D int64 array of `values`, or one of the given shape.
nb::object int64_array(std::vector<std::int64_t> values);
nb::object int64_array(std::vector<std::int64_t> values, std::vector<size_t> shape);
// An n x 4 int64 array of inclusive boxes x1, y1, x2, y2; zeros for an empty box.
nb::object box_array(const std::vector<TightBox>& boxes);
// A list of Python ints.
nb::list int_list(const std::vector<std::int64_t>& values);

// A Printer that writes each line through sys.stdout, taking the GIL when needed,
// so lines interleave correctly with the caller's own prints.
Printer python_printer();

// Maps the core's error types onto Python's exception classes.
void register_error_translation();

}  // namespace hm::py
