// Ordered dither by colour mixes: each pixel shows the colour of its mix
// (mix_plan.h) that the matrix's threshold at its position picks, so an
// area of one colour shows the mix in the matrix's pattern, and each pixel
// depends only on its own value and position.
#pragma once

#include <cstddef>
#include <cstdint>

#include "buffers/raster.h"
#include "simd/isa.h"
#include "tools/mix/mix_plan.h"

namespace grainel {

// Thresholds in units of 2^-24 (below 2^24), row-major, tiled from the
// image's top-left corner.
struct MixMatrix {
    const std::uint32_t* thresholds;
    std::size_t height;
    std::size_t width;
};

// Writes into `image` the dither of `source`, pixels of the same shape:
// the first three channels of every pixel; others pass through. `source`
// may be image.pixels, but must not overlap it otherwise.
void mix_dither(const std::uint8_t* source, Raster& image, const MixPlan& plan, const MixMatrix& matrix);

}  // namespace grainel

// Its pixel loop, a vector kernel (simd/isa.h), for an image at least one
// pixel wide.
GRAINEL_KERNEL(void mix_dither_pixels(const std::uint8_t* source, Raster& image, const MixPlan& plan,
                                      const MixMatrix& matrix))
