#include "tools/fit/extremes.h"

#include <algorithm>
#include <cmath>
#include <utility>

namespace grainel {
namespace {

double squared_distance(const Centre& a, const Centre& b) {
    const double d0 = a[0] - b[0], d1 = a[1] - b[1], d2 = a[2] - b[2];
    return d0 * d0 + d1 * d1 + d2 * d2;
}

Centre centre_of(const Lab& p) { return {p[0], p[1], p[2]}; }

// The point farthest from its centre (the first of equals), and the
// square of that distance.
std::pair<std::size_t, double> farthest_point(const std::vector<Lab>& points, const std::vector<Centre>& centres,
                                              const KMeansResult& fit) {
    std::size_t far = 0;
    double farthest = -1.0;
    for (std::size_t i = 0; i < points.size(); ++i) {
        const double d = squared_distance(centre_of(points[i]), centres[fit.nearest[i]]);
        if (d > farthest) farthest = d, far = i;
    }
    return {far, farthest};
}

// The centre whose loss costs least, of those from `first` on that were
// not placed: merging cluster j into cluster m adds
// W_j W_m / (W_j + W_m) |c_j - c_m|^2 to the weighted error, and a centre
// that lost all its points costs nothing.
std::size_t cheapest_centre(const ColorHistogram& histogram, const std::vector<Centre>& centres,
                            const KMeansResult& fit, std::size_t first, const std::vector<bool>& placed) {
    std::vector<double> totals(centres.size(), 0.0);
    for (std::size_t i = 0; i < histogram.labs.size(); ++i) totals[fit.nearest[i]] += histogram.weights[i];
    std::size_t victim = centres.size();
    double cheapest = INFINITY;
    for (std::size_t j = first; j < centres.size(); ++j) {
        if (placed[j]) continue;
        double cost = totals[j] > 0.0 ? INFINITY : 0.0;
        for (std::size_t m = 0; m < centres.size() && totals[j] > 0.0; ++m)
            if (m != j)
                cost = std::min(cost, totals[j] * totals[m] / (totals[j] + totals[m]) *
                                          squared_distance(centres[j], centres[m]));
        if (cost < cheapest) cheapest = cost, victim = j;
    }
    return victim;
}

}  // namespace

void cover_extremes(const ColorHistogram& histogram, std::vector<Centre>& centres, std::size_t fixed,
                    KMeansResult& fit, double reach, std::size_t rounds, std::size_t iterations,
                    std::size_t threads) {
    std::vector<bool> placed(centres.size(), false);
    auto [far, farthest] = farthest_point(histogram.labs, centres, fit);
    for (std::size_t round = 0; round < rounds && farthest > reach * reach; ++round) {
        const std::size_t victim = cheapest_centre(histogram, centres, fit, fixed, placed);
        if (victim == centres.size()) return;
        std::vector<Centre> before = centres;
        KMeansResult fit_before = fit;
        centres[victim] = centre_of(histogram.labs[far]);
        fit = weighted_kmeans(histogram.labs, histogram.weights, centres, fixed, std::move(fit.nearest),
                              iterations, threads);
        // A move that leaves some colour as far out as before (the moved
        // centre served colours that nothing else reaches) is undone.
        const auto [next_far, next_farthest] = farthest_point(histogram.labs, centres, fit);
        if (!(next_farthest < farthest)) {
            centres = std::move(before);
            fit = std::move(fit_before);
            return;
        }
        placed[victim] = true;
        far = next_far;
        farthest = next_farthest;
    }
}

}  // namespace grainel
