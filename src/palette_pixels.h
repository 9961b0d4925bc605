// The pixel loops that give each pixel its palette colour one by one:
// ordered and random dither to a palette, and plain quantisation to it.
// Each pixel's working value, shifted by its offset fraction times a
// per-channel scale, takes the nearest colour. The loops are vector
// kernels (isa.h): the candidates of a query are compared with the widest
// vectors the CPU has.
#pragma once

#include <cstddef>
#include <cstdint>

#include "color_search.h"
#include "isa.h"
#include "palette.h"
#include "raster.h"
#include "space.h"

namespace grainel {

// What the loops share. The search must have been given bounds that hold
// every query (threshold_palette.cpp works them out).
struct PalettePass {
    Raster& image;
    const Space& space;
    const Palette& palette;
    ColorSearch& search;
};

// Ordered dither: the shift of each cell of the tiled matrix, row-major,
// `width` per row.
template <Isa>
void ordered_palette_pixels(const PalettePass& pass, const ColorSearch::Floats4* shifts,
                            std::size_t width, std::size_t height);

// Random dither: the scale times each pixel's draw.
template <Isa>
void random_palette_pixels(const PalettePass& pass, ColorSearch::Floats4 scale,
                           std::uint64_t seed);

// Each pixel's first three channels become the palette colour nearest to
// their working value: quantisation without dither, as error diffusion
// does at strength 0.
void nearest_palette(Raster& image, const Space& space, const Palette& palette);

}  // namespace grainel
