#include "ordered/byte_cube_cache.h"

#include <algorithm>
#include <memory>
#include <new>
#include <utility>
#include <vector>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include "buffers/large_buffers.h"
#include "simd/target.h"
#include "simd/vectors.h"

GRAINEL_TARGET_BEGIN
namespace {

// The colour of every byte triple, found for a block of 16 x 16 x 16
// triples the first time a pixel falls in it. The block's few candidates
// are compared with all its triples at once, in vectors along blue: the
// distances are the search's own, (dr * dr + dg * dg) + db * db in the same
// floats, and a later candidate takes a triple only when strictly nearer,
// so the first of equally near colours in palette order wins. A template
// on the instruction set only so that the AVX2 runs are compiled for AVX2
// alone.
template <Isa I>
class ByteCubeCache {
public:
    static constexpr std::uint32_t side = 16, triples = side * side * side, blocks = triples;

    ByteCubeCache(ColorSearch& search, const float* decode, ColorSearch::Floats4 shift,
                  std::size_t colors)
        : search_(search), place_of_block_(blocks, 0),
          // Only the blocks filled are ever touched. The first place is
          // never filled, so that place 0 can mean "not filled yet".
          answers_(static_cast<std::uint8_t*>(allocate_large(std::size_t{blocks + 1} * triples))),
          region_winners_(regions_across * regions_across * regions_across * colors),
          region_count_(regions_across * regions_across * regions_across, 0), positions_(colors),
          values_{std::vector<float>(colors), std::vector<float>(colors), std::vector<float>(colors)},
          indices_(colors),
          squared_{std::vector<float>(colors * side), std::vector<float>(colors * side),
                   std::vector<float>(colors * side)},
          winners_(triples) {
        if (!answers_) throw std::bad_alloc();
        std::fill_n(answers_.get(), triples, 0);
        for (int c = 0; c < 3; ++c)
            for (std::uint32_t byte = 0; byte < 256; ++byte) {
                working_[c][byte] = shift[c] + decode[byte];
                key_[c][byte] = key_of(c, byte);
            }
    }

    // Gives each of `count` pixels its colour.
    void paint(std::uint8_t* pixel, std::size_t count, std::size_t channels,
               const std::uint32_t* colors) {
#if defined(__x86_64__)
        if constexpr (I == Isa::avx2)
            if (channels == 3 || channels == 4) {
                const std::size_t done = paint_by_runs(pixel, count, channels, colors);
                pixel += done * channels;
                count -= done;
            }
#endif
        // Locals, so that the byte stores cannot alias them and force this
        // short loop to reload them.
        const std::uint32_t* const key[3] = {key_[0], key_[1], key_[2]};
        std::uint32_t* const place_of_block = place_of_block_.data();
        const std::uint8_t* const answers = answers_.get();
        auto color_of = [&](const std::uint8_t* at) {
            const std::uint32_t bytes = key[0][at[0]] | key[1][at[1]] | key[2][at[2]];
            const std::uint32_t place = place_of(place_of_block[bytes >> 12], bytes >> 12);
            return colors[answers[place + (bytes & (triples - 1))]];
        };
        if (channels == 3 && count > 0) {
            // Each colour is stored as four bytes, the fourth landing on the
            // next pixel's first byte after that pixel has been looked up:
            // one store instead of three.
            std::uint32_t next = color_of(pixel);
            for (std::size_t i = 1; i < count; ++i, pixel += 3) {
                const std::uint32_t color = next;
                next = color_of(pixel + 3);
                __builtin_memcpy(pixel, &color, 4);
            }
            __builtin_memcpy(pixel, &next, 3);
            return;
        }
        for (std::size_t i = 0; i < count; ++i, pixel += channels) {
            const std::uint32_t color = color_of(pixel);
            __builtin_memcpy(pixel, &color, 3);
        }
    }

private:
#if defined(__x86_64__)
    static constexpr std::size_t run = 64;

