// A compare's result on four 32-bit lanes (each all ones or zero) as four
// bits, bit i for lane i: what the search tests and scans with. SSE has an
// instruction for it; elsewhere a mask and a sum across, which compilers
// turn into the target's own vector code (NEON on aarch64).
#pragma once

#include <cstdint>

#if defined(__SSE2__)
#include <xmmintrin.h>
#endif

namespace grainel {

using LaneMask4 = std::int32_t __attribute__((vector_size(16)));

[[gnu::always_inline]] inline int movemask(LaneMask4 mask) {
#if defined(__SSE2__)
    return _mm_movemask_ps(reinterpret_cast<__m128>(mask));
#else
    const LaneMask4 bits = mask & LaneMask4{1, 2, 4, 8};
    return (bits[0] | bits[1]) | (bits[2] | bits[3]);
#endif
}

}  // namespace grainel
