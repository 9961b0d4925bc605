// The last include of a kernel source. CMake compiles each kernel source
// twice, once with GRAINEL_TARGET_AVX2 defined; everything after this
// header is compiled for that instruction set. It must come last: the
// standard library's templates and every inline function from the other
// headers stay compiled for the baseline, so that no function the two
// builds share (and the linker may pick either copy of) holds AVX2 code.
// Helpers of a kernel source go in an unnamed namespace for the same reason.
#pragma once

#include <cstddef>

#include "isa.h"

#ifdef GRAINEL_TARGET_AVX2
#pragma GCC target("avx2")
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