    // With AVX2, runs of 64 pixels, while the loads stay inside the
    // picture (the byte shuffles they take are AVX2's): a run's keys,
    // worked out in vectors, then its colours, then the stores, in vectors.
    // The lookups leave the rare fills to a loop of their own, so that
    // theirs keeps all it needs in registers. Returns how many pixels it
    // painted.
    std::size_t paint_by_runs(std::uint8_t* pixel, std::size_t count, std::size_t channels,
                              const std::uint32_t* colors) {
        alignas(32) std::uint32_t key[run], color[run];
        // Three-channel pixels are loaded in groups of four, and a run's
        // last load reads four bytes past it.
        const std::size_t least = channels == 3 ? run + 2 : run;
        std::size_t done = 0;
        for (; count - done >= least; done += run, pixel += run * channels) {
            keys(pixel, channels, key);
            while (!look_up(key, colors, color)) fill_blocks(key);
            store(color, channels, pixel);
        }
        return done;
    }

    static void keys(const std::uint8_t* pixel, std::size_t channels, std::uint32_t* key) {
        // A group of four three-channel pixels, each spread to a lane.
        const __m256i spread = _mm256_setr_epi8(0, 1, 2, -1, 3, 4, 5, -1, 6, 7, 8, -1, 9, 10, 11, -1,  //
                                                0, 1, 2, -1, 3, 4, 5, -1, 6, 7, 8, -1, 9, 10, 11, -1);
        for (std::size_t i = 0; i < run; i += 8, pixel += 8 * channels) {
            auto at = [&](std::size_t offset) { return reinterpret_cast<const __m128i*>(pixel + offset); };
            const __m256i bytes = channels == 3 ? _mm256_shuffle_epi8(_mm256_loadu2_m128i(at(12), at(0)), spread)
                                                : _mm256_loadu_si256(reinterpret_cast<const __m256i*>(pixel));
            _mm256_store_si256(reinterpret_cast<__m256i*>(key + i), keys_of(bytes));
        }
    }

    // The colours of the keys, or false if a key's block is not filled
    // yet: such a key reads place 0, never filled but cleared, and gets a
    // wrong colour.
    bool look_up(const std::uint32_t* key, const std::uint32_t* colors, std::uint32_t* color) const {
        const std::uint32_t* const place_of_block = place_of_block_.data();
        const std::uint8_t* const answers = answers_.get();
        bool filled = true;
        for (std::size_t i = 0; i < run; ++i) {
            const std::uint32_t place = place_of_block[key[i] >> 12];
            filled &= place != 0;
            color[i] = colors[answers[place + (key[i] & (triples - 1))]];
        }
        return filled;
    }

    void fill_blocks(const std::uint32_t* key) {
        for (std::size_t i = 0; i < run; ++i) place_of(place_of_block_[key[i] >> 12], key[i] >> 12);
    }

    // The first three bytes of each colour over those of its pixel.
    static void store(const std::uint32_t* color, std::size_t channels, std::uint8_t* pixel) {
        const __m256i pack = _mm256_setr_epi8(0, 1, 2, 4, 5, 6, 8, 9, 10, 12, 13, 14, -1, -1, -1, -1,  //
                                              0, 1, 2, 4, 5, 6, 8, 9, 10, 12, 13, 14, -1, -1, -1, -1);
        const __m256i together = _mm256_setr_epi32(0, 1, 2, 4, 5, 6, 3, 7);
        const __m256i alpha = _mm256_set1_epi32(static_cast<int>(0xff000000u));
        for (std::size_t i = 0; i < run; i += 8, pixel += 8 * channels) {
            const __m256i eight = _mm256_load_si256(reinterpret_cast<const __m256i*>(color + i));
            if (channels == 3) {
                // 24 bytes: the low 16, then 8.
                const __m256i packed =
                    _mm256_permutevar8x32_epi32(_mm256_shuffle_epi8(eight, pack), together);
                auto at = [&](std::size_t offset) { return reinterpret_cast<__m128i*>(pixel + offset); };
                _mm_storeu_si128(at(0), _mm256_castsi256_si128(packed));
                _mm_storel_epi64(at(16), _mm256_extracti128_si256(packed, 1));
            } else {
                const __m256i was = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(pixel));
                _mm256_storeu_si256(reinterpret_cast<__m256i*>(pixel),
                                    _mm256_or_si256(eight, _mm256_and_si256(was, alpha)));
            }
        }
    }

