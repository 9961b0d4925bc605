// Colour mixes for ordered dither to a palette: for a colour, the palette
// colours whose average light is that colour, and how much of each.
//
// Mixes are planned once per node of a 17 x 17 x 17 grid over the sRGB
// cube (bytes 0, 16, ..., 240, 255 per channel), as 64 slots of palette
// colours, and a colour between nodes takes the blend of the four nodes of
// the tetrahedron around it, weighted so that the blend's light is the
// colour's light: the grid costs nothing in accuracy and a plan stays cheap
// enough to make per call.
//
// A node's slots come from a short error diffusion in time (Knoll's pattern
// dither): each slot takes the colour nearest, as sRGB codes it, to the
// node's light plus the error left by the slots before it, so the slots
// average to the node's light and favour the colours nearest to it. Colours
// are ranked darkest first, and a mix is read as a cumulative distribution
// over that order: at threshold t a pixel shows the first rank whose
// cumulative share exceeds t, so low thresholds show dark colours (as rank 0
// of a matrix stays dark the longest).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "palette/palette.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace grainel {

using Shorts8 = std::int16_t __attribute__((vector_size(16)));

// How many of the 16 lanes of two compare results (each 0 or all ones) are
// set, where the set lanes come first: low's lanes 0 to 7, then high's.
[[gnu::always_inline]] inline std::uint32_t leading_set(Shorts8 low, Shorts8 high) {
#if defined(__SSE2__)
    const auto bits = static_cast<std::uint32_t>(_mm_movemask_epi8(
        _mm_packs_epi16(reinterpret_cast<__m128i>(low), reinterpret_cast<__m128i>(high))));
    return static_cast<std::uint32_t>(__builtin_ctz(~bits));
#else
    Shorts8 sum = low + high;
    sum += __builtin_shufflevector(sum, sum, 4, 5, 6, 7, 0, 1, 2, 3);
    sum += __builtin_shufflevector(sum, sum, 2, 3, 0, 1, 2, 3, 0, 1);
    sum += __builtin_shufflevector(sum, sum, 1, 0, 1, 0, 1, 0, 1, 0);
    return static_cast<std::uint32_t>(-sum[0]);
#endif
}

class MixPlan {
public:
    static constexpr std::size_t slots = 64;
    static constexpr std::size_t side = 17;  // nodes per channel
    static constexpr std::size_t nodes = side * side * side;
    // A colour's blend weights add up to weight_one, so a mix's shares are
    // counted in units of 1 / (slots * weight_one) = 2^-14.
    static constexpr std::uint32_t weight_one = 256;
    // Palettes up to this size keep each node's cumulative counts per rank,
    // which pick_counted reads in vector lanes, 16 ranks at a time.
    static constexpr std::size_t most_counted = 64;

    // 1 to 4096 colours. Plans every node, without Python.
    explicit MixPlan(const std::vector<Rgb>& colors);

    // The four nodes around a colour and their weights.
    struct Blend {
        std::array<std::uint32_t, 4> node;
        std::array<std::uint32_t, 4> weight;
    };

    // A colour's entries in the per-channel table below (along_).
    struct Along {
        std::uint32_t r, g, b;
    };
    // Set in a channel's entry where some palette colour has that byte in
    // that channel.
    static constexpr std::uint32_t in_palette = 1u << 31;

    // The offsets from a colour's first node to its second and its third,
    // by the order of its fractions: (fr < fg) | (fg < fb) << 1 |
    // (fr < fb) << 2 (see Tables::blend).
    static constexpr std::uint32_t first_step[8] = {side * side, side, side * side, side * side,
                                                    side * side, side, 1, 1};
    static constexpr std::uint32_t second_step[8] = {
        side * side + side, side * side + side, side * side + 1, side * side + side,
        side * side + side, side + 1,           side * side + 1, side + 1};
    // And to its fourth, the node above it in every channel.
    static constexpr std::uint32_t last_step = side * side + side + 1;

    // What a pixel loop reads, held there by value: bytes the loop writes
    // may alias anything, and these pointers then stay in registers.
    struct Tables {
        const std::uint32_t* along;
        const std::int16_t* counts;
        const std::uint64_t* exact;
        std::uint32_t exact_mask;

        [[gnu::always_inline]] Along along_of(const std::uint8_t* rgb) const {
            return {along[rgb[0]], along[256 + rgb[1]], along[512 + rgb[2]]};
        }
        // False for most colours that are not in the palette, true for all
        // that are.
        [[gnu::always_inline]] static bool maybe_exact(Along e) { return e.r & e.g & e.b & in_palette; }
        // The rank of a palette colour given as its bytes, or -1 for any
        // other colour.
        [[gnu::always_inline]] std::int32_t exact_rank(const std::uint8_t* rgb) const {
            return maybe_exact(along_of(rgb)) ? find(rgb) : -1;
        }
        std::int32_t find(const std::uint8_t* rgb) const;

        [[gnu::always_inline]] static Blend blend(Along e);
        [[gnu::always_inline]] Blend blend(const std::uint8_t* rgb) const { return blend(along_of(rgb)); }
        // The rank a blend shows at threshold q / 2^24 (q below 2^24): the
        // first whose cumulative share exceeds it. Needs counted_chunks() ==
        // Chunks.
        template <std::size_t Chunks>
        [[gnu::always_inline]] std::uint32_t pick_counted(const Blend& blend, std::uint32_t q) const;
    };
    Tables tables() const {
        return {along_.data(), counts_.data(), exact_.data(),
                static_cast<std::uint32_t>(exact_.size() - 1)};
    }

