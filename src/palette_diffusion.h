// The pixel loop of error diffusion to a palette, a vector kernel (isa.h):
// each pixel's candidates are compared with the widest vectors the CPU
// has, and its error spread with the shorter instructions that set
// encodes. Every set gives the same bytes.
#pragma once

#include "color_search.h"
#include "diffusion.h"
#include "isa.h"
#include "level_quantisers.h"
#include "palette.h"
#include "raster.h"

namespace grainel {

// What the loop works with, set up by diffuse_palette.
struct PaletteDiffusionPass {
    ScanSetup scan;
    const float* decode;   // working value of each byte
    const Rgb* colors;
    const Float4* values;  // the colours' working values, lane 3 zero
    ColorSearch& search;
};

template <Isa>
void palette_diffusion_pixels(const PaletteDiffusionPass& pass);

}  // namespace grainel
