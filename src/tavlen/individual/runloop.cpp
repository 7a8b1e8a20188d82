// The run loop: every person of a block in every universe, each life running
// from its first events to the one that ends it. The driver builds the
// handler table and explains whatever stops the loop; this file only steps.
#include "methods.hpp"
#include "module.hpp"

#include <cmath>
#include <initializer_list>
#include <utility>

namespace tavlen {
namespace {

// A callable as the loop calls it. A bound method is split once into its
// function and its instance, so that each call hands the instance over as the
// first argument without allocating a bound method or an argument tuple.
struct Callee {
    Ref function;
    Ref self;  // null for a callable that is not a bound method

    static Callee of(PyObject* callable) {
        if (PyMethod_Check(callable)) {
            return {Ref::borrow(PyMethod_GET_FUNCTION(callable)), Ref::borrow(PyMethod_GET_SELF(callable))};
        }
        return {Ref::borrow(callable), {}};
    }

    // object.name, looked up once, as `bound = object.name` would.
    static bool lookup(PyObject* object, PyObject* name, Callee& out) {
        Ref bound = Ref::steal(PyObject_GetAttr(object, name));
        if (!bound) return false;
        out = of(bound.get());
        return true;
    }

    // function(self, *arguments, **keywords); keywords is a dict or null.
    Ref operator()(std::initializer_list<PyObject*> arguments, PyObject* keywords = nullptr) const {
        PyObject* stack[3];
        size_t n = 0;
        if (self) stack[n++] = self.get();
        for (PyObject* argument : arguments) stack[n++] = argument;
        if (keywords) return Ref::steal(PyObject_VectorcallDict(function.get(), stack, n, keywords));
        return Ref::steal(PyObject_Vectorcall(function.get(), stack, n, nullptr));
    }
};

// "f()" as the interpreter names a callable in its messages about a call.
Ref function_text(PyObject* callable) {
    PyObject* found;
    if (PyObject_GetOptionalAttrString(callable, "__qualname__", &found) < 0) return {};
    Ref qualname = Ref::steal(found);
    if (PyObject_GetOptionalAttrString(callable, "__module__", &found) < 0) return {};
    Ref module = Ref::steal(found);
    if (!qualname) return Ref::steal(PyUnicode_FromFormat("%s()", Py_TYPE(callable)->tp_name));
    if (module && PyUnicode_Check(module.get()) && !PyUnicode_EqualToUTF8(module.get(), "builtins")) {
        return Ref::steal(PyUnicode_FromFormat("%S.%S()", module.get(), qualname.get()));
    }
    return Ref::steal(PyUnicode_FromFormat("%S()", qualname.get()));
}

// The keywords of handler(individual, **data), for data that is not a dict
// (a record restored from foreign state): a fresh dict of its items.
Ref keywords_of(PyObject* handler, PyObject* data) {
    Ref keywords = Ref::steal(PyDict_New());
    if (!keywords) return {};
    if (PyDict_Merge(keywords.get(), data, 1) == 0) return keywords;
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return {};
    Ref error = Ref::steal(PyErr_GetRaisedException());
    const int has_keys = PyObject_HasAttrStringWithError(data, "keys");
    if (has_keys != 0) {  // a mapping whose own code failed, or an error asking
        if (has_keys > 0) PyErr_SetRaisedException(error.release());
        return {};
    }
    Ref name = function_text(handler);
    if (name) {
        PyErr_Format(PyExc_TypeError, "%U argument after ** must be a mapping, not %.200s", name.get(),
                     Py_TYPE(data)->tp_name);
    }
    return {};
}

// The record that next_event returned, unpacked as
// `age, _, message, terminate, data = record` unpacks it.
struct Event {
    Ref age, message, terminate, data;
};

bool too_many(PyObject* record) {
    if (PyList_CheckExact(record) || PyTuple_CheckExact(record) || PyDict_CheckExact(record)) {
        const Py_ssize_t n = PyDict_CheckExact(record) ? PyDict_GET_SIZE(record) : Py_SIZE(record);
        PyErr_Format(PyExc_ValueError, "too many values to unpack (expected 5, got %zd)", n);
    } else {
        PyErr_SetString(PyExc_ValueError, "too many values to unpack (expected 5)");
    }
    return false;
}

// The items of any other iterable, taken one by one as unpacking takes them:
// never more than one past the five, so an endless iterator ends too.
bool unpack_iterable(PyObject* record, Ref (&items)[5]) {
    Ref iterator = Ref::steal(PyObject_GetIter(record));
    if (!iterator) {
        if (PyErr_ExceptionMatches(PyExc_TypeError) && !Py_TYPE(record)->tp_iter && !PySequence_Check(record)) {
            PyErr_Format(PyExc_TypeError, "cannot unpack non-iterable %.200s object", Py_TYPE(record)->tp_name);
        }
        return false;
    }
    for (Py_ssize_t i = 0; i < 5; ++i) {
        items[i] = Ref::steal(PyIter_Next(iterator.get()));
        if (!items[i]) {
            if (!PyErr_Occurred()) {
                PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected 5, got %zd)", i);
            }
            return false;
        }
    }
    Ref extra = Ref::steal(PyIter_Next(iterator.get()));
    if (extra) return too_many(record);
    return !PyErr_Occurred();
}

bool unpack(PyObject* record, Event& out) {
    Ref items[5];
    if (PyTuple_CheckExact(record) || PyList_CheckExact(record)) {
        const Py_ssize_t n = Py_SIZE(record);
        if (n > 5) return too_many(record);
        if (n < 5) {
            PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected 5, got %zd)", n);
            return false;
        }
        PyObject** values = PyTuple_CheckExact(record) ? &PyTuple_GET_ITEM(record, 0) : &PyList_GET_ITEM(record, 0);
        for (Py_ssize_t i = 0; i < 5; ++i) items[i] = Ref::borrow(values[i]);
    } else if (!unpack_iterable(record, items)) {
        return false;
    }
    out.age = std::move(items[0]);
    out.message = std::move(items[2]);
    out.terminate = std::move(items[3]);
    out.data = std::move(items[4]);
    return true;
}

