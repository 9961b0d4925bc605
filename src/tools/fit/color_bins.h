// A coarser histogram for a quick first fit: the colours merged into bins
// of fewer bits per channel, each bin at its colours' weighted mean (not
// at its corner, which is what costs coarse histograms their precision).
#pragma once

#include <cstdint>
#include <vector>

#include "tools/fit/color_histogram.h"

namespace grainel {

struct ColorBins {
    ColorHistogram bins;                 // colors: each bin's first colour
    std::vector<std::uint32_t> bin_of;  // each colour's bin
};

ColorBins color_bins(const ColorHistogram& histogram, int bits);

}  // namespace grainel
