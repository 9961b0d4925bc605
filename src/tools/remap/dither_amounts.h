// How much of its error each pixel of a perceptual remap passes on.
//
// Grain is what a reduced picture shows where the original is smooth, and
// banding is what it shows wherever an area would take one colour without
// dither: in a sky or a ramp, a plateau even a byte off reads as a band.
// So a pixel diffuses its full error where the palette is coarse around
// its neighbourhood's colours (the mean distance to the nearest colour is
// large), where its neighbourhood is busy enough to hide grain, or where
// its neighbours' nearest colours are mostly its own (a plateau); and less
// only in smooth areas that the palette renders closely and that vary from
// colour to colour even undithered.
#pragma once

#include <atomic>
#include <cstddef>
#include <memory>
#include <mutex>
#include <vector>

#include "tools/remap/window_sums.h"
#include "buffers/large_buffers.h"
#include "palette/palette.h"
#include "buffers/raster.h"

namespace grainel {

// The amounts, in [0, strength], a row at a time as the remap reaches it:
// kept whole they would be a picture-sized buffer more, written once and
// read back once. `palette` holds the colours as sRGB bytes (a Palette over
// the raw byte space). The picture's rows from the one whose amounts come
// next down must hold its own bytes (see AmountRows). The colours without
// dither are found on up to `threads` threads.
class DitherAmounts {
public:
    DitherAmounts(const Raster& image, const Palette& palette, float strength, std::size_t threads);
    // The next row's amounts, one per pixel, top to bottom: from one thread
    // at a time, each call ordered after the last. A row made ahead is
    // copied; otherwise the caller makes it.
    void next_row(float* amounts);
    // Makes rows ahead of next_row, on another thread, until every row is
    // made: a few rows ahead at most, as a row's amounts read the
    // picture's bytes only a few rows below it.
    void make_ahead();

private:
    static constexpr std::size_t ahead_rows = 32;
    LargeVector<std::uint8_t> nearest_;  // each pixel's nearest colour, without dither
    std::unique_ptr<AmountRows> rows_;
    std::size_t height_, width_;
    std::vector<float> ahead_;  // row y's made amounts in row y % ahead_rows
    std::mutex making_;         // held while a row is made
    std::atomic<std::size_t> made_{0}, taken_{0};
};

}  // namespace grainel
