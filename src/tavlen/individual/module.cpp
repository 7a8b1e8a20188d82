// The module tavlen.individual and its type Individual: import, instance
// lifecycle, attributes and the table of methods.
#include "methods.hpp"
#include "module.hpp"
#include "philox.hpp"

#include <initializer_list>

namespace tavlen {
namespace {

constexpr char module_doc[] = "\nThis module contains the  :class:`~tavlen.Individual` class.\n";

// The signature line ("Individual(...)\n--\n\n") gives the class its
// __text_signature__; __doc__ is the text after it.
constexpr char individual_doc[] =
    "Individual(properties, universes, random_number_generators, event_tags, event_ages, "
    "event_years, duration_tags, duration_ages, duration_years, event_individual_tags, "
    "individual_block_size, snapshot_tags, snapshot_ages, snapshot_years, snapshot_functions, "
    "n_stratum_hops, preserve_stratum, log_events_individual, verify_tags)\n--\n\n"
    "An Individual object is created for each run. This object is passed to\n"
    "    any :class:`~tavlen.Process` method call during the simulation. This\n"
    "    enables all processes to add (:meth:`add_to_queue`, :meth:`add_to_queue_age` and\n"
    "    :meth:`add_to_queue_year`), move (:meth:`move_in_queue`) and remove\n"
    "    (:meth:`remove_from_queue`) events from the queue. Furthermore, events and\n"
    "    durations can be logged using :meth:`log_event` and :meth:`log_duration`,\n"
    "    respectively. Logging events at the individual level is possible using\n"
    "    :meth:`log_event_individual`.\n"
    "    ";

// The module runs in one interpreter per process and is executed once: its
// type and functions are not meant to exist twice.
int64_t owning_interpreter = -1;
bool executed_once = false;

// --- Watching the heap functions in the module's namespace -------------------
// The queue sifts natively while the globals heappush and heappop are
// heapq's; knowing that without two dict lookups per event takes a watcher
// of the module's dict. The module lives in one interpreter and is executed
// once, so one watcher and one watched state suffice.

int globals_watcher = -1;
ModuleState* watched_state = nullptr;

int watch_globals(PyDict_WatchEvent event, PyObject*, PyObject* key, PyObject*) {
    ModuleState* state = watched_state;
    if (!state) return 0;
    const bool one_key =
        event == PyDict_EVENT_ADDED || event == PyDict_EVENT_MODIFIED || event == PyDict_EVENT_DELETED;
    // Any other key type might compare equal to a name: assume it does.
    if (one_key && PyUnicode_CheckExact(key) && PyUnicode_Compare(key, state->names.heappush) != 0 &&
        PyUnicode_Compare(key, state->names.heappop) != 0) {
        return 0;
    }
    state->heapq_bound = false;
    return 0;
}

bool watch_heap_functions(PyObject* module, ModuleState& state) {
    if (globals_watcher < 0) {
        globals_watcher = PyDict_AddWatcher(watch_globals);
        if (globals_watcher < 0) {  // every watcher taken: look up at every call, as without one
            PyErr_Clear();
            return true;
        }
    }
    if (PyDict_Watch(globals_watcher, PyModule_GetDict(module)) < 0) return false;
    watched_state = &state;
    recheck_heapq_bound(module);
    return true;
}

void unwatch_heap_functions(ModuleState& state) {
    if (watched_state == &state) watched_state = nullptr;
    state.heapq_bound = false;
}

Individual* as_individual(PyObject* object) { return reinterpret_cast<Individual*>(object); }

// --- Instance lifecycle ---------------------------------------------------

// Accepts and ignores any arguments: unpickling allocates through here too.
PyObject* individual_new(PyTypeObject* type, PyObject*, PyObject*) {
    PyObject* self = type->tp_alloc(type, 0);
    if (!self) return nullptr;
    for (const FieldInfo& info : individual_fields) {
        if (info.kind == FieldKind::object) field<PyObject*>(as_individual(self), info) = Py_NewRef(Py_None);
    }
    return self;
}

// A str cannot take part in a reference cycle.
constexpr bool may_form_cycle(const FieldInfo& info) {
    return info.kind == FieldKind::object && info.object_type != ObjectType::str;
}

int individual_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    for (const FieldInfo& info : individual_fields) {
        if (may_form_cycle(info)) Py_VISIT(field<PyObject*>(as_individual(self), info));
    }
    return 0;
}

int individual_clear(PyObject* self) {
    for (const FieldInfo& info : individual_fields) {
        if (may_form_cycle(info)) replace(field<PyObject*>(as_individual(self), info), Ref::none());
    }
    return 0;
}

void individual_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    for (const FieldInfo& info : individual_fields) {
        if (info.kind == FieldKind::object) Py_CLEAR(field<PyObject*>(as_individual(self), info));
        if (info.kind == FieldKind::view) field<BufferView>(as_individual(self), info).release();
    }
    release_discounted(as_individual(self));
    release_changes(as_individual(self));
    type->tp_free(self);
    Py_DECREF(type);
}

