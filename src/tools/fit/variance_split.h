// The starting centres of a palette fit: greedy variance splitting. The
// cluster with the largest weighted sum of squared errors is cut in two
// across its principal axis, where the two halves' summed errors are
// least, until there are enough clusters or none can be cut. Each centre
// is its cluster's weighted mean.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "tools/fit/color_histogram.h"

namespace grainel {

using Centre = std::array<double, 3>;

struct Split {
    std::vector<Centre> centres;            // up to `count` of them
    std::vector<std::uint32_t> cluster_of;  // each point's cluster
};

// Fewer than `count` centres when every cluster is down to points that
// coincide along its axis.
Split variance_split(const std::vector<Lab>& points, const std::vector<double>& weights, std::size_t count);

}  // namespace grainel