// Whether the object is true, as `if value:` decides; -1 on error.
int truth(PyObject* value) {
    if (value == Py_True) return 1;
    if (value == Py_False || value == Py_None) return 0;
    if (PyDict_CheckExact(value)) return PyDict_GET_SIZE(value) > 0;
    return PyObject_IsTrue(value);
}

// -inf < age < inf, as Python compares; -1 on error.
int finite_age(PyObject* age) {
    if (PyFloat_CheckExact(age)) return std::isfinite(PyFloat_AS_DOUBLE(age)) ? 1 : 0;
    Ref negative = Ref::steal(PyFloat_FromDouble(-HUGE_VAL));
    Ref positive = Ref::steal(PyFloat_FromDouble(HUGE_VAL));
    if (!negative || !positive) return -1;
    const int above = PyObject_RichCompareBool(negative.get(), age, Py_LT);
    if (above <= 0) return above;
    return PyObject_RichCompareBool(age, positive.get(), Py_LT);
}

// handler(individual) or handler(individual, **data).
bool handle(PyObject* handler, PyObject* individual, PyObject* data) {
    const int has_data = truth(data);
    if (has_data < 0) return false;
    const Callee callee = Callee::of(handler);
    if (!has_data) return callee({individual}).get() != nullptr;
    if (PyDict_CheckExact(data)) return callee({individual}, data).get() != nullptr;
    Ref keywords = keywords_of(handler, data);
    return keywords && callee({individual}, keywords.get()).get() != nullptr;
}

// Where the loop stood: the driver names the person and the universe of a
// failure, and explains an empty queue only for errors of the event loop.
struct Position {
    Py_ssize_t person = -1;
    Py_ssize_t universe = -1;  // kept from the previous life until the next one starts
    bool in_events = false;
};

// The block being stepped through: the arguments of run_lives and the
// Individual's own stepping methods, each looked up once, as the driver's
// `next_event = individual.next_event` did.
struct Loop {
    PyObject* individual;
    PyObject* dispatch;   // exact dict: message -> handler
    PyObject* starts;     // tuple of callables, called with the individual
    PyObject* processes;  // tuple: each learns the universe of every life
    PyObject* universes;  // tuple of universe names
    PyObject* people;     // tuple: each person's index in the population, the stream of its lives
    Py_ssize_t size;
    Py_ssize_t events_limit;
    PyObject* streams;  // tuple of the generators' set_stream
    const InternedNames& names;
    Callee next_person, next_universe, next_event, log_ongoing_durations;
    // next_event is the type's own, bound to an Individual: the loop calls
    // its body directly, without binding its (no) arguments at every event.
    Individual* own_next_event = nullptr;
    Position position;
};

