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

#include "large_buffers.h"
#include "palette.h"
#include "raster.h"

namespace grainel {

// One amount per pixel, in [0, strength], row by row. `palette` holds the
// colours as sRGB bytes (a Palette over the raw byte space).
LargeVector<float> dither_amounts(const Raster& image, const Palette& palette, float strength);

}  // namespace grainel
