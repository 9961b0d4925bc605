// Colours far from every centre of a fit get a centre of their own. Small
// bright or saturated features (stars, lights, a logo) weigh little next to
// the areas around them, so k-means lets them fall into a cluster of far
// more weight and the palette cannot show them, nor can dithering mix
// them. While the colour farthest from every centre is farther than
// `reach`, the centre whose loss costs least moves to it and k-means runs
// again: the moved centre settles on the feature, and the others take over
// what it served. A move that does not bring the farthest colour nearer
// is undone, and ends the search.
#pragma once

#include "tools/fit/kmeans.h"

namespace grainel {

// `fit` is k-means' result for `centres`; both are updated. At most
// `rounds` centres move, never one of the first `fixed`, nor one placed
// here before. k-means runs on up to `threads` threads.
void cover_extremes(const ColorHistogram& histogram, std::vector<Centre>& centres, std::size_t fixed,
                    KMeansResult& fit, double reach, std::size_t rounds, std::size_t iterations,
                    std::size_t threads);

}  // namespace grainel
