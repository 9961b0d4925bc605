// The rows of a remap shared between threads, as a wavefront: the picture
// is cut into bands of rows, taken by the threads in order, and each band
// follows the band above it at the distance the kernel needs, so that
// every error slot receives its shares in the order of a scan by one
// thread, and every thread count gives the same bytes.
#pragma once

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstring>
#include <memory>
#include <thread>
#include <vector>

namespace grainel {

// Waits until ready() holds: a short spin for the other thread's next few
// pixels, then, should it lag (descheduled on a busy machine), giving the
// core away.
template <class Ready>
void wait_until(const Ready& ready) {
    for (unsigned tries = 0; !ready(); ++tries) {
        if (tries < 256) {
#if defined(__x86_64__) || defined(__i386__)
            __builtin_ia32_pause();
#elif defined(__aarch64__)
            asm volatile("yield");
#endif
        } else if (tries < 256 + 64) {
            std::this_thread::yield();
        } else {
            std::this_thread::sleep_for(std::chrono::microseconds(50));
        }
    }
}

class Wavefront {
public:
    // Bands of `band_rows` rows of a picture `height` rows tall, for up to
    // `threads` threads at once; error rows of `row_floats` floats.
    Wavefront(std::size_t height, std::size_t band_rows, std::size_t threads, std::size_t row_floats)
        : band_rows_(band_rows), bands_((height + band_rows - 1) / band_rows),
          ring_rows_(band_rows * (threads + 1) + 2), row_floats_(row_floats),
          progress_(std::make_unique<std::atomic<std::ptrdiff_t>[]>(bands_)),
          ring_(ring_rows_ * row_floats) {}

    std::size_t band_rows() const { return band_rows_; }

    // The first band no thread has taken yet, or none past the last.
    bool take(std::size_t& band) {
        band = taken_.fetch_add(1, std::memory_order_relaxed);
        return band < bands_;
    }

    // The pixels of a band's last row its scan has done, and all else it
    // did before.
    void publish(std::size_t band, std::ptrdiff_t done) {
        progress_[band].store(done, std::memory_order_release);
    }
    void wait_for(std::size_t band, std::ptrdiff_t done) const {
        wait_until([&] { return progress_[band].load(std::memory_order_acquire) >= done; });
    }

    // The per-pixel amounts come a row at a time from the top: each band
    // takes its rows' amounts in turn.
    void wait_turn(std::size_t band) const {
        wait_until([&] { return turn_.load(std::memory_order_acquire) == band; });
    }
    void pass_turn(std::size_t band) { turn_.store(band + 1, std::memory_order_release); }

    // The error owed to row y, in a ring of rows.
    float* error_row(std::size_t y) { return ring_.data() + y % ring_rows_ * row_floats_; }

    // Readies the error rows that a band's rows are the first to write to
    // (the rest the band above writes to first): once every row that
    // held them before is done, cleared. `width` pixels make a row done.
    void clear_for(std::size_t band, std::ptrdiff_t width) {
        const std::size_t top = band * band_rows_, first = band == 0 ? 0 : top + 2;
        const std::size_t end = top + band_rows_ + 2;
        // Rows are done in order, the band's last row last.
        if (end > ring_rows_) wait_for((end - 1 - ring_rows_) / band_rows_, width);
        for (std::size_t y = first; y < end; ++y) std::memset(error_row(y), 0, row_floats_ * sizeof(float));
    }

private:
    std::size_t band_rows_, bands_, ring_rows_, row_floats_;
    std::unique_ptr<std::atomic<std::ptrdiff_t>[]> progress_;
    std::atomic<std::size_t> taken_{0}, turn_{0};
    std::vector<float> ring_;
};

}  // namespace grainel
