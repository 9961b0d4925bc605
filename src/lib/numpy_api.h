// NumPy's C API, fetched on first use rather than at import, so the module
// imports where NumPy cannot and a failed fetch is retried by a later call.
#pragma once

#include "python/py.h"

#define PY_ARRAY_UNIQUE_SYMBOL grainel_ARRAY_API
#define NPY_NO_DEPRECATED_API NPY_2_0_API_VERSION
#define NPY_TARGET_VERSION NPY_2_0_API_VERSION
#ifndef GRAINEL_NUMPY_API_OWNER
#define NO_IMPORT_ARRAY
#endif
#include <numpy/arrayobject.h>

namespace grainel {

// Makes NumPy's API table available to this thread, throwing PythonError
// with NumPy's import error when it cannot be had.
void ensure_numpy();

}  // namespace grainel
