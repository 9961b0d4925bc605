// A fixed set of RGB colours to quantise to, with their working values.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "space/space.h"

namespace grainel {

using Rgb = std::array<std::uint8_t, 3>;

// The most colours a palette may hold, in the module and in its tools.
inline constexpr std::size_t most_colors = 4096;

struct Palette {
    Palette(std::vector<Rgb> colors, const Space& space);

    std::vector<Rgb> colors;                   // as given, duplicates kept
    std::vector<std::array<float, 3>> values;  // decoded working values
    // Per channel, the mean gap between the distinct working values: the
    // palette's counterpart of a level step, used to scale threshold noise.
    std::array<float, 3> spacing;
};

}  // namespace grainel
