#include "ordered/noise_draws.h"

#include <bit>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include "simd/target.h"

GRAINEL_TARGET_BEGIN
namespace {

constexpr std::uint64_t increment = 0x9E3779B97F4A7C15ull;
constexpr std::size_t lanes64 = vector_bytes / 8;
constexpr std::size_t lanes = vector_bytes / 4;  // draws per vector

using U64 = std::uint64_t __attribute__((vector_size(vector_bytes)));
using U32 = std::uint32_t __attribute__((vector_size(vector_bytes)));
using I32 = std::int32_t __attribute__((vector_size(vector_bytes)));
using F32 = float __attribute__((vector_size(vector_bytes)));
using Bytes = std::uint8_t __attribute__((vector_size(vector_bytes)));

// The stream's mixing function, lane by lane.
U64 mix(U64 z) {
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    return (z ^ (z >> 27)) * 0x94D049BB133111EBull;
}

// Counters::next24 reads each 64-bit lane as two 32-bit lanes, low half
// first.
static_assert(std::endian::native == std::endian::little, "the draws' lanes assume little-endian");

// The states of the stream's next `lanes` draws: the odd-numbered ones in
// `odd`, the even-numbered in `even`, so that the top 24 bits of an even
// draw land in the upper half of its 64-bit lane, right after its odd
// neighbour, which puts the draws in order as 32-bit lanes.
struct Counters {
    U64 odd, even;

    explicit Counters(std::uint64_t state) {
        for (std::size_t i = 0; i < lanes64; ++i) {
            odd[i] = state + (2 * i + 1) * increment;
            even[i] = state + (2 * i + 2) * increment;
        }
    }

    U32 next24() {
        const U64 draws = (mix(odd) >> 40) | ((mix(even) >> 8) & 0x00FFFFFF00000000ull);
        odd += lanes * increment;
        even += lanes * increment;
        return reinterpret_cast<U32>(draws);
    }
};

// A vector of pixel bytes as four vectors of their values, in order, and
// four vectors of 32-bit masks back as one of byte masks. On x86 in the
// instructions of the vector width the kernel is built with (GCC 12 widens
// byte by byte otherwise): the branch of the other width is never compiled
// into it.
template <class Values>
void widen(const std::uint8_t* bytes, Values (&values)[4]) {
#if defined(__x86_64__)
    if constexpr (sizeof(Values) == 32) {
        for (int k = 0; k < 4; ++k)
            values[k] = reinterpret_cast<Values>(_mm256_cvtepi32_ps(_mm256_cvtepu8_epi32(
                _mm_loadl_epi64(reinterpret_cast<const __m128i*>(bytes + 8 * k)))));
    } else {
        const __m128i all = _mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes));
        const __m128i zero = _mm_setzero_si128();
        const __m128i low = _mm_unpacklo_epi8(all, zero), high = _mm_unpackhi_epi8(all, zero);
        values[0] = reinterpret_cast<Values>(_mm_cvtepi32_ps(_mm_unpacklo_epi16(low, zero)));
        values[1] = reinterpret_cast<Values>(_mm_cvtepi32_ps(_mm_unpackhi_epi16(low, zero)));
        values[2] = reinterpret_cast<Values>(_mm_cvtepi32_ps(_mm_unpacklo_epi16(high, zero)));
        values[3] = reinterpret_cast<Values>(_mm_cvtepi32_ps(_mm_unpackhi_epi16(high, zero)));
    }
#else
    // Plain vector conversions; clang makes them NEON's widening moves on
    // aarch64. GCC 12 widens byte by byte there, but the draws' 64-bit
    // multiplies, which NEON has no lane instruction for, cost far more.
    using Bytes8 = std::uint8_t __attribute__((vector_size(8)));
    using U16 = std::uint16_t __attribute__((vector_size(16)));
    for (int half = 0; half < 2; ++half) {
        Bytes8 eight;
        __builtin_memcpy(&eight, bytes + 8 * half, sizeof eight);
        const U16 wide = __builtin_convertvector(eight, U16);
        values[2 * half] = __builtin_convertvector(__builtin_shufflevector(wide, wide, 0, 1, 2, 3), Values);
        values[2 * half + 1] =
            __builtin_convertvector(__builtin_shufflevector(wide, wide, 4, 5, 6, 7), Values);
    }
