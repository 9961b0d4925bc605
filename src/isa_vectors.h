// The vectors of a kernel source, as wide as its instruction set's. Include
// right after isa_target.h, so that these helpers are compiled for that set
// (and, in an unnamed namespace, never shared with the other build).
#pragma once

#include <cstddef>
#include <cstdint>

namespace grainel {
namespace {

constexpr std::size_t lanes = vector_bytes / sizeof(float);
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
Floats load(const float* from) {
    Floats v;
    __builtin_memcpy(&v, from, sizeof v);
    return v;
}

}  // namespace
}  // namespace grainel
