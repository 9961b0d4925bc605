// Plain quantisation of a large picture through a cache over the byte
// cube: every pixel shifted alike gets the nearest colour to its bytes, and
// a picture of a quarter million pixels or more reaches few enough
// 16 x 16 x 16 blocks of the cube that finding the colour of every triple in
// each block it reaches costs less than one search per distinct triple it
// holds. Only ordered dither's one-position matrices (plain quantisation,
// strength 0) shift every pixel alike.
#pragma once

#include "ordered/palette_pixels.h"
#include "simd/target.h"

namespace grainel {

// Whether this pass is worth doing through the cache. Measured on two
// photos scaled down to each size, with 256 and 64 fitted colours: about
// twice as fast at a million pixels, 1.5 to 2 times at half a million, from
// even to 1.6 times at a quarter million; at an eighth of a million, 1.3 to
// 1.9 times as slow, as each block filled then serves few pixels. Its
// answers are bytes: at most 256 colours.
inline bool byte_cube_cache_pays(const PalettePass& pass) {
    return pass.search.has_grid() && pass.palette.colors.size() <= 256 &&
           pass.image.height * pass.image.width >= std::size_t{1} << 18;
}

}  // namespace grainel

GRAINEL_TARGET_BEGIN

// The first three channels of each pixel become the palette colour nearest
// to its bytes' working values plus `shift`.
void quantise_by_byte_cube(const PalettePass& pass, ColorSearch::Floats4 shift);

GRAINEL_TARGET_END