// --- Attributes -----------------------------------------------------------

PyObject* get_year(PyObject* self, void*) {
    return PyFloat_FromDouble(as_individual(self)->_person_birth + as_individual(self)->age);
}

PyObject* get_age(PyObject* self, void*) { return PyFloat_FromDouble(as_individual(self)->age); }

int set_age(PyObject* self, PyObject* value, void*) {
    if (!value) {
        PyErr_SetString(PyExc_NotImplementedError, "__del__");
        return -1;
    }
    return double_value(value, as_individual(self)->age) ? 0 : -1;
}

// memory and random: a dict or None; deleting stores None.
PyObject*& dict_attribute(PyObject* self, void* offset) {
    return *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(self) + reinterpret_cast<size_t>(offset));
}

PyObject* get_dict_attribute(PyObject* self, void* offset) {
    return Py_NewRef(dict_attribute(self, offset));
}

int set_dict_attribute(PyObject* self, PyObject* value, void* offset) {
    if (!value) value = Py_None;
    if (!check_field_type(value, &PyDict_Type)) return -1;
    replace(dict_attribute(self, offset), Ref::borrow(value));
    return 0;
}

void* offset_closure(size_t offset) { return reinterpret_cast<void*>(offset); }

PyGetSetDef individual_getset[] = {
    {"year", get_year, nullptr, "The current year.", nullptr},
    {"age", get_age, set_age,
     "The person's current age in years: in a handler, the age of the event it handles.",
     nullptr},
    {"memory", get_dict_attribute, set_dict_attribute,
     "A dict for the processes' state of the current life, a new empty one at the start of\n"
     "every life (what a process keeps on self lasts a whole block).",
     offset_closure(offsetof(Individual, memory))},
    {"random", get_dict_attribute, set_dict_attribute,
     "The random number generators of the current life, by name: random.Random objects\n"
     "(Philox generators with common random numbers).",
     offset_closure(offsetof(Individual, random))},
    {},
};

// --- The type -------------------------------------------------------------

const MethodSpec* const individual_methods[] = {
    &next_block_method,
    &next_person_method,
    &next_universe_method,
    &properties_method,
    &properties_tmp_method,
    &hop_stratum_method,
    &log_event_method,
    &log_duration_stratum_hops_method,
    &log_duration_method,
    &log_duration_start_method,
    &log_duration_end_method,
    &log_ongoing_durations_method,
    &log_event_individual_method,
    &record_discounted_method,
    &next_event_method,
    &snapshot_age_method,
    &snapshot_year_method,
    &add_to_queue_method,
    &add_to_queue_age_method,
    &add_to_queue_year_method,
    &remove_from_queue_method,
    &remove_from_queue_message_method,
    &move_in_queue_method,
    &move_in_queue_age_method,
    &move_in_queue_year_method,
    &output_events_method,
    &output_durations_method,
    &output_events_individual_method,
    &output_snapshots_ages_method,
    &output_snapshots_years_method,
};

const MethodSpec* const pickling_methods[] = {&reduce_method, &setstate_method};

