// The method object of Individual and of the module's other types.
//
// A method descriptor that binds like a Python function (obj.method(...)
// calls it without creating a bound method), binds its arguments through the
// shared binder, and carries the metadata that introspection expects:
// __name__, __qualname__, __module__, __doc__, __annotations__ and a
// __text_signature__ that inspect.signature() and help() read.
#pragma once

#include "support/arguments.hpp"

namespace tavlen {

struct Individual;

using MethodImpl = PyObject* (*)(Individual* self, BoundArguments& args);
// The body of a method of another type of the module, which takes its
// instance as the object it is.
using ObjectMethodImpl = PyObject* (*)(PyObject* self, BoundArguments& args);

// A method of Individual gives impl; a method of another type gives
// object_impl instead.
struct MethodSpec {
    Signature signature;
    const char* doc;
    MethodImpl impl;
    ObjectMethodImpl object_impl = nullptr;
};

// Creates the method type for a module; owner types of its instances are
// checked at every call.
PyTypeObject* create_method_type(PyObject* module);

// A new method object for owner, defined in module.
Ref new_method(PyTypeObject* method_type, PyTypeObject* owner, PyObject* module, const MethodSpec& description);

// "(self, /, a, b=0, **kwargs)": the text signature of a signature, with a
// leading self parameter when bound_parameter is given ("$self", "$module").
Ref text_signature(const Signature& signature, const char* bound_parameter);

// The annotations dict of a signature: parameter name -> annotation string,
// then "return".
Ref annotations(const Signature& signature);

}  // namespace tavlen
