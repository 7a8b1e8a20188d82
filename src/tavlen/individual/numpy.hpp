// Calls into NumPy, which the module reaches through its global name np at
// every use (callers may rebind it).
#pragma once

#include "module.hpp"

#include <initializer_list>

namespace tavlen {

class NumPy {
public:
    explicit NumPy(PyObject* module) : module_(module), names_(module_state(module).names) {}

    // np.<name>: a function or a dtype.
    Ref attribute(PyObject* name) const {
        Ref np = global(module_, names_.np);
        return np ? Ref::steal(PyObject_GetAttr(np.get(), name)) : Ref();
    }
    // np.<function>(value, dtype=np.<dtype>)
    Ref call(PyObject* function, PyObject* value, PyObject* dtype_name) const {
        Ref callable = attribute(function);
        Ref type = callable ? attribute(dtype_name) : Ref();
        return type ? call_with_keyword(callable.get(), {value}, names_.dtype, type.get()) : Ref();
    }
    Ref asarray(PyObject* value, PyObject* dtype_name) const { return call(names_.asarray, value, dtype_name); }
    Ref array(PyObject* value, PyObject* dtype_name) const { return call(names_.array, value, dtype_name); }
    Ref zeros(std::initializer_list<Py_ssize_t> extents, PyObject* dtype_name) const {
        Ref shape;
        if (extents.size() == 1) {
            shape = Ref::steal(PyLong_FromSsize_t(*extents.begin()));
        } else {
            shape = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(extents.size())));
            Py_ssize_t axis = 0;
            for (Py_ssize_t extent : extents) {
                PyObject* item = shape ? PyLong_FromSsize_t(extent) : nullptr;
                if (!item) return {};
                PyTuple_SET_ITEM(shape.get(), axis++, item);
            }
        }
        return shape ? call(names_.zeros, shape.get(), dtype_name) : Ref();
    }

private:
    PyObject* module_;
    const InternedNames& names_;
};

}  // namespace tavlen
