// A palette fitted to a picture's colours: variance splitting for a start,
// then weighted k-means in OKLab, colours far from every centre given one
// (extremes.h), the centres rounded to sRGB bytes.
#pragma once

#include <cstddef>
#include <vector>

#include "tools/fit/color_histogram.h"

namespace grainel {

struct FitOptions {
    std::size_t count;             // the most colours the palette may have
    std::vector<Rgb> keep;         // colours it must hold as they are (no more than count)
    std::size_t iterations;        // the most k-means updates of a fit
    std::size_t final_iterations;  // the most on every colour after a fit on bins
    std::size_t threads;           // at least 1; the palette is the same for any number
};

// The kept colours (each once, in the order given), then the fitted ones;
// colours that round to the same bytes are given once, so the palette may
// be shorter than asked. `histogram` must not be empty.
std::vector<Rgb> fit_palette(const ColorHistogram& histogram, const FitOptions& options);

}  // namespace grainel
