// A coarser histogram for a quick first fit: the colours merged into cells
// of fewer bits per channel, each cell at its colours' weighted mean (not
// at its corner, which is what costs coarse histograms their precision).
#pragma once

#include <cstdint>
#include <vector>

#include "tools/fit/color_histogram.h"

namespace grainel {

struct ColorCells {
    ColorHistogram cells;                 // colors: each cell's first colour
    std::vector<std::uint32_t> cell_of;  // each colour's cell
};

ColorCells color_cells(const ColorHistogram& histogram, int bits);

}  // namespace grainel