#endif
}

// The results pass through Masks, so that the branch of the other width
// is only checked where it is compiled.
template <class Masks>
Bytes narrow(const Masks (&masks)[4]) {
#if defined(__x86_64__)
    if constexpr (sizeof(Masks) == 32) {
        // The packs work within 128-bit halves; the permutation puts the
        // four byte groups of each half back in order.
        const __m256i low = _mm256_packs_epi32(__m256i(masks[0]), __m256i(masks[1]));
        const __m256i high = _mm256_packs_epi32(__m256i(masks[2]), __m256i(masks[3]));
        return reinterpret_cast<Bytes>(reinterpret_cast<Masks>(_mm256_permutevar8x32_epi32(
            _mm256_packs_epi16(low, high), _mm256_setr_epi32(0, 4, 1, 5, 2, 6, 3, 7))));
    } else {
        return reinterpret_cast<Bytes>(reinterpret_cast<Masks>(
            _mm_packs_epi16(_mm_packs_epi32(__m128i(masks[0]), __m128i(masks[1])),
                            _mm_packs_epi32(__m128i(masks[2]), __m128i(masks[3])))));
    }
#else
    // A mask lane is all ones or zero, so each of its low parts is the
    // mask: two rounds of keeping the even halves (NEON's uzp1).
    using I16 = std::int16_t __attribute__((vector_size(16)));
    using I8 = std::int8_t __attribute__((vector_size(16)));
    const I16 low = __builtin_shufflevector(reinterpret_cast<I16>(masks[0]),
                                            reinterpret_cast<I16>(masks[1]), 0, 2, 4, 6, 8, 10, 12, 14);
    const I16 high = __builtin_shufflevector(reinterpret_cast<I16>(masks[2]),
                                             reinterpret_cast<I16>(masks[3]), 0, 2, 4, 6, 8, 10, 12, 14);
    return reinterpret_cast<Bytes>(__builtin_shufflevector(reinterpret_cast<I8>(low),
                                                           reinterpret_cast<I8>(high), 0, 2, 4, 6, 8,
                                                           10, 12, 14, 16, 18, 20, 22, 24, 26, 28, 30));
#endif
}

}  // namespace

void random_two_raw_levels(NoiseStream& stream, std::uint8_t* pixels, std::size_t count,
                           const TwoRawLevels& levels) {
    const Bytes lower = Bytes{} + levels.lower, upper = Bytes{} + levels.upper;
    Counters counters(stream.state);
    std::size_t i = 0;
    for (; i + vector_bytes <= count; i += vector_bytes) {
        F32 values[4];
        I32 up[4];
        widen(pixels + i, values);
        for (int k = 0; k < 4; ++k) {
            // A draw is below 2^24, so its conversion as a signed lane is exact.
            const F32 d = __builtin_convertvector(reinterpret_cast<I32>(counters.next24()), F32) /
                              16777216.0f - 0.5f;
            const F32 v = levels.scale * d + values[k];
            up[k] = v * levels.inv_step >= 0.5f;
        }
        const Bytes mask = narrow(up);
        const Bytes out = (mask & upper) | (~mask & lower);
        __builtin_memcpy(pixels + i, &out, sizeof out);
    }
    stream.state += i * increment;
    for (; i < count; ++i) {
        const float v = levels.scale * stream.next_offset() + static_cast<float>(pixels[i]);
        pixels[i] = v * levels.inv_step >= 0.5f ? levels.upper : levels.lower;
    }
}

GRAINEL_TARGET_END
