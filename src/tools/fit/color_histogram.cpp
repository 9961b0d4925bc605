#include "tools/fit/color_histogram.h"

#include <bit>
#include <cstdint>

#include "tools/fit/activity_weights.h"
#include "tools/color/color_spaces.h"

namespace grainel {
namespace {

// Colours as 0xRRGGBB, each mapped to its place in the list of distinct
// colours by open addressing. The table doubles whenever it is half full,
// so a picture of any size costs a few dozen allocations, none per pixel.
class ColorTable {
public:
    ColorTable() : slots_(std::size_t{1} << 12, Slot{empty, 0}) {}

    std::uint32_t index_of(std::uint32_t key, std::vector<Rgb>& colors) {
        std::size_t s = slot_of(key);
        while (slots_[s].key != key) {
            if (slots_[s].key == empty) {
                const auto index = static_cast<std::uint32_t>(colors.size());
                slots_[s] = Slot{key, index};
                colors.push_back(Rgb{static_cast<std::uint8_t>(key >> 16),
                                     static_cast<std::uint8_t>(key >> 8), static_cast<std::uint8_t>(key)});
                if (2 * colors.size() > slots_.size()) grow(colors);
                return index;
            }
            s = (s + 1) & (slots_.size() - 1);
        }
        return slots_[s].index;
    }

    // Starts loading the slot where `key` would be found: pictures with
    // many colours spend most of their time waiting for the table.
    void prefetch(std::uint32_t key) const { __builtin_prefetch(&slots_[slot_of(key)]); }

private:
    static constexpr std::uint32_t empty = 0xffffffff;  // no 24-bit colour
    struct Slot {
        std::uint32_t key, index;
    };

    std::size_t slot_of(std::uint32_t key) const {
        // Fibonacci hashing: the top bits of the product mix every bit of the key.
        return static_cast<std::uint32_t>(key * 0x9e3779b1u) >> (32 - std::countr_zero(slots_.size()));
    }

    void grow(const std::vector<Rgb>& colors) {
        slots_.assign(2 * slots_.size(), Slot{empty, 0});
        for (std::size_t i = 0; i < colors.size(); ++i) {
            const std::uint32_t key = (std::uint32_t{colors[i][0]} << 16) | (std::uint32_t{colors[i][1]} << 8) |
                                      colors[i][2];
            std::size_t s = slot_of(key);
            while (slots_[s].key != empty) s = (s + 1) & (slots_.size() - 1);
            slots_[s] = Slot{key, static_cast<std::uint32_t>(i)};
        }
    }

    std::vector<Slot> slots_;
};

}  // namespace

ColorHistogram color_histogram(const Raster& image) {
    // Every pixel is indexed, transparent ones too: their colours still
    // take part in their neighbours' windows. They weigh nothing, and
    // colours of no weight are dropped at the end.
    const std::size_t count = image.height * image.width;
    std::vector<std::uint32_t> color_of(count);
    ColorHistogram all;
    ColorTable table;
    std::uint32_t last_key = 0xffffffff, last_index = 0;
    auto key_of = [&](std::size_t p) {
        const std::uint8_t* pixel = image.pixels + p * image.channels;
        return (std::uint32_t{pixel[0]} << 16) | (std::uint32_t{pixel[1]} << 8) | pixel[2];
    };
    constexpr std::size_t ahead = 16;
    for (std::size_t p = 0; p < count; ++p) {
        if (p + ahead < count) table.prefetch(key_of(p + ahead));
        const std::uint32_t key = key_of(p);
        // Runs of one colour (flat areas, drawings) skip the table.
        if (key != last_key) last_key = key, last_index = table.index_of(key, all.colors);
        color_of[p] = last_index;
    }

    const auto& linear = linear_of_byte();
    all.labs.resize(all.colors.size());
    for (std::size_t i = 0; i < all.colors.size(); ++i) {
        const Rgb& c = all.colors[i];
        all.labs[i] = oklab_of_linear({linear[c[0]], linear[c[1]], linear[c[2]]});
    }
    all.weights.assign(all.colors.size(), 0.0);
    add_activity_weights(image, color_of.data(), all.labs.data(), all.weights.data());

    std::size_t kept = 0;
    for (std::size_t i = 0; i < all.colors.size(); ++i) {
        if (all.weights[i] <= 0.0) continue;
        all.colors[kept] = all.colors[i];
        all.labs[kept] = all.labs[i];
        all.weights[kept] = all.weights[i];
        ++kept;
    }
    all.colors.resize(kept);
    all.labs.resize(kept);
    all.weights.resize(kept);
    return all;
}

}  // namespace grainel
