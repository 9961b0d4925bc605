// The last include of a kernel source, whose last line includes
// isa_target_end.h. On x86-64 CMake compiles each kernel source twice, once
// with GRAINEL_TARGET_AVX2 defined; everything between the two headers is
// then compiled for that instruction set. This header must come last: the
// standard library's templates and every inline function from the other
// headers stay compiled for the baseline, so that no function the two
// builds share (and the linker may pick either copy of) holds AVX2 code.
// Helpers of a kernel source go in an unnamed namespace for the same reason,
// and so do those of the headers that may follow this one (isa_vectors.h,
// nearest_lanes.h, listed_nearest.h, diffusion_scan.h).
#pragma once

#include <cstddef>

#include "isa.h"

#ifdef GRAINEL_TARGET_AVX2
#if defined(__clang__)
// Clang has no GCC target pragma: this gives every function declared up to
// isa_target_end.h the target instead.
#pragma clang attribute push(__attribute__((target("avx2"))), apply_to = function)
#else
#pragma GCC push_options
#pragma GCC target("avx2")
#endif
#endif

namespace grainel {
namespace {

#ifdef GRAINEL_TARGET_AVX2
constexpr Isa this_isa = Isa::avx2;
constexpr std::size_t vector_bytes = 32;
#else
constexpr Isa this_isa = Isa::baseline;
constexpr std::size_t vector_bytes = 16;
#endif

}  // namespace
}  // namespace grainel
