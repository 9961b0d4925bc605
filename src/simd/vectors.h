// The float and integer vectors of a kernel, as wide as its instruction
// set's, and the two helpers every kernel needs.
#pragma once

#include <cstddef>
#include <cstdint>

#include "simd/target.h"

GRAINEL_TARGET_BEGIN

inline constexpr std::size_t lanes = vector_bytes / sizeof(float);
using Floats = float __attribute__((vector_size(vector_bytes)));
using Ints = std::int32_t __attribute__((vector_size(vector_bytes)));

// Every lane x. (Floats{} + x would cost an addition the compiler must
// keep, as it turns -0 into +0.)
inline Floats splat(float x) {
    Floats v;
    for (std::size_t i = 0; i < lanes; ++i) v[i] = x;
    return v;
}

// At any alignment.
inline Floats load(const float* from) {
    Floats v;
    __builtin_memcpy(&v, from, sizeof v);
    return v;
}

GRAINEL_TARGET_END
