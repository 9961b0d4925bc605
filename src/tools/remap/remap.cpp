#include "tools/remap/remap.h"

#include <vector>

#include "search/color_search.h"
#include "tools/color/color_spaces.h"
#include "tools/remap/dither_amounts.h"
#include "tools/remap/remap_pixels.h"

namespace grainel {

void perceptual_remap(Raster& image, const std::vector<Rgb>& colors, const RemapOptions& options) {
    // Colours are compared as sRGB codes them: the raw byte space.
    const Palette coded(colors, Space(false));
    DitherAmounts amounts(image, coded, options.strength);
    const std::size_t queries = image.height * image.width;
    const ColorSearch::Bounds all_codes{{0.0f, 0.0f, 0.0f, 0.0f}, {255.0f, 255.0f, 255.0f, 0.0f}};
    // Held to the byte range, the queries keep close to the picture's own
    // colours and reach few cells: on a 2048 x 2048 photo with 256 colours
    // fitted to it, 1,500 of the default size, where 68% of the queries
    // meet lists too long to scan inline. Cells half as wide fill 8,000 and
    // leave 43% of the queries to long lists. The fills cost the same at
    // any size, so only from a million pixels do the shorter lists pay for
    // them (measured: 0.94 to 0.97 times the time at 1024 x 1024, even at
    // 512 x 512, up to 1.36 times at 128 x 128). From four million pixels
    // cells a sixth of the spacing wide pay again (callgrind, one 2048 x 2048
    // remap: 6% fewer instructions with 256 fitted colours, even with 64).
    const int cells_per_spacing = queries >= std::size_t{1} << 22   ? 6
                                  : queries >= std::size_t{1} << 20 ? 4
                                                                    : 2;
    ColorSearch search(coded, queries, &all_codes, cells_per_spacing);

    const auto& linear = linear_of_byte();
    std::vector<Float4> values(colors.size());
    for (std::size_t i = 0; i < colors.size(); ++i)
        values[i] = Float4{linear[colors[i][0]], linear[colors[i][1]], linear[colors[i][2]], 0.0f};
    // Every pixel passes on its own share of its error: the kernel itself
    // runs at full strength.
    const KernelRows kernel = kernel_rows(*options.method, 1.0f);
    ErrorRows rows = ErrorRows::for_palette(image.width);
    std::vector<float> scanned_amounts(ErrorRows::rows * image.width);
    const RemapPass pass{{image, *options.method, kernel, options.serpentine, rows}, colors,
                         values.data(), search, amounts, scanned_amounts.data()};
    GRAINEL_DISPATCH(remap_pixels)(pass);
}

}  // namespace grainel
