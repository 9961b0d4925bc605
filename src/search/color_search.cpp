#include "search/color_search.h"

#include "simd/isa.h"
#include "search/first_nearest.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <new>
#include <numeric>

namespace grainel {
namespace {

constexpr std::size_t round_up(std::size_t n, std::size_t multiple) {
    return (n + multiple - 1) / multiple * multiple;
}

// Storage reserved for candidate lists: 16 MiB of address space, of which
// a pass touches only what its cells use (a few MiB at most in practice).
// Cells that find it full are marked to scan the whole palette instead.
constexpr std::size_t list_floats = std::size_t{1} << 22;
// The blocks' lists of winners, likewise: 2 MiB.
constexpr std::size_t group_list_entries = std::size_t{1} << 20;

}  // namespace

ColorSearch::ColorSearch(const Palette& palette, std::size_t queries, const Bounds* bounds,
                         int cells_per_spacing)
    : scan_(GRAINEL_DISPATCH(first_nearest)) {
    // Of equal colours only the first in palette order can win: keep that one.
    const auto& values = palette.values;
    std::vector<std::uint32_t> by_value(values.size());
    std::iota(by_value.begin(), by_value.end(), 0u);
    std::stable_sort(by_value.begin(), by_value.end(),
                     [&](std::uint32_t a, std::uint32_t b) { return values[a] < values[b]; });
    std::vector<bool> first_of_its_value(values.size(), false);
    for (std::size_t k = 0; k < by_value.size(); ++k)
        if (k == 0 || values[by_value[k]] != values[by_value[k - 1]])
            first_of_its_value[by_value[k]] = true;
    for (std::uint32_t i = 0; i < values.size(); ++i)
        if (first_of_its_value[i]) index_.push_back(static_cast<std::int32_t>(i));
    size_ = index_.size();

    const std::size_t padded = round_up(size_, scan_padding);
    for (int c = 0; c < 3; ++c) {
        channel_[c].assign(padded, far_away);
        for (std::size_t k = 0; k < size_; ++k) channel_[c][k] = values[index_[k]][c];
    }
    set_up_grid(queries, bounds, cells_per_spacing);
}

bool ColorSearch::grid_pays(std::size_t distinct_colors, std::size_t queries) {
    return distinct_colors > 4 &&
           static_cast<double>(queries) >= std::max(4096.0, 262144.0 / std::sqrt(distinct_colors));
}

void ColorSearch::set_up_grid(std::size_t queries, const Bounds* bounds, int cells_per_spacing) {
    // A handful of colours is one vector to scan. The grid costs a set-up
    // and a fill per cell reached; it pays off at fewer queries the more
    // colours a scan would compare (measured: some 65000 queries for 16
    // colours, 12000 for 256, 4000 for 4096).
    if (!grid_pays(size_, queries)) return;
    // The core: the bounds given, or the palette's range with a margin of
    // the colours' typical spacing, where most diffused values stay. By
    // default its cells are half that spacing wide: filling a cell costs
    // about as much as a thousand queries, and for Floyd-Steinberg a third
    // of it (measured with 256 colours fitted to a photo) filled over twice
    // the cells for lists only a little shorter.
    float lo[3], hi[3], widest = 1.0f;
    for (int c = 0; c < 3; ++c) {
        if (bounds) {
            lo[c] = bounds->lo[c];
            hi[c] = bounds->hi[c];
        } else {
            const auto [least, most] =
                std::minmax_element(channel_[c].begin(), channel_[c].begin() + size_);
            lo[c] = *least;
            hi[c] = *most;
        }
        widest = std::max(widest, hi[c] - lo[c]);
    }
    const float spacing = widest / static_cast<float>(std::cbrt(static_cast<double>(size_)));
    if (!bounds) {
        for (int c = 0; c < 3; ++c) lo[c] -= spacing, hi[c] += spacing;
        widest += 2 * spacing;
    }
    core_ = static_cast<std::uint32_t>(std::clamp(std::lround(cells_per_spacing * widest / spacing), 4l, 64l));
    span_ = core_ + 2 * outer;
    for (int c = 0; c < 3; ++c) set_up_slots(c, lo[c], hi[c]);
    cells_.reset(static_cast<std::uint32_t*>(
        std::calloc(std::size_t{span_} * span_ * span_, sizeof(std::uint32_t))));
    if (!cells_) throw std::bad_alloc();
    lists_.reset(new float[list_floats]);
    set_up_groups();
    group_lists_.reset(new std::uint16_t[group_list_entries]);
    all_.resize(size_);
    std::iota(all_.begin(), all_.end(), std::uint16_t{0});
    winners_.resize(size_);
    const float* channels[3] = {channel_[0].data(), channel_[1].data(), channel_[2].data()};
    filter_ = std::make_unique<WinnerFilter>(channels, size_);
}

// The slots of one channel, with the core spanning lo..hi.
void ColorSearch::set_up_slots(int c, float lo, float hi) {
    origin_[c] = lo;
    // With bounds, the largest query's u must stay below core_; every step
    // of computing u rounds monotonically, so u grows with the query.
    scale_[c] = static_cast<float>(core_) / std::max(hi - lo, 1.0f);
    while ((hi - lo) * scale_[c] >= static_cast<float>(core_))
        scale_[c] = std::nextafter(scale_[c], 0.0f);
    // A slot's range of u: core slots hold the u whose whole part is theirs,
    // outer slots those whose 1 - u or u - (core - 1) has their exponent
    // (nearest_outside). The u of a query, and those two, are rounded, so
    // they are within 2^-22 of their size of the exact values; the range is
    // widened by far more, 1e-5 |u| plus 1e-4 of its width, and turned into
    // working values with the exact inverse of the scale.
    const double unit = 1.0 / static_cast<double>(scale_[c]);
    slot_lo_[c].resize(span_);
    slot_hi_[c].resize(span_);
    for (std::uint32_t slot = 0; slot < span_; ++slot) {
        double a, b;
        if (slot < outer) {
            a = 1.0 - std::ldexp(1.0, static_cast<int>(outer - slot));
            b = 1.0 - std::ldexp(1.0, static_cast<int>(outer - 1 - slot));
        } else if (slot < outer + core_) {
            a = slot - outer;
            b = a + 1.0;
        } else {
            const int n = static_cast<int>(slot - outer - core_);
            a = core_ - 1.0 + std::ldexp(1.0, n);
            b = core_ - 1.0 + std::ldexp(1.0, n + 1);
        }
        const double slack = 1e-4 * (b - a) + 1e-5 * std::max(std::abs(a), std::abs(b));
        slot_lo_[c][slot] = origin_[c] + (a - slack) * unit;
        slot_hi_[c][slot] = origin_[c] + (b + slack) * unit;
    }
}

void ColorSearch::set_up_groups() {
    for (std::uint32_t level = 0; level < group_levels; ++level) {
        GroupLevel& blocks = group_levels_[level];
        blocks.of_slot.resize(span_);
        // Slots are counted outwards from the core on either side.
        auto key = [&](std::uint32_t slot) {
            if (slot < outer) return std::pair(0u, (outer - 1 - slot) >> outer_shift[level]);
            if (slot < outer + core_) return std::pair(1u, (slot - outer) >> core_shift[level]);
            return std::pair(2u, (slot - outer - core_) >> outer_shift[level]);
        };
        for (std::uint32_t slot = 0; slot < span_; ++slot) {
            if (slot == 0 || key(slot) != key(slot - 1)) {
                blocks.first_slot.push_back(slot);
                blocks.last_slot.push_back(slot);
            }
            blocks.of_slot[slot] = static_cast<std::uint32_t>(blocks.first_slot.size() - 1);
            blocks.last_slot.back() = slot;
        }
        blocks.per_side = static_cast<std::uint32_t>(blocks.first_slot.size());
        blocks.groups.reset(static_cast<Group*>(std::calloc(
            std::size_t{blocks.per_side} * blocks.per_side * blocks.per_side, sizeof(Group))));
        if (!blocks.groups) throw std::bad_alloc();
    }
}

Box ColorSearch::box(const std::uint32_t first[3], const std::uint32_t last[3]) const {
    Box box;
    for (int c = 0; c < 3; ++c) {
        box.lo[c] = slot_lo_[c][first[c]];
        box.hi[c] = slot_hi_[c][last[c]];
    }
    return box;
}

ColorSearch::Group& ColorSearch::group_of(std::uint32_t level, const std::uint32_t slot[3]) {
    GroupLevel& blocks = group_levels_[level];
    std::uint32_t block[3];
    for (int c = 0; c < 3; ++c) block[c] = blocks.of_slot[slot[c]];
    return blocks.groups.get()[(block[0] * blocks.per_side + block[1]) * blocks.per_side + block[2]];
}

// The winners of the block at `level` that holds the cell of these slots,
// filled from the level above, the top level from the whole palette.
const std::uint16_t* ColorSearch::group_winners(std::uint32_t level, const std::uint32_t slot[3],
                                                std::size_t& count) {
    Group& group = group_of(level, slot);
    if (!group.filled) {
        group.filled = true;
        std::size_t from_count = size_;
        const std::uint16_t* from =
            level + 1 < group_levels ? group_winners(level + 1, slot, from_count) : all_.data();
        // With no room left the group keeps count 0: the whole palette.
        if (group_lists_used_ + from_count <= group_list_entries) {
            const GroupLevel& blocks = group_levels_[level];
            std::uint32_t first[3], last[3];
            for (int c = 0; c < 3; ++c) {
                first[c] = blocks.first_slot[blocks.of_slot[slot[c]]];
                last[c] = blocks.last_slot[blocks.of_slot[slot[c]]];
            }
            group.start = static_cast<std::uint32_t>(group_lists_used_);
            group.count = static_cast<std::uint32_t>(filter_->filter(
                box(first, last), from, from_count, group_lists_.get() + group.start));
            group_lists_used_ += group.count;
        }
    }
    if (group.count == 0) {
        count = size_;
        return all_.data();
    }
    count = group.count;
    return group_lists_.get() + group.start;
}

// Stores a list of candidates and returns the entry of a cell that has it.
std::uint32_t ColorSearch::store_list(const std::uint16_t* winners, std::size_t count) {
    const std::size_t width = round_up(count, list_lanes);
    // A list of over half the palette saves little over scanning it all.
    if (2 * count > size_ || lists_used_ + 4 * width > list_floats) return scan_all_mark;
    float* list = lists_.get() + lists_used_;
    for (std::size_t k = 0; k < width; ++k) {
        for (int c = 0; c < 3; ++c)
            list[c * width + k] = k < count ? channel_[c][winners[k]] : far_away;
        const std::int32_t index = k < count ? index_[winners[k]] : 0;
        std::memcpy(list + 3 * width + k, &index, sizeof index);
    }
    const auto entry = static_cast<std::uint32_t>(lists_used_ / 4 << count_bits | count);
    lists_used_ += 4 * width;
    return entry;
}

std::uint32_t ColorSearch::fill_cell(std::uint32_t cell) {
    const std::uint32_t slot[3] = {cell / (span_ * span_), cell / span_ % span_, cell % span_};
    std::size_t from_count;
    const std::uint16_t* from = group_winners(0, slot, from_count);
    // Where the block has as few winners as one list scanned in the pixel
    // loop, its cells share that list: narrowing it further gains nothing.
    if (from_count <= list_lanes) {
        Group& group = group_of(0, slot);
        if (group.cell_entry == 0) group.cell_entry = store_list(from, from_count);
        return group.cell_entry;
    }
    const std::size_t count = filter_->filter(box(slot, slot), from, from_count, winners_.data());
    return store_list(winners_.data(), count);
}

std::size_t ColorSearch::winners(Floats4 lo, Floats4 hi, const std::uint16_t* within,
                                 std::size_t count, std::uint16_t* kept) {
    const std::lock_guard held(filling_);
    if (!within) {
        // The queries' cells, as Lookup::cell_inside finds them, span first
        // to last: the smallest block that holds all those cells holds
        // every colour that can win there.
        auto slot_of = [&](Floats4 w) {
            return outer + reinterpret_cast<Slots>(__builtin_convertvector((w - origin_) * scale_, Ints4));
        };
        const Slots first = slot_of(lo), last = slot_of(hi);
        count = size_;
        within = all_.data();
        for (std::uint32_t level = 0; level < group_levels; ++level) {
            const auto& of_slot = group_levels_[level].of_slot;
            if (of_slot[first[0]] == of_slot[last[0]] && of_slot[first[1]] == of_slot[last[1]] &&
                of_slot[first[2]] == of_slot[last[2]]) {
                const std::uint32_t slot[3] = {first[0], first[1], first[2]};
                within = group_winners(level, slot, count);
                break;
            }
        }
    }
    const Box box = {{lo[0], lo[1], lo[2]}, {hi[0], hi[1], hi[2]}};
    return filter_->filter(box, within, count, kept);
}

void ColorSearch::colors_at(const std::uint16_t* positions, std::size_t count,
                             float* const values[3], std::int32_t* indices) const {
    for (std::size_t k = 0; k < count; ++k) {
        for (int c = 0; c < 3; ++c) values[c][k] = channel_[c][positions[k]];
        indices[k] = index_[positions[k]];
    }
}

std::size_t ColorSearch::scan_all(Floats4 w) const {
    const float query[3] = {w[0], w[1], w[2]};
    return index_[scan_(query, channel_[0].data(), channel_[1].data(), channel_[2].data(),
                        channel_[0].size())];
}

std::size_t ColorSearch::nearest_in_cell(Floats4 w, std::uint32_t cell) {
    std::uint32_t* const slot = cells_.get() + cell;
    std::uint32_t entry = __atomic_load_n(slot, __ATOMIC_ACQUIRE);
    if ((entry & count_mask) == 0) {
        // Another thread may have filled it meanwhile.
        const std::lock_guard held(filling_);
        entry = __atomic_load_n(slot, __ATOMIC_RELAXED);
        if ((entry & count_mask) == 0) {
            entry = fill_cell(cell);
            __atomic_store_n(slot, entry, __ATOMIC_RELEASE);
        }
    }
    const std::uint32_t count = entry & count_mask;
    if (count == scan_all_mark) return scan_all(w);
    const float* list = lists_.get() + (entry >> count_bits) * 4;
    if (count <= list_lanes) return scan_eight(w, list);
    const std::size_t width = round_up(count, list_lanes);
    const float query[3] = {w[0], w[1], w[2]};
    return listed_index(list, width, scan_(query, list, list + width, list + 2 * width, width));
}

// A query outside the core (or any query, with no grid).
std::size_t ColorSearch::nearest_outside(Floats4 w) {
    const std::uint32_t cell = lookup().cell_outside(w);
    return cell == no_cell ? scan_all(w) : nearest_in_cell(w, cell);
}

}  // namespace grainel
