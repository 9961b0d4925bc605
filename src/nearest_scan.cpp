#include "nearest_scan.h"

#include "isa_target.h"
#include "isa_vectors.h"
#include "nearest_lanes.h"

namespace grainel {

template <>
std::size_t first_nearest<this_isa>(const float w[3], const float* r, const float* g,
                                    const float* b, std::size_t count) {
    return first_nearest_in_lanes(splat(w[0]), splat(w[1]), splat(w[2]), r, g, b, count);
}

}  // namespace grainel

#include "isa_target_end.h"
