// Owning references and small error helpers over the CPython C API.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <initializer_list>
#include <iterator>
#include <utility>

namespace tavlen {

// An owning (strong) reference. A null Ref returned from a helper means a
// Python exception is set.
class Ref {
public:
    Ref() noexcept = default;
    Ref(std::nullptr_t) noexcept {}
    Ref(const Ref& other) noexcept : object_(Py_XNewRef(other.object_)) {}
    Ref(Ref&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
    Ref& operator=(Ref other) noexcept {
        std::swap(object_, other.object_);
        return *this;
    }
    ~Ref() { Py_XDECREF(object_); }

    // Takes over a new reference (typically the result of a C-API call).
    static Ref steal(PyObject* object) noexcept {
        Ref ref;
        ref.object_ = object;
        return ref;
    }
    // Adds a reference to a borrowed object.
    static Ref borrow(PyObject* object) noexcept { return steal(Py_XNewRef(object)); }
    static Ref none() noexcept { return borrow(Py_None); }

    PyObject* get() const noexcept { return object_; }
    // Hands the reference over to the caller.
    PyObject* release() noexcept { return std::exchange(object_, nullptr); }
    explicit operator bool() const noexcept { return object_ != nullptr; }

private:
    PyObject* object_ = nullptr;
};

// Stores a new value into an object slot of a Python object and drops the old
// one only afterwards, so that code run by the old value's destructor never
// sees a dangling slot.
inline void replace(PyObject*& slot, Ref value) noexcept {
    PyObject* old = slot;
    slot = value.release();
    Py_XDECREF(old);
}

// callable(*positional, keyword=value), through vectorcall.
inline Ref call_with_keyword(PyObject* callable, std::initializer_list<PyObject*> positional, PyObject* keyword,
                             PyObject* value) {
    PyObject* args[8];
    if (positional.size() >= std::size(args)) {
        PyErr_SetString(PyExc_SystemError, "call_with_keyword: too many arguments");
        return {};
    }
    Ref keywords = Ref::steal(PyTuple_Pack(1, keyword));
    if (!keywords) return {};
    size_t n = 0;
    for (PyObject* argument : positional) args[n++] = argument;
    args[n] = value;
    return Ref::steal(PyObject_Vectorcall(callable, args, n, keywords.get()));
}

// PyErr_Format that reads as an expression in functions returning a pointer.
template <class... A>
std::nullptr_t raise(PyObject* type, const char* format, A... args) {
    PyErr_Format(type, format, args...);
    return nullptr;
}

inline std::nullptr_t raise(PyObject* type, const char* message) {
    PyErr_SetString(type, message);
    return nullptr;
}

// Raises type(message) as if from an except clause handling KeyError(key):
// the KeyError becomes its context, as Python code would show it.
inline std::nullptr_t raise_during_key_error(PyObject* type, PyObject* key, Ref message) {
    if (!message) return nullptr;
    Ref key_error = Ref::steal(PyObject_CallOneArg(PyExc_KeyError, key));
    Ref error = key_error ? Ref::steal(PyObject_CallOneArg(type, message.get())) : Ref();
    if (!error) return nullptr;
    Ref handled = Ref::steal(PyErr_GetHandledException());
    if (handled && handled.get() != Py_None) PyException_SetContext(key_error.get(), handled.release());
    PyException_SetContext(error.get(), key_error.release());
    PyErr_SetRaisedException(error.release());
    return nullptr;
}

}  // namespace tavlen
