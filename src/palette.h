// A fixed set of RGB colours to quantise to, with their working values.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <vector>

#include "space.h"

namespace grainel {

using Rgb = std::array<std::uint8_t, 3>;

struct Palette {
    Palette(std::vector<Rgb> colors, const Space& space);

    std::vector<Rgb> colors;                   // as given, duplicates kept
    std::vector<std::array<float, 3>> values;  // decoded working values
    // Per channel, the mean gap between the distinct working values: the
    // palette's counterpart of a level step, used to scale threshold noise.
    std::array<float, 3> spacing;

    // The colour nearest to working triple w by squared distance; the first
    // of equally near colours wins.
    std::size_t nearest(const float w[3]) const {
        std::size_t best = 0;
        float best_distance = std::numeric_limits<float>::infinity();
        for (std::size_t i = 0; i < values.size(); ++i) {
            float dr = w[0] - values[i][0];
            float dg = w[1] - values[i][1];
            float db = w[2] - values[i][2];
            float d = (dr * dr + dg * dg) + db * db;
            if (d < best_distance) {
                best = i;
                best_distance = d;
            }
        }
        return best;
    }
};

}  // namespace grainel