PyType_Slot individual_slots[] = {
    {Py_tp_doc, const_cast<char*>(individual_doc)},
    {Py_tp_new, reinterpret_cast<void*>(individual_new)},
    {Py_tp_init, reinterpret_cast<void*>(individual_init)},
    {Py_tp_dealloc, reinterpret_cast<void*>(individual_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(individual_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(individual_clear)},
    {Py_tp_getset, individual_getset},
    {0, nullptr},
};

PyType_Spec individual_spec = {
    "tavlen.individual.Individual",
    sizeof(Individual),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE,
    individual_slots,
};

// --- Module execution -----------------------------------------------------

bool intern_names(InternedNames& names) {
#define TAVLEN_INTERN_NAME(member, text) \
    if (!(names.member = PyUnicode_InternFromString(text))) return false;
    TAVLEN_INTERNED_NAMES(TAVLEN_INTERN_NAME)
#undef TAVLEN_INTERN_NAME
    return true;
}

// "from source import name, ...": binds each name in the module.
bool import_from(PyObject* module, const char* source, std::initializer_list<const char*> names) {
    Ref imported = Ref::steal(PyImport_ImportModule(source));
    if (!imported) return false;
    for (const char* name : names) {
        Ref value = Ref::steal(PyObject_GetAttrString(imported.get(), name));
        if (!value) {
            if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
                PyErr_Format(PyExc_ImportError, "cannot import name '%s' from '%s'", name, source);
            }
            return false;
        }
        if (PyModule_AddObjectRef(module, name, value.get()) < 0) return false;
    }
    return true;
}

// "import source as name".
bool import_as(PyObject* module, const char* source, const char* name) {
    Ref imported = Ref::steal(PyImport_ImportModule(source));
    return imported && PyModule_AddObjectRef(module, name, imported.get()) == 0;
}

bool read_assertions_enabled(bool& enabled) {
    PyObject* flags = PySys_GetObject("flags");
    if (!flags) return !PyErr_Occurred() && (enabled = true);
    Ref optimize = Ref::steal(PyObject_GetAttrString(flags, "optimize"));
    if (!optimize) return false;
    int level = PyObject_IsTrue(optimize.get());
    enabled = level == 0;
    return level >= 0;
}

int module_exec(PyObject* module) {
    ModuleState& state = module_state(module);
    if (state.executed) return 0;
    if (executed_once) {
        PyErr_SetString(PyExc_RuntimeError,
                        "Module 'individual' has already been imported. Re-initialisation is not supported.");
        return -1;
    }
    if (!intern_names(state.names) || !read_assertions_enabled(state.assertions_enabled)) return -1;

    if (!import_from(module, "heapq", {"heappop", "heappush"}) || !import_from(module, "random", {"Random"}) ||
        !import_from(module, "typing", {"Callable", "Dict", "List", "Optional"}) ||
        !import_as(module, "warnings", "warnings") || !import_as(module, "numpy", "np")) {
        return -1;
    }
    state.heapq_heappush = global(module, state.names.heappush).release();
    state.heapq_heappop = global(module, state.names.heappop).release();
    if (!state.heapq_heappush || !state.heapq_heappop || !watch_heap_functions(module, state)) return -1;
    Ref numpy = global(module, state.names.np);
    state.ndarray_type = numpy ? PyObject_GetAttrString(numpy.get(), "ndarray") : nullptr;
    if (!state.ndarray_type) return -1;

    state.method_type = create_method_type(module);
    state.layout_export_type = create_layout_export_type(module);
    if (!state.method_type || !state.layout_export_type) return -1;
    state.individual_type =
        reinterpret_cast<PyTypeObject*>(PyType_FromModuleAndSpec(module, &individual_spec, nullptr));
    if (!state.individual_type || !install_methods(module, state.individual_type, individual_methods) ||
        PyModule_AddObjectRef(module, "Individual", reinterpret_cast<PyObject*>(state.individual_type)) < 0) {
        return -1;
    }
    if (!install_methods(module, state.individual_type, pickling_methods)) {
        PyErr_Format(PyExc_RuntimeError, "Unable to initialize pickling for %.200s",
                     state.individual_type->tp_name);
        return -1;
    }

    Ref module_name = Ref::steal(PyModule_GetNameObject(module));
    Ref unpickle = module_name ? Ref::steal(PyCFunction_NewEx(&unpickle_function, module, module_name.get())) : Ref();
    if (!unpickle || PyModule_AddObjectRef(module, unpickle_function.ml_name, unpickle.get()) < 0) return -1;

    Ref random_class = global(module, state.names.Random);
    state.philox_type = random_class ? create_philox_type(module, random_class.get()) : nullptr;
    if (!state.philox_type ||
        PyModule_AddObjectRef(module, "Philox", reinterpret_cast<PyObject*>(state.philox_type)) < 0) {
        return -1;
    }
    Ref run_lives = Ref::steal(PyCFunction_NewEx(&run_lives_function, module, module_name.get()));
    if (!run_lives || PyModule_AddObjectRef(module, run_lives_function.ml_name, run_lives.get()) < 0) return -1;
    for (PyMethodDef* function :
         {&record_changes_function, &take_changes_function, &renew_population_function, &add_cells_function}) {
        Ref bound = Ref::steal(PyCFunction_NewEx(function, module, module_name.get()));
        if (!bound || PyModule_AddObjectRef(module, function->ml_name, bound.get()) < 0) return -1;
    }

    state.executed = true;
    executed_once = true;
    return 0;
}

PyObject* module_create(PyObject* module_spec, PyModuleDef*) {
    int64_t interpreter = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (owning_interpreter == -1) {
        owning_interpreter = interpreter;
    } else if (owning_interpreter != interpreter) {
        return raise(PyExc_ImportError,
                     "Interpreter change detected - this module can only be loaded into one interpreter per "
                     "process.");
    }
    Ref name = Ref::steal(PyObject_GetAttrString(module_spec, "name"));
    return name ? PyModule_NewObject(name.get()) : nullptr;
}

int module_traverse(PyObject* module, visitproc visit, void* arg) {
    ModuleState& state = module_state(module);
    Py_VISIT(state.individual_type);
    Py_VISIT(state.philox_type);
    Py_VISIT(state.method_type);
    Py_VISIT(state.layout_export_type);
    Py_VISIT(state.heapq_heappush);
    Py_VISIT(state.heapq_heappop);
    Py_VISIT(state.ndarray_type);
    return 0;
}

int module_clear(PyObject* module) {
    ModuleState& state = module_state(module);
    Py_CLEAR(state.individual_type);
    Py_CLEAR(state.philox_type);
    Py_CLEAR(state.method_type);
    Py_CLEAR(state.layout_export_type);
    unwatch_heap_functions(state);
    Py_CLEAR(state.heapq_heappush);
    Py_CLEAR(state.heapq_heappop);
    Py_CLEAR(state.ndarray_type);
    return 0;
}

void module_free(void* module) {
    module_clear(static_cast<PyObject*>(module));
    InternedNames& names = module_state(static_cast<PyObject*>(module)).names;
#define TAVLEN_RELEASE_NAME(member, text) Py_CLEAR(names.member);
    TAVLEN_INTERNED_NAMES(TAVLEN_RELEASE_NAME)
#undef TAVLEN_RELEASE_NAME
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(module_create)},
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
    {0, nullptr},
};

}  // namespace

