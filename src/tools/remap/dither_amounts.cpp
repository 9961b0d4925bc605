#include "tools/remap/dither_amounts.h"

#include "ordered/palette_pixels.h"

namespace grainel {

DitherAmounts::DitherAmounts(const Raster& image, const Palette& palette, float strength)
    : nearest_(image.pixels, image.pixels + image.height * image.width * image.channels) {
    Raster quantised{nearest_.data(), image.height, image.width, image.channels, image.alpha};
    nearest_palette(quantised, Space(false), palette);
    rows_ = GRAINEL_DISPATCH(amount_rows)(image, nearest_.data(), strength);
}

}  // namespace grainel
