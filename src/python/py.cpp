// The two error helpers of py.h, shared by both extension modules.
#include "python/py.h"

#include <exception>
#include <new>

namespace grainel {

void raise(PyObject* type, std::string_view message) {
    Ref text = checked(PyUnicode_FromStringAndSize(message.data(),
                                                   static_cast<Py_ssize_t>(message.size())));
    PyErr_SetObject(type, text.get());
    throw PythonError{};
}

void set_error_from_current_exception() noexcept {
    try {
        throw;
    } catch (const PythonError&) {
        if (!PyErr_Occurred())
            PyErr_SetString(PyExc_SystemError, "error return without exception set");
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& fault) {
        PyErr_SetString(PyExc_SystemError, fault.what());
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "unexpected internal fault");
    }
}

}  // namespace grainel
