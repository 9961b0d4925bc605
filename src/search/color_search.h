// Exact nearest-colour search, faster than a plain scan of the palette.
//
// The rule it must reproduce: squared distance ((dr*dr + dg*dg) + db*db) in
// 32-bit floats, smallest wins, the first of equal colours wins. A grid
// over working space keeps, per cell, only the colours that can win
// somewhere in the cell (winner_filter.h), in palette order, so a query
// compares few colours where the palette is sparse near it and more where
// it is crowded. Along each channel the grid has evenly spaced core cells
// across the palette's range and a margin around it and, beyond them on
// either side, outer cells that double in width: diffused values can run
// tens of thousands of units past the palette, where only a few colours can
// win, and they still find a cell. Cells are filled the first time a query
// lands in them, into storage reserved up front, so a pass allocates
// nothing. Threads may share a search: fills are made one at a time, and
// a cell's entry is published only once its list is in place, so a query
// sees either an empty cell or a whole one.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <mutex>
#include <vector>

#include "simd/movemask.h"
#include "buffers/large_buffers.h"
#include "palette/palette.h"
#include "search/winner_filter.h"

namespace grainel {

class ColorSearch {
public:
    // A query: the working values r, g, b in lanes 0 to 2; lane 3 is ignored.
    using Floats4 = float __attribute__((vector_size(16)));

    // A range of working values per channel (lanes 0 to 2).
    struct Bounds {
        Floats4 lo, hi;
    };

    // `queries` is how many lookups the caller expects: the grid is only
    // set up when it can pay for itself. A caller that knows every query
    // lies within `bounds` may give them: the core then covers just that
    // range, and Lookup::cell_inside finds a query's cell without checks.
    // `cells_per_spacing` core cells span the colours' typical spacing
    // along each channel: finer cells hold shorter lists but take more
    // fills, which pays where the queries keep to few cells.
    ColorSearch(const Palette& palette, std::size_t queries, const Bounds* bounds = nullptr,
                int cells_per_spacing = 2);

    bool has_grid() const { return span_ != 0; }
    // Whether a search over this many distinct colours sets up its grid
    // for this many queries.
    static bool grid_pays(std::size_t distinct_colors, std::size_t queries);

    // A cell's candidates, in palette order, padded with colours that never
    // win to a multiple of list_lanes: their r values, then g, then b, then
    // their palette indices as 32-bit integers.
    static constexpr std::size_t list_lanes = 8;

    // The palette index of candidate `position` of a list `width` wide.
    [[gnu::always_inline]] static std::size_t listed_index(const float* list, std::size_t width,
                                                           std::size_t position) {
        std::int32_t index;
        std::memcpy(&index, list + 3 * width + position, sizeof index);
        return static_cast<std::size_t>(index);
    }

    // Not a cell: the query lies past the grid's ends.
    static constexpr std::uint32_t no_cell = ~0u;

    // What a query reads, copied into the pixel loop: held by value there,
    // it cannot be aliased by the bytes the loop writes, so it stays in
    // registers. Cells fill through the search, into storage that never
    // moves.
    class Lookup;
    Lookup lookup();

    // The colours that can be nearest to some query between lo and hi, as
    // the search's positions of them, in palette order; returns how many.
    // They are filtered from the `count` positions at `within`, which must
    // hold them all (the winners of a range that holds this one), or, with
    // `within` null, from the smallest of the search's own blocks that
    // holds the range. The range must lie within the bounds the search was
    // given; `kept` needs room for the whole palette.
    std::size_t winners(Floats4 lo, Floats4 hi, const std::uint16_t* within, std::size_t count,
                        std::uint16_t* kept);

    // The values by channel and the palette indices of `count` positions.
    void colors_at(const std::uint16_t* positions, std::size_t count, float* const values[3],
                    std::int32_t* indices) const;

private:
    using Ints4 = std::int32_t __attribute__((vector_size(16)));
    using Slots = std::uint32_t __attribute__((vector_size(16)));

    // Outer cells per channel on each side of the core, the n-th 2^n core
    // cells wide: the grid reaches 2^14 core cells past the core.
    static constexpr std::uint32_t outer = 14;
    // A cell's entry: where its list starts, in units of four floats, above
    // the count of its candidates. Count 0: not filled yet.
    static constexpr int count_bits = 12;
    static constexpr std::uint32_t count_mask = (1u << count_bits) - 1;
    static constexpr std::uint32_t scan_all_mark = count_mask;  // scan the palette instead
    // Cells are filled from the winners of a block of cells around them,
    // and those blocks from the winners of larger blocks, three levels in
    // all. Per channel a block spans 2^core_shift core cells or
    // 2^outer_shift outer ones. The smallest blocks are two core cells wide,
    // so that more of them have few enough winners for their cells to
    // share one list instead of each filtering its own.
    static constexpr std::uint32_t group_levels = 3;
    static constexpr std::uint32_t core_shift[group_levels] = {1, 3, 5};
    static constexpr std::uint32_t outer_shift[group_levels] = {0, 0, 2};

