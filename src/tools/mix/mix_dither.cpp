#include "tools/mix/mix_dither.h"

namespace grainel {

void mix_dither(const std::uint8_t* source, Raster& image, const MixPlan& plan, const MixMatrix& matrix) {
    if (image.width == 0) return;
    GRAINEL_DISPATCH(mix_dither_pixels)(source, image, plan, matrix);
}

}  // namespace grainel
