// Exact nearest-colour search, faster than a plain scan of the palette.
//
// The rule it must reproduce: squared distance ((dr*dr + dg*dg) + db*db) in
// 32-bit floats, smallest wins, the first of equal colours wins. A grid over
// working space keeps, per cell, only the colours that could win somewhere
// in the cell (decided with a margin far wider than float rounding), in
// palette order. Cells are filled the first time a pixel lands in them, into
// storage reserved up front, so a pass allocates nothing. Queries outside
// the grid, cells with more than 16 candidates, and small jobs scan every
// colour, a vector of them at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "palette.h"

namespace grainel {

class ColorSearch {
public:
    // `queries` is how many lookups the caller expects: the grid is only
    // set up when it can pay for itself.
    ColorSearch(const Palette& palette, std::size_t queries);

    std::size_t nearest(const float w[3]) {
        if (cell_slot_.empty()) return scan_all(w);
        std::size_t cell = 0;
        for (int c = 0; c < 3; ++c) {
            const float offset = (w[c] - origin_[c]) * inv_cell_size_[c];
            // Written to be false for NaN, so NaN takes the full scan.
            if (!(offset >= 0.0f && offset < static_cast<float>(side))) return scan_all(w);
            cell = cell * side + static_cast<std::size_t>(offset);
        }
        if (cell_slot_[cell] == unfilled) fill_cell(cell);
        if (cell_slot_[cell] == crowded) return scan_all(w);
        return scan_cell(w, pool_[cell_slot_[cell]]);
    }

private:
    static constexpr std::size_t side = 40;  // cells per axis, 64000 in all
    // A cell's place in the pool, or one of these markers.
    static constexpr std::uint16_t unfilled = 0xFFFF;
    static constexpr std::uint16_t crowded = 0xFFFE;

    // Up to `slots` candidates of a cell in palette order, their values
    // laid out for vector loads; unused slots hold a colour that cannot win.
    static constexpr std::size_t slots = 16;
    struct Cell {
        float r[slots], g[slots], b[slots];
        std::uint16_t index[slots];
        std::size_t scanned;  // candidates padded to the scan's multiple
    };

    std::size_t scan_all(const float w[3]) const;
    static std::size_t scan_cell(const float w[3], const Cell& cell);
    void set_up_grid();
    void fill_cell(std::size_t cell);

    std::size_t size_;
    // Palette values by channel, padded for the scan with far-away entries
    // that can never win.
    std::vector<float> channel_[3];
    float origin_[3] = {};
    float inv_cell_size_[3] = {};
    // Per axis and slab of the grid, each colour's smallest and largest
    // squared distance to the slab; a cell's bounds are sums of three.
    // Padded like the channels, with entries that never qualify.
    std::vector<float> near_[3], far_[3];
    std::vector<std::uint16_t> cell_slot_;
    // Filled cells, in the order pixels first reached them. Reserved for
    // every cell but left uninitialised, so memory is only touched as cells
    // fill.
    std::unique_ptr<Cell[]> pool_;
    std::size_t pool_used_ = 0;
};

}  // namespace grainel
