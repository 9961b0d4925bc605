// How much each pixel counts when a palette is fitted. Quantisation error
// hides in busy areas and shows in smooth ones, so a pixel weighs
// 1 / (1 + a / a0), where a is the spread of OKLab colours in the 3 x 3
// window around it (the square root of the three channels' variances
// summed, edge pixels standing in for those beyond the picture). Partly
// transparent pixels weigh their alpha share of that, fully transparent
// ones nothing.
#pragma once

#include <cstdint>

#include "tools/fit/color_histogram.h"

namespace grainel {

// Adds each pixel's weight to weights[color_of[pixel]], pixels taken row by
// row; `labs` holds the OKLab of every colour the indices name.
void add_activity_weights(const Raster& image, const std::uint32_t* color_of, const Lab* labs,
                          double* weights);

}  // namespace grainel
