#include "tools/remap/dither_amounts.h"

#include <algorithm>
#include <atomic>
#include <cstring>

#include "ordered/palette_pixels.h"
#include "tools/threads/on_threads.h"
#include "tools/remap/wavefront.h"

namespace grainel {

DitherAmounts::DitherAmounts(const Raster& image, const Palette& palette, float strength,
                             std::size_t threads)
    : nearest_(image.pixels, image.pixels + image.height * image.width * image.channels),
      height_(image.height), width_(image.width), ahead_(ahead_rows * image.width) {
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

void DitherAmounts::next_row(float* amounts) {
    const std::size_t row = taken_.load(std::memory_order_relaxed);
    if (made_.load(std::memory_order_acquire) <= row) {
        const std::lock_guard held(making_);
        if (made_.load(std::memory_order_relaxed) <= row) {
            rows_->next(amounts);
            made_.store(row + 1, std::memory_order_relaxed);
            taken_.store(row + 1, std::memory_order_release);
            return;
        }
    }
    std::memcpy(amounts, ahead_.data() + row % ahead_rows * width_, width_ * sizeof(float));
    taken_.store(row + 1, std::memory_order_release);
}

void DitherAmounts::make_ahead() {
    for (;;) {
        std::size_t row = made_.load(std::memory_order_relaxed);
        if (row >= height_) return;
        wait_until([&] { return taken_.load(std::memory_order_acquire) + ahead_rows > row; });
        const std::lock_guard held(making_);
        row = made_.load(std::memory_order_relaxed);
        if (row >= height_) return;
        rows_->next(ahead_.data() + row % ahead_rows * width_);
        made_.store(row + 1, std::memory_order_release);
    }
}

}  // namespace grainel
