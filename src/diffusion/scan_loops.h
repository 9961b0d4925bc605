// The scan loops of error diffusion, shared by every pass that diffuses
// error with one of the nine kernels: a pass supplies a quantiser, which
// turns a pixel and the error owed to it into output bytes and the error
// it passes on, and these loops visit the pixels and spread the error.
// Each pass is a vector kernel, so the loops are compiled for its
// instruction set with the quantiser inlined.
#pragma once

#include <algorithm>
#include <array>
#include <cstring>
#include <iterator>
#include <utility>

#include "diffusion/diffusion.h"
#include "diffusion/kernels.h"
#include "simd/target.h"

GRAINEL_TARGET_BEGIN

using kernels::methods;


// The rows of error owed to the rows being scanned and the two below them.
// Slot i of a row belongs to image column i - 2; the two slots before the
// image and six after it absorb shares that fall off the edges.
struct RowRing {
    static constexpr std::size_t max_rows = ErrorRows::rows;
    float* row[max_rows];
    std::size_t count;
    std::size_t row_floats;

    RowRing(ErrorRows& rows, std::size_t count) : count(count), row_floats(rows.row_floats) {
        std::fill(rows.storage.begin(), rows.storage.end(), 0.0f);
        for (std::size_t i = 0; i < count; ++i) row[i] = rows.storage.data() + i * row_floats;
    }

    // The first `done` rows are finished: cleared, they become the last.
    void advance(std::size_t done) {
        for (std::size_t i = 0; i < done; ++i) std::memset(row[i], 0, row_floats * sizeof(float));
        std::rotate(row, row + done, row + count);
    }
};

// A pass carries its error in slots: one float per slot in a one-channel
// levels pass, a vector of four in a palette pass (red, green, blue and an
// unused lane that stays zero) and in a levels pass over several channels,
// so that each tap spreads all channels with one vector multiply and add.
// Every lane is rounded exactly as a scalar would be.
template <class Error>
Error load_error(const float* from) {
    Error error;
    std::memcpy(&error, from, sizeof error);
    return error;
}

template <class Error>
void store_error(float* to, Error error) {
    std::memcpy(to, &error, sizeof error);
}

// One image row being scanned with the kernel of methods[Method], known at
// compile time, so that only its real taps are applied. A zero share would
// only add a signed zero to a finite slot, which leaves every later sum
// unchanged.
//
// The error a pixel passes along its own row never goes through memory:
// `owed` and `owed_next` hold the slots of the next two pixels, loaded with
// what the rows above left there and then completed in visit order, which
// is the order the additions would have had in the row itself.
template <std::size_t Method, class Quantise, int Dir>
struct RowScan {
    using Error = typename Quantise::Error;
    static constexpr DiffusionMethod method = methods[Method];
    static constexpr std::size_t tap_count = method.taps.size();
    static constexpr std::ptrdiff_t floats = sizeof(Error) / sizeof(float);

    std::uint8_t* pixels;     // the image row
    std::size_t pixel_step;   // channels
    float* below[3];          // error rows: this one and the two under it
    Error owed, owed_next;

    float* slot(int dy, std::ptrdiff_t x) const { return below[dy] + (x + 2) * floats; }

    void start(std::ptrdiff_t first) {
        owed = load_error<Error>(slot(0, first));
        owed_next = load_error<Error>(slot(0, first + Dir));
    }

    // Adds the share of tap T of the error to its slot.
    template <std::size_t T>
    [[gnu::always_inline]] void spread(std::ptrdiff_t x, float share, Error error) {
        constexpr KernelTap tap = method.taps[T];
        if constexpr (tap.dy == 0 && tap.dx == 1) {
            owed += share * error;
        } else if constexpr (tap.dy == 0) {
            owed_next += share * error;
        } else {
            float* target = slot(tap.dy, x + Dir * tap.dx);
            store_error(target, load_error<Error>(target) + share * error);
        }
    }

    [[gnu::always_inline]] void step(std::ptrdiff_t x, const float (&share)[tap_count],
                                     const Quantise& quantise) {
        const Error error = quantise(pixels + x * static_cast<std::ptrdiff_t>(pixel_step), owed);
        owed = owed_next;
        owed_next = load_error<Error>(slot(0, x + 2 * Dir));
        [&]<std::size_t... T>(std::index_sequence<T...>) __attribute__((always_inline)) {
            (spread<T>(x, share[T], error), ...);
        }(std::make_index_sequence<tap_count>{});
    }
};

// A quantiser that works from rows of its own (the remap's amounts) is
// told which rows it quantises next, top to bottom, before it quantises
// any of their pixels and after it has quantised every row above them.
template <class Quantise>
void start_rows(Quantise& quantise, std::size_t top, std::size_t count) {
    if constexpr (requires { quantise.start_rows(top, count); }) quantise.start_rows(top, count);
}

template <std::size_t Method>
using Shares = float[methods[Method].taps.size()];

// Each tap's share for a scan in direction Dir, from the kernel's table for
// that direction.
template <std::size_t Method, int Dir>
void load_shares(const KernelRows& kernel, Shares<Method>& share) {
    constexpr DiffusionMethod method = methods[Method];
    for (std::size_t t = 0; t < std::size(share); ++t) {
        const KernelTap& tap = method.taps[t];
        share[t] = Dir > 0 ? kernel.forward[tap.dy][2 + tap.dx] : kernel.mirrored[tap.dy][2 - tap.dx];
    }
}

