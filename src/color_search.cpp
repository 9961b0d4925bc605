#include "color_search.h"

#include "nearest_scan.h"

#include <algorithm>
#include <cstdint>
#include <limits>

namespace grainel {
namespace {

// Four lanes: the bounds below are summed and compared in SSE registers,
// which every x86-64 has.
using Floats = float __attribute__((vector_size(16)));
using Ints = std::int32_t __attribute__((vector_size(16)));
constexpr std::size_t lanes = 4;

Floats load(const float* from) {
    Floats v;
    __builtin_memcpy(&v, from, sizeof v);
    return v;
}

// The smallest of four values; no lane may be NaN.
float smallest(Floats d) {
    d = d < __builtin_shufflevector(d, d, 2, 3, 0, 1) ? d : __builtin_shufflevector(d, d, 2, 3, 0, 1);
    d = d < __builtin_shufflevector(d, d, 1, 0, 3, 2) ? d : __builtin_shufflevector(d, d, 1, 0, 3, 2);
    return d[0];
}

std::size_t scan(const float w[3], const float* r, const float* g, const float* b,
                 std::size_t count) {
    return with_vector_isa([&]<Isa I>() { return first_nearest<I>(w, r, g, b, count); });
}

}  // namespace

ColorSearch::ColorSearch(const Palette& palette, std::size_t queries)
    : size_(palette.values.size()) {
    // At least one far-away entry past the colours: a cell's unused slots
    // take its index.
    const std::size_t padded = (size_ + scan_padding) / scan_padding * scan_padding;
    for (int c = 0; c < 3; ++c) {
        channel_[c].assign(padded, far_away);
        for (std::size_t i = 0; i < size_; ++i) channel_[c][i] = palette.values[i][c];
    }
    // Up to 16 colours a scan is as fast as a lookup; the grid's fixed
    // set-up needs an image of some size to pay off.
    if (size_ > 16 && queries >= 4096) set_up_grid();
}

std::size_t ColorSearch::scan_all(const float w[3]) const {
    return scan(w, channel_[0].data(), channel_[1].data(), channel_[2].data(),
                channel_[0].size());
}

std::size_t ColorSearch::scan_cell(const float w[3], const Cell& cell) {
    // Slots are in palette order, so the first nearest slot is the answer.
    return cell.index[scan(w, cell.r, cell.g, cell.b, cell.scanned)];
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
    const float keep_below = smallest(bound) * 1.0001f + 1e-3f;
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
    // Pad with the colour that cannot win; the colour that sets the bound
    // always qualifies, so the cell is never empty.
    filling.scanned = (count + scan_padding - 1) / scan_padding * scan_padding;
    for (std::size_t k = count; k < slots; ++k) filling.index[k] = static_cast<std::uint16_t>(size_);
    for (std::size_t k = 0; k < slots; ++k) {
        filling.r[k] = channel_[0][filling.index[k]];
        filling.g[k] = channel_[1][filling.index[k]];
        filling.b[k] = channel_[2][filling.index[k]];
    }
    cell_slot_[cell] = static_cast<std::uint16_t>(pool_used_++);
}

}  // namespace grainel
