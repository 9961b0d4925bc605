// The pixel loops of the two diffusion passes, vector kernels (simd/isa.h):
// the scan loops and the quantiser are compiled together for the CPU's
// widest instruction set, where a palette pass compares each pixel's
// candidates with the widest vectors and every pass spreads its error with
// the shorter instructions that set encodes. Every set gives the same bytes.
#pragma once

#include "diffusion/diffusion.h"
#include "diffusion/level_quantisers.h"
#include "palette/palette.h"
#include "search/color_search.h"
#include "simd/isa.h"
#include "space/space.h"

namespace grainel {

// Each processed channel on its own, set up by diffuse_levels.
struct LevelsDiffusionPass {
    ScanSetup scan;
    const Space& space;
    const Levels& levels;
};

// The first three channels together, set up by diffuse_palette.
struct PaletteDiffusionPass {
    ScanSetup scan;
    const float* decode;   // working value of each byte
    const Rgb* colors;
    const Float4* values;  // the colours' working values, lane 3 zero
    ColorSearch& search;
};

}  // namespace grainel

GRAINEL_KERNEL(void levels_diffusion_pixels(const LevelsDiffusionPass& pass))

GRAINEL_KERNEL(void palette_diffusion_pixels(const PaletteDiffusionPass& pass))
