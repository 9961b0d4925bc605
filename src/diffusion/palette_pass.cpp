#include "diffusion/passes.h"

#include <cstdint>

#include "diffusion/scan_loops.h"
#include "search/grid_lookup.h"
#include "simd/target.h"

GRAINEL_TARGET_BEGIN
namespace {

// Quantises a pixel's first three channels together to a palette colour.
// The colours' working values are held as vectors of four, the last lane
// zero like the error's, so the error is one vector subtraction.
struct PaletteQuantiser {
    using Error = Float4;
    const float* decode;
    const Rgb* colors;
    const Float4* values;
    ColorSearch::Lookup search;

    [[gnu::always_inline]] Float4 operator()(std::uint8_t* pixel, Float4 owed) const {
        const Float4 v = Float4{decode[pixel[0]], decode[pixel[1]], decode[pixel[2]], 0.0f} + owed;
        const std::size_t best = nearest_anywhere(search, v);
        for (int ch = 0; ch < 3; ++ch) pixel[ch] = colors[best][ch];
        return v - values[best];
    }
};

}  // namespace

void palette_diffusion_pixels(const PaletteDiffusionPass& pass) {
    scan_with(pass.scan, PaletteQuantiser{pass.decode, pass.colors, pass.values, pass.search.lookup()});
}

GRAINEL_TARGET_END
