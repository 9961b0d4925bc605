// The scan at the heart of every nearest-colour search: the first of the
// nearest among colours given channel by channel.
#pragma once

#include <cstddef>

#include "simd/isa.h"

namespace grainel {

// Colour lists handed to the scan are padded to a multiple of this many
// entries, with colours so far away that they never win.
constexpr std::size_t scan_padding = 8;
constexpr float far_away = 1e30f;  // its squared distance is +inf

}  // namespace grainel

// The position of the first nearest of `count` colours (a multiple of
// scan_padding): squared distance ((dr*dr + dg*dg) + db*db) in 32-bit floats,
// a later colour wins only if strictly nearer.
GRAINEL_KERNEL(std::size_t first_nearest(const float w[3], const float* r, const float* g, const float* b,
                                         std::size_t count))
