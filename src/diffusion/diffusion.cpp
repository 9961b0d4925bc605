#include "diffusion/diffusion.h"

#include <vector>

#include "diffusion/kernels.h"
#include "diffusion/level_quantisers.h"
#include "diffusion/passes.h"
#include "ordered/palette_pixels.h"
#include "search/color_search.h"

namespace grainel {

std::span<const DiffusionMethod> diffusion_methods() { return kernels::methods; }

KernelRows kernel_rows(const DiffusionMethod& method, float strength) {
    KernelRows rows{};
    for (const KernelTap& tap : method.taps) {
        float share = strength * (tap.weight / method.divisor);
        rows.forward[tap.dy][tap.dx + 2] = share;
        rows.mirrored[tap.dy][2 - tap.dx] = share;
        if (share != 0.0f) rows.active[tap.dy] = true;
    }
    return rows;
}

ErrorRows::ErrorRows(std::size_t width, std::size_t slot_floats)
    : storage(rows * (width + 8) * slot_floats), row_floats((width + 8) * slot_floats) {}

ErrorRows ErrorRows::for_levels(const Raster& image) {
    const std::size_t processed = image.channels - image.alpha.has_value();
    return ErrorRows(image.width, processed > 1 ? sizeof(Float4) / sizeof(float) : 1);
}

ErrorRows ErrorRows::for_palette(std::size_t width) {
    return ErrorRows(width, sizeof(Float4) / sizeof(float));
}

std::size_t ErrorRows::palette_row_floats(std::size_t width) {
    return (width + 8) * (sizeof(Float4) / sizeof(float));
}

void diffuse_levels(Raster& image, const Space& space, const Levels& levels,
                    const DiffusionMethod& method, float strength, bool serpentine,
                    ErrorRows& rows) {
    const KernelRows kernel = kernel_rows(method, strength);
    const LevelsDiffusionPass pass{{image, method, kernel, serpentine, rows}, space, levels};
    GRAINEL_DISPATCH(levels_diffusion_pixels)(pass);
}

void diffuse_palette(Raster& image, const Space& space, const Palette& palette,
                     const DiffusionMethod& method, float strength, bool serpentine,
                     ErrorRows& rows) {
    const KernelRows kernel = kernel_rows(method, strength);
    if (!kernel.active[0] && !kernel.active[1] && !kernel.active[2]) {
        // Nothing is spread: each pixel simply takes its nearest colour.
        nearest_palette(image, space, palette);
        return;
    }
    ColorSearch search(palette, image.height * image.width);
    std::vector<Float4> values(palette.values.size());
    for (std::size_t i = 0; i < values.size(); ++i)
        values[i] = Float4{palette.values[i][0], palette.values[i][1], palette.values[i][2], 0.0f};
    const PaletteDiffusionPass pass{{image, method, kernel, serpentine, rows},
                                    space.decode.data(), palette.colors.data(), values.data(),
                                    search};
    GRAINEL_DISPATCH(palette_diffusion_pixels)(pass);
}

}  // namespace grainel
