// The pixel loop of the perceptual remap (remap.h), a vector kernel
// (simd/isa.h): each pixel's step clamps, codes and compares in vectors, which
// the wider instruction sets do in fewer instructions. Every set gives the
// same bytes.
#pragma once

#include <vector>

#include "search/color_search.h"
#include "diffusion/diffusion.h"
#include "tools/remap/dither_amounts.h"
#include "simd/isa.h"
#include "diffusion/level_quantisers.h"
#include "palette/palette.h"
#include "buffers/raster.h"

namespace grainel {

// What the loop works with, set up by perceptual_remap.
struct RemapPass {
    ScanSetup scan;
    const std::vector<Rgb>& colors;
    const Float4* values;     // the colours in linear light
    ColorSearch& search;      // over the colours as sRGB codes them
    DitherAmounts& amounts;   // taken a few rows at a time...
    float* scanned_amounts;   // ...into room for ErrorRows::rows rows
};

}  // namespace grainel

GRAINEL_KERNEL(void remap_pixels(const RemapPass& pass))
