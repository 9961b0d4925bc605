// Ordered and random dither to a palette, and plain quantisation to it:
// each pixel's offset fraction, scaled per channel by the palette's
// spacing, then the nearest colour (the loops are in palette_pixels.cpp).
#include "ordered/threshold_dither.h"

#include "ordered/palette_pixels.h"

#include <algorithm>
#include <vector>

namespace grainel {
namespace {

using Floats4 = ColorSearch::Floats4;

// Every query is the working value of some bytes plus the scale times an
// offset fraction in [-0.5, 0.5]. Each step of that sum rounds
// monotonically and the working values grow with the byte, so the queries
// lie between those of bytes 0 and 255 at the extreme fractions.
ColorSearch::Bounds query_bounds(const Space& space, Floats4 scale) {
    return {scale * -0.5f + space.decode[0], scale * 0.5f + space.decode[255]};
}

// `run(pass)` runs the pixel loop on the pass.
template <class Run>
void run_pass(Raster& image, const Space& space, const Palette& palette, Floats4 scale,
              Run run) {
    const ColorSearch::Bounds bounds = query_bounds(space, scale);
    ColorSearch search(palette, image.height * image.width, &bounds);
    run(PalettePass{image, space, palette, search});
}

Floats4 threshold_scale(const Palette& palette, float strength) {
    Floats4 scale = {};
    for (int c = 0; c < 3; ++c) scale[c] = strength * palette.spacing[c];
    return scale;
}

}  // namespace

void ordered_palette(Raster& image, const Space& space, const Palette& palette,
                     float strength, const ThresholdMatrix& matrix) {
    const Floats4 scale = threshold_scale(palette, strength);
    std::vector<Floats4> row(std::min(matrix.width, image.width));
    run_pass(image, space, palette, scale, [&](const PalettePass& pass) {
        GRAINEL_DISPATCH(ordered_palette_pixels)(pass, scale, matrix, row.data());
    });
}

void random_palette(Raster& image, const Space& space, const Palette& palette,
                    float strength, std::uint64_t seed) {
    const Floats4 scale = threshold_scale(palette, strength);
    run_pass(image, space, palette, scale, [&](const PalettePass& pass) {
        GRAINEL_DISPATCH(random_palette_pixels)(pass, scale, seed);
    });
}

// Ordered dither at strength 0: every offset is zero, and adding zero to a
// working value leaves it as it is.
void nearest_palette(Raster& image, const Space& space, const Palette& palette) {
    ordered_palette(image, space, palette, 0.0f, ThresholdMatrix{{0.5f}, 1, 1});
}

}  // namespace grainel
