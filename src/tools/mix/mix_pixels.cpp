// The pixel loops of mix_dither: pixel by pixel for every plan, and with
// AVX2, for palettes of up to 64 colours, in passes over runs of a row.
// The first pass finds the four nodes and weights of eight pixels at a
// time; the second sums each pixel's weighted counts, 16 ranks per 256-bit
// vector, into its rank; palette colours then take their own rank, and the
// last pass writes the colours. Both loops write the same pixels.
#include "tools/mix/mix_dither.h"

#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include <algorithm>
#include <vector>

#include "simd/target.h"

GRAINEL_TARGET_BEGIN
namespace {

// `pick(tables, blend, q)`: the rank shown. Everything the loop reads is
// copied into locals first: the bytes it writes may alias anything, and
// locals stay in registers.
template <class Pick>
void dither_rows(const std::uint8_t* source, Raster& image, const MixPlan& plan, const MixMatrix& matrix,
                 Pick pick) {
    const Rgb* const shown = plan.ranked_colors().data();
    const MixPlan::Tables tables = plan.tables();
    const std::size_t height = image.height, width = image.width, channels = image.channels;
    const std::size_t tile_height = matrix.height, tile_width = matrix.width;
    const std::uint32_t* const thresholds = matrix.thresholds;
    std::uint8_t* const pixels = image.pixels;
    for (std::size_t y = 0; y < height; ++y) {
        const std::uint8_t* in = source + y * width * channels;
        std::uint8_t* pixel = pixels + y * width * channels;
        const std::uint32_t* row = thresholds + (y % tile_height) * tile_width;
        std::size_t column = 0;
        for (std::size_t x = 0; x < width; ++x, in += channels, pixel += channels) {
            const MixPlan::Along entries = tables.along_of(in);
            std::int32_t exact = -1;
            if (MixPlan::Tables::maybe_exact(entries)) [[unlikely]]
                exact = tables.find(in);
            std::uint32_t rank;
            if (exact >= 0) [[unlikely]]
                rank = static_cast<std::uint32_t>(exact);
            else
                rank = pick(tables, MixPlan::Tables::blend(entries), row[column]);
            if (++column == tile_width) column = 0;
            const Rgb& color = shown[rank];
            pixel[0] = color[0];
            pixel[1] = color[1];
            pixel[2] = color[2];
            if (channels == 4) pixel[3] = in[3];
        }
    }
}

#if defined(__x86_64__)

constexpr std::size_t run = 64;  // pixels per pass

// A run's blends: the byte offset of each node's counts, and its weight.
struct RunBlends {
    alignas(32) std::uint32_t offset[4][run];
    alignas(32) std::uint16_t weight[4][run];
    std::uint64_t maybe_exact;  // bit i: pixel i may be a palette colour; none past the run
};

// The blends of n pixels (up to run), as MixPlan::Tables::blend makes them.
template <std::size_t Chunks>
void find_blends(const std::uint8_t* in, std::size_t n, std::size_t channels, const std::uint32_t* along,
                 RunBlends& blends) {
    alignas(32) std::uint32_t entry[3][run];
    for (std::size_t i = 0; i < n; ++i, in += channels)
        for (int c = 0; c < 3; ++c) entry[c][i] = along[256 * c + in[c]];
    for (std::size_t i = n; i < (n + 7) / 8 * 8; ++i) entry[0][i] = entry[1][i] = entry[2][i] = 0;
    const __m256i first_step = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(MixPlan::first_step));
    const __m256i second_step = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(MixPlan::second_step));
    const __m256i fraction_mask = _mm256_set1_epi32(0x1ff), step_mask = _mm256_set1_epi32(0xffff);
    const __m256i one = _mm256_set1_epi32(1), two = _mm256_set1_epi32(2), four = _mm256_set1_epi32(4);
    const __m256i weight_one = _mm256_set1_epi32(MixPlan::weight_one);
    const __m256i last_step = _mm256_set1_epi32(MixPlan::last_step);
    constexpr int counts_bytes = Chunks == 1 ? 5 : Chunks == 2 ? 6 : 7;  // log2 of a node's bytes of counts
    blends.maybe_exact = 0;
    for (std::size_t i = 0; i < n; i += 8) {
        const __m256i r = _mm256_load_si256(reinterpret_cast<const __m256i*>(entry[0] + i));
        const __m256i g = _mm256_load_si256(reinterpret_cast<const __m256i*>(entry[1] + i));
        const __m256i b = _mm256_load_si256(reinterpret_cast<const __m256i*>(entry[2] + i));
        static_assert(MixPlan::in_palette == 1u << 31, "the sign bit, as movemask reads it");
        const __m256i all = _mm256_and_si256(_mm256_and_si256(r, g), b);
        const auto in_palette = _mm256_movemask_ps(_mm256_castsi256_ps(all));
        blends.maybe_exact |= static_cast<std::uint64_t>(static_cast<std::uint32_t>(in_palette)) << i;
        const __m256i fr = _mm256_and_si256(_mm256_srli_epi32(r, 16), fraction_mask);
        const __m256i fg = _mm256_and_si256(_mm256_srli_epi32(g, 16), fraction_mask);
        const __m256i fb = _mm256_and_si256(_mm256_srli_epi32(b, 16), fraction_mask);
        const __m256i base = _mm256_add_epi32(
            _mm256_add_epi32(_mm256_and_si256(r, step_mask), _mm256_and_si256(g, step_mask)),
            _mm256_and_si256(b, step_mask));
        const __m256i order = _mm256_or_si256(
            _mm256_or_si256(_mm256_and_si256(_mm256_cmpgt_epi32(fg, fr), one),
                            _mm256_and_si256(_mm256_cmpgt_epi32(fb, fg), two)),
            _mm256_and_si256(_mm256_cmpgt_epi32(fb, fr), four));
        const __m256i high = _mm256_max_epi32(_mm256_max_epi32(fr, fg), fb);
        const __m256i low = _mm256_min_epi32(_mm256_min_epi32(fr, fg), fb);
        const __m256i middle =
            _mm256_sub_epi32(_mm256_sub_epi32(_mm256_add_epi32(_mm256_add_epi32(fr, fg), fb), high), low);
        const __m256i node[4] = {base, _mm256_add_epi32(base, _mm256_permutevar8x32_epi32(first_step, order)),
                                 _mm256_add_epi32(base, _mm256_permutevar8x32_epi32(second_step, order)),
                                 _mm256_add_epi32(base, last_step)};
        for (int k = 0; k < 4; ++k)
            _mm256_store_si256(reinterpret_cast<__m256i*>(blends.offset[k] + i),
                               _mm256_slli_epi32(node[k], counts_bytes));
        // Weights are 0 to 256: packed into 16 bits, whose packs work
        // within 128-bit halves; the permute puts each weight's eight
        // together.
        const __m256i w01 = _mm256_permute4x64_epi64(
            _mm256_packus_epi32(_mm256_sub_epi32(weight_one, high), _mm256_sub_epi32(high, middle)), 0xd8);
        const __m256i w23 =
            _mm256_permute4x64_epi64(_mm256_packus_epi32(_mm256_sub_epi32(middle, low), low), 0xd8);
        _mm_store_si128(reinterpret_cast<__m128i*>(blends.weight[0] + i), _mm256_castsi256_si128(w01));
        _mm_store_si128(reinterpret_cast<__m128i*>(blends.weight[1] + i), _mm256_extracti128_si256(w01, 1));
        _mm_store_si128(reinterpret_cast<__m128i*>(blends.weight[2] + i), _mm256_castsi256_si128(w23));
        _mm_store_si128(reinterpret_cast<__m128i*>(blends.weight[3] + i), _mm256_extracti128_si256(w23, 1));
    }
}

