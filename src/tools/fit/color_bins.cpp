#include "tools/fit/color_bins.h"

#include <array>

namespace grainel {

ColorBins color_bins(const ColorHistogram& histogram, int bits) {
    const int shift = 8 - bits;
    constexpr std::uint32_t none = 0xffffffff;
    std::vector<std::uint32_t> index(std::size_t{1} << (3 * bits), none);
    ColorBins out{{}, std::vector<std::uint32_t>(histogram.colors.size())};
    ColorHistogram& bins = out.bins;
    std::vector<std::array<double, 3>> sums;
    for (std::size_t i = 0; i < histogram.colors.size(); ++i) {
        const Rgb& c = histogram.colors[i];
        const std::size_t key = (std::size_t{c[0]} >> shift << (2 * bits)) |
                                (std::size_t{c[1]} >> shift << bits) | (std::size_t{c[2]} >> shift);
        if (index[key] == none) {
            index[key] = static_cast<std::uint32_t>(bins.colors.size());
            bins.colors.push_back(c);
            bins.weights.push_back(0.0);
            sums.push_back({});
        }
        const std::uint32_t j = index[key];
        const double w = histogram.weights[i];
        out.bin_of[i] = j;
        bins.weights[j] += w;
        for (int k = 0; k < 3; ++k) sums[j][k] += w * histogram.labs[i][k];
    }
    for (std::size_t j = 0; j < sums.size(); ++j) {
        const double w = bins.weights[j];
        bins.labs.push_back(Lab{static_cast<float>(sums[j][0] / w), static_cast<float>(sums[j][1] / w),
                                 static_cast<float>(sums[j][2] / w)});
    }
    return out;
}

}  // namespace grainel
