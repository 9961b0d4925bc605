#include "palette_diffusion.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <utility>

// Last but for the scan loops: everything below is compiled once per
// instruction set.
#include "isa_target.h"
#include "isa_vectors.h"
#include "listed_nearest.h"
#include "diffusion_scan.h"

namespace grainel {
namespace {

// Quantises a pixel's first three channels together to a palette colour.
// The colours' working values are held as vectors of four, the last lane
// zero like the error's, so the error is one vector subtraction.
struct PaletteQuantiser {
    using Cell = Float4;
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

template <>
void palette_diffusion_pixels<this_isa>(const PaletteDiffusionPass& pass) {
    diffusion_scan::scan_with(pass.scan, PaletteQuantiser{pass.decode, pass.colors, pass.values,
                                                          pass.search.lookup()});
}

}  // namespace grainel

#include "isa_target_end.h"
