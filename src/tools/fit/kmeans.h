// Weighted k-means (Lloyd's iterations) in OKLab: each point goes to its
// nearest centre, each centre moves to the weighted mean of its points,
// until no point changes centre. Hamerly's bounds (an upper bound on each
// point's distance to its centre, a lower bound on its distance to any
// other, and half the gap from each centre to its nearest neighbour) skip
// the search for most points once the centres settle.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "tools/fit/variance_split.h"

namespace grainel {

struct KMeansResult {
    std::vector<std::uint32_t> nearest;  // each point's centre
    std::size_t iterations;              // mean updates made
};

// Moves `centres` in place; the first `fixed` never move. `start` gives
// each point a centre to begin its search at (any will do; a near one is
// faster). Stops when no point changes centre, or after `max_iterations`
// (at least one) updates.
// On return every movable centre is the weighted mean of the points
// `nearest` gives it (a centre that lost all its points stays where it was).
// The points are searched on up to `threads` threads, and the means summed
// in point order: the result is the same for any number.
KMeansResult weighted_kmeans(const std::vector<Lab>& points, const std::vector<double>& weights,
                             std::vector<Centre>& centres, std::size_t fixed, std::vector<std::uint32_t> start,
                             std::size_t max_iterations, std::size_t threads);

}  // namespace grainel
