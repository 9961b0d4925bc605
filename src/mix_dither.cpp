#include "mix_dither.h"

#include "isa.h"

namespace grainel {
namespace {

// `pick(tables, blend, q)`: the rank shown. Everything the loop reads is
// copied into locals first: the bytes it writes may alias anything, and
// locals stay in registers.
template <class Pick>
void dither_rows(const std::uint8_t* source, Raster& image, const MixPlan& plan, const MixMatrix& matrix,
                 Pick pick) {
    const Rgb* const shown = plan.ranked_colors().data();
    const MixPlan::Tables tables = plan.tables();
    const std::size_t height = image.height, width = image.width, channels = image.channels;
    const std::size_t tile_height = matrix.height, tile_width = matrix.width;
    const std::uint32_t* const thresholds = matrix.thresholds;
    std::uint8_t* const pixels = image.pixels;
    for (std::size_t y = 0; y < height; ++y) {
        const std::uint8_t* in = source + y * width * channels;
        std::uint8_t* pixel = pixels + y * width * channels;
        const std::uint32_t* row = thresholds + (y % tile_height) * tile_width;
        std::size_t column = 0;
        for (std::size_t x = 0; x < width; ++x, in += channels, pixel += channels) {
            const MixPlan::Along entries = tables.along_of(in);
            std::int32_t exact = -1;
            if (MixPlan::Tables::maybe_exact(entries)) [[unlikely]]
                exact = tables.find(in);
            std::uint32_t rank;
            if (exact >= 0) [[unlikely]]
                rank = static_cast<std::uint32_t>(exact);
            else
                rank = pick(tables, MixPlan::Tables::blend(entries), row[column]);
            if (++column == tile_width) column = 0;
            const Rgb& color = shown[rank];
            pixel[0] = color[0];
            pixel[1] = color[1];
            pixel[2] = color[2];
            if (channels == 4) pixel[3] = in[3];
        }
    }
}

}  // namespace

void mix_dither(const std::uint8_t* source, Raster& image, const MixPlan& plan, const MixMatrix& matrix) {
    if (image.width == 0) return;
#if defined(__x86_64__)
    if (plan.counted_chunks() && vector_isa() == Isa::avx2)
        return mix_dither_counted_avx2(source, image, plan, matrix);
#endif
    auto run = [&]<std::size_t Chunks>() {
        dither_rows(source, image, plan, matrix,
                    [](const MixPlan::Tables& tables, const MixPlan::Blend& blend, std::uint32_t q) {
                        return tables.pick_counted<Chunks>(blend, q);
                    });
    };
    switch (plan.counted_chunks()) {
    case 1: return run.template operator()<1>();
    case 2: return run.template operator()<2>();
    case 4: return run.template operator()<4>();
    default:
        dither_rows(source, image, plan, matrix,
                    [&](const MixPlan::Tables&, const MixPlan::Blend& blend, std::uint32_t q) {
                        return plan.pick(blend, q);
                    });
    }
}

}  // namespace grainel
