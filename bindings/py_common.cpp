#include "py_common.hpp"

#include <nanobind/stl/string.h>

#include <algorithm>
#include <memory>
#include <opencv2/core.hpp>
#include <optional>

#include "common/errors.hpp"
#include "common/sizes.hpp"

namespace hm::py {

using namespace nb::literals;

namespace {

std::string shape_text(const std::vector<std::int64_t>& shape) {
  std::string s = "(";
  for (size_t i = 0; i < shape.size(); ++i) {
    if (i) s += ", ";
    s += std::to_string(shape[i]);
  }
  if (shape.size() == 1) s += ",";
  return s + ")";
}

nb::module_ numpy() { return nb::module_::import_("numpy"); }

// json.JSONDecodeError, whose position counts characters of the decoded text.
void set_json_decode_error(const hm::JsonDecodeError& e) {
  try {
    const std::string& text = e.text;
    const size_t offset = std::min(e.offset, text.size());
    nb::object doc = nb::steal(PyUnicode_DecodeUTF8(text.data(), text.size(), "replace"));
    nb::object head = nb::steal(PyUnicode_DecodeUTF8(text.data(), offset, "replace"));
    if (!doc || !head) throw nb::python_error();
    nb::object type = nb::module_::import_("json").attr("JSONDecodeError");
    nb::object error = type(e.what(), doc, PyUnicode_GetLength(head.ptr()));
    PyErr_SetObject(type.ptr(), error.ptr());
  } catch (const nb::python_error&) {
    PyErr_SetString(PyExc_ValueError, e.what());
  }
}

}  // namespace

namespace {

// The element a dtype of `kind` and `itemsize` is read as in place, or nothing.
std::optional<Element> element_read(char kind, std::int64_t itemsize, MaskReading reading) {
  if (itemsize == 1 && (kind == 'b' || kind == 'u')) return Element::bytes;
  // A signed byte is a byte to the non-zero test and to a cast, not to a sign test.
  if (itemsize == 1 && kind == 'i' && reading != MaskReading::positive) return Element::bytes;
  if (kind == 'f' && reading != MaskReading::bytes_only) {
    if (itemsize == 4) return Element::f32;
    if (itemsize == 8) return Element::f64;
  }
  return std::nullopt;
}

// The one NumPy conversion of a mask not read in place, keeping what `reading` tests.
nb::object converted(nb::module_& np, nb::object arr, char kind, MaskReading reading) {
  if (reading == MaskReading::byte_value)
    return np.attr("ascontiguousarray")(arr.attr("astype")("uint8"));
  if (reading == MaskReading::positive && kind != 'b') {
    if (kind == 'i' || kind == 'u' || kind == 'f')
      return np.attr("ascontiguousarray")(arr, "dtype"_a = "float64");
    return np.attr("ascontiguousarray")(np.attr("greater")(arr, 0), "dtype"_a = "bool");
  }
  return np.attr("ascontiguousarray")(np.attr("not_equal")(arr, 0), "dtype"_a = "bool");
}

}  // namespace

MaskArg mask_arg(nb::handle obj, const char* what, MaskReading reading) {
  nb::module_ np = numpy();
  nb::object arr = np.attr("asarray")(obj);
  nb::object dtype = arr.attr("dtype");
  const std::string kind_text = nb::cast<std::string>(dtype.attr("kind"));
  const char kind = kind_text.empty() ? '?' : kind_text[0];
  const auto itemsize = nb::cast<std::int64_t>(dtype.attr("itemsize"));
  std::optional<Element> element = element_read(kind, itemsize, reading);

  MaskArg out;
  nb::tuple shape_t = nb::cast<nb::tuple>(arr.attr("shape"));
  for (auto d : shape_t) out.shape.push_back(nb::cast<std::int64_t>(d));
  const size_t ndim = out.shape.size();
  if (ndim < 2)
    throw ValueError(std::string(what) + ": a mask must be two-dimensional, got shape " +
                     shape_text(out.shape));
  for (size_t i = 0; i + 2 < ndim; ++i)
    if (out.shape[i] != 1)
      throw ValueError(std::string(what) +
                       ": a mask must be two-dimensional after squeezing leading axes of length "
                       "1, got shape " +
                       shape_text(out.shape));

  nb::tuple strides = nb::cast<nb::tuple>(arr.attr("strides"));
  const auto address = [&arr] {
    nb::object iface = arr.attr("__array_interface__");
    return nb::cast<std::uintptr_t>(nb::cast<nb::tuple>(iface["data"])[0]);
  };
  const std::int64_t col_stride = nb::cast<std::int64_t>(strides[ndim - 1]);
  bool in_place = element && (col_stride == itemsize || out.shape[ndim - 1] <= 1);
  // Reals are read as such, which needs them aligned (rows too).
  if (in_place && *element != Element::bytes)
    in_place = address() % static_cast<std::uintptr_t>(itemsize) == 0 &&
               nb::cast<std::int64_t>(strides[ndim - 2]) % itemsize == 0;
  if (!in_place) {
    arr = converted(np, arr, kind, reading);
    strides = nb::cast<nb::tuple>(arr.attr("strides"));
    const auto new_kind = nb::cast<std::string>(arr.attr("dtype").attr("kind"));
    element = new_kind == "f" ? Element::f64 : Element::bytes;
  }
  out.view.element = *element;
  out.array = arr;
  out.view.rows = out.shape[ndim - 2];
  out.view.cols = out.shape[ndim - 1];
  out.view.row_stride = nb::cast<std::int64_t>(strides[ndim - 2]);
  out.view.data = reinterpret_cast<const std::uint8_t*>(address());
  return out;
}

namespace {

using AnyStack = nb::ndarray<nb::ro, nb::c_contig, nb::device::cpu>;

// The element of a stack read in place, or nothing.
std::optional<Element> stack_element(const AnyStack& a, MaskReading reading) {
  const nb::dlpack::dtype t = a.dtype();
  if (t.lanes != 1 || t.bits % 8 != 0) return std::nullopt;
  char kind = '?';
  switch (static_cast<nb::dlpack::dtype_code>(t.code)) {
    case nb::dlpack::dtype_code::Bool:
      kind = 'b';
      break;
    case nb::dlpack::dtype_code::UInt:
      kind = 'u';
      break;
    case nb::dlpack::dtype_code::Int:
      kind = 'i';
      break;
    case nb::dlpack::dtype_code::Float:
      kind = 'f';
      break;
    default:
      return std::nullopt;
  }
  const std::optional<Element> e = element_read(kind, t.bits / 8, reading);
  // Reals are read as such, which needs them aligned.
  if (e && *e != Element::bytes && reinterpret_cast<std::uintptr_t>(a.data()) % (t.bits / 8) != 0)
    return std::nullopt;
  return e;
}

}  // namespace

std::vector<MaskArg> mask_args(nb::handle sequence, const char* what, MaskReading reading) {
  std::vector<MaskArg> out;
  if (nb::isinstance<AnyStack>(sequence)) {
    const AnyStack a = nb::cast<AnyStack>(sequence);
    const std::optional<Element> element = stack_element(a, reading);
    bool planes = element && a.ndim() >= 3;
    for (size_t d = 1; planes && d + 2 < a.ndim(); ++d) planes = a.shape(d) == 1;
    if (planes) {
      const auto count = static_cast<std::int64_t>(a.shape(0));
      const auto rows = static_cast<std::int64_t>(a.shape(a.ndim() - 2));
      const auto cols = static_cast<std::int64_t>(a.shape(a.ndim() - 1));
      if (count == 0) return out;
      const std::size_t size = element_size(*element);
      const std::size_t plane = checked_bytes({rows, cols}, size, what);
      std::vector<std::int64_t> shape;
      for (size_t d = 1; d < a.ndim(); ++d) shape.push_back(static_cast<std::int64_t>(a.shape(d)));
      const auto* base = static_cast<const std::uint8_t*>(a.data());
      nb::object keep = nb::borrow(sequence);
      for (std::int64_t k = 0; k < count; ++k) {
        MaskView v{base + static_cast<std::size_t>(k) * plane, rows, cols,
                   static_cast<std::int64_t>(cols * static_cast<std::int64_t>(size)), *element};
        out.push_back({keep, v, shape});
      }
      return out;
    }
  }
  for (nb::handle item : sequence) out.push_back(mask_arg(item, what, reading));
  return out;
}

std::vector<MaskView> views_of(const std::vector<MaskArg>& args) {
  std::vector<MaskView> views;
  views.reserve(args.size());
  for (const auto& a : args) views.push_back(a.view);
  return views;
}

namespace {

// `holder` (a std::vector or ZeroBuffer) moves to the heap and is freed with the array.
template <typename T, typename Holder>
nb::object owned_array(Holder holder, std::vector<size_t> shape) {
  auto* heap = new Holder(std::move(holder));
  nb::capsule owner(heap, [](void* p) noexcept { delete static_cast<Holder*>(p); });
  nb::ndarray<nb::numpy, T> arr(reinterpret_cast<T*>(heap->data()), shape.size(), shape.data(),
                                owner);
  return nb::cast(arr);
}

}  // namespace

nb::object float64_array(std::vector<double> values, std::vector<size_t> shape) {
  return owned_array<double>(std::move(values), std::move(shape));
}

nb::object bool_array(std::vector<std::uint8_t> values, std::vector<size_t> shape) {
  // Stored as bytes of 0/1, viewed by NumPy as bool.
  return owned_array<bool>(std::move(values), std::move(shape));
}

nb::object uint8_array(std::vector<std::uint8_t> values, std::vector<size_t> shape) {
  return owned_array<std::uint8_t>(std::move(values), std::move(shape));
}

nb::object uint8_array(ZeroBuffer buffer, std::vector<size_t> shape) {
  return owned_array<std::uint8_t>(std::move(buffer), std::move(shape));
}

nb::object bool_array(ZeroBuffer buffer, std::vector<size_t> shape) {
  return owned_array<bool>(std::move(buffer), std::move(shape));
}

nb::object float32_array(std::vector<float> values, std::vector<size_t> shape) {
  return owned_array<float>(std::move(values), std::move(shape));
}

nb::object float32_array(std::unique_ptr<float[]> values, std::vector<size_t> shape) {
  struct Owned {
    std::unique_ptr<float[]> values;
    float* data() const { return values.get(); }
  };
  return owned_array<float>(Owned{std::move(values)}, std::move(shape));
}

nb::object int64_array(std::vector<std::int64_t> values) {
  const size_t n = values.size();
  return owned_array<std::int64_t>(std::move(values), {n});
}

nb::object int64_array(std::vector<std::int64_t> values, std::vector<size_t> shape) {
  return owned_array<std::int64_t>(std::move(values), std::move(shape));
}

nb::object box_array(const std::vector<TightBox>& boxes) {
  std::vector<std::int64_t> flat(4 * boxes.size(), 0);
  for (size_t k = 0; k < boxes.size(); ++k) {
    const TightBox& b = boxes[k];
    if (b.empty) continue;
    flat[4 * k] = b.x1;
    flat[4 * k + 1] = b.y1;
    flat[4 * k + 2] = b.x2;
    flat[4 * k + 3] = b.y2;
  }
  return int64_array(std::move(flat), {boxes.size(), 4});
}

nb::list int_list(const std::vector<std::int64_t>& values) {
  nb::list out;
  for (std::int64_t v : values) out.append(v);
  return out;
}

Printer python_printer() {
  return [](const std::string& line) {
    nb::gil_scoped_acquire gil;
    nb::object out = nb::module_::import_("sys").attr("stdout");
    out.attr("write")(line + "\n");
  };
}

void register_error_translation() {
  nb::register_exception_translator([](const std::exception_ptr& p, void*) {
    try {
      std::rethrow_exception(p);
    } catch (const hm::JsonDecodeError& e) {
      set_json_decode_error(e);
    } catch (const hm::ValueError& e) {
      PyErr_SetString(PyExc_ValueError, e.what());
    } catch (const hm::FileNotFound& e) {
      PyErr_SetString(PyExc_FileNotFoundError, e.what());
    } catch (const hm::IoError& e) {
      PyErr_SetString(PyExc_OSError, e.what());
    } catch (const hm::KeyError& e) {
      PyObject* key = PyUnicode_FromString(e.what());
      PyErr_SetObject(PyExc_KeyError, key);
      Py_XDECREF(key);
    } catch (const hm::TypeError& e) {
      PyErr_SetString(PyExc_TypeError, e.what());
    } catch (const hm::IndexError& e) {
      PyErr_SetString(PyExc_IndexError, e.what());
    } catch (const hm::ZeroDivision& e) {
      PyErr_SetString(PyExc_ZeroDivisionError, e.what());
    } catch (const cv::Exception& e) {
      PyErr_SetString(PyExc_ValueError, (std::string("OpenCV: ") + e.what()).c_str());
    } catch (const std::bad_alloc&) {
      PyErr_SetString(PyExc_MemoryError, "out of memory");
    }
  });
}

}  // namespace hm::py
