// Ordered and random dither to a palette: each pixel's offset fraction,
// scaled per channel by the palette's spacing, then the nearest colour.
#include "ordered.h"

#include "color_search.h"
#include "threshold_offsets.h"

namespace grainel {
namespace {

template <class Offsets>
void threshold_palette(Raster& image, const Space& space, const Palette& palette,
                       float strength, Offsets offsets) {
    using Floats4 = ColorSearch::Floats4;
    Floats4 scale = {};
    for (int c = 0; c < 3; ++c) scale[c] = strength * palette.spacing[c];
    ColorSearch search(palette, image.height * image.width);
    // Locals, so that the byte stores below cannot alias them.
    const ColorSearch::Lookup lookup = search.lookup();
    const float* decode = space.decode.data();
    const Rgb* colors = palette.colors.data();
    const std::size_t channels = image.channels;
    for (std::size_t y = 0; y < image.height; ++y) {
        offsets.start_row(y);
        std::uint8_t* pixel = image.pixels + y * image.width * channels;
        for (std::size_t x = 0; x < image.width; ++x, pixel += channels) {
            const float d = offsets.next();
            const Floats4 w = scale * d + Floats4{decode[pixel[0]], decode[pixel[1]], decode[pixel[2]], 0.0f};
            const Rgb& color = colors[lookup.nearest(w)];
            for (int c = 0; c < 3; ++c) pixel[c] = color[c];
        }
    }
}

}  // namespace

void ordered_palette(Raster& image, const Space& space, const Palette& palette,
                     float strength, const ThresholdMatrix& matrix) {
    threshold_palette(image, space, palette, strength, MatrixOffsets{matrix});
}

void random_palette(Raster& image, const Space& space, const Palette& palette,
                    float strength, std::uint64_t seed) {
    threshold_palette(image, space, palette, strength, RandomOffsets{NoiseStream(seed)});
}

}  // namespace grainel