Individual* own_method_self(PyObject* module, const Callee& callee, const MethodSpec& method) {
    PyTypeObject* type = module_state(module).individual_type;
    PyObject* own = type ? PyDict_GetItemString(type->tp_dict, method.signature.name) : nullptr;
    if (!own || callee.function.get() != own || !callee.self || !PyObject_TypeCheck(callee.self.get(), type)) {
        return nullptr;
    }
    return reinterpret_cast<Individual*>(callee.self.get());
}

Ref take_event(Loop& loop, BoundArguments& no_arguments) {
    if (loop.own_next_event) return Ref::steal(next_event_method.impl(loop.own_next_event, no_arguments));
    return loop.next_event({});
}

// What ends a block early without an error of its own: a modelling mistake
// that the driver raises with its explanation.
Ref stop(const char* reason, PyObject* message, PyObject* age) {
    return Ref::steal(Py_BuildValue("(sOO)", reason, message ? message : Py_None, age ? age : Py_None));
}

bool call_each(PyObject* callables, PyObject* argument) {
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(callables); ++i) {
        if (!Callee::of(PyTuple_GET_ITEM(callables, i))({argument})) return false;
    }
    return true;
}

// A life's start: the universe, the generators at the person's stream, the
// universe's name and position on every process, then the processes' starts.
bool start_life(Loop& loop, PyObject* stream) {
    const Py_ssize_t u = loop.position.universe;
    if (!loop.next_universe({}) || !call_each(loop.streams, stream)) return false;
    PyObject* universe = PyTuple_GET_ITEM(loop.universes, u);
    Ref index = Ref::steal(PyLong_FromSsize_t(u));
    if (!index) return false;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(loop.processes); ++i) {
        PyObject* process = PyTuple_GET_ITEM(loop.processes, i);
        if (PyObject_SetAttr(process, loop.names.universe, universe) < 0 ||
            PyObject_SetAttr(process, loop.names.universe_index, index.get()) < 0) {
            return false;
        }
    }
    return call_each(loop.starts, loop.individual);
}

// The events of one life, up to the one that ends it. Returns None when the
// life ended at a finite age, a stop when it did not, null on error.
Ref run_events(Loop& loop, PyObject* module) {
    loop.position.in_events = true;
    BoundArguments no_arguments(next_event_method.signature, module);
    Event event;
    Py_ssize_t taken = 0;
    for (; taken < loop.events_limit; ++taken) {
        Ref record = take_event(loop, no_arguments);
        if (!record || !unpack(record.get(), event)) return {};
        PyObject* handler;
        const int found = PyDict_GetItemRef(loop.dispatch, event.message.get(), &handler);
        if (found < 0) return {};
        if (found == 0) return stop("unhandled", event.message.get(), nullptr);
        const bool handled = handle(handler, loop.individual, event.data.get());
        Py_DECREF(handler);
        if (!handled) return {};
        const int terminate = truth(event.terminate.get());
        if (terminate < 0) return {};
        if (terminate) break;
    }
    if (taken == loop.events_limit) return stop("endless", event.message.get(), event.age.get());
    loop.position.in_events = false;
    const int finite = finite_age(event.age.get());
    if (finite < 0) return {};
    if (!finite) return stop("ended", event.message.get(), event.age.get());
    return Ref::none();
}

Ref run_block(Loop& loop, PyObject* module) {
    for (Py_ssize_t person = 0; person < loop.size; ++person) {
        loop.position.person = person;
        if (PyErr_CheckSignals() < 0 || !loop.next_person({})) return {};
        PyObject* stream = PyTuple_GET_ITEM(loop.people, person);
        for (Py_ssize_t u = 0; u < PyTuple_GET_SIZE(loop.universes); ++u) {
            loop.position.universe = u;
            if (!start_life(loop, stream)) return {};
            Ref ended = run_events(loop, module);
            if (!ended || ended.get() != Py_None) return ended;
            if (!loop.log_ongoing_durations({})) return {};
        }
    }
    return Ref::none();
}

