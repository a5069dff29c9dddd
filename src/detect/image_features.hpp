// Image work behind the per-animal feature vectors: the dark-image enhancement
// and the fixed-size encoder input cut out around one mask.
#pragma once

#include <array>
#include <cstdint>
#include <opencv2/core/mat.hpp>
#include <optional>
#include <vector>

#include "common/mask.hpp"

namespace hm::detect {

// Side of the square encoder input.
inline constexpr int kEncoderSide = 256;
// Masks with fewer set pixels than this describe no animal.
inline constexpr std::int64_t kMinFeaturePixels = 10;
// Gamma used when brightening an animal's crop.
inline constexpr double kCropGamma = 10.0;

// For i = 0..255: (i / 255) ^ inv_gamma * 255 as a cast to bytes gives it
// (byte_value: cut toward zero; values that do not fit wrap or vanish).
std::array<std::uint8_t, 256> gamma_table(double inv_gamma);

// Gray (standard weighted conversion) of an 8-bit RGB image, mapped through the
// gamma table, then histogram-equalised. Returns an 8-bit single-channel image of
// the same size; an empty image gives an empty result.
cv::Mat enhance_dark_text(const cv::Mat& rgb, double inv_gamma);

// Resizes a single-channel float image with a triangle (bilinear) filter whose
// support widens with the reduction factor, so that shrinking averages every
// input pixel rather than sampling a few.
cv::Mat resize_bilinear(const cv::Mat& src, int out_cols, int out_rows);

// The encoder input for one mask over an 8-bit RGB frame of the same size:
// 3 x side x side reals in 0..1, channel-first, the three channels equal. The
// window spans the tight box of the mask's elements greater than 0 without its
// last row and column; inside it the enhanced gray crop shows where the mask is
// greater than 0 and the rest is black. None when the mask has fewer than
// `min_pixels` non-zero elements, or no window (none greater than 0, or all of
// those in one row or one column).
std::optional<std::vector<float>> feature_input(const cv::Mat& rgb, const MaskView& mask,
                                                int side = kEncoderSide,
                                                std::int64_t min_pixels = kMinFeaturePixels);

// The same written to `out` (3 x side x side reals); false, with nothing
// written, where feature_input gives none.
bool feature_input_into(const cv::Mat& rgb, const MaskView& mask, int side, std::int64_t min_pixels,
                        float* out);

// feature_input_into for several masks over one image, mask k into out[k], on a
// few threads: reading frame-sized masks is bound by memory bandwidth, which two
// readers share better than one. Every mask is checked before any work, so an
// error names the first bad mask. Returns one flag per mask (1 = written).
std::vector<std::uint8_t> feature_inputs_into(const cv::Mat& rgb,
                                              const std::vector<MaskView>& masks, int side,
                                              const std::vector<float*>& out,
                                              std::int64_t min_pixels = kMinFeaturePixels);
// The same for masks already prepared (read once for other measures too).
std::vector<std::uint8_t> feature_inputs_into(const cv::Mat& rgb,
                                              const std::vector<PreparedMask>& masks, int side,
                                              const std::vector<float*>& out,
                                              std::int64_t min_pixels = kMinFeaturePixels);

}  // namespace hm::detect
