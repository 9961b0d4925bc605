// How much of its error each pixel of a perceptual remap passes on.
//
// Grain is what a reduced picture shows where the original is smooth, and
// banding is what it shows where the palette is coarse around the colours
// of an area. So a pixel diffuses its full error where the palette is
// coarse around its neighbourhood's colours (the mean distance to the
// nearest colour is large, and without dither the area would take one flat
// colour), or where its neighbourhood is busy enough to hide grain; and
// less in smooth areas that the palette already renders closely.
#pragma once

#include <memory>

#include "tools/remap/window_sums.h"
#include "buffers/large_buffers.h"
#include "palette/palette.h"
#include "buffers/raster.h"

namespace grainel {

// The amounts, in [0, strength], a row at a time as the remap reaches it:
// kept whole they would be a picture-sized buffer more, written once and
// read back once. `palette` holds the colours as sRGB bytes (a Palette over
// the raw byte space). The picture's rows from the one whose amounts come
// next down must hold its own bytes (see AmountRows).
class DitherAmounts {
public:
    DitherAmounts(const Raster& image, const Palette& palette, float strength);
    // The next row's amounts, one per pixel, top to bottom.
    void next_row(float* amounts) { rows_->next(amounts); }

private:
    LargeVector<std::uint8_t> nearest_;  // each pixel's nearest colour, without dither
    std::unique_ptr<AmountRows> rows_;
};

}  // namespace grainel
