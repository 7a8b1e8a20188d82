#include "support/method.hpp"

#include <string>

namespace tavlen {
namespace {

struct MethodObject {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    const MethodSpec* description;
    PyTypeObject* owner;
    PyObject* module;
    PyObject* name;
    PyObject* qualname;
    PyObject* doc;
    PyObject* text_signature;
    PyObject* annotations;
};

MethodObject* as_method(PyObject* object) { return reinterpret_cast<MethodObject*>(object); }

PyObject* method_vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    MethodObject* method = as_method(callable);
    Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    if (nargs < 1) {
        return raise(PyExc_TypeError, "unbound method %U() needs an argument", method->qualname);
    }
    PyObject* self = args[0];
    if (!PyObject_TypeCheck(self, method->owner)) {
        return raise(PyExc_TypeError, "descriptor '%U' for '%.100s' objects doesn't apply to a '%.100s' object",
                     method->name, method->owner->tp_name, Py_TYPE(self)->tp_name);
    }
    BoundArguments bound(method->description->signature, method->module);
    if (!bind(bound, args + 1, nargs - 1, kwnames)) return nullptr;
    const MethodSpec& description = *method->description;
    if (description.impl) return description.impl(reinterpret_cast<Individual*>(self), bound);
    return description.object_impl(self, bound);
}

PyObject* method_get(PyObject* self, PyObject* instance, PyObject*) {
    if (!instance || instance == Py_None) return Py_NewRef(self);
    return PyMethod_New(self, instance);
}

PyObject* method_repr(PyObject* self) {
    MethodObject* method = as_method(self);
    return PyUnicode_FromFormat("<method '%U' of '%s' objects>", method->name, method->owner->tp_name);
}

int method_traverse(PyObject* self, visitproc visit, void* arg) {
    MethodObject* method = as_method(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(method->owner);
    Py_VISIT(method->module);
    Py_VISIT(method->annotations);
    return 0;
}

// Only the annotations dict, which callers may fill with anything, can close a
// cycle that needs breaking here; the owner and the module stay until
// deallocation so that the method remains callable.
int method_clear(PyObject* self) {
    Py_CLEAR(as_method(self)->annotations);
    return 0;
}

void method_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    MethodObject* method = as_method(self);
    Py_XDECREF(method->annotations);
    Py_XDECREF(method->owner);
    Py_XDECREF(method->module);
    Py_XDECREF(method->name);
    Py_XDECREF(method->qualname);
    Py_XDECREF(method->doc);
    Py_XDECREF(method->text_signature);
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject* get_name(PyObject* self, void*) { return Py_NewRef(as_method(self)->name); }
PyObject* get_qualname(PyObject* self, void*) { return Py_NewRef(as_method(self)->qualname); }
PyObject* get_doc(PyObject* self, void*) { return Py_NewRef(as_method(self)->doc); }
PyObject* get_text_signature(PyObject* self, void*) { return Py_NewRef(as_method(self)->text_signature); }
PyObject* get_annotations(PyObject* self, void*) {
    PyObject* annotations = as_method(self)->annotations;
    return annotations ? Py_NewRef(annotations) : PyDict_New();
}
PyObject* get_objclass(PyObject* self, void*) { return Py_NewRef(as_method(self)->owner); }
PyObject* get_module(PyObject* self, void*) { return PyModule_GetNameObject(as_method(self)->module); }

PyGetSetDef method_getset[] = {
    {"__name__", get_name, nullptr, nullptr, nullptr},
    {"__qualname__", get_qualname, nullptr, nullptr, nullptr},
    {"__doc__", get_doc, nullptr, nullptr, nullptr},
    {"__text_signature__", get_text_signature, nullptr, nullptr, nullptr},
    {"__annotations__", get_annotations, nullptr, nullptr, nullptr},
    {"__objclass__", get_objclass, nullptr, nullptr, nullptr},
    {"__module__", get_module, nullptr, nullptr, nullptr},
    {},
};

PyMemberDef method_members[] = {
    {"__vectorcalloffset__", Py_T_PYSSIZET, offsetof(MethodObject, vectorcall), Py_READONLY, nullptr},
    {},
};

PyType_Slot method_slots[] = {
    {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
    {Py_tp_descr_get, reinterpret_cast<void*>(method_get)},
    {Py_tp_repr, reinterpret_cast<void*>(method_repr)},
    {Py_tp_traverse, reinterpret_cast<void*>(method_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(method_clear)},
    {Py_tp_dealloc, reinterpret_cast<void*>(method_dealloc)},
    {Py_tp_getset, method_getset},
    {Py_tp_members, method_members},
    {0, nullptr},
};

PyType_Spec method_spec = {
    "tavlen.individual.method",
    sizeof(MethodObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_METHOD_DESCRIPTOR | Py_TPFLAGS_HAVE_VECTORCALL |
        Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    method_slots,
};

}  // namespace

PyTypeObject* create_method_type(PyObject* module) {
    return reinterpret_cast<PyTypeObject*>(PyType_FromModuleAndSpec(module, &method_spec, nullptr));
}

Ref text_signature(const Signature& signature, const char* bound_parameter) {
    std::string text = "(";
    if (bound_parameter) {
        text += bound_parameter;
        text += ", /";
    }
    for (const Parameter& parameter : signature.parameters) {
        if (text.size() > 1) text += ", ";
        text += parameter.name;
        if (parameter.default_value) {
            text += '=';
            text += parameter.default_value;
        }
    }
    if (signature.var_keywords) text += text.size() > 1 ? ", **kwargs" : "**kwargs";
    text += ')';
    return Ref::steal(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
}

Ref annotations(const Signature& signature) {
    Ref result = Ref::steal(PyDict_New());
    if (!result) return {};
    auto add = [&](const char* key, const char* annotation) {
        Ref value = Ref::steal(PyUnicode_FromString(annotation));
        return value && PyDict_SetItemString(result.get(), key, value.get()) == 0;
    };
    for (const Parameter& parameter : signature.parameters) {
        if (parameter.annotation && !add(parameter.name, parameter.annotation)) return {};
    }
    if (signature.return_annotation && !add("return", signature.return_annotation)) return {};
    return result;
}

Ref new_method(PyTypeObject* method_type, PyTypeObject* owner, PyObject* module, const MethodSpec& description) {
    Ref name = Ref::steal(PyUnicode_FromString(description.signature.name));
    Ref owner_qualname = Ref::steal(PyType_GetQualName(owner));
    Ref qualname = owner_qualname ? Ref::steal(PyUnicode_FromFormat("%U.%s", owner_qualname.get(),
                                                                    description.signature.name))
                                  : Ref();
    Ref doc = Ref::steal(PyUnicode_FromString(description.doc));
    Ref signature = text_signature(description.signature, "$self");
    Ref annotation_dict = annotations(description.signature);
    if (!name || !qualname || !doc || !signature || !annotation_dict) return {};

    MethodObject* method = PyObject_GC_New(MethodObject, method_type);
    if (!method) return {};
    method->vectorcall = method_vectorcall;
    method->description = &description;
    method->owner = reinterpret_cast<PyTypeObject*>(Py_NewRef(owner));
    method->module = Py_NewRef(module);
    method->name = name.release();
    method->qualname = qualname.release();
    method->doc = doc.release();
    method->text_signature = signature.release();
    method->annotations = annotation_dict.release();
    PyObject_GC_Track(method);
    return Ref::steal(reinterpret_cast<PyObject*>(method));
}

}  // namespace tavlen