PyModuleDef individual_module = {
    PyModuleDef_HEAD_INIT,
    "individual",
    module_doc,
    sizeof(ModuleState),
    nullptr,
    module_slots,
    module_traverse,
    module_clear,
    module_free,
};

// Methods go straight into the type's dict: Individual is immutable to its
// users, so setting them as attributes would be refused.
bool install_methods(PyObject* module, PyTypeObject* type, std::span<const MethodSpec* const> descriptions) {
    PyTypeObject* method_type = module_state(module).method_type;
    for (const MethodSpec* description : descriptions) {
        Ref method = new_method(method_type, type, module, *description);
        if (!method || PyDict_SetItemString(type->tp_dict, description->signature.name, method.get()) < 0) return false;
    }
    PyType_Modified(type);
    return true;
}

Ref global(PyObject* module, PyObject* name) {
    PyObject* value = PyDict_GetItemWithError(PyModule_GetDict(module), name);
    if (value) return Ref::borrow(value);
    if (!PyErr_Occurred()) PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    return {};
}

void recheck_heapq_bound(PyObject* module) {
    ModuleState& state = module_state(module);
    if (watched_state != &state || !state.heapq_heappush) return;
    PyObject* globals = PyModule_GetDict(module);
    PyObject* push = PyDict_GetItemWithError(globals, state.names.heappush);
    PyObject* pop = push ? PyDict_GetItemWithError(globals, state.names.heappop) : nullptr;
    if (PyErr_Occurred()) PyErr_Clear();  // the queue's own lookup reports it
    state.heapq_bound = push == state.heapq_heappush && pop == state.heapq_heappop;
}

PyObject* not_implemented_yet(Individual*, BoundArguments& args) {
    return raise(PyExc_NotImplementedError, "Individual.%s() is not implemented yet", args.signature.name);
}

}  // namespace tavlen

PyMODINIT_FUNC PyInit_individual(void) { return PyModuleDef_Init(&tavlen::individual_module); }