// where[:] = [person, universe, in_events], keeping the error being raised.
bool report_position(PyObject* where, const Position& position) {
    Ref error = Ref::steal(PyErr_GetRaisedException());
    Ref items = Ref::steal(Py_BuildValue("(nnO)", position.person, position.universe,
                                         position.in_events ? Py_True : Py_False));
    const bool written = items && PyList_SetSlice(where, 0, PyList_GET_SIZE(where), items.get()) == 0;
    if (error) PyErr_SetRaisedException(error.release());
    return written;
}

constexpr Parameter run_lives_parameters[] = {
    {"individual"}, {"dispatch", "dict"}, {"starts", "tuple"}, {"processes", "tuple"}, {"universes", "tuple"},
    {"people", "tuple"}, {"events_limit", "int"}, {"streams", "tuple"}, {"where", "list"}};
constexpr Signature run_lives_signature{"run_lives", run_lives_parameters};

PyObject* run_lives(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    BoundArguments bound(run_lives_signature, module);
    if (!bind(bound, args, nargs, kwnames)) return nullptr;
    if (!check_argument_type(bound[1], &PyDict_Type, bound.name(1)) ||
        !check_argument_type(bound[2], &PyTuple_Type, bound.name(2)) ||
        !check_argument_type(bound[3], &PyTuple_Type, bound.name(3)) ||
        !check_argument_type(bound[4], &PyTuple_Type, bound.name(4)) ||
        !check_argument_type(bound[5], &PyTuple_Type, bound.name(5)) ||
        !check_argument_type(bound[7], &PyTuple_Type, bound.name(7)) ||
        !check_argument_type(bound[8], &PyList_Type, bound.name(8))) {
        return nullptr;
    }
    const InternedNames& names = module_state(module).names;
    Loop loop{bound[0], bound[1], bound[2], bound[3], bound[4], bound[5], PyTuple_GET_SIZE(bound[5]), 0,
              bound[7], names, {}, {}, {}, {}, {}};
    if (!size_value(bound[6], loop.events_limit)) return nullptr;
    if (loop.events_limit < 1) return raise(PyExc_ValueError, "run_lives(): events_limit must be at least 1");
    if (!Callee::lookup(loop.individual, names.next_person, loop.next_person) ||
        !Callee::lookup(loop.individual, names.next_universe, loop.next_universe) ||
        !Callee::lookup(loop.individual, names.next_event, loop.next_event) ||
        !Callee::lookup(loop.individual, names.log_ongoing_durations, loop.log_ongoing_durations)) {
        return nullptr;
    }
    loop.own_next_event = own_method_self(module, loop.next_event, next_event_method);
    Ref result = run_block(loop, module);
    if ((!result || result.get() != Py_None) && !report_position(bound[8], loop.position)) return nullptr;
    return result.release();
}

}  // namespace

PyMethodDef run_lives_function = {
    "run_lives",
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(run_lives)),
    METH_FASTCALL | METH_KEYWORDS,
    "run_lives(individual, dispatch, starts, processes, universes, people, events_limit, streams, where)\n"
    "--\n\n"
    "Simulates the people of a block, in order, in every universe.\n"
    "\n"
    "people holds each person's index in the population (ints). Each life starts with\n"
    "next_universe(), each of streams called with the person's index, every process's universe and universe_index set, and each of starts called\n"
    "with the individual; then every event of next_event() goes to dispatch[message],\n"
    "called with the individual and the event's data as keywords, until an event that\n"
    "terminates the life, after which log_ongoing_durations() closes it.\n"
    "\n"
    "Returns None, or, for a life that cannot be simulated, (reason, message, age)\n"
    "with reason \"unhandled\" (no handler for the message), \"endless\" (events_limit\n"
    "events without a terminating one) or \"ended\" (terminated at an infinite or NaN\n"
    "age). On such a stop or an error, where holds [person, universe, in_events]:\n"
    "the position in the block, the universe of the latest life started, and whether\n"
    "the events of a life were being taken.",
};

}  // namespace tavlen
