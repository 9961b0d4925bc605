// Small tools for holding Python references and carrying a raised Python
// exception through C++ code.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <string_view>
#include <utility>

namespace grainel {

// Thrown when a Python exception is already set; the entry returns NULL.
struct PythonError {};

// Owns one strong reference (or none) and releases it on every path.
class Ref {
public:
    Ref() = default;
    static Ref steal(PyObject* object) { return Ref(object); }
    static Ref borrow(PyObject* object) {
        Py_XINCREF(object);
        return Ref(object);
    }
    Ref(Ref&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
    Ref& operator=(Ref&& other) noexcept {
        Ref(std::move(other)).swap(*this);
        return *this;
    }
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    ~Ref() { Py_XDECREF(object_); }

    PyObject* get() const { return object_; }
    PyObject* release() { return std::exchange(object_, nullptr); }
    explicit operator bool() const { return object_ != nullptr; }
    void swap(Ref& other) noexcept { std::swap(object_, other.object_); }

private:
    explicit Ref(PyObject* object) : object_(object) {}
    PyObject* object_ = nullptr;
};

// Takes a new reference from a C-API call, throwing if the call failed.
inline Ref checked(PyObject* result) {
    if (!result) throw PythonError{};
    return Ref::steal(result);
}

inline void check(int status) {
    if (status < 0) throw PythonError{};
}

// object.name(*args), each argument passed as one object (unlike the
// format-string calls, which would unpack a tuple argument).
template <class... Args>
Ref call_method(PyObject* object, const char* name, Args... args) {
    Ref method_name = checked(PyUnicode_FromString(name));
    PyObject* argv[] = {object, args...};
    return checked(PyObject_VectorcallMethod(method_name.get(), argv, 1 + sizeof...(Args), nullptr));
}

// The UTF-8 text of a str, valid while the str lives; throws PythonError
// (UnicodeEncodeError) for lone surrogates.
inline std::string_view utf8(PyObject* text) {
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(text, &size);
    if (!data) throw PythonError{};
    return {data, static_cast<std::size_t>(size)};
}

// A new str from UTF-8 text.
inline Ref str(std::string_view text) {
    return checked(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
}

// Sets `type` with a UTF-8 message and throws.
[[noreturn]] void raise(PyObject* type, std::string_view message);

// Translates the exception in flight: a PythonError keeps the error already
// set, std::bad_alloc becomes MemoryError, anything else SystemError.
void set_error_from_current_exception() noexcept;

// Runs `body` and turns anything it throws into a Python exception, so no
// C++ exception ever unwinds into the interpreter.
template <class Body>
PyObject* guarded(Body&& body) noexcept {
    try {
        return body();
    } catch (...) {
        set_error_from_current_exception();
        return nullptr;
    }
}

// Detaches the thread from the interpreter for the life of the object, so
// other Python threads run while a pixel loop works on private memory.
class Detached {
public:
    Detached() : state_(PyEval_SaveThread()) {}
    ~Detached() { PyEval_RestoreThread(state_); }
    Detached(const Detached&) = delete;
    Detached& operator=(const Detached&) = delete;

private:
    PyThreadState* state_;
};

}  // namespace grainel
