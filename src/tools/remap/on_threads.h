// Work shared out between the calling thread and more.
#pragma once

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

}  // namespace grainel
