#define GRAINEL_NUMPY_API_OWNER
#include "lib/numpy_api.h"

#include <atomic>
#include <mutex>

namespace grainel {
namespace {

// Set once NumPy's import has filled its table. The table itself is written
// only under the lock and before this is set, and read only after it is
// seen set, so no thread reads it half made.
std::atomic<bool> imported{false};
std::mutex importing;

}  // namespace

void ensure_numpy() {
    if (imported.load(std::memory_order_acquire)) return;
    // A thread that waits here gives up the interpreter while it waits: the
    // one importing may need it to finish.
    std::unique_lock lock(importing, std::try_to_lock);
    if (!lock.owns_lock()) {
        Detached detached;
        lock.lock();
    }
    if (imported.load(std::memory_order_relaxed)) return;
    // NumPy's own import, which also checks the versions this module was
    // built for. It may leave a table behind when a check fails; a later
    // call starts afresh.
    if (_import_array() < 0) {
        PyArray_API = nullptr;
        throw PythonError{};
    }
    imported.store(true, std::memory_order_release);
}

}  // namespace grainel
