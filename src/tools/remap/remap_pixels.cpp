#include "tools/remap/remap_pixels.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <utility>

#include "diffusion/scan_loops.h"
#include "search/grid_lookup.h"
#include "simd/target.h"
#include "tools/color/color_spaces.h"

GRAINEL_TARGET_BEGIN
namespace {

// Quantises one pixel of a picture with Channels channels. Each pixel
// passes on its own amount of its error: the amounts of the rows being
// scanned are taken just before the scan reaches them.
template <std::size_t Channels>
struct RemapQuantiser {
    using Error = Float4;
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
        const std::size_t best = nearest_inside(search, (*encode)(v));
        for (int c = 0; c < 3; ++c) pixel[c] = colors[best][c];
        const auto at = static_cast<std::size_t>(pixel - origin) / Channels;
        return (v - values[best]) * amounts[at];
    }
};

}  // namespace

void remap_pixels(const RemapPass& pass) {
    const auto& linear = linear_of_byte();
    const SrgbEncoder encode;
    Raster& image = pass.scan.image;
    auto run = [&]<std::size_t Channels>() {
        scan_with(pass.scan, RemapQuantiser<Channels>{linear.data(), &encode, pass.colors.data(),
                                                      pass.values, pass.search.lookup(), &pass.amounts,
                                                      image.pixels, image.width, pass.scanned_amounts,
                                                      image.pixels});
    };
    if (image.channels == 4)
        run.template operator()<4>();
    else
        run.template operator()<3>();
}

GRAINEL_TARGET_END
