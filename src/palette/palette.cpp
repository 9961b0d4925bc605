#include "palette/palette.h"

#include <algorithm>

namespace grainel {

Palette::Palette(std::vector<Rgb> colors_in, const Space& space)
    : colors(std::move(colors_in)), values(colors.size()) {
    for (std::size_t i = 0; i < colors.size(); ++i)
        for (int c = 0; c < 3; ++c) values[i][c] = space.decode[colors[i][c]];

    std::vector<float> channel(values.size());
    for (int c = 0; c < 3; ++c) {
        for (std::size_t i = 0; i < values.size(); ++i) channel[i] = values[i][c];
        std::sort(channel.begin(), channel.end());
        auto distinct = static_cast<std::size_t>(
            std::unique(channel.begin(), channel.end()) - channel.begin());
        spacing[c] = distinct > 1 ? (channel[distinct - 1] - channel[0]) /
                                        static_cast<float>(distinct - 1)
                                  : 0.0f;
    }
}

}  // namespace grainel
