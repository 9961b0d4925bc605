// Plain quantisation of a large picture by blocks of byte triples: every
// pixel shifted alike gets the nearest colour to its bytes, and a picture of
// millions of pixels reaches few enough 16 x 16 x 16 blocks of the byte
// cube that finding the colour of every triple in each block it reaches
// costs less than one search per distinct triple it holds.
#pragma once

#include "isa.h"
#include "palette_pixels.h"

namespace grainel {

// Whether this pass is worth doing by blocks. Measured on two photos with
// 256 fitted colours: 1.5 times as fast at 2048 x 2048 and 1.1 to 1.5 at
// two million pixels; at one million, from 8% slower to a third faster; at
// a quarter million, two to three times as slow, as each block filled then
// serves few pixels. Its answers are bytes: at most 256 colours.
inline bool by_blocks_pays(const PalettePass& pass) {
    return pass.search.has_grid() && pass.palette.colors.size() <= 256 &&
           pass.image.height * pass.image.width >= std::size_t{1} << 21;
}

// The first three channels of each pixel become the palette colour nearest
// to its bytes' working values plus `shift`.
template <Isa>
void quantise_by_blocks(const PalettePass& pass, ColorSearch::Floats4 shift);

}  // namespace grainel
