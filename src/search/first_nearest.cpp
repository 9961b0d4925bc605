#include "search/first_nearest.h"

#include "simd/target.h"
#include "simd/vectors.h"
#include "search/nearest_lanes.h"

GRAINEL_TARGET_BEGIN

std::size_t first_nearest(const float w[3], const float* r, const float* g, const float* b,
                          std::size_t count) {
    return first_nearest_in_lanes(splat(w[0]), splat(w[1]), splat(w[2]), r, g, b, count);
}

GRAINEL_TARGET_END
