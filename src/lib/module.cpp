// The module object: its definition, its exec step publishing the six
// functions and __version__, and the one exported symbol.
#include "lib/docstrings.h"
#include "lib/entries.h"
#include "lib/messages.h"

namespace grainel {
namespace {

constexpr int fast_keywords = METH_FASTCALL | METH_KEYWORDS | METH_STATIC;
constexpr int no_arguments = METH_NOARGS | METH_STATIC;

template <auto Entry>
PyCFunction as_cfunction() {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(Entry));
}

// METH_STATIC makes CPython pass NULL as self, which PyModule_AddFunctions
// refuses; each function object is therefore made with PyCMethod_New.
PyMethodDef functions[] = {
    {"dither", as_cfunction<dither_entry>(), fast_keywords, doc::dither},
    {"ordered_dither", as_cfunction<ordered_dither_entry>(), fast_keywords, doc::ordered_dither},
    {"error_diffusion", as_cfunction<error_diffusion_entry>(), fast_keywords, doc::error_diffusion},
    {"random_dither", as_cfunction<random_dither_entry>(), fast_keywords, doc::random_dither},
    {"available_matrices", as_cfunction<available_matrices_entry>(), no_arguments,
     doc::available_matrices},
    {"available_methods", as_cfunction<available_methods_entry>(), no_arguments,
     doc::available_methods},
};

// Lists `name` in the module's __all__ (created on first use), then sets it.
void add(PyObject* module, PyObject* name, PyObject* value) {
    Ref all = Ref::steal(PyObject_GetAttrString(module, "__all__"));
    if (!all) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw PythonError{};
        PyErr_Clear();
        all = checked(PyList_New(0));
        check(PyObject_SetAttrString(module, "__all__", all.get()));
    } else if (!PyList_Check(all.get())) {
        raise_type_not_instance(all.get(), "list");
    }
    check(PyList_Append(all.get(), name));
    check(PyObject_SetAttr(module, name, value));
}

void add_function(PyObject* module, PyObject* function) {
    Ref name = checked(PyObject_GetAttrString(function, "__name__"));
    if (!PyUnicode_Check(name.get())) raise_type_not_instance(name.get(), "str");
    add(module, name.get(), function);
}

int exec_module(PyObject* module) noexcept {
    try {
        add(module, str("__version__").get(), str(GRAINEL_VERSION).get());
        for (PyMethodDef& definition : functions) {
            Ref module_name = checked(PyModule_GetNameObject(module));
            Ref function = checked(PyCMethod_New(&definition, module, module_name.get(), nullptr));
            add_function(module, function.get());
        }
        return 0;
    } catch (...) {
        set_error_from_current_exception();
        return -1;
    }
}

PyModuleDef_Slot slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
#ifdef Py_mod_gil
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#endif
    {0, nullptr},
};

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT,
    "grainel",
    "",
    0,
    nullptr,
    slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace grainel

PyMODINIT_FUNC PyInit_grainel() { return PyModuleDef_Init(&grainel::module_definition); }
