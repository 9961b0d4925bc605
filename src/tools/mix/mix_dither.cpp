#include "tools/mix/mix_dither.h"

namespace grainel {

void mix_dither(const std::uint8_t* source, Raster& image, const MixPlan& plan, const MixMatrix& matrix) {
    if (image.width == 0) return;
    with_vector_isa([&]<Isa I>() { mix_dither_pixels<I>(source, image, plan, matrix); });
}

}  // namespace grainel
