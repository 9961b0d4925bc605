#include "remap.h"

#include <algorithm>
#include <cstdint>
#include <vector>

#include "color_search.h"
#include "color_spaces.h"
#include "diffusion_scan.h"
#include "dither_amounts.h"
#include "level_quantisers.h"

namespace grainel {
namespace {

// Quantises one pixel of a picture with Channels channels. Each pixel
// passes on its own amount of its error: the amounts of the rows being
// scanned are taken just before the scan reaches them.
template <std::size_t Channels>
struct RemapQuantiser {
    using Cell = Float4;
    const float* linear;
    const SrgbEncoder* encode;
    const Rgb* colors;
    const Float4* values;  // the colours in linear light
    ColorSearch::Lookup search;
    DitherAmounts* source;
    std::uint8_t* pixels;  // the picture's first row
    std::size_t width;
    float* amounts;              // those of the rows being scanned
    const std::uint8_t* origin;  // the first of those rows

    void start_rows(std::size_t top, std::size_t count) {
        for (std::size_t k = 0; k < count; ++k) source->next_row(amounts + k * width);
        origin = pixels + top * width * Channels;
    }

    [[gnu::always_inline]] Float4 operator()(std::uint8_t* pixel, Float4 owed) const {
        Float4 v = Float4{linear[pixel[0]], linear[pixel[1]], linear[pixel[2]], 0.0f} + owed;
        v = v < 0.0f ? 0.0f : v;
        v = v > 1.0f ? 1.0f : v;
        const std::size_t best = search.nearest_inside((*encode)(v));
        for (int c = 0; c < 3; ++c) pixel[c] = colors[best][c];
        const auto at = static_cast<std::size_t>(pixel - origin) / Channels;
        return (v - values[best]) * amounts[at];
    }
};

}  // namespace

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
    const SrgbEncoder encode;
    std::vector<Float4> values(colors.size());
    for (std::size_t i = 0; i < colors.size(); ++i)
        values[i] = Float4{linear[colors[i][0]], linear[colors[i][1]], linear[colors[i][2]], 0.0f};
    // Every pixel passes on its own share of its error: the kernel itself
    // runs at full strength.
    const KernelRows kernel = kernel_rows(*options.method, 1.0f);
    ErrorRows rows = ErrorRows::for_palette(image.width);
    // Room for the amounts of as many rows as a scan takes at once.
    std::vector<float> scanned_amounts(ErrorRows::rows * image.width);
    auto run = [&]<std::size_t Channels>() {
        diffusion_scan::scan_with(*options.method, image, kernel, options.serpentine, rows,
                                  RemapQuantiser<Channels>{linear.data(), &encode, colors.data(),
                                                           values.data(), search.lookup(), &amounts,
                                                           image.pixels, image.width,
                                                           scanned_amounts.data(), image.pixels});
    };
    if (image.channels == 4)
        run.template operator()<4>();
    else
        run.template operator()<3>();
}

}  // namespace grainel
