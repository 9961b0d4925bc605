// How a kernel source is compiled once per instruction set. CMake builds
// every file listed as a kernel of a family once for each set this
// platform has (isa.h), defining GRAINEL_TARGET_BASELINE or
// GRAINEL_TARGET_AVX2; its code goes between GRAINEL_TARGET_BEGIN and
// GRAINEL_TARGET_END, which compile it for that set inside a namespace of
// its own, grainel::baseline or grainel::avx2.
//
// The namespace is what keeps the builds apart. An inline function or a
// template compiled for AVX2 has another name than its baseline twin, so
// the linker can never keep the AVX2 copy for a baseline caller, which
// would die on a CPU without AVX2. Everything the region does not define
// (the standard library, the shared headers included before it) stays
// compiled for the baseline. Headers of kernel helpers open a region of
// their own, so they may be included in any order.
//
// A kernel's entry points are functions of the target's namespace,
// declared for every set with GRAINEL_KERNEL in the family's header, and
// called from baseline code through GRAINEL_DISPATCH (isa.h). Nothing
// outside a target's namespace is ever compiled for AVX2.
//
// Most kernel code is the same source for every set, in the compiler's
// vector extensions at the width vector_bytes gives. Where a set's own
// instructions do better than the compiler (AVX2's byte shuffles), the
// kernel chooses them with `if constexpr` on this_isa or on the vector
// width, inside a template, so that the other builds never compile them;
// x86 intrinsics also sit inside `#if defined(__x86_64__)`, as other
// platforms have none.
#pragma once

#include <cstddef>

#include "simd/isa.h"

#if defined(GRAINEL_TARGET_AVX2)
#define GRAINEL_TARGET avx2
#if defined(__clang__)
// Clang has no GCC target pragma: this gives every function declared in
// the region the target instead.
#define GRAINEL_TARGET_PUSH \
    _Pragma("clang attribute push(__attribute__((target(\"avx2\"))), apply_to = function)")
#define GRAINEL_TARGET_POP _Pragma("clang attribute pop")
#else
#define GRAINEL_TARGET_PUSH _Pragma("GCC push_options") _Pragma("GCC target(\"avx2\")")
#define GRAINEL_TARGET_POP _Pragma("GCC pop_options")
#endif
#elif defined(GRAINEL_TARGET_BASELINE)
#define GRAINEL_TARGET baseline
#define GRAINEL_TARGET_PUSH
#define GRAINEL_TARGET_POP
#else
#error "a kernel source is compiled once per instruction set: list it as a kernel of its family in CMake"
#endif

// Each pragma comes last in its macro: GCC 16 drops what follows a
// _Pragma("GCC target") or _Pragma("GCC pop_options") within one macro.
#define GRAINEL_TARGET_BEGIN namespace grainel::GRAINEL_TARGET { GRAINEL_TARGET_PUSH
#define GRAINEL_TARGET_END } GRAINEL_TARGET_POP

// Constants, which take no target (and a region that declares no function
// is one clang warns about).
namespace grainel::GRAINEL_TARGET {

#if defined(GRAINEL_TARGET_AVX2)
inline constexpr Isa this_isa = Isa::avx2;
inline constexpr std::size_t vector_bytes = 32;
#else
inline constexpr Isa this_isa = Isa::baseline;
inline constexpr std::size_t vector_bytes = 16;
#endif

}  // namespace grainel::GRAINEL_TARGET
