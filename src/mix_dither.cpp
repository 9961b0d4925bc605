#include "mix_dither.h"

#include <vector>

namespace grainel {
namespace {

// `pick(tables, blend, q)`: the rank shown.
template <class Pick>
void dither_rows(Raster& image, const MixPlan& plan, const MixMatrix& matrix, Pick pick) {
    std::vector<Rgb> shown_by_rank(plan.order().size());
    for (std::size_t r = 0; r < shown_by_rank.size(); ++r)
        shown_by_rank[r] = plan.colors()[plan.order()[r]];
    const Rgb* shown = shown_by_rank.data();
    const MixPlan::Tables tables = plan.tables();
    const std::size_t channels = image.channels;
    for (std::size_t y = 0; y < image.height; ++y) {
        std::uint8_t* pixel = image.pixels + y * image.width * channels;
        const std::uint32_t* row = matrix.thresholds + (y % matrix.height) * matrix.width;
        std::size_t column = 0;
        for (std::size_t x = 0; x < image.width; ++x, pixel += channels) {
            const std::int32_t exact = tables.exact_rank(pixel);
            const Rgb& color =
                shown[exact >= 0 ? static_cast<std::uint32_t>(exact)
                                 : pick(tables, tables.blend(pixel), row[column])];
            if (++column == matrix.width) column = 0;
            pixel[0] = color[0];
            pixel[1] = color[1];
            pixel[2] = color[2];
        }
    }
}

}  // namespace

void mix_dither(Raster& image, const MixPlan& plan, const MixMatrix& matrix) {
    if (image.width == 0) return;
    auto run = [&]<std::size_t Chunks>() {
        dither_rows(image, plan, matrix,
                    [](const MixPlan::Tables& tables, const MixPlan::Blend& blend, std::uint32_t q) {
                        return tables.pick_counted<Chunks>(blend, q);
                    });
    };
    switch (plan.counted_chunks()) {
    case 1: return run.template operator()<1>();
    case 2: return run.template operator()<2>();
    case 4: return run.template operator()<4>();
    default:
        dither_rows(image, plan, matrix,
                    [&](const MixPlan::Tables&, const MixPlan::Blend& blend, std::uint32_t q) {
                        return plan.pick(blend, q);
                    });
    }
}

}  // namespace grainel
