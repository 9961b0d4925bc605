#include "tools/color/palette_indices.h"

#include <vector>

namespace grainel {
namespace {

// Built from the bytes one by one: copied into a word, three bytes stored
// and four loaded stall every pixel on the store.
std::uint32_t key_of(const std::uint8_t* bytes, std::size_t channels) {
    std::uint32_t key = 0;
    for (std::size_t c = 0; c < channels; ++c) key |= std::uint32_t{bytes[c]} << (8 * c);
    return key;
}

// The entries by their bytes, each in its own slot of a table of 2^14: a
// multiplier is tried until no two entries share one (for 256 entries,
// about one in seven does). A pixel then finds its entry with no search
// and no branch, so the pixels' lookups overlap: in a dithered picture
// nearly every pixel differs from the one before.
class EntryTable {
public:
    static constexpr int bits = 14;

    // False where no multiplier tried kept the entries apart.
    bool build(const std::uint8_t* entries, std::size_t count, std::size_t channels) {
        keys_.resize(std::size_t{1} << bits);
        places_.resize(std::size_t{1} << bits);
        for (std::uint32_t attempt = 0; attempt < tries; ++attempt) {
            multiplier_ = 0x9e3779b1u + 2u * attempt * 0x632be5abu;
            std::vector<bool> taken(keys_.size(), false);
            bool apart = true;
            for (std::size_t e = count; e-- > 0 && apart;) {
                const std::uint32_t key = key_of(entries + e * channels, channels);
                const std::size_t s = slot_of(key);
                // Going from the last entry to the first leaves each slot
                // with the first of equal entries.
                if (taken[s] && keys_[s] != key) apart = false;
                taken[s] = true;
                keys_[s] = key;
                places_[s] = static_cast<std::uint8_t>(e);
            }
            if (!apart) continue;
            // An empty slot holds a key that belongs to another slot, which
            // no pixel that lands here can have.
            const std::uint32_t elsewhere = key_of(entries, channels);
            for (std::size_t s = 0; s < keys_.size(); ++s)
                if (!taken[s]) keys_[s] = elsewhere;
            return true;
        }
        return false;
    }

    std::size_t slot_of(std::uint32_t key) const { return (key * multiplier_) >> (32 - bits); }
    std::uint32_t key_at(std::size_t s) const { return keys_[s]; }
    std::uint8_t place_at(std::size_t s) const { return places_[s]; }

private:
    static constexpr std::uint32_t tries = 256;
    std::uint32_t multiplier_ = 0;
    std::vector<std::uint32_t> keys_;
    std::vector<std::uint8_t> places_;
};

template <std::size_t Channels>
bool indices_by_table(const std::uint8_t* pixels, std::size_t count, const EntryTable& table,
                      std::uint8_t* indices) {
    bool all_found = true;
    for (std::size_t p = 0; p < count; ++p) {
        const std::uint32_t key = key_of(pixels + p * Channels, Channels);
        const std::size_t s = table.slot_of(key);
        all_found &= table.key_at(s) == key;
        indices[p] = table.place_at(s);
    }
    return all_found;
}

// For entries no multiplier kept apart (none met in practice): each
// pixel's entry by a scan.
bool indices_by_scan(const std::uint8_t* pixels, std::size_t count, std::size_t channels,
                     const std::uint8_t* entries, std::size_t entry_count, std::uint8_t* indices) {
    for (std::size_t p = 0; p < count; ++p) {
        const std::uint32_t key = key_of(pixels + p * channels, channels);
        std::size_t e = 0;
        while (e < entry_count && key_of(entries + e * channels, channels) != key) ++e;
        if (e == entry_count) return false;
        indices[p] = static_cast<std::uint8_t>(e);
    }
    return true;
}

}  // namespace

bool palette_indices(const std::uint8_t* pixels, std::size_t count, std::size_t channels,
                     const std::uint8_t* entries, std::size_t entry_count, std::uint8_t* indices) {
    EntryTable table;
    if (!table.build(entries, entry_count, channels))
        return indices_by_scan(pixels, count, channels, entries, entry_count, indices);
    switch (channels) {
        case 1: return indices_by_table<1>(pixels, count, table, indices);
        case 2: return indices_by_table<2>(pixels, count, table, indices);
        case 3: return indices_by_table<3>(pixels, count, table, indices);
        default: return indices_by_table<4>(pixels, count, table, indices);
    }
}

}  // namespace grainel