template <std::size_t Method, int Dir, class Quantise>
void scan_row(std::uint8_t* pixels, std::size_t pixel_step, float* const* below,
              std::ptrdiff_t width, const Shares<Method>& share, const Quantise& quantise) {
    RowScan<Method, Quantise, Dir> scan{pixels, pixel_step, {below[0], below[1], below[2]}, {}, {}};
    const std::ptrdiff_t first = Dir > 0 ? 0 : width - 1;
    scan.start(first);
    for (std::ptrdiff_t n = 0, x = first; n < width; ++n, x += Dir) scan.step(x, share, quantise);
}

// Row by row, odd rows right to left.
template <std::size_t Method, class Quantise>
void scan_serpentine(Raster& image, const KernelRows& kernel, ErrorRows& rows,
                     Quantise quantise) {
    Shares<Method> forward, mirrored;
    load_shares<Method, 1>(kernel, forward);
    load_shares<Method, -1>(kernel, mirrored);
    const auto width = static_cast<std::ptrdiff_t>(image.width);
    RowRing ring(rows, 3);
    for (std::size_t y = 0; y < image.height; ++y) {
        start_rows(quantise, y, 1);
        std::uint8_t* pixels = image.pixels + y * image.width * image.channels;
        if (y & 1)
            scan_row<Method, -1>(pixels, image.channels, ring.row, width, mirrored, quantise);
        else
            scan_row<Method, 1>(pixels, image.channels, ring.row, width, forward, quantise);
        ring.advance(1);
    }
}

// Left to right, several rows at once, each `lag` pixels behind the row
// above. A row's pixel x needs the row above to have passed x + 2 (its
// slots, and the slots below them, must have every earlier contribution in
// place), so with a lag of 4 and the rows stepped top first within each
// round, every slot receives its additions in exactly the sequential order,
// while the rows' independent dependency chains overlap in the CPU.
template <std::size_t Method, class Quantise>
void scan_wavefront(Raster& image, const KernelRows& kernel, ErrorRows& rows,
                    Quantise quantise) {
    using Scan = RowScan<Method, Quantise, 1>;
    constexpr std::size_t band = ErrorRows::rows - 2;
    constexpr std::ptrdiff_t lag = 4;
    Shares<Method> share;
    load_shares<Method, 1>(kernel, share);
    const auto width = static_cast<std::ptrdiff_t>(image.width);
    RowRing ring(rows, ErrorRows::rows);
    for (std::size_t top = 0; top < image.height; top += band) {
        const std::size_t count = std::min(band, image.height - top);
        start_rows(quantise, top, count);
        Scan scans[band];
        for (std::size_t r = 0; r < count; ++r)
            scans[r] = Scan{image.pixels + (top + r) * image.width * image.channels,
                            image.channels, {ring.row[r], ring.row[r + 1], ring.row[r + 2]},
                            {}, {}};
        // Rounds where some row is outside the image (the band's ramp-up
        // and ramp-down, or a short band) test each row; in between, every
        // row steps unconditionally.
        auto checked_round = [&](std::ptrdiff_t n) {
            for (std::size_t r = 0; r < count; ++r) {
                const std::ptrdiff_t x = n - lag * static_cast<std::ptrdiff_t>(r);
                if (x == 0) scans[r].start(0);
                if (x >= 0 && x < width) scans[r].step(x, share, quantise);
            }
        };
        const std::ptrdiff_t rounds = width + lag * static_cast<std::ptrdiff_t>(count - 1);
        const std::ptrdiff_t steady_from = lag * static_cast<std::ptrdiff_t>(band - 1);
        std::ptrdiff_t n = 0;
        if (count == band && width > steady_from) {
            for (; n <= steady_from; ++n) checked_round(n);
            // The rows are copied into locals for this loop so that their
            // running errors can live in registers.
            [&]<std::size_t... R>(std::index_sequence<R...>) __attribute__((always_inline)) {
                [&](auto... local) __attribute__((always_inline)) {
                    const Quantise q = quantise;
                    for (; n < width; ++n)
                        (local.step(n - lag * static_cast<std::ptrdiff_t>(R), share, q), ...);
                    ((scans[R] = local), ...);
                }(scans[R]...);
            }(std::make_index_sequence<band>{});
        }
        for (; n < rounds; ++n) checked_round(n);
        ring.advance(count);
    }
}

// With no active kernel row (strength 0) nothing is spread: each pixel is
// quantised on its own, in any order.
template <class Quantise>
void quantise_only(Raster& image, Quantise quantise) {
    const typename Quantise::Error nothing_owed{};
    std::uint8_t* pixel = image.pixels;
    for (std::size_t y = 0; y < image.height; ++y) {
        start_rows(quantise, y, 1);
        for (std::size_t x = 0; x < image.width; ++x, pixel += image.channels)
            quantise(pixel, nothing_owed);
    }
}

template <std::size_t Method, class Quantise>
void scan(Raster& image, const KernelRows& kernel, bool serpentine, ErrorRows& rows,
          Quantise quantise) {
    if (!kernel.active[0] && !kernel.active[1] && !kernel.active[2])
        quantise_only(image, quantise);
    else if (serpentine)
        scan_serpentine<Method>(image, kernel, rows, quantise);
    else
        scan_wavefront<Method>(image, kernel, rows, quantise);
}

template <class Quantise>
void scan_with(const ScanSetup& setup, Quantise quantise) {
    using Scan = void (*)(Raster&, const KernelRows&, bool, ErrorRows&, Quantise);
    static constexpr auto table = []<std::size_t... M>(std::index_sequence<M...>) {
        return std::array<Scan, sizeof...(M)>{&scan<M, Quantise>...};
    }(std::make_index_sequence<std::size(methods)>{});
    table[static_cast<std::size_t>(&setup.method - methods)](setup.image, setup.kernel,
                                                             setup.serpentine, setup.rows, quantise);
}

GRAINEL_TARGET_END
