// The C entries of the module's six functions.
#pragma once

#include "python/py.h"

namespace grainel {

PyObject* dither_entry(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames);
PyObject* ordered_dither_entry(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames);
PyObject* error_diffusion_entry(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames);
PyObject* random_dither_entry(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames);
PyObject* available_methods_entry(PyObject*, PyObject*);
PyObject* available_matrices_entry(PyObject*, PyObject*);

}  // namespace grainel
