// The per-pixel amounts of dither_amounts, from the picture and its
// colours without dither: window sums over each pixel's neighbourhood,
// in loops the compiler vectorises. A vector kernel (isa.h); every set
// gives the same floats, as each sum is exact and each share one rounding.
#pragma once

#include <cstdint>

#include "isa.h"
#include "raster.h"

namespace grainel {

// `nearest` holds the picture's pixels, laid out as in `image`, each with
// its nearest colour; `amounts` gets one amount per pixel, row by row.
template <Isa>
void amounts_from_windows(const Raster& image, const std::uint8_t* nearest, float strength,
                          float* amounts);

}  // namespace grainel
