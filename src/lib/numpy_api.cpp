#define GRAINEL_NUMPY_API_OWNER
#include "lib/numpy_api.h"

#include <atomic>

namespace grainel {
namespace {

void** fetch_api_table() {
    Ref module = checked(PyImport_ImportModule("numpy._core._multiarray_umath"));
    Ref capsule = checked(PyObject_GetAttrString(module.get(), "_ARRAY_API"));
    if (!PyCapsule_CheckExact(capsule.get())) {
        PyErr_SetString(PyExc_ImportError, "numpy's _ARRAY_API is not a capsule");
        throw PythonError{};
    }
    auto table = static_cast<void**>(PyCapsule_GetPointer(capsule.get(), nullptr));
    if (!table) throw PythonError{};
    // Slots 0 and 211 hold the ABI and feature versions in every table.
    auto abi_version = reinterpret_cast<unsigned (*)()>(table[0]);
    auto feature_version = reinterpret_cast<unsigned (*)()>(table[211]);
    if (abi_version() > NPY_VERSION || feature_version() < NPY_2_0_API_VERSION) {
        PyErr_SetString(PyExc_ImportError, "grainel needs NumPy 2.0 or newer");
        throw PythonError{};
    }
    return table;
}

}  // namespace

void ensure_numpy() {
    // The table is published once with a compare-and-swap: threads racing
    // here fetch the same pointer, exactly one of them stores it, and every
    // reader's acquire load orders its later plain reads of the table.
    std::atomic_ref<void**> published(PyArray_API);
    if (published.load(std::memory_order_acquire)) return;
    void** table = fetch_api_table();
    void** expected = nullptr;
    published.compare_exchange_strong(expected, table, std::memory_order_acq_rel);
}

}  // namespace grainel
