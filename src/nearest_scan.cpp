#include "nearest_scan.h"

#include <cstdint>
#include <limits>

#include "isa_target.h"

namespace grainel {
namespace {

constexpr std::size_t lanes = vector_bytes / sizeof(float);
using Floats = float __attribute__((vector_size(vector_bytes)));
using Ints = std::int32_t __attribute__((vector_size(vector_bytes)));

Floats load(const float* from) {
    Floats v;
    __builtin_memcpy(&v, from, sizeof v);
    return v;
}

// Lane i becomes the smaller of lanes i and i ^ half, down to one lane.
template <class V>
V fold_min(V v) {
    for (std::size_t half = lanes / 2; half > 0; half /= 2) {
        V partner;
        for (std::size_t i = 0; i < lanes; ++i) partner[i] = v[i ^ half];
        v = v < partner ? v : partner;
    }
    return v;
}

}  // namespace

// Each lane keeps its first nearest (a later colour must be strictly
// nearer), then the lanes holding the smallest distance give up the lowest
// position; all in vector selects, as branches here would mispredict.
template <>
std::size_t first_nearest<this_isa>(const float w[3], const float* r, const float* g,
                                    const float* b, std::size_t count) {
    const Floats wr = Floats{} + w[0], wg = Floats{} + w[1], wb = Floats{} + w[2];
    Floats best_distance = Floats{} + std::numeric_limits<float>::infinity();
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
    const Floats smallest = fold_min(best_distance);
    const Ints first = fold_min(best_distance == (Floats{} + smallest[0]) ? best_position
                                                                           : Ints{} + INT32_MAX);
    return static_cast<std::size_t>(first[0]);
}

}  // namespace grainel
