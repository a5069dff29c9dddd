// Mean dense optical-flow magnitude inside each mask over a five-frame step.
#pragma once

#include <opencv2/core/mat.hpp>
#include <optional>
#include <string>
#include <vector>

#include "common/mask.hpp"

namespace hm::pen {

// Per-pixel flow magnitude from `earlier` to `later`, both read as grayscale.
// FileNotFound for a missing file, ValueError for an unreadable image or frames
// of different sizes.
cv::Mat flow_magnitude(const std::string& earlier, const std::string& later);

// Mean of `magnitude` over the mask's set pixels; nullopt for an empty mask.
// ValueError when the mask's size differs from the magnitude image's.
std::optional<double> mean_in_mask(const cv::Mat& magnitude, const MaskView& mask);

// One score per mask, the flow computed once.
std::vector<std::optional<double>> motion_scores(const std::string& earlier,
                                                 const std::string& later,
                                                 const std::vector<MaskView>& masks);

}  // namespace hm::pen
