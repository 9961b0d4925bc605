// The `matrix` argument: a Bayer size, a Bayer name, or a custom 2-D array.
#pragma once

#include "matrices/matrices.h"
#include "python/py.h"

namespace grainel {

// `matrix` must not be None; raises the caller-facing errors.
ThresholdMatrix parse_matrix(PyObject* matrix);

// Raises ValueError "unknown dither matrix ..." naming `name` (a str).
[[noreturn]] void invalid_matrix_error(PyObject* name);

}  // namespace grainel
