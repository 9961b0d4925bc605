#include "tools/remap/remap_plan.h"

#include <algorithm>

#include "tools/color/color_spaces.h"

namespace grainel {
namespace {

const ColorSearch::Bounds all_codes{{0.0f, 0.0f, 0.0f, 0.0f}, {255.0f, 255.0f, 255.0f, 0.0f}};

std::size_t distinct(std::vector<Rgb> colors) {
    std::sort(colors.begin(), colors.end());
    return static_cast<std::size_t>(std::unique(colors.begin(), colors.end()) - colors.begin());
}

}  // namespace

RemapPlan::RemapPlan(const std::vector<Rgb>& colors)
    : coded_(colors, Space(false)), values_(colors.size()), distinct_colors_(distinct(colors)) {
    const auto& linear = linear_of_byte();
    for (std::size_t i = 0; i < colors.size(); ++i)
        values_[i] = Float4{linear[colors[i][0]], linear[colors[i][1]], linear[colors[i][2]], 0.0f};
}

ColorSearch& RemapPlan::search_for(std::size_t pixels) const {
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
    // Every search gives the same answers; each kind of picture gets the
    // one that answers it soonest.
    const std::size_t kind = !ColorSearch::grid_pays(distinct_colors_, pixels) ? 0
                             : pixels >= std::size_t{1} << 22                   ? 3
                             : pixels >= std::size_t{1} << 20                   ? 2
                                                                                : 1;
    static constexpr int cells_per_spacing[kinds] = {2, 2, 4, 6};
    std::call_once(made_[kind], [&] {
        searches_[kind] = std::make_unique<ColorSearch>(coded_, pixels, &all_codes, cells_per_spacing[kind]);
    });
    return *searches_[kind];
}

}  // namespace grainel
