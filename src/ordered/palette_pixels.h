// The pixel loops that give each pixel its palette colour one by one:
// ordered and random dither to a palette, and plain quantisation to it.
// Each pixel's working value, shifted by its offset fraction times a
// per-channel scale, takes the nearest colour. The loops are vector
// kernels (simd/isa.h): the candidates of a query are compared with the
// widest vectors the CPU has.
#pragma once

#include <cstddef>
#include <cstdint>

#include "search/color_search.h"
#include "simd/isa.h"
#include "matrices/matrices.h"
#include "palette/palette.h"
#include "buffers/raster.h"
#include "space/space.h"

namespace grainel {

// What the loops share. The search must have been given bounds that hold
// every query (to_palette.cpp works them out).
struct PalettePass {
    Raster& image;
    const Space& space;
    const Palette& palette;
    ColorSearch& search;
};

// Each pixel's first three channels become the palette colour nearest to
// their working value: quantisation without dither, as error diffusion
// does at strength 0.
void nearest_palette(Raster& image, const Space& space, const Palette& palette);

}  // namespace grainel

// Ordered dither: the scale times each pixel's matrix threshold minus 0.5.
// `row` has room for as many columns as the image or the matrix has,
// whichever is fewer.
GRAINEL_KERNEL(void ordered_palette_pixels(const PalettePass& pass, ColorSearch::Floats4 scale,
                                           const ThresholdMatrix& matrix, ColorSearch::Floats4* row))

// Random dither: the scale times each pixel's draw.
GRAINEL_KERNEL(void random_palette_pixels(const PalettePass& pass, ColorSearch::Floats4 scale,
                                          std::uint64_t seed))
