// The pixel loop of the perceptual remap (remap.h), a vector kernel
// (simd/isa.h): each pixel's step clamps, codes and compares in vectors, which
// the wider instruction sets do in fewer instructions. Every set gives the
// same bytes.
#pragma once

#include <vector>

#include "search/color_search.h"
#include "diffusion/diffusion.h"
#include "tools/remap/dither_amounts.h"
#include "tools/remap/wavefront.h"
#include "simd/isa.h"
#include "diffusion/level_quantisers.h"
#include "palette/palette.h"
#include "buffers/raster.h"

namespace grainel {

// The rows a wavefront band holds when the scan runs left to right: the
// rows scanned at once by one thread, each a few pixels behind the one
// above it (scan_loops.h). A serpentine scan's bands are single rows.
inline constexpr std::size_t wavefront_band_rows = ErrorRows::rows - 2;

// What the loop works with, set up by perceptual_remap and shared by its
// threads.
struct RemapPass {
    Raster& image;
    const DiffusionMethod& method;
    const KernelRows& kernel;
    bool serpentine;
    const std::vector<Rgb>& colors;
    const Float4* values;     // the colours in linear light
    ColorSearch& search;      // over the colours as sRGB codes them
    DitherAmounts& amounts;   // taken a band at a time, in turn
    Wavefront& rows;
};

}  // namespace grainel

// Remaps bands of rows as the wavefront hands them out, until none is
// left; run by every thread of the remap. `amounts` is room for a band's
// amounts.
GRAINEL_KERNEL(void remap_pixels(const RemapPass& pass, float* amounts))