    // The keys of each lane's first three bytes.
    static __m256i keys_of(__m256i bytes) {
        using Lanes = std::uint32_t __attribute__((vector_size(32)));
        const auto lane = reinterpret_cast<Lanes>(bytes);
        return reinterpret_cast<__m256i>(key_of(0, lane) | key_of(1, lane, 8) | key_of(2, lane, 16));
    }
#endif

    // A byte's part of a triple's key: its block above bit 12, and below
    // it the triple's place in the block. A block is stored in cubes of
    // 4 x 4 x 4 triples, a cache line each, so that pixels of nearly the
    // same colour share lines. `bytes` may hold the byte at bit `at`, and
    // be a vector of 32-bit lanes.
    template <class Bytes>
    static Bytes key_of(int c, Bytes bytes, int at = 0) {
        const int shift = 2 * (2 - c);
        auto part = [&](std::uint32_t mask, int to) {
            const Bytes bits = bytes & (mask << at);
            return to >= at ? bits << (to - at) : bits >> (at - to);
        };
        return part(0xf0, 8 + 2 * shift) | part(0xc, 4 + shift) | part(0x3, shift);
    }

    // Where the answers of `block` start, `place` its entry in
    // place_of_block_: filled first if need be.
    std::uint32_t place_of(std::uint32_t& place, std::uint32_t block) {
        if (place == 0) place = fill(block);
        return place;
    }

    // Out of line, so that the one-by-one pixel loop keeps its registers.
    [[gnu::noinline]] std::uint32_t fill(std::uint32_t block) {
        std::uint32_t first[3];  // per channel, the block's first byte
        const float* w[3];
        for (int c = 0; c < 3; ++c) {
            first[c] = (block >> (8 - 4 * c) & 15) * side;
            w[c] = working_[c] + first[c];
        }
        float* values[3] = {values_[0].data(), values_[1].data(), values_[2].data()};
        std::int32_t* const indices = indices_.data();
        const std::size_t count = candidates(first, values, indices);
        // Each candidate's squared difference to each byte of the block,
        // per channel.
        float* const squared[3] = {squared_[0].data(), squared_[1].data(), squared_[2].data()};
        for (std::size_t k = 0; k < count; ++k)
            for (int c = 0; c < 3; ++c)
                for (std::uint32_t byte = 0; byte < side; ++byte) {
                    const float d = w[c][byte] - values[c][k];
                    squared[c][k * side + byte] = d * d;
                }
        constexpr std::size_t row_vectors = side / lanes;
        std::int32_t* const winners = winners_.data();
        for (std::uint32_t r = 0, t = 0; r < side; ++r)
            for (std::uint32_t g = 0; g < side; ++g, t += side) {
                // A row of blues: each one's least distance and the palette
                // index of its winner, starting from the first candidate.
                auto distances = [&](std::size_t k, std::size_t v) {
                    const float across = squared[0][k * side + r] + squared[1][k * side + g];
                    return across + load(squared[2] + k * side + v * lanes);
                };
                Floats least[row_vectors];
                Ints winner[row_vectors];
                for (std::size_t v = 0; v < row_vectors; ++v) {
                    least[v] = distances(0, v);
                    winner[v] = Ints{} + indices[0];
                }
                for (std::size_t k = 1; k < count; ++k)
                    for (std::size_t v = 0; v < row_vectors; ++v) {
                        const Floats d = distances(k, v);
                        const Ints nearer = d < least[v];
                        least[v] = nearer ? d : least[v];
                        winner[v] = nearer ? Ints{} + indices[k] : winner[v];
                    }
                __builtin_memcpy(winners + t, winner, sizeof winner);
            }
        // As bytes, in one loop that narrows them in vectors; then out, a
        // row of blues lying in four cubes, four answers in each.
        std::uint8_t narrowed[triples];
        for (std::uint32_t t = 0; t < triples; ++t) narrowed[t] = static_cast<std::uint8_t>(winners[t]);
        const std::uint32_t place = ++filled_ * triples;
        std::uint8_t* const answers = answers_.get() + place;
        for (std::uint32_t r = 0, t = 0; r < side; ++r)
            for (std::uint32_t g = 0; g < side; ++g) {
                std::uint8_t* const cubes = answers + (key_[0][r] | key_[1][g]);
                for (std::uint32_t b = 0; b < side; b += 4, t += 4)
                    __builtin_memcpy(cubes + key_[2][b], narrowed + t, 4);
            }
        return place;
    }

