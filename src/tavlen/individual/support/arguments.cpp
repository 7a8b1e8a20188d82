#include "support/arguments.hpp"

#include <climits>

namespace tavlen {
namespace {

void raise_positional_count(const Signature& signature, Py_ssize_t given) {
    const char* relation = "exactly";
    Py_ssize_t expected = signature.size();
    if (signature.required != signature.size()) {
        if (given < signature.required) {
            relation = "at least";
            expected = signature.required;
        } else {
            relation = "at most";
        }
    }
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
                 signature.name, relation, expected, expected == 1 ? "" : "s", given);
}

Py_ssize_t find_parameter(const Signature& signature, PyObject* keyword) {
    for (Py_ssize_t i = 0; i < signature.size(); ++i) {
        if (PyUnicode_CompareWithASCIIString(keyword, signature.parameters[i].name) == 0) return i;
    }
    return -1;
}

bool bind_keyword(BoundArguments& out, Py_ssize_t nargs, PyObject* keyword, PyObject* value) {
    const Signature& signature = out.signature;
    if (!PyUnicode_Check(keyword)) {
        PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", signature.name);
        return false;
    }
    Py_ssize_t i = find_parameter(signature, keyword);
    if (i < 0) {
        if (signature.var_keywords) return PyDict_SetItem(out.extra_keywords.get(), keyword, value) == 0;
        PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", signature.name,
                     keyword);
        return false;
    }
    if (i < nargs || out.values[i]) {
        PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'",
                     signature.name, keyword);
        return false;
    }
    out.values[i] = value;
    return true;
}

bool bind_positional(BoundArguments& out, PyObject* const* args, Py_ssize_t nargs) {
    const Signature& signature = out.signature;
    if (nargs > signature.size()) {
        raise_positional_count(signature, nargs);
        return false;
    }
    for (Py_ssize_t i = 0; i < nargs; ++i) out.values[i] = args[i];
    if (signature.var_keywords) {
        out.extra_keywords = Ref::steal(PyDict_New());
        if (!out.extra_keywords) return false;
    }
    return true;
}

bool check_required(const BoundArguments& out, Py_ssize_t nargs) {
    for (Py_ssize_t i = nargs; i < out.signature.required; ++i) {
        if (!out.values[i]) {
            raise_positional_count(out.signature, i);
            return false;
        }
    }
    return true;
}

void add_note(const char* note) {
    Ref text = Ref::steal(PyUnicode_FromString(note));
    if (!text) return;
    Ref exception = Ref::steal(PyErr_GetRaisedException());
    Ref result = Ref::steal(PyObject_CallMethod(exception.get(), "add_note", "O", text.get()));
    if (result) PyErr_SetRaisedException(exception.release());
}

// An int, the result of __int__, or the result of __index__.
Ref integer_of(PyObject* value) {
    if (PyLong_Check(value)) return Ref::borrow(value);
    PyNumberMethods* number = Py_TYPE(value)->tp_as_number;
    if (number && number->nb_int) {
        Ref result = Ref::steal(number->nb_int(value));
        if (result && !PyLong_Check(result.get())) {
            return raise(PyExc_TypeError, "__int__ returned non-int (type %.200s)",
                         Py_TYPE(result.get())->tp_name);
        }
        return result;
    }
    if (number && number->nb_index) return Ref::steal(PyNumber_Index(value));
    return raise(PyExc_TypeError, "an integer is required");
}

}  // namespace

bool bind(BoundArguments& out, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    if (!bind_positional(out, args, nargs)) return false;
    if (kwnames) {
        Py_ssize_t n = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t k = 0; k < n; ++k) {
            if (!bind_keyword(out, nargs, PyTuple_GET_ITEM(kwnames, k), args[nargs + k])) return false;
        }
    }
    return check_required(out, nargs);
}

bool bind(BoundArguments& out, PyObject* args, PyObject* kwargs) {
    Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    if (!bind_positional(out, PySequence_Fast_ITEMS(args), nargs)) return false;
    if (kwargs) {
        Py_ssize_t position = 0;
        PyObject *keyword, *value;
        while (PyDict_Next(kwargs, &position, &keyword, &value)) {
            if (!bind_keyword(out, nargs, keyword, value)) return false;
        }
    }
    return check_required(out, nargs);
}

bool check_argument_type(PyObject* value, PyTypeObject* expected, const char* argument,
                         bool none_allowed) {
    if (Py_IS_TYPE(value, expected) || (none_allowed && value == Py_None)) return true;
    PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)",
                 argument, expected->tp_name, Py_TYPE(value)->tp_name);
    if (PyObject_TypeCheck(value, expected)) {
        add_note("Subclasses of built-in types are rejected: pass an instance of exactly the "
                 "expected type.");
    }
    return false;
}

Ref int_conversion(PyObject* value) {
    if (PyLong_CheckExact(value) || !PyNumber_Check(value)) return Ref::borrow(value);
    return Ref::steal(PyNumber_Long(value));
}

Ref int_argument(PyObject* value, const char* argument) {
    Ref converted = int_conversion(value);
    if (!converted || !check_argument_type(converted.get(), &PyLong_Type, argument)) return {};
    return converted;
}

// The converters below store into out only on success: it may be the field
// being assigned, which must keep its value when the conversion fails.

bool float_argument(PyObject* value, double& out) {
    if (PyFloat_CheckExact(value)) {
        out = PyFloat_AS_DOUBLE(value);
        return true;
    }
    const double converted = PyFloat_AsDouble(value);
    if (converted == -1.0 && PyErr_Occurred()) return false;
    out = converted;
    return true;
}

bool optional_float_argument(PyObject* value, const char* argument, std::optional<double>& out) {
    if (value == Py_None) {
        out.reset();
        return true;
    }
    if (!check_argument_type(value, &PyFloat_Type, argument)) return false;
    out = PyFloat_AS_DOUBLE(value);
    return true;
}

bool bool_argument(PyObject* value, bool& out) {
    const int truth = PyObject_IsTrue(value);
    if (truth < 0) return false;
    out = truth > 0;
    return true;
}

bool int32_value(PyObject* value, int32_t& out) {
    Ref integer = integer_of(value);
    if (!integer) return false;
    int overflow = 0;
    long long wide = PyLong_AsLongLongAndOverflow(integer.get(), &overflow);
    if (wide == -1 && PyErr_Occurred()) return false;
    if (overflow || wide < INT32_MIN || wide > INT32_MAX) {
        PyErr_SetString(PyExc_OverflowError, "value too large to convert to int");
        return false;
    }
    out = static_cast<int32_t>(wide);
    return true;
}

bool long_value(PyObject* value, long& out) {
    Ref integer = integer_of(value);
    if (!integer) return false;
    const long converted = PyLong_AsLong(integer.get());
    if (converted == -1 && PyErr_Occurred()) return false;
    out = converted;
    return true;
}

bool size_value(PyObject* value, Py_ssize_t& out) {
    const Py_ssize_t converted = PyNumber_AsSsize_t(value, PyExc_OverflowError);
    if (converted == -1 && PyErr_Occurred()) return false;
    out = converted;
    return true;
}

bool double_value(PyObject* value, double& out) { return float_argument(value, out); }

bool flag_value(PyObject* value, bool& out) { return bool_argument(value, out); }

bool check_field_type(PyObject* value, PyTypeObject* expected) {
    if (Py_IS_TYPE(value, expected) || value == Py_None) return true;
    PyErr_Format(PyExc_TypeError, "Expected %s, got %.200s", expected->tp_name, Py_TYPE(value)->tp_name);
    return false;
}

}  // namespace tavlen
