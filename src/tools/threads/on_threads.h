// Work shared out between the calling thread and more.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <exception>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>
#include <vector>

namespace grainel {

// Runs work() on the calling thread and on up to `threads - 1` more, and
// returns once every one has returned; then rethrows the first exception
// any of them threw. A thread that cannot be started is done without, so
// work must take its parts from a shared counter: then any number of
// threads finishes it.
template <class Work>
void run_on_threads(std::size_t threads, const Work& work) {
    std::exception_ptr failure;
    std::mutex failing;
    auto guarded = [&] {
        try {
            work();
        } catch (...) {
            const std::lock_guard held(failing);
            if (!failure) failure = std::current_exception();
        }
    };
    {
        std::vector<std::jthread> helpers;
        try {
            helpers.reserve(threads - 1);
            for (std::size_t t = 1; t < threads; ++t) helpers.emplace_back(guarded);
        } catch (const std::system_error&) {
        } catch (const std::bad_alloc&) {
        }
        guarded();
    }
    if (failure) std::rethrow_exception(failure);
}

// Calls part(begin, end) once for each run of `part_size` items of [0,
// count), in no set order, on up to `threads` threads. The parts are the
// same for any number of threads, so work whose parts write only their
// own items gives the same result on any.
template <class Part>
void share_parts(std::size_t threads, std::size_t count, std::size_t part_size, const Part& part) {
    const std::size_t parts = (count + part_size - 1) / part_size;
    std::atomic<std::size_t> next{0};
    run_on_threads(std::clamp<std::size_t>(threads, 1, std::max<std::size_t>(parts, 1)), [&] {
        for (std::size_t k; (k = next.fetch_add(1, std::memory_order_relaxed)) < parts;)
            part(k * part_size, std::min(count, (k + 1) * part_size));
    });
}

}  // namespace grainel
