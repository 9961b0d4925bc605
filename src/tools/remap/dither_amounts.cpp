#include "tools/remap/dither_amounts.h"

#include <algorithm>
#include <atomic>

#include "ordered/palette_pixels.h"
#include "tools/remap/on_threads.h"

namespace grainel {

DitherAmounts::DitherAmounts(const Raster& image, const Palette& palette, float strength,
                             std::size_t threads)
    : nearest_(image.pixels, image.pixels + image.height * image.width * image.channels) {
    // Each pixel's nearest colour is its own: a strip of rows per thread.
    const std::size_t strip_rows = (image.height + threads - 1) / threads;
    const std::size_t row_bytes = image.width * image.channels;
    std::atomic<std::size_t> next_strip{0};
    run_on_threads(threads, [&] {
        for (std::size_t top; (top = next_strip.fetch_add(1, std::memory_order_relaxed) * strip_rows) <
                              image.height;) {
            Raster strip{nearest_.data() + top * row_bytes, std::min(strip_rows, image.height - top),
                         image.width, image.channels, image.alpha};
            nearest_palette(strip, Space(false), palette);
        }
    });
    rows_ = GRAINEL_DISPATCH(amount_rows)(image, nearest_.data(), strength);
}

}  // namespace grainel
