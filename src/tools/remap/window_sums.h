// The per-pixel amounts of dither_amounts, from the picture and its
// colours without dither: window sums over each pixel's neighbourhood,
// in loops the compiler vectorises. A vector kernel (simd/isa.h); every
// set gives the same floats, as each sum is exact and each share one
// rounding.
#pragma once

#include <cstdint>
#include <memory>

#include "simd/isa.h"
#include "buffers/raster.h"

namespace grainel {

// A picture's amounts, one row at a time, top to bottom. A row's amounts
// read the picture's rows down to three below it, each once, the first
// time a row reaches that far: so a pass that rewrites the picture row by
// row may take a row's amounts just before it rewrites that row.
class AmountRows {
public:
    virtual ~AmountRows() = default;
    // Writes the next row's amounts, one per pixel.
    virtual void next(float* amounts) = 0;
};

}  // namespace grainel

// `nearest` holds the picture's pixels, laid out as in `image`, each with
// its nearest colour; both must outlive the rows.
GRAINEL_KERNEL(std::unique_ptr<AmountRows> amount_rows(const Raster& image, const std::uint8_t* nearest,
                                                       float strength))
