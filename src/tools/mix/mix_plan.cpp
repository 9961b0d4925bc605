#include "tools/mix/mix_plan.h"

#include <algorithm>
#include <cmath>
#include <numeric>
#include <utility>

#include "search/color_search.h"
#include "tools/color/color_spaces.h"

namespace grainel {
namespace {

using Floats4 = ColorSearch::Floats4;

// The byte value of node i along a channel.
std::uint32_t node_byte(std::size_t i) {
    return i + 1 < MixPlan::side ? static_cast<std::uint32_t>(16 * i) : 255u;
}

// The projection onto the directions in which the colours differ (an
// orthonormal basis of their differences, from Gram-Schmidt): the identity
// for palettes that span the whole space.
std::array<std::array<float, 3>, 3> reachable_directions(const std::vector<std::array<float, 3>>& light) {
    std::vector<std::array<double, 3>> basis;
    for (const auto& color : light) {
        std::array<double, 3> d{};
        for (int c = 0; c < 3; ++c) d[c] = static_cast<double>(color[c]) - light[0][c];
        for (const auto& b : basis) {
            const double along = d[0] * b[0] + d[1] * b[1] + d[2] * b[2];
            for (int c = 0; c < 3; ++c) d[c] -= along * b[c];
        }
        const double length = std::sqrt(d[0] * d[0] + d[1] * d[1] + d[2] * d[2]);
        if (length > 1e-3 && basis.size() < 3) basis.push_back({d[0] / length, d[1] / length, d[2] / length});
    }
    std::array<std::array<float, 3>, 3> projection{};
    for (int i = 0; i < 3; ++i)
        for (int k = 0; k < 3; ++k) {
            double sum = 0.0;
            for (const auto& b : basis) sum += b[i] * b[k];
            projection[i][k] = basis.size() == 3 ? (i == k ? 1.0f : 0.0f) : static_cast<float>(sum);
        }
    return projection;
}

// Sorts a node's slots, which hold few distinct ranks, by counting them:
// a comparison sort of 64 slots per node took a fifth of the planning.
// `seen` holds a zero per rank, and is left so.
void sort_slots(std::uint16_t* slot, std::uint8_t* seen) {
    std::uint16_t distinct[MixPlan::slots];
    std::size_t kinds = 0;
    for (std::size_t k = 0; k < MixPlan::slots; ++k)
        if (seen[slot[k]]++ == 0) distinct[kinds++] = slot[k];
    for (std::size_t i = 1; i < kinds; ++i)
        for (std::size_t j = i; j > 0 && distinct[j - 1] > distinct[j]; --j)
            std::swap(distinct[j - 1], distinct[j]);
    for (std::size_t i = 0; i < kinds; ++i) {
        for (std::uint8_t n = seen[distinct[i]]; n; --n) *slot++ = distinct[i];
        seen[distinct[i]] = 0;
    }
}

}  // namespace

MixPlan::MixPlan(const std::vector<Rgb>& colors)
    : colors_(colors), order_(colors.size()), chunks_(0) {
    const auto& linear = linear_of_byte();
    std::vector<std::array<float, 3>> light(colors.size());
    std::vector<double> luminance(colors.size());
    for (std::size_t i = 0; i < colors.size(); ++i) {
        for (int c = 0; c < 3; ++c) light[i][c] = linear[colors[i][c]];
        luminance[i] = 0.2126 * light[i][0] + 0.7152 * light[i][1] + 0.0722 * light[i][2];
    }
    std::iota(order_.begin(), order_.end(), 0);
    std::stable_sort(order_.begin(), order_.end(),
                     [&](std::uint16_t a, std::uint16_t b) { return luminance[a] < luminance[b]; });
    std::vector<std::uint16_t> rank(colors.size());
    for (std::size_t r = 0; r < order_.size(); ++r) rank[order_[r]] = static_cast<std::uint16_t>(r);
    for (const std::uint16_t i : order_) ranked_colors_.push_back(colors[i]);

    std::size_t table_size = 64;
    while (table_size < 8 * colors.size()) table_size *= 2;
    exact_.assign(table_size, 0);
    for (std::size_t r = 0; r < order_.size(); ++r) {
        const std::uint32_t key = mix_color_key(colors[order_[r]].data());
        std::uint32_t i = mix_color_hash(key) & (table_size - 1);
        while (exact_[i] && static_cast<std::uint32_t>(exact_[i]) != key) i = (i + 1) & (table_size - 1);
        if (!exact_[i]) exact_[i] = key | static_cast<std::uint64_t>(r) << 32;
    }

    constexpr std::uint32_t steps[3] = {side * side, side, 1};
    for (int b = 0; b < 256; ++b) {
        const std::size_t i = std::min<std::size_t>(static_cast<std::size_t>(b) / 16, side - 2);
        const double lo = linear[node_byte(i)], hi = linear[node_byte(i + 1)];
        const auto fraction =
            static_cast<std::uint32_t>(std::lround((linear[b] - lo) / (hi - lo) * weight_one));
        for (int c = 0; c < 3; ++c)
            along_[256 * c + b] = fraction << 16 | static_cast<std::uint32_t>(i) * steps[c];
    }
    for (const Rgb& color : colors)
        for (int c = 0; c < 3; ++c) along_[256 * c + color[c]] |= in_palette;

    // Error the palette cannot pay back in any number of slots is not
    // carried: for palettes whose colours lie on a line or a plane (in
    // linear light) only the part of the error along it is, so a target
    // off it is mixed as its projection onto it, and one on it exactly,
    // rather than drifting further off with every slot. The projection is
    // kept by columns, so that vector arithmetic applies it to the three
    // channels of a node at once, each channel's sum in the same order.
    const auto by_rows = reachable_directions(light);
    Floats4 reachable[3];
    for (int k = 0; k < 3; ++k) reachable[k] = Floats4{by_rows[0][k], by_rows[1][k], by_rows[2][k], 0.0f};
    std::vector<Floats4> light_of(colors.size());
    for (std::size_t i = 0; i < colors.size(); ++i)
        light_of[i] = Floats4{light[i][0], light[i][1], light[i][2], 0.0f};
    // Colours are matched as sRGB codes them, as the perceptual remap does.
    const Palette coded(colors, Space(false));
    const ColorSearch::Bounds all_codes{{0.0f, 0.0f, 0.0f, 0.0f}, {255.0f, 255.0f, 255.0f, 0.0f}};
    ColorSearch search(coded, side * side * side * slots, &all_codes);
    const ColorSearch::Lookup nearest = search.lookup();
    const SrgbEncoder encode;
    mixes_.resize(nodes * slots);
    std::vector<std::uint8_t> seen(colors.size());
    // Each slot waits on the error the one before it left, so one node's
    // slots form a chain of dependent steps; the nodes of a row of the grid
    // take their slots in turn, so that the processor overlaps their chains.
    for (std::size_t r = 0; r < side; ++r) {
        for (std::size_t g = 0; g < side; ++g) {
            std::uint16_t* out = mixes_.data() + (r * side + g) * side * slots;
            Floats4 target[side], owed[side];
            for (std::size_t b = 0; b < side; ++b) {
                target[b] = Floats4{linear[node_byte(r)], linear[node_byte(g)], linear[node_byte(b)], 0.0f};
                owed[b] = Floats4{};
            }
            for (std::size_t k = 0; k < slots; ++k) {
                for (std::size_t b = 0; b < side; ++b) {
                    const Floats4 sum = target[b] + owed[b];
                    const Floats4 goal{encode(sum[0]), encode(sum[1]), encode(sum[2]), 0.0f};
                    const std::size_t j = nearest.nearest(goal);
                    out[b * slots + k] = rank[j];
                    const Floats4 left = target[b] - light_of[j];
                    owed[b] += (reachable[0] * left[0] + reachable[1] * left[1]) + reachable[2] * left[2];
                }
            }
            for (std::size_t b = 0; b < side; ++b) sort_slots(out + b * slots, seen.data());
        }
    }

    if (colors.size() <= most_counted) {
        chunks_ = (colors.size() + 15) / 16;
        chunks_ = chunks_ == 3 ? 4 : chunks_;
        const std::size_t lanes = 16 * chunks_;
        counts_.assign(nodes * lanes, 0);
        for (std::size_t n = 0; n < nodes; ++n) {
            std::int16_t* count = counts_.data() + n * lanes;
            for (std::size_t k = 0; k < slots; ++k) ++count[mixes_[n * slots + k]];
            for (std::size_t r = 1; r < lanes; ++r) count[r] += count[r - 1];
        }
    }
}

std::uint32_t MixPlan::pick(const Blend& blend, std::uint32_t q) const {
    // Each node alone would show its slot q / 2^18, and the blend shows a
    // rank between the least and the greatest of those (of the nodes that
    // count). Ranks are tried upwards from the least; a node's cumulative
    // count of a rank is where the rank ends in its sorted slots.
    const std::uint32_t slot = q >> 18;
    std::uint32_t rank = 0xffffffffu;
    for (int k = 0; k < 4; ++k)
        if (blend.weight[k]) rank = std::min<std::uint32_t>(rank, mixes_[blend.node[k] * slots + slot]);
    for (;;) {
        std::uint32_t total = 0, next = 0xffffffffu;
        for (int k = 0; k < 4; ++k) {
            if (!blend.weight[k]) continue;
            const std::uint16_t* mix = mixes_.data() + blend.node[k] * slots;
            const auto count = static_cast<std::uint32_t>(std::upper_bound(mix, mix + slots, rank) - mix);
            total += blend.weight[k] * count;
            if (count < slots) next = std::min<std::uint32_t>(next, mix[count]);
        }
        if ((total << 10) > q) return rank;  // total / 2^14 > q / 2^24
        rank = next;
    }
}

void MixPlan::shares(const std::uint8_t* rgb, std::uint32_t* shares) const {
    std::fill(shares, shares + order_.size(), 0u);
    if (const std::int32_t rank = tables().exact_rank(rgb); rank >= 0) {
        shares[rank] = slots * weight_one;
        return;
    }
    const Blend b = tables().blend(rgb);
    for (int k = 0; k < 4; ++k)
        for (std::size_t s = 0; s < slots; ++s) shares[mixes_[b.node[k] * slots + s]] += b.weight[k];
}

}  // namespace grainel
