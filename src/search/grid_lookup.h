// The grid search's answers inline in a vector kernel's pixel loop, with
// the kernel's widest vectors: only a cell yet to be filled, or one that
// scans the whole palette, leaves the loop for the search.
#pragma once

#include <cstddef>
#include <cstdint>

#include "search/color_search.h"
#include "search/nearest_lanes.h"
#include "simd/vectors.h"

GRAINEL_TARGET_BEGIN

using Floats4 = ColorSearch::Floats4;

// The first nearest of a short candidate list (ColorSearch::list_lanes
// candidates, some of them padding that never wins). The distances are
// computed with the widest vectors; their least is found in halves of four
// (first_least), which measured faster than shuffling across a 256-bit
// register.
[[gnu::always_inline]] inline std::size_t first_nearest_listed(Floats4 w, const float* list) {
    constexpr std::size_t parts = ColorSearch::list_lanes / lanes;
    constexpr std::size_t stride = ColorSearch::list_lanes;
    const Floats wr = splat(w[0]), wg = splat(w[1]), wb = splat(w[2]);
    Floats d[parts];
    for (std::size_t p = 0; p < parts; ++p) {
        const Floats dr = wr - load(list + p * lanes), dg = wg - load(list + stride + p * lanes),
                     db = wb - load(list + 2 * stride + p * lanes);
        d[p] = (dr * dr + dg * dg) + db * db;
    }
    Floats4 half[2];
    __builtin_memcpy(half, d, sizeof half);
    return ColorSearch::listed_index(list, stride, first_least(half[0], half[1]));
}

// The nearest colour to a query in `cell`, `list` the cell's short list
// or null. A long list is scanned here too; a cell yet to be filled, or one
// that scans the whole palette, is left to the search.
[[gnu::always_inline]] inline std::size_t nearest_in(const ColorSearch::Lookup& lookup, Floats4 w,
                                                     std::uint32_t cell, const float* list) {
    if (list) return first_nearest_listed(w, list);
    std::size_t width;
    if (const float* candidates = lookup.long_list(cell, width)) {
        const std::size_t first = first_nearest_in_lanes(splat(w[0]), splat(w[1]), splat(w[2]),
                                                         candidates, candidates + width,
                                                         candidates + 2 * width, width);
        return ColorSearch::listed_index(candidates, width, first);
    }
    return lookup.nearest_in_cell(w, cell);
}

// The nearest colour to any query. Only a query outside the core pays for
// the outer cells' longer arithmetic: a branch on the core costs less than
// doing it for every query, as most queries are in the core.
[[gnu::always_inline]] inline std::size_t nearest_anywhere(const ColorSearch::Lookup& lookup, Floats4 w) {
    std::uint32_t cell;
    if (!lookup.core_cell(w, cell)) {
        cell = lookup.cell_outside(w);
        if (cell == ColorSearch::no_cell) return lookup.nearest_of_all(w);
    }
    return nearest_in(lookup, w, cell, lookup.short_list(cell));
}

// The nearest colour to a query within the bounds the search was given.
[[gnu::always_inline]] inline std::size_t nearest_inside(const ColorSearch::Lookup& lookup, Floats4 w) {
    if (!lookup.has_grid()) return lookup.nearest(w);  // a scan of the whole palette
    const std::uint32_t cell = lookup.cell_inside(w);
    return nearest_in(lookup, w, cell, lookup.short_list(cell));
}

GRAINEL_TARGET_END
