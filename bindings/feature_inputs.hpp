// Frames and encoder inputs as the detect and review bindings pass them: the
// frame an RGB array read in place, the inputs one 1 x 3 x side x side float32
// array per mask, or None.
#pragma once

#include <nanobind/ndarray.h>

#include <memory>
#include <string>
#include <vector>

#include "common/errors.hpp"
#include "detect/image_features.hpp"
#include "py_common.hpp"

namespace hm::py {

using RgbArray = nb::ndarray<const std::uint8_t, nb::ndim<3>, nb::c_contig, nb::device::cpu>;

inline cv::Mat rgb_mat(const RgbArray& a) {
  if (a.shape(2) != 3)
    throw ValueError("expected an image of height x width x 3, got " + std::to_string(a.shape(2)) +
                     " channels");
  return cv::Mat(static_cast<int>(a.shape(0)), static_cast<int>(a.shape(1)), CV_8UC3,
                 const_cast<std::uint8_t*>(a.data()));
}

// Makes the inputs of `masks` (views, or masks already prepared) over `image`
// into fresh buffers, one per mask, kept in `outputs`. Runs without the GIL.
template <typename Masks>
std::vector<std::uint8_t> feature_inputs_of(const cv::Mat& image, const Masks& masks,
                                            std::vector<std::unique_ptr<float[]>>& outputs) {
  const size_t side = detect::kEncoderSide;
  std::vector<float*> out;
  for (size_t k = 0; k < masks.size(); ++k) {
    outputs.push_back(std::make_unique_for_overwrite<float[]>(3 * side * side));
    out.push_back(outputs.back().get());
  }
  return detect::feature_inputs_into(image, masks, detect::kEncoderSide, out);
}

// The list of arrays and Nones, taking over the buffers. Needs the GIL.
inline nb::list feature_input_list(const std::vector<std::uint8_t>& made,
                                   std::vector<std::unique_ptr<float[]>>& outputs) {
  const size_t side = detect::kEncoderSide;
  nb::list result;
  for (size_t k = 0; k < outputs.size(); ++k)
    result.append(made[k] ? float32_array(std::move(outputs[k]), {1, 3, side, side}) : nb::none());
  return result;
}

}  // namespace hm::py
