#include "dither_amounts.h"

#include "amount_windows.h"
#include "palette_pixels.h"

namespace grainel {

LargeVector<float> dither_amounts(const Raster& image, const Palette& palette, float strength) {
    const std::size_t pixels = image.height * image.width;
    // How far each pixel is from its nearest colour, without dither.
    LargeVector<std::uint8_t> nearest(image.pixels, image.pixels + pixels * image.channels);
    Raster quantised{nearest.data(), image.height, image.width, image.channels, image.alpha};
    nearest_palette(quantised, Space(false), palette);
    LargeVector<float> amounts(pixels);
    with_vector_isa([&]<Isa I>() { amounts_from_windows<I>(image, nearest.data(), strength, amounts.data()); });
    return amounts;
}

}  // namespace grainel