    // Blocks are zero-filled by calloc, which is their empty state.
    struct Group {
        bool filled;
        std::uint32_t start, count;  // its winners in group_lists_
        std::uint32_t cell_entry;    // the list its cells share, if they do
    };
    struct GroupLevel {
        std::uint32_t per_side = 0;
        std::vector<std::uint32_t> of_slot, first_slot, last_slot;
        std::unique_ptr<Group[], FreeDeleter> groups;
    };

    static std::size_t scan_eight(Floats4 w, const float* list);
    std::size_t scan_all(Floats4 w) const;
    std::size_t nearest_in_cell(Floats4 w, std::uint32_t cell);
    std::size_t nearest_outside(Floats4 w);
    void set_up_grid(std::size_t queries, const Bounds* bounds, int cells_per_spacing);
    void set_up_slots(int channel, float lo, float hi);
    void set_up_groups();
    std::uint32_t fill_cell(std::uint32_t cell);
    Group& group_of(std::uint32_t level, const std::uint32_t slot[3]);
    const std::uint16_t* group_winners(std::uint32_t level, const std::uint32_t slot[3],
                                       std::size_t& count);
    std::uint32_t store_list(const std::uint16_t* winners, std::size_t count);
    Box box(const std::uint32_t first[3], const std::uint32_t last[3]) const;

    using Scan = std::size_t (*)(const float*, const float*, const float*, const float*,
                                 std::size_t);
    Scan scan_;  // the first_nearest of the widest vectors this CPU runs

    // The palette's distinct colours, the first of each set of equal ones
    // in palette order (a later equal colour never wins): by channel,
    // padded for the scan with far-away entries that can never win, and
    // each with its palette index.
    std::size_t size_;
    std::vector<float> channel_[3];
    std::vector<std::int32_t> index_;
    std::vector<std::uint16_t> all_;  // 0, 1, ... size_ - 1

    // The grid: span_ slots per channel, core_ of them in the core. A
    // query's u = (w - origin_) * scale_ is in [0, core_) in the core, whose
    // slot k + outer holds u in [k, k + 1).
    Floats4 origin_ = {}, scale_ = {};
    std::uint32_t core_ = 0, span_ = 0;  // span_ 0: no grid
    // Per channel and slot, the range of working values its queries can
    // have: its exact range, widened to allow for the rounding of u.
    std::vector<double> slot_lo_[3], slot_hi_[3];
    // Zero-filled by calloc, so untouched pages are never mapped.
    std::unique_ptr<std::uint32_t[], FreeDeleter> cells_;
    // Candidate lists. Reserved whole; only what cells fill is touched.
    std::unique_ptr<float[]> lists_;
    std::size_t lists_used_ = 0;
    GroupLevel group_levels_[group_levels];
    std::unique_ptr<std::uint16_t[]> group_lists_;
    std::size_t group_lists_used_ = 0;
    std::vector<std::uint16_t> winners_;  // one fill's result
    std::unique_ptr<WinnerFilter> filter_;
    std::mutex filling_;  // held by whatever writes the blocks, lists and cells
};

class ColorSearch::Lookup {
public:
    bool has_grid() const { return span_ != 0; }

    // The palette index of the first nearest colour to w.
    [[gnu::always_inline]] std::size_t nearest(Floats4 w) const {
        // Most queries fall in the core: they are handled here.
        std::uint32_t cell;
        if (!core_cell(w, cell)) return search_->nearest_outside(w);
        if (const float* list = short_list(cell)) return scan_eight(w, list);
        return search_->nearest_in_cell(w, cell);
    }

    // Whether w lies in the core (never without a grid), and if so its cell.
    [[gnu::always_inline]] bool core_cell(Floats4 w, std::uint32_t& cell) const {
        const Floats4 u = (w - origin_) * scale_;
        if ((movemask((u >= 0.0f) & (u < core_)) & 7) != 7) return false;
        cell = cell_of(u);
        return true;
    }