    // The colours that can win for some triple of the block starting at
    // `first`. They are narrowed from those that can win in its region of
    // 2 x 2 x 2 blocks, found once for all the region's blocks: filtering
    // from a region's few winners costs far less than from the many
    // colours of the search's own block around a photo's blocks.
    std::size_t candidates(const std::uint32_t first[3], float* const values[3], std::int32_t* indices) {
        auto range = [&](std::uint32_t bytes) {
            ColorSearch::Floats4 lo = {}, hi = {};
            for (int c = 0; c < 3; ++c) {
                const std::uint32_t start = first[c] / bytes * bytes;
                lo[c] = working_[c][start];
                hi[c] = working_[c][start + bytes - 1];  // working values grow with the byte
            }
            return std::pair{lo, hi};
        };
        std::uint32_t region = 0;
        for (int c = 0; c < 3; ++c) region = region * regions_across + first[c] / region_side;
        std::uint16_t* const within = region_winners_.data() + region * positions_.size();
        std::uint32_t& within_count = region_count_[region];
        if (within_count == 0) {
            const auto [lo, hi] = range(region_side);
            within_count = static_cast<std::uint32_t>(search_.winners(lo, hi, nullptr, 0, within));
        }
        const auto [lo, hi] = range(side);
        const std::size_t count = search_.winners(lo, hi, within, within_count, positions_.data());
        search_.colors_at(positions_.data(), count, values, indices);
        return count;
    }

    ColorSearch& search_;
    float working_[3][256];                  // per channel and byte: shifted working value
    std::uint32_t key_[3][256];              // per channel and byte: its part of the key
    std::vector<std::uint32_t> place_of_block_;  // where its answers start, or 0: not filled
    std::unique_ptr<std::uint8_t[], FreeDeleter> answers_;  // palette indices
    std::uint32_t filled_ = 0;
    // Per region, the colours that can win in it (as the search's
    // positions), and how many, or 0: not found yet.
    static constexpr std::uint32_t region_side = 2 * side, regions_across = 256 / region_side;
    std::vector<std::uint16_t> region_winners_;
    std::vector<std::uint32_t> region_count_;
    // One fill's candidates, their squared differences to the block's
    // bytes, and each triple's winner.
    std::vector<std::uint16_t> positions_;
    std::vector<float> values_[3];
    std::vector<std::int32_t> indices_;
    std::vector<float> squared_[3];
    std::vector<std::int32_t> winners_;
};

}  // namespace

void quantise_by_byte_cube(const PalettePass& pass, ColorSearch::Floats4 shift) {
    ByteCubeCache<this_isa> nearest(pass.search, pass.space.decode.data(), shift, pass.palette.colors.size());
    // The colours as four bytes each, the last one unused.
    std::vector<std::uint32_t> colors(pass.palette.colors.size());
    for (std::size_t i = 0; i < colors.size(); ++i) {
        const Rgb& color = pass.palette.colors[i];
        std::uint8_t four[4] = {color[0], color[1], color[2], 0};
        __builtin_memcpy(&colors[i], four, 4);
    }
    nearest.paint(pass.image.pixels, pass.image.height * pass.image.width, pass.image.channels,
                  colors.data());
}

GRAINEL_TARGET_END
