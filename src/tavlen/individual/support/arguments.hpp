// Argument binding and the conversions of arguments and typed fields.
//
// Every method of Individual, its constructor and the module's unpickling
// function bind their arguments through bind(): by position or by keyword,
// with the same messages everywhere, without allocating on success (only a
// signature that collects extra keywords builds a dict for them).
#pragma once

#include "ref.hpp"

#include <cstdint>
#include <optional>
#include <span>

namespace tavlen {

struct Parameter {
    const char* name;
    const char* annotation = nullptr;     // string annotation, if any
    const char* default_value = nullptr;  // source text of the default; none: required
};

// The most parameters a signature may have (the constructor's).
inline constexpr Py_ssize_t max_parameters = 19;

struct Signature {
    constexpr Signature(const char* function_name, std::span<const Parameter> params,
                        bool collects_keywords = false, const char* returns = nullptr)
        : name(function_name),
          parameters(params),
          var_keywords(collects_keywords),
          return_annotation(returns),
          required(count_required(params)) {}

    const char* name;
    std::span<const Parameter> parameters;
    bool var_keywords;              // further keywords are collected into a dict
    const char* return_annotation;  // string annotation of the result, if any
    Py_ssize_t required;            // leading parameters without a default

    Py_ssize_t size() const noexcept { return static_cast<Py_ssize_t>(parameters.size()); }

private:
    static constexpr Py_ssize_t count_required(std::span<const Parameter> params) {
        if (static_cast<Py_ssize_t>(params.size()) > max_parameters) throw "too many parameters";
        Py_ssize_t n = 0;
        while (n < static_cast<Py_ssize_t>(params.size()) && !params[n].default_value) ++n;
        return n;
    }
};

// The arguments of one call, bound to a signature. Values are borrowed from
// the caller for the duration of the call; an omitted optional argument is
// null. The module is the defining module of the function called.
struct BoundArguments {
    BoundArguments(const Signature& sig, PyObject* defining_module) noexcept
        : signature(sig), module(defining_module) {}
    BoundArguments(const BoundArguments&) = delete;
    BoundArguments& operator=(const BoundArguments&) = delete;

    PyObject* operator[](Py_ssize_t i) const noexcept { return values[i]; }
    const char* name(Py_ssize_t i) const noexcept { return signature.parameters[i].name; }

    const Signature& signature;
    PyObject* module;
    PyObject* values[max_parameters] = {};
    Ref extra_keywords;  // the dict of further keywords, for var_keywords signatures
};

// Vectorcall form: positional arguments, then the values of the keywords named in kwnames.
bool bind(BoundArguments& out, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
// Classic form: an argument tuple and an optional keyword dict.
bool bind(BoundArguments& out, PyObject* args, PyObject* kwargs);

// --- Argument conversions -------------------------------------------------

// A parameter declared dict, list, str or tuple takes exactly that type.
// TypeError "Argument '..' has incorrect type (expected .., got ..)"
// otherwise, with a note when the value is an instance of a subclass.
bool check_argument_type(PyObject* value, PyTypeObject* expected, const char* argument,
                         bool none_allowed = false);

// An exact int is used as it is; another number goes through int(). Any other
// object is returned unchanged for check_argument_type to refuse.
Ref int_conversion(PyObject* value);
// int_conversion followed by the type test: an exact int, or null.
Ref int_argument(PyObject* value, const char* argument);
bool float_argument(PyObject* value, double& out);
// None, or an object of exactly the float type.
bool optional_float_argument(PyObject* value, const char* argument, std::optional<double>& out);
bool bool_argument(PyObject* value, bool& out);

// --- Typed-field conversions (attribute setters, restored states) ---------

bool int32_value(PyObject* value, int32_t& out);
bool long_value(PyObject* value, long& out);
bool size_value(PyObject* value, Py_ssize_t& out);
bool double_value(PyObject* value, double& out);
bool flag_value(PyObject* value, bool& out);
// An object field declared dict, list or str holds exactly that type or None.
bool check_field_type(PyObject* value, PyTypeObject* expected);

}  // namespace tavlen
