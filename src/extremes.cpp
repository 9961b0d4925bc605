#include "extremes.h"

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

}  // namespace

void cover_extremes(const ColorHistogram& histogram, std::vector<Centre>& centres, std::size_t fixed,
                    KMeansResult& fit, double reach, std::size_t rounds, std::size_t iterations) {
    const std::vector<Lab>& points = histogram.labs;
    std::vector<bool> placed(centres.size(), false);
    std::vector<double> totals(centres.size());
    for (std::size_t round = 0; round < rounds; ++round) {
        std::size_t far = points.size();
        double farthest = reach * reach;
        for (std::size_t i = 0; i < points.size(); ++i) {
            const double d = squared_distance(centre_of(points[i]), centres[fit.nearest[i]]);
            if (d > farthest) farthest = d, far = i;
        }
        if (far == points.size()) return;
        // Merging cluster j into cluster m adds W_j W_m / (W_j + W_m)
        // |c_j - c_m|^2 to the weighted error: the victim is the cluster
        // whose cheapest merge costs least.
        std::fill(totals.begin(), totals.end(), 0.0);
        for (std::size_t i = 0; i < points.size(); ++i) totals[fit.nearest[i]] += histogram.weights[i];
        std::size_t victim = centres.size();
        double cheapest = INFINITY;
        for (std::size_t j = fixed; j < centres.size(); ++j) {
            if (placed[j]) continue;
            // A centre that lost all its points costs nothing.
            double cost = totals[j] > 0.0 ? INFINITY : 0.0;
            for (std::size_t m = 0; m < centres.size() && totals[j] > 0.0; ++m) {
                if (m == j) continue;
                const double share = totals[m] / (totals[j] + totals[m]);
                cost = std::min(cost, totals[j] * share * squared_distance(centres[j], centres[m]));
            }
            if (cost < cheapest) cheapest = cost, victim = j;
        }
        if (victim == centres.size()) return;
        centres[victim] = centre_of(points[far]);
        placed[victim] = true;
        fit = weighted_kmeans(points, histogram.weights, centres, fixed, std::move(fit.nearest), iterations);
    }
}

}  // namespace grainel
