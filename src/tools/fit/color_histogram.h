// The distinct colours of a picture, each with the summed weight of its
// pixels: what a palette is fitted to. Exact (every 24-bit colour its own
// entry): merging nearby colours before fitting measurably costs large
// palettes their finest steps.
#pragma once

#include <array>
#include <vector>

#include "palette/palette.h"
#include "buffers/raster.h"

namespace grainel {

using Lab = std::array<float, 3>;

struct ColorHistogram {
    std::vector<Rgb> colors;  // in the order they first appear in the picture
    std::vector<Lab> labs;    // their OKLab coordinates
    std::vector<double> weights;
};

// The colours of the picture's pixels that are not fully transparent,
// weighted by activity_weights.h's rule.
ColorHistogram color_histogram(const Raster& image);

}  // namespace grainel