    // The cell of a query outside the core, or no_cell past the grid's
    // ends (and with no grid at all). Inline, so that a vector kernel
    // computes it in its own instructions.
    [[gnu::always_inline]] std::uint32_t cell_outside(Floats4 w) const {
        const Floats4 u = (w - origin_) * scale_;
        const Floats4 below = 1.0f - u, above = u - (core_ - 1.0f);
        // Outer cells are numbered by the float exponent of below or above,
        // each at least 1 where it is used. Past either end of the grid (and
        // for NaN) the slot wraps around as an unsigned number.
        const Slots below_exponent = reinterpret_cast<Slots>(below) >> 23;
        const Slots above_exponent = reinterpret_cast<Slots>(above) >> 23;
        const Slots inside = reinterpret_cast<Slots>(__builtin_convertvector(u, Ints4));
        const Slots slot = u < 0.0f ? (outer - 1 + 127) - below_exponent
                                    : (u < core_ ? outer + inside : (span_ - outer - 127) + above_exponent);
        if (movemask(slot >= span_) & 7) return no_cell;
        return (slot[0] * span_ + slot[1]) * span_ + slot[2];
    }

    // The nearest colour to a query, by a scan of the whole palette.
    std::size_t nearest_of_all(Floats4 w) const { return search_->scan_all(w); }

    // The cell of a query within the bounds the search was given.
    [[gnu::always_inline]] std::uint32_t cell_inside(Floats4 w) const {
        return cell_of((w - origin_) * scale_);
    }

    // The cell's list if the cell is filled and has up to list_lanes
    // candidates, else null.
    [[gnu::always_inline]] const float* short_list(std::uint32_t cell) const {
        const std::uint32_t entry = entry_of(cell);
        return (entry & count_mask) - 1 < list_lanes ? lists_ + (entry >> count_bits) * 4 : nullptr;
    }

    // The cell's list if the cell is filled and has more than list_lanes
    // candidates (but not so many that it scans the whole palette), with
    // their count rounded up to a multiple of list_lanes; else null.
    [[gnu::always_inline]] const float* long_list(std::uint32_t cell, std::size_t& width) const {
        const std::uint32_t entry = entry_of(cell);
        const std::uint32_t count = entry & count_mask;
        if (count <= list_lanes || count == scan_all_mark) return nullptr;
        width = (count + list_lanes - 1) / list_lanes * list_lanes;
        return lists_ + (entry >> count_bits) * 4;
    }

    // The nearest colour to a query in the cell, however long its list;
    // fills the cell first if need be.
    std::size_t nearest_in_cell(Floats4 w, std::uint32_t cell) const {
        return search_->nearest_in_cell(w, cell);
    }

private:
    friend class ColorSearch;

    // A cell's entry, and with it everything its fill wrote (the load pairs
    // with the store that published it; on x86 it is a plain load).
    [[gnu::always_inline]] std::uint32_t entry_of(std::uint32_t cell) const {
        return __atomic_load_n(cells_ + cell, __ATOMIC_ACQUIRE);
    }

    // The cell of a u in the core.
    [[gnu::always_inline]] std::uint32_t cell_of(Floats4 u) const {
        const Slots slot = outer + reinterpret_cast<Slots>(__builtin_convertvector(u, Ints4));
        return (slot[0] * span_ + slot[1]) * span_ + slot[2];
    }

    Floats4 origin_, scale_;
    float core_;
    std::uint32_t span_;
    const std::uint32_t* cells_;
    const float* lists_;
    ColorSearch* search_;
};

// Which of the eight lanes of low and high first holds the least value.
[[gnu::always_inline]] inline int first_least(ColorSearch::Floats4 low, ColorSearch::Floats4 high) {
    ColorSearch::Floats4 least = low < high ? low : high;
    ColorSearch::Floats4 other = __builtin_shufflevector(least, least, 1, 0, 3, 2);
    least = least < other ? least : other;
    other = __builtin_shufflevector(least, least, 2, 3, 0, 1);
    least = least < other ? least : other;
    return __builtin_ctz(movemask(low == least) | movemask(high == least) << 4);
}

// The first nearest of a list of eight candidates, in two vectors.
[[gnu::always_inline]] inline std::size_t ColorSearch::scan_eight(Floats4 w, const float* list) {
    auto distances = [&](const float* at) {
        Floats4 r, g, b;
        std::memcpy(&r, at, sizeof r);
        std::memcpy(&g, at + list_lanes, sizeof g);
        std::memcpy(&b, at + 2 * list_lanes, sizeof b);
        const Floats4 dr = w[0] - r, dg = w[1] - g, db = w[2] - b;
        return (dr * dr + dg * dg) + db * db;
    };
    return listed_index(list, list_lanes, first_least(distances(list), distances(list + 4)));
}

inline ColorSearch::Lookup ColorSearch::lookup() {
    Lookup view;
    view.origin_ = origin_;
    view.scale_ = scale_;
    view.core_ = static_cast<float>(core_);
    view.span_ = span_;
    view.cells_ = cells_.get();
    view.lists_ = lists_.get();
    view.search_ = this;
    return view;
}

}  // namespace grainel