// The rank a blend shows below `limit`, as MixPlan::Tables::pick_counted:
// the set lanes of each compare come first, two mask bits each.
template <std::size_t Chunks>
[[gnu::always_inline]] inline std::uint32_t pick(const char* counts, const RunBlends& blends, std::size_t i,
                                                 __m256i limit) {
    std::uint32_t rank = 0;
    for (std::size_t c = 0; c < Chunks; ++c) {
        __m256i sum = _mm256_setzero_si256();
        for (int k = 0; k < 4; ++k) {
            const __m256i count =
                _mm256_loadu_si256(reinterpret_cast<const __m256i*>(counts + blends.offset[k][i] + 32 * c));
            const __m256i weight = _mm256_set1_epi16(static_cast<short>(blends.weight[k][i]));
            sum = _mm256_add_epi16(sum, _mm256_mullo_epi16(count, weight));
        }
        const auto below = static_cast<std::uint32_t>(_mm256_movemask_epi8(_mm256_cmpgt_epi16(limit, sum)));
        rank += static_cast<std::uint32_t>(__builtin_ctzll(~static_cast<std::uint64_t>(below))) / 2;
    }
    return rank;
}

template <std::size_t Chunks>
void dither_counted_rows(const std::uint8_t* source, Raster& image, const MixPlan& plan,
                         const MixMatrix& matrix) {
    // The matrix as the 16-bit limits pick compares with.
    std::vector<std::int16_t> limits(matrix.height * matrix.width);
    for (std::size_t i = 0; i < limits.size(); ++i)
        limits[i] = static_cast<std::int16_t>((matrix.thresholds[i] >> 10) + 1);
    const Rgb* const shown = plan.ranked_colors().data();
    const MixPlan::Tables tables = plan.tables();
    const char* const counts = reinterpret_cast<const char*>(tables.counts);
    const std::size_t height = image.height, width = image.width, channels = image.channels;
    const std::size_t tile_height = matrix.height, tile_width = matrix.width;
    std::uint8_t* const pixels = image.pixels;
    RunBlends blends;
    for (std::size_t y = 0; y < height; ++y) {
        const std::uint8_t* in = source + y * width * channels;
        std::uint8_t* pixel = pixels + y * width * channels;
        const std::int16_t* row = limits.data() + (y % tile_height) * tile_width;
        std::size_t column = 0;
        for (std::size_t x = 0; x < width; x += run) {
            const std::size_t n = std::min(run, width - x);
            find_blends<Chunks>(in, n, channels, tables.along, blends);
            // Ranks first, then bytes: with no byte stores among them, the
            // picks keep the loop's state in registers.
            std::uint8_t ranks[run];
            for (std::size_t i = 0; i < n; ++i) {
                const __m256i limit = _mm256_set1_epi16(row[column]);
                ranks[i] = static_cast<std::uint8_t>(pick<Chunks>(counts, blends, i, limit));
                if (++column == tile_width) column = 0;
            }
            for (std::uint64_t bits = blends.maybe_exact; bits; bits &= bits - 1) {
                const auto i = static_cast<std::size_t>(__builtin_ctzll(bits));
                if (const std::int32_t exact = tables.find(in + i * channels); exact >= 0)
                    ranks[i] = static_cast<std::uint8_t>(exact);
            }
            for (std::size_t i = 0; i < n; ++i, in += channels, pixel += channels) {
                const Rgb& color = shown[ranks[i]];
                pixel[0] = color[0];
                pixel[1] = color[1];
                pixel[2] = color[2];
                if (channels == 4) pixel[3] = in[3];
            }
        }
    }
}

#endif

}  // namespace

void mix_dither_pixels(const std::uint8_t* source, Raster& image, const MixPlan& plan,
                       const MixMatrix& matrix) {
#if defined(__x86_64__)
    if constexpr (vector_bytes == 32) switch (plan.counted_chunks()) {
        case 1: return dither_counted_rows<1>(source, image, plan, matrix);
        case 2: return dither_counted_rows<2>(source, image, plan, matrix);
        case 4: return dither_counted_rows<4>(source, image, plan, matrix);
    }
#endif
    auto counted = [&]<std::size_t Chunks>() {
        dither_rows(source, image, plan, matrix,
                    [](const MixPlan::Tables& tables, const MixPlan::Blend& blend, std::uint32_t q) {
                        return tables.pick_counted<Chunks>(blend, q);
                    });
    };
    switch (plan.counted_chunks()) {
    case 1: return counted.template operator()<1>();
    case 2: return counted.template operator()<2>();
    case 4: return counted.template operator()<4>();
    default:
        dither_rows(source, image, plan, matrix,
                    [&](const MixPlan::Tables&, const MixPlan::Blend& blend, std::uint32_t q) {
                        return plan.pick(blend, q);
                    });
    }
}

GRAINEL_TARGET_END
