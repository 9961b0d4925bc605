// The first nearest of a list of colours given channel by channel, with a
// kernel's widest vectors.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>

#include "simd/vectors.h"

GRAINEL_TARGET_BEGIN

// Every lane becomes the smallest of the four.
template <class V>
[[gnu::always_inline]] inline V fold_min4(V v) {
    V other = __builtin_shufflevector(v, v, 1, 0, 3, 2);
    v = v < other ? v : other;
    other = __builtin_shufflevector(v, v, 2, 3, 0, 1);
    return v < other ? v : other;
}

// The lowest position among the lanes holding the smallest distance,
// worked out in vectors of four: shuffles across a 256-bit register
// measured slower.
[[gnu::always_inline]] inline std::size_t first_of_least(Floats distance, Ints position) {
    using Floats4 = float __attribute__((vector_size(16)));
    using Ints4 = std::int32_t __attribute__((vector_size(16)));
    constexpr std::size_t parts = lanes / 4;
    Floats4 d[parts];
    Ints4 p[parts];
    __builtin_memcpy(d, &distance, sizeof d);
    __builtin_memcpy(p, &position, sizeof p);
    Floats4 least = d[0];
    for (std::size_t k = 1; k < parts; ++k) least = d[k] < least ? d[k] : least;
    least = fold_min4(least);
    Ints4 first = Ints4{} + INT32_MAX;
    for (std::size_t k = 0; k < parts; ++k) {
        const Ints4 here = d[k] == least ? p[k] : Ints4{} + INT32_MAX;
        first = here < first ? here : first;
    }
    return static_cast<std::size_t>(fold_min4(first)[0]);
}

// The position of the first nearest of `count` colours (a multiple of
// lanes) to the query wr, wg, wb, each channel in every lane. Each lane
// keeps its first nearest (a later colour must be strictly nearer), then
// the lanes holding the smallest distance give up the lowest position; all
// in vector selects, as branches here would mispredict.
[[gnu::always_inline]] inline std::size_t first_nearest_in_lanes(Floats wr, Floats wg, Floats wb,
                                                                 const float* r, const float* g,
                                                                 const float* b, std::size_t count) {
    Floats best_distance = splat(std::numeric_limits<float>::infinity());
    Ints best_position = Ints{};
    Ints position;
    for (std::size_t i = 0; i < lanes; ++i) position[i] = static_cast<std::int32_t>(i);
    for (std::size_t i = 0; i < count; i += lanes) {
        const Floats dr = wr - load(r + i), dg = wg - load(g + i), db = wb - load(b + i);
        const Floats d = (dr * dr + dg * dg) + db * db;
        const Ints closer = d < best_distance;
        best_distance = closer ? d : best_distance;
        best_position = closer ? position : best_position;
        position += static_cast<std::int32_t>(lanes);
    }
    return first_of_least(best_distance, best_position);
}

GRAINEL_TARGET_END
