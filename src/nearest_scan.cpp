#include "nearest_scan.h"

#include <cstdint>
#include <limits>

#include "isa_target.h"
#include "isa_vectors.h"

namespace grainel {
namespace {

// Every lane becomes the smallest of the four.
template <class V>
V fold_min4(V v) {
    V other = __builtin_shufflevector(v, v, 1, 0, 3, 2);
    v = v < other ? v : other;
    other = __builtin_shufflevector(v, v, 2, 3, 0, 1);
    return v < other ? v : other;
}

// The lowest position among the lanes holding the smallest distance,
// worked out in vectors of four: shuffles across a 256-bit register
// measured slower.
std::size_t first_of_least(Floats distance, Ints position) {
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

}  // namespace

// Each lane keeps its first nearest (a later colour must be strictly
// nearer), then the lanes holding the smallest distance give up the lowest
// position; all in vector selects, as branches here would mispredict.
template <>
std::size_t first_nearest<this_isa>(const float w[3], const float* r, const float* g,
                                    const float* b, std::size_t count) {
    const Floats wr = splat(w[0]), wg = splat(w[1]), wb = splat(w[2]);
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

}  // namespace grainel

#include "isa_target_end.h"
