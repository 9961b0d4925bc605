#include "color_search.h"

#include <algorithm>
#include <cstdint>
#include <limits>

namespace grainel {
namespace {

// Four lanes: one SSE register, the widest vector every x86-64 has.
using Floats = float __attribute__((vector_size(16)));
using Ints = std::int32_t __attribute__((vector_size(16)));
constexpr std::size_t lanes = 4;
constexpr float far_away = 1e30f;  // its squared distance is +inf

Floats distances(const float w[3], const Floats& r, const Floats& g, const Floats& b) {
    const Floats dr = (Floats{} + w[0]) - r, dg = (Floats{} + w[1]) - g, db = (Floats{} + w[2]) - b;
    return (dr * dr + dg * dg) + db * db;
}

struct Smallest {
    float distance;
    std::size_t lane;  // the first lane holding it
};

// No lane may be NaN.
Smallest smallest(Floats d) {
    Floats m = d;
    m = m < __builtin_shufflevector(m, m, 2, 3, 0, 1) ? m : __builtin_shufflevector(m, m, 2, 3, 0, 1);
    m = m < __builtin_shufflevector(m, m, 1, 0, 3, 2) ? m : __builtin_shufflevector(m, m, 1, 0, 3, 2);
    const Ints equal = d == m;
    unsigned bits = 0;
    for (std::size_t l = 0; l < lanes; ++l) bits |= static_cast<unsigned>(equal[l] & 1) << l;
    return {m[0], static_cast<std::size_t>(__builtin_ctz(bits))};
}

}  // namespace

ColorSearch::ColorSearch(const Palette& palette, std::size_t queries)
    : size_(palette.values.size()) {
    // At least one far-away entry past the colours: a cell's unused slots
    // take its index.
    const std::size_t padded = (size_ + 1 + lanes - 1) / lanes * lanes;
    for (int c = 0; c < 3; ++c) {
        channel_[c].assign(padded, far_away);
        for (std::size_t i = 0; i < size_; ++i) channel_[c][i] = palette.values[i][c];
    }
    // Up to four vector blocks of colours a scan is as fast as a lookup;
    // the grid's fixed set-up needs an image of some size to pay off.
    if (size_ > 4 * lanes && queries >= 4096) set_up_grid();
}

std::size_t ColorSearch::scan_all(const float w[3]) const {
    const Floats wr = Floats{} + w[0], wg = Floats{} + w[1], wb = Floats{} + w[2];
    Floats best_distance = Floats{} + std::numeric_limits<float>::infinity();
    Ints best_index = Ints{};
    Ints index = Ints{0, 1, 2, 3};
    const std::size_t padded = channel_[0].size();
    for (std::size_t i = 0; i < padded; i += lanes) {
        Floats r, g, b;
        __builtin_memcpy(&r, channel_[0].data() + i, sizeof r);
        __builtin_memcpy(&g, channel_[1].data() + i, sizeof g);
        __builtin_memcpy(&b, channel_[2].data() + i, sizeof b);
        const Floats dr = wr - r, dg = wg - g, db = wb - b;
        const Floats d = (dr * dr + dg * dg) + db * db;
        // Strictly smaller: each lane keeps the first of its equal colours.
        const Ints closer = d < best_distance;
        best_distance = closer ? d : best_distance;
        best_index = closer ? index : best_index;
        index += static_cast<std::int32_t>(lanes);
    }
    // Of the lanes holding the smallest distance, the smallest index; done
    // with vector selects, as branches here would mispredict.
    const Floats smallest_distance = Floats{} + smallest(best_distance).distance;
    Ints candidate = best_distance == smallest_distance ? best_index : Ints{} + INT32_MAX;
    candidate = candidate < __builtin_shufflevector(candidate, candidate, 2, 3, 0, 1)
                    ? candidate : __builtin_shufflevector(candidate, candidate, 2, 3, 0, 1);
    candidate = candidate < __builtin_shufflevector(candidate, candidate, 1, 0, 3, 2)
                    ? candidate : __builtin_shufflevector(candidate, candidate, 1, 0, 3, 2);
    return static_cast<std::size_t>(candidate[0]);
}

std::size_t ColorSearch::scan_cell(const float w[3], const Cell& cell) {
    std::size_t best = 0;
    float best_distance = std::numeric_limits<float>::infinity();
    for (std::size_t block = 0; block < cell.blocks * lanes; block += lanes) {
        Floats r, g, b;
        __builtin_memcpy(&r, cell.r + block, sizeof r);
        __builtin_memcpy(&g, cell.g + block, sizeof g);
        __builtin_memcpy(&b, cell.b + block, sizeof b);
        const Smallest found = smallest(distances(w, r, g, b));
        // Slots are in palette order, so on a tie the earlier block wins.
        const bool closer = found.distance < best_distance;
        best = closer ? block + found.lane : best;
        best_distance = closer ? found.distance : best_distance;
    }
    return cell.index[best];
}

void ColorSearch::set_up_grid() {
    const std::size_t padded = channel_[0].size();
    for (int c = 0; c < 3; ++c) {
        const auto [lo, hi] = std::minmax_element(channel_[c].begin(), channel_[c].begin() + size_);
        // Diffused values stray well past the palette's extent where it
        // cannot reach a colour; the margin keeps most of them on the grid.
        const float margin = 0.5f * (*hi - *lo) + 32.0f;
        origin_[c] = *lo - margin;
        const float cell_size = (*hi - *lo + 2 * margin) / side;
        inv_cell_size_[c] = 1.0f / cell_size;
        near_[c].assign(side * padded, far_away);
        far_[c].assign(side * padded, far_away);
        for (std::size_t s = 0; s < side; ++s) {
            // Widened slightly, so a query whose cell index rounding put it
            // on the wrong side of a boundary is still inside.
            const double slack = 1e-3 * cell_size;
            const double a = origin_[c] + s * static_cast<double>(cell_size) - slack;
            const double b = a + cell_size + 2 * slack;
            for (std::size_t i = 0; i < size_; ++i) {
                const double v = channel_[c][i];
                const double gap = v < a ? a - v : (v > b ? v - b : 0.0);
                const double reach = std::max(v - a, b - v);
                near_[c][s * padded + i] = static_cast<float>(gap * gap);
                far_[c][s * padded + i] = static_cast<float>(reach * reach);
            }
        }
    }
    cell_slot_.assign(side * side * side, unfilled);
    pool_.reset(new Cell[side * side * side]);
}

void ColorSearch::fill_cell(std::size_t cell) {
    const std::size_t padded = channel_[0].size();
    const std::size_t s[3] = {cell / (side * side), cell / side % side, cell % side};
    const float* near[3] = {&near_[0][s[0] * padded], &near_[1][s[1] * padded],
                            &near_[2][s[2] * padded]};
    const float* far[3] = {&far_[0][s[0] * padded], &far_[1][s[1] * padded],
                           &far_[2][s[2] * padded]};
    auto load = [](const float* p) {
        Floats v;
        __builtin_memcpy(&v, p, sizeof v);
        return v;
    };
    // The cell's bound: the least, over colours, of the farthest squared
    // distance from the colour to any point of the cell.
    Floats bound = Floats{} + std::numeric_limits<float>::infinity();
    for (std::size_t i = 0; i < padded; i += lanes) {
        const Floats reach = (load(far[0] + i) + load(far[1] + i)) + load(far[2] + i);
        bound = reach < bound ? reach : bound;
    }
    // Float distances are within a few parts in 10^7 of the real ones, and
    // these bounds within about the same; the margin is far wider, so no
    // possible winner or tie is dropped.
    const float keep_below = smallest(bound).distance * 1.0001f + 1e-3f;
    Cell& filling = pool_[pool_used_];
    std::size_t count = 0;
    for (std::size_t i = 0; i < padded; i += lanes) {
        const Floats gap = (load(near[0] + i) + load(near[1] + i)) + load(near[2] + i);
        const Ints keep = gap <= keep_below;
        for (std::size_t l = 0; l < lanes; ++l) {
            if (!keep[l]) continue;
            if (count == slots) {
                cell_slot_[cell] = crowded;
                return;
            }
            filling.index[count++] = static_cast<std::uint16_t>(i + l);
        }
    }
    // Pad the last block with the colour that cannot win; the colour that
    // sets the bound always qualifies, so at least one block is real.
    filling.blocks = (count + lanes - 1) / lanes;
    for (std::size_t k = count; k < slots; ++k) filling.index[k] = static_cast<std::uint16_t>(size_);
    for (std::size_t k = 0; k < slots; ++k) {
        filling.r[k] = channel_[0][filling.index[k]];
        filling.g[k] = channel_[1][filling.index[k]];
        filling.b[k] = channel_[2][filling.index[k]];
    }
    cell_slot_[cell] = static_cast<std::uint16_t>(pool_used_++);
}

}  // namespace grainel
