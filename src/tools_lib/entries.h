// The functions of grainel_tools' native module, one source file each.
#pragma once

#include "lib/py.h"

namespace grainel {

PyObject* remap_entry(PyObject* module, PyObject* args, PyObject* kwargs) noexcept;
PyObject* fit_entry(PyObject* module, PyObject* args, PyObject* kwargs) noexcept;

}  // namespace grainel
