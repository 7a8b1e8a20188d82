// The reduce protocol: the whole object as one flat state tuple, its fields
// in alphabetical order, and the module function that rebuilds it.
#include "methods.hpp"
#include "module.hpp"

#include <cstdio>
#include <string>

namespace tavlen {
namespace {

// Identifies the field list of the state: written by __reduce__ ...
constexpr long state_checksum = 0x43fece;
// ... and accepted when rebuilding.
constexpr long accepted_checksums[] = {0x43fece, 0x9955cc3, 0x71854aa};

constexpr Py_ssize_t state_size = static_cast<Py_ssize_t>(individual_field_count);

PyTypeObject* python_type(ObjectType type) {
    switch (type) {
        case ObjectType::dict: return &PyDict_Type;
        case ObjectType::list: return &PyList_Type;
        case ObjectType::str: return &PyUnicode_Type;
        case ObjectType::none: break;
    }
    return &PyBaseObject_Type;
}

Ref state_item(Individual* self, const FieldInfo& info, PyTypeObject* layout_export_type) {
    switch (info.kind) {
        case FieldKind::float64: return Ref::steal(PyFloat_FromDouble(field<double>(self, info)));
        case FieldKind::int32: return Ref::steal(PyLong_FromLong(field<int32_t>(self, info)));
        case FieldKind::size: return Ref::steal(PyLong_FromSsize_t(field<Py_ssize_t>(self, info)));
        case FieldKind::flag: return Ref::borrow(field<bool>(self, info) ? Py_True : Py_False);
        case FieldKind::object: return Ref::borrow(field<PyObject*>(self, info));
        case FieldKind::view: return field<BufferView>(self, info).memoryview(layout_export_type);
    }
    return {};
}

bool restore_field(Individual* self, const FieldInfo& info, PyObject* item) {
    switch (info.kind) {
        case FieldKind::float64: return double_value(item, field<double>(self, info));
        case FieldKind::int32: return int32_value(item, field<int32_t>(self, info));
        case FieldKind::size: return size_value(item, field<Py_ssize_t>(self, info));
        case FieldKind::flag: return flag_value(item, field<bool>(self, info));
        case FieldKind::object:
            if (!check_field_type(item, python_type(info.object_type))) return false;
            replace(field<PyObject*>(self, info), Ref::borrow(item));
            return true;
        case FieldKind::view:
            if (item != Py_None) return field<BufferView>(self, info).assign(item, info.element_type, info.axes);
            field<BufferView>(self, info).assign_none();
            return true;
    }
    return false;
}

// Item by item, in field-name order; no rollback when an item is refused.
bool restore_state(Individual* self, PyObject* state, PyObject* module) {
    for (Py_ssize_t k = 0; k < state_size; ++k) {
        PyObject* item = PyTuple_GetItem(state, k);
        if (!item || !restore_field(self, individual_fields[fields_by_name[k]], item)) return false;
    }
    if (PyTuple_GET_SIZE(state) <= state_size) return true;
    PyObject* attributes = PyTuple_GET_ITEM(state, state_size);
    const int truth = PyObject_IsTrue(attributes);
    if (truth <= 0) return truth == 0;
    const InternedNames& names = module_state(module).names;
    Ref instance_dict = Ref::steal(PyObject_GetAttr(reinterpret_cast<PyObject*>(self), names.instance_dict));
    return instance_dict &&
           Ref::steal(PyObject_CallMethodOneArg(instance_dict.get(), names.update, attributes)).get();
}

// getattr(self, "__dict__", None)
Ref instance_dict_or_none(PyObject* self, PyObject* name) {
    Ref value = Ref::steal(PyObject_GetAttr(self, name));
    if (value || !PyErr_ExceptionMatches(PyExc_AttributeError)) return value;
    PyErr_Clear();
    return Ref::none();
}

PyObject* reduce(Individual* self, BoundArguments& args) {
    if (self->_discounted.rates_n > 0) {
        // A copy would either add to the same arrays as this one or silently
        // record nothing discounted.
        return raise(PyExc_TypeError, "an Individual that records discounted figures cannot be copied or pickled; "
                                      "call record_discounted((), 0.0, None, None) first to stop recording");
    }
    const ModuleState& module = module_state(args.module);
    const InternedNames& names = module.names;
    Ref state = Ref::steal(PyTuple_New(state_size));
    if (!state) return nullptr;
    for (Py_ssize_t k = 0; k < state_size; ++k) {
        Ref item = state_item(self, individual_fields[fields_by_name[k]], module.layout_export_type);
        if (!item) return nullptr;
        PyTuple_SET_ITEM(state.get(), k, item.release());
    }

    PyObject* object = reinterpret_cast<PyObject*>(self);
    Ref attributes = instance_dict_or_none(object, names.instance_dict);
    if (!attributes) return nullptr;
    bool use_setstate = false;
    if (attributes.get() != Py_None) {
        const int truth = PyObject_IsTrue(attributes.get());
        if (truth < 0) return nullptr;
        if (truth) {
            Ref extended = Ref::steal(PyTuple_Pack(1, attributes.get()));
            state = extended ? Ref::steal(PySequence_Concat(state.get(), extended.get())) : Ref();
            if (!state) return nullptr;
            use_setstate = true;
        }
    }
    if (!use_setstate) {
        for (const FieldInfo& info : individual_fields) {
            if (info.kind == FieldKind::object && field<PyObject*>(self, info) != Py_None) use_setstate = true;
        }
    }

    Ref unpickle = global(args.module, names.unpickle);
    if (!unpickle) return nullptr;
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(self));
    if (use_setstate) return Py_BuildValue("O(OlO)O", unpickle.get(), type, state_checksum, Py_None, state.get());
    return Py_BuildValue("O(OlO)", unpickle.get(), type, state_checksum, state.get());
}

PyObject* setstate(Individual* self, BoundArguments& args) {
    PyObject* state = args[0];
    if (!PyTuple_CheckExact(state)) {
        return raise(PyExc_TypeError, "Expected %s, got %.200s", "tuple", Py_TYPE(state)->tp_name);
    }
    if (!restore_state(self, state, args.module)) return nullptr;
    Py_RETURN_NONE;
}

// Python's "0x%x" % value, which puts the sign after the prefix.
std::string hexadecimal(long value) {
    char digits[32];
    const unsigned long magnitude = value < 0 ? 0UL - static_cast<unsigned long>(value) : value;
    std::snprintf(digits, sizeof digits, "%s%lx", value < 0 ? "-" : "", magnitude);
    return std::string("0x") + digits;
}

std::string field_list() {
    std::string text;
    for (uint8_t index : fields_by_name) {
        if (!text.empty()) text += ", ";
        text += individual_fields[index].name;
    }
    return text;
}

void raise_incompatible_checksum(long checksum) {
    Ref pickle = Ref::steal(PyImport_ImportModule("pickle"));
    Ref pickle_error = pickle ? Ref::steal(PyObject_GetAttrString(pickle.get(), "PickleError")) : Ref();
    if (!pickle_error) return;
    PyErr_Format(pickle_error.get(), "Incompatible checksums (%s vs (0x%lx, 0x%lx, 0x%lx) = (%s))",
                 hexadecimal(checksum).c_str(), accepted_checksums[0], accepted_checksums[1],
                 accepted_checksums[2], field_list().c_str());
}

constexpr Parameter setstate_parameters[] = {{"__pyx_state"}};
constexpr Parameter unpickle_parameters[] = {{"__pyx_type"}, {"__pyx_checksum"}, {"__pyx_state"}};
constexpr Signature unpickle_signature{"__pyx_unpickle_Individual", unpickle_parameters};

PyObject* unpickle(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    BoundArguments bound(unpickle_signature, module);
    if (!bind(bound, args, nargs, kwnames)) return nullptr;
    long checksum;
    if (!long_value(bound[1], checksum)) return nullptr;
    PyObject* state = bound[2];
    if (!check_argument_type(state, &PyTuple_Type, bound.name(2), true)) return nullptr;
    if (std::find(std::begin(accepted_checksums), std::end(accepted_checksums), checksum) ==
        std::end(accepted_checksums)) {
        raise_incompatible_checksum(checksum);
        return nullptr;
    }
    const ModuleState& module_state_ = module_state(module);
    PyObject* individual_type = reinterpret_cast<PyObject*>(module_state_.individual_type);
    Ref result = Ref::steal(PyObject_CallMethodOneArg(individual_type, module_state_.names.new_, bound[0]));
    if (!result) return nullptr;
    if (state != Py_None) {
        if (!PyObject_TypeCheck(result.get(), module_state_.individual_type)) {
            return raise(PyExc_TypeError, "Individual.__new__() returned a %.200s object",
                         Py_TYPE(result.get())->tp_name);
        }
        if (!restore_state(reinterpret_cast<Individual*>(result.get()), state, module)) return nullptr;
    }
    return result.release();
}

}  // namespace

constinit const MethodSpec reduce_method{{"__reduce__", {}}, "Helper for pickle.", reduce};
constinit const MethodSpec setstate_method{
    {"__setstate__", setstate_parameters}, "Restore the object's fields from a pickled state.", setstate};

PyMethodDef unpickle_function = {
    "__pyx_unpickle_Individual",
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(unpickle)),
    METH_FASTCALL | METH_KEYWORDS,
    "__pyx_unpickle_Individual(__pyx_type, __pyx_checksum, __pyx_state)\n--\n\n"
    "Rebuild an Individual, or an instance of a subclass, from the state written by its\n"
    "__reduce__ method.",
};

}  // namespace tavlen
