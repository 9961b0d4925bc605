// Ordered dither by colour mixes: each pixel shows the colour of its mix
// (mix_plan.h) that the matrix's threshold at its position picks, so an
// area of one colour shows the mix in the matrix's pattern, and each pixel
// depends only on its own value and position.
#pragma once

#include <cstddef>
#include <cstdint>

#include "mix_plan.h"
#include "raster.h"

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

#if defined(__x86_64__)
// The same for AVX2 CPUs and plans with counted_chunks(), which mix_dither
// hands on to it by itself (mix_dither_avx2.cpp).
void mix_dither_counted_avx2(const std::uint8_t* source, Raster& image, const MixPlan& plan,
                             const MixMatrix& matrix);
#endif

}  // namespace grainel
