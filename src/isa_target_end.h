// The last line of a kernel source: ends what isa_target.h began.
#pragma once

#ifdef GRAINEL_TARGET_AVX2
#if defined(__clang__)
#pragma clang attribute pop
#else
#pragma GCC pop_options
#endif
#endif
