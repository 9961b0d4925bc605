// Pixels known to take a palette's colours, as indices into it: what a
// file indexed by that palette holds, so that its index i is the
// palette's colour i, as panel drivers and game engines read it.
#pragma once

#include <cstddef>
#include <cstdint>

namespace grainel {

// Writes to `indices` the place in `entries` (1 to 256 entries of
// `channels` bytes, 1 to 4) of each of `count` pixels of as many bytes:
// the first of equal entries. Returns false, with `indices` partly
// written, where some pixel is none of the entries.
bool palette_indices(const std::uint8_t* pixels, std::size_t count, std::size_t channels,
                     const std::uint8_t* entries, std::size_t entry_count, std::uint8_t* indices);

}  // namespace grainel
