// The pixel buffer the engines rewrite in place: row-major bytes with the
// channels interleaved, so the byte of row y, column x, channel c sits at
// (y * width + x) * channels + c.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

namespace grainel {

struct Raster {
    std::uint8_t* pixels;
    std::size_t height;
    std::size_t width;
    std::size_t channels;
    // The channel that passes through untouched (the alpha of LA / RGBA).
    std::optional<std::size_t> alpha;
};

}  // namespace grainel
