#include "tools/fit/palette_fit.h"

#include <algorithm>
#include <utility>

#include "tools/fit/color_bins.h"
#include "tools/color/color_spaces.h"
#include "tools/fit/extremes.h"
#include "tools/fit/kmeans.h"
#include "tools/fit/variance_split.h"

namespace grainel {
namespace {

// Above this many colours, the fit starts on bins of 7 bits per channel
// (a photo of 2048 x 2048 pixels has about half a million colours, and a
// third as many bins) and ends with a few k-means updates on every
// colour. Measured on photos, that fits as well as k-means on every
// colour throughout, in a third of the time; 6-bit bins fitted 256-colour
// palettes measurably worse.
constexpr std::size_t bins_above = 65536;
constexpr int bin_bits = 7;
// Colours farther than this in OKLab from every centre get one of their
// own (about five just-noticeable differences), for at most this many
// centres: more costs photos their fit at 16 colours.
constexpr double extreme_reach = 0.1;
constexpr std::size_t extreme_centres = 4;

Rgb bytes_of(const Centre& lab) {
    const auto linear = linear_of_oklab({static_cast<float>(lab[0]), static_cast<float>(lab[1]),
                                         static_cast<float>(lab[2])});
    return {byte_of_linear(linear[0]), byte_of_linear(linear[1]), byte_of_linear(linear[2])};
}

void add_once(std::vector<Rgb>& palette, const Rgb& color) {
    if (std::find(palette.begin(), palette.end(), color) == palette.end()) palette.push_back(color);
}

// Adds `count` centres to `centres` by variance splitting, then refines all
// but the first `fixed` with k-means and covers the extremes.
KMeansResult fit_centres(const ColorHistogram& points, std::vector<Centre>& centres, std::size_t fixed,
                         std::size_t count, std::size_t iterations, std::size_t threads) {
    Split split = variance_split(points.labs, points.weights, count);
    centres.insert(centres.end(), split.centres.begin(), split.centres.end());
    for (std::uint32_t& c : split.cluster_of) c += static_cast<std::uint32_t>(fixed);
    KMeansResult fit = weighted_kmeans(points.labs, points.weights, centres, fixed, std::move(split.cluster_of),
                                       iterations, threads);
    cover_extremes(points, centres, fixed, fit, extreme_reach, extreme_centres, iterations, threads);
    return fit;
}

}  // namespace

std::vector<Rgb> fit_palette(const ColorHistogram& histogram, const FitOptions& options) {
    std::vector<Rgb> palette;
    for (const Rgb& c : options.keep) add_once(palette, c);
    const std::size_t kept = palette.size();
    if (kept >= options.count) return palette;

    // Kept colours are centres that never move: the picture's colours near
    // them go to them, and the fitted centres settle around them.
    std::vector<Centre> centres;
    const auto& linear = linear_of_byte();
    for (const Rgb& c : palette) {
        const Lab lab = oklab_of_linear({linear[c[0]], linear[c[1]], linear[c[2]]});
        centres.push_back({lab[0], lab[1], lab[2]});
    }
    const std::size_t fitted = options.count - kept;
    if (histogram.colors.size() > bins_above) {
        const ColorBins bins = color_bins(histogram, bin_bits);
        const KMeansResult coarse =
            fit_centres(bins.bins, centres, kept, fitted, options.iterations, options.threads);
        std::vector<std::uint32_t> start(histogram.colors.size());
        for (std::size_t i = 0; i < start.size(); ++i) start[i] = coarse.nearest[bins.bin_of[i]];
        weighted_kmeans(histogram.labs, histogram.weights, centres, kept, std::move(start),
                        options.final_iterations, options.threads);
    } else {
        fit_centres(histogram, centres, kept, fitted, options.iterations, options.threads);
    }
    for (std::size_t j = kept; j < centres.size(); ++j) add_once(palette, bytes_of(centres[j]));
    return palette;
}

}  // namespace grainel
