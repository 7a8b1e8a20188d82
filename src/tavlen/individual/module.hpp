// The module's state and the lookup of its global names.
#pragma once

#include "support/method.hpp"

namespace tavlen {

// Names the methods look up at every use: module globals (which callers may
// rebind, so they are never cached) and attribute and keyword names.
#define TAVLEN_INTERNED_NAMES(X)                                                          \
    X(np, "np") X(Random, "Random") X(warnings, "warnings") X(heappush, "heappush")          \
    X(heappop, "heappop") X(unpickle, "__pyx_unpickle_Individual") X(asarray, "asarray")    \
    X(array, "array") X(zeros, "zeros") X(hstack, "hstack") X(float64, "float64")           \
    X(int16, "int16") X(uint8, "uint8") X(uint16, "uint16") X(uint32, "uint32")             \
    X(max, "max") X(initial, "initial") X(dtype, "dtype") X(warn, "warn")                   \
    X(stacklevel, "stacklevel") X(instance_dict, "__dict__") X(update, "update")            \
    X(new_, "__new__") X(birth_key, "__birth__") X(stratum_key, "__stratum__")             \
    X(seed, "seed") X(dynamic, "dynamic") X(final, "final") X(snapshot_age, "_snapshot_age") \
    X(snapshot_year, "_snapshot_year") X(add_to_queue_age, "add_to_queue_age")              \
    X(log_event_individual, "log_event_individual") X(log_duration, "log_duration")           \
    X(log_duration_stratum_hops, "_log_duration_stratum_hops")                                 \
    X(log_duration_end, "log_duration_end") X(next_person, "next_person")                      \
    X(next_universe, "next_universe") X(next_event, "next_event")                               \
    X(log_ongoing_durations, "log_ongoing_durations") X(universe, "universe")                   \
    X(universe_index, "universe_index") X(expovariate, "expovariate")

struct InternedNames {
#define TAVLEN_DECLARE_NAME(member, text) PyObject* member;
    TAVLEN_INTERNED_NAMES(TAVLEN_DECLARE_NAME)
#undef TAVLEN_DECLARE_NAME
};

struct ModuleState {
    PyTypeObject* individual_type;
    PyTypeObject* philox_type;
    // Where an instance of Philox (or of a subclass) keeps its native state;
    // fixed once the type exists, and kept when the module is cleared.
    Py_ssize_t philox_state_offset;
    PyTypeObject* method_type;
    PyTypeObject* layout_export_type;  // see BufferView::memoryview
    bool executed;
    // Assertion checks run only when the interpreter ran without -O when
    // the module was imported.
    bool assertions_enabled;
    // The standard library's heappush and heappop, as bound at import: while
    // the module's globals still hold these very objects, the queue sifts
    // natively (identically); a rebinding takes effect at the next call.
    PyObject* heapq_heappush;
    PyObject* heapq_heappop;
    // True while the module's globals are known to still hold those two:
    // a watcher of the module's dict clears it at any rebinding, and the
    // queue then looks the functions up at every call until it sees both
    // bound to heapq's again.
    bool heapq_bound;
    // numpy.ndarray as imported: the property accessors index an exact
    // ndarray through its sequence slot, which gives what item access gives.
    PyObject* ndarray_type;
    InternedNames names;
};

extern PyModuleDef individual_module;

inline ModuleState& module_state(PyObject* module) {
    return *static_cast<ModuleState*>(PyModule_GetState(module));
}

// Puts a method object for each description into the type's dict.
bool install_methods(PyObject* module, PyTypeObject* type, std::span<const MethodSpec* const> descriptions);

// The value bound to name in the module's namespace; NameError when unbound.
Ref global(PyObject* module, PyObject* name);

// Sets heapq_bound when both heap functions in the module's namespace are
// heapq's own again (after a rebinding was undone).
void recheck_heapq_bound(PyObject* module);

}  // namespace tavlen
