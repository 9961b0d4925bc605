// grainel_tools._native: the palette tools that need native speed (the
// perceptual remap), on plain buffers. The Python functions of
// grainel_tools check and shape the arguments; these only refuse what
// would be unsafe.
#include "entries.h"

namespace grainel {
namespace {

template <auto Entry>
PyCFunction as_cfunction() {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(Entry));
}

PyMethodDef functions[] = {
    {"remap", as_cfunction<remap_entry>(), METH_VARARGS | METH_KEYWORDS,
     "remap(image, palette, out, method, strength, serpentine)\n--\n\n"
     "The perceptual remap of image into out (see grainel_tools.remap)."},
    {"fit", as_cfunction<fit_entry>(), METH_VARARGS | METH_KEYWORDS, "fit(image, count, keep, iterations, final_iterations)"},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef_Slot slots[] = {
#ifdef Py_mod_gil
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#endif
    {0, nullptr},
};

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT, "grainel_tools._native", "", 0, functions, slots,
    nullptr, nullptr, nullptr,
};

}  // namespace
}  // namespace grainel

PyMODINIT_FUNC PyInit__native() { return PyModuleDef_Init(&grainel::module_definition); }