    // The same pick, for every plan.
    std::uint32_t pick(const Blend& blend, std::uint32_t q) const;

    // 1, 2 or 4 for palettes of up to 16, 32 or 64 colours, else 0.
    std::size_t counted_chunks() const { return chunks_; }

    // Palette indices, darkest first (luminance in linear light, then index).
    const std::vector<std::uint16_t>& order() const { return order_; }
    const std::vector<Rgb>& colors() const { return colors_; }
    // The colour of each rank, darkest first.
    const std::vector<Rgb>& ranked_colors() const { return ranked_colors_; }

    // A colour's share of each rank, in units of 2^-14, into `shares`
    // (order().size() entries).
    void shares(const std::uint8_t* rgb, std::uint32_t* shares) const;

private:
    std::vector<Rgb> colors_;
    std::vector<std::uint16_t> order_;
    std::vector<Rgb> ranked_colors_;
    std::vector<std::uint16_t> mixes_;  // per node, its slots: ranks, ascending
    // Per node, for every rank (padded to whole chunks of 16), how many of
    // its slots hold that rank or a lower one; small palettes only.
    std::size_t chunks_;
    std::vector<std::int16_t> counts_;
    // The palette's colours, so that each is shown as itself rather than as
    // the blend of the nodes around it: an open-addressed table, at most an
    // eighth full so that other colours end their search at once, of
    // (1 << 24 | r << 16 | g << 8 | b) | rank << 32; 0 is free.
    std::vector<std::uint64_t> exact_;
    // Per channel and byte: how far the byte is from the node below it
    // towards the next one, in linear light, 0 to weight_one, in bits 16 to
    // 24, and that node's step in node indices along the channel below
    // them; and in_palette, so that most colours not in the palette never
    // reach the table of exact colours.
    std::array<std::uint32_t, 3 * 256> along_;
};

inline MixPlan::Blend MixPlan::Tables::blend(Along e) {
    // Tetrahedral interpolation: walk from the node below the colour to the
    // one above it, along the channels in decreasing order of their
    // fractions; each step's weight is the drop in fraction. It reproduces
    // any linear function of the nodes exactly, here their light. The
    // order of the fractions picks the two middle nodes, by their offsets
    // from the first; channels with equal fractions can go either way, the
    // step between them weighing nothing.
    const std::uint32_t fr = e.r >> 16 & 0x1ff, fg = e.g >> 16 & 0x1ff, fb = e.b >> 16 & 0x1ff;
    const std::uint32_t base = (e.r & 0xffff) + (e.g & 0xffff) + (e.b & 0xffff);
    const unsigned order = (fr < fg) | (fg < fb) << 1 | (fr < fb) << 2;
    // Written as selects on one compare each, which compilers turn into
    // conditional moves: std::max and std::min chained here became a
    // branch, which the colours of a photo mispredict.
    const std::uint32_t rg_high = fr < fg ? fg : fr, rg_low = fr < fg ? fr : fg;
    const std::uint32_t high = rg_high < fb ? fb : rg_high, low = rg_low < fb ? rg_low : fb;
    const std::uint32_t middle = fr + fg + fb - high - low;
    return Blend{{base, base + first_step[order], base + second_step[order], base + last_step},
                 {weight_one - high, high - middle, middle - low, low}};
}

[[gnu::always_inline]] inline std::uint32_t mix_color_key(const std::uint8_t* rgb) {
    return 1u << 24 | static_cast<std::uint32_t>(rgb[0]) << 16 |
           static_cast<std::uint32_t>(rgb[1]) << 8 | rgb[2];
}

[[gnu::always_inline]] inline std::uint32_t mix_color_hash(std::uint32_t key) {
    return (key * 0x9E3779B1u) >> 12;
}

inline std::int32_t MixPlan::Tables::find(const std::uint8_t* rgb) const {
    const std::uint32_t key = mix_color_key(rgb);
    for (std::uint32_t i = mix_color_hash(key) & exact_mask;; i = (i + 1) & exact_mask) {
        const std::uint64_t entry = exact[i];
        if (static_cast<std::uint32_t>(entry) == key) return static_cast<std::int32_t>(entry >> 32);
        if (!entry) return -1;
    }
}

template <std::size_t Chunks>
inline std::uint32_t MixPlan::Tables::pick_counted(const Blend& blend, std::uint32_t q) const {
    // The blend's cumulative share of each rank, in units of 2^-14, is at
    // most 2^14: it fits 16-bit lanes. Shares grow with rank, so the rank
    // shown is the number of ranks whose share is at most q / 2^24.
    const Shorts8 limit = Shorts8{} + static_cast<std::int16_t>((q >> 10) + 1);
    std::uint32_t rank = 0;
    for (std::size_t c = 0; c < Chunks; ++c) {
        Shorts8 low{}, high{};
        for (int k = 0; k < 4; ++k) {
            const std::int16_t* count = counts + (blend.node[k] * Chunks + c) * 16;
            Shorts8 first_eight, last_eight;
            __builtin_memcpy(&first_eight, count, 16);
            __builtin_memcpy(&last_eight, count + 8, 16);
            const auto weight = static_cast<std::int16_t>(blend.weight[k]);
            low += first_eight * weight;
            high += last_eight * weight;
        }
        rank += leading_set(low < limit, high < limit);
    }
    return rank;
}

}  // namespace grainel
