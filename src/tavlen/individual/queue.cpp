// The event queue of the current life.
#include "methods.hpp"
#include "module.hpp"
#include "support/heap.hpp"

#include <initializer_list>
#include <utility>

namespace tavlen {
namespace {

constexpr Parameter add_parameters[] = {
    {"delta", "float"}, {"message", "str"}, {"priority", "int", "0"}, {"terminate", "bool", "False"}};
constexpr Parameter add_age_parameters[] = {
    {"age", "float"}, {"message", "str"}, {"priority", "int", "0"}, {"terminate", "bool", "False"}};
constexpr Parameter add_year_parameters[] = {
    {"year", "float"}, {"message", "str"}, {"priority", "int", "0"}, {"terminate", "bool", "False"}};
constexpr Parameter remove_parameters[] = {{"idx", "int"}};
constexpr Parameter remove_message_parameters[] = {{"message", "str"}};
constexpr Parameter move_parameters[] = {{"idx", "int"}, {"delta", "float"}};
constexpr Parameter move_age_parameters[] = {{"idx", "int"}, {"age", "float"}};
constexpr Parameter move_year_parameters[] = {{"idx", "int"}, {"year", "float"}};

#define TAVLEN_ADD_DOC(first_line, when_param)                                                  \
    first_line "\n"                                                                             \
    "\n"                                                                                        \
    when_param                                                                                  \
    "        :param message: The message of the event, handed back when the event is due.\n"   \
    "        :param priority: The priority of the event. Among events due at the same age,\n"  \
    "            higher priority values are taken from the queue first.\n"                     \
    "        :param terminate: Whether the simulation should be terminated when the event\n"   \
    "            is due.\n"                                                                     \
    "        :param kwargs: Further data of the event, stored and returned when the event\n"   \
    "            is due.\n"                                                                     \
    "        :return: The unique id of the added event.\n"                                      \
    "        "

#define TAVLEN_MOVE_DOC(first_line, target_param)                                               \
    first_line "\n"                                                                             \
    "\n"                                                                                        \
    "        The event is deleted from the queue and a new event is created in its place.\n"   \
    "\n"                                                                                        \
    "        :param idx: The unique id of the event.\n"                                         \
    target_param                                                                                \
    "        :return: The unique id of the updated event.\n"                                    \
    "        "

// The queue's containers, held for the call: code run on the way (a key's
// __eq__, a rebound heappush, a snapshot function) may replace the fields.
struct QueueContainers {
    Ref queue;   // exact list: the heap of (due age, -priority, id)
    Ref events;  // exact dict: id -> (due age, priority, message, terminate, kwargs)
};

bool hold_events(const Individual* self, Ref& events) {
    if (!PyDict_CheckExact(self->_events)) {
        PyErr_Format(PyExc_TypeError, "the event records _events must be a dict, not %.200s",
                     Py_TYPE(self->_events)->tp_name);
        return false;
    }
    events = Ref::borrow(self->_events);
    return true;
}

bool hold_queue(const Individual* self, QueueContainers& held) {
    if (!PyList_CheckExact(self->_queue)) {
        PyErr_Format(PyExc_TypeError, "the event queue _queue must be a list, not %.200s",
                     Py_TYPE(self->_queue)->tp_name);
        return false;
    }
    if (!hold_events(self, held.events)) return false;
    held.queue = Ref::borrow(self->_queue);
    return true;
}

// Raises error again once undo() has put an event back; should the undo
// fail too, its error is raised, with the first one as its context.
template <class Undo>
PyObject* undo_and_raise(Undo undo) {
    Ref error = Ref::steal(PyErr_GetRaisedException());
    if (!undo()) {
        Ref undo_error = Ref::steal(PyErr_GetRaisedException());
        PyException_SetContext(undo_error.get(), error.release());
        error = std::move(undo_error);
    }
    PyErr_SetRaisedException(error.release());
    return nullptr;
}

// heappush and heappop as the module's globals hold them at this call.
bool push(PyObject* module, PyObject* queue, PyObject* entry) {
    const ModuleState& state = module_state(module);
    if (state.heapq_bound) [[likely]]
        return heap_push(queue, entry);
    Ref function = global(module, state.names.heappush);
    if (!function) return false;
    if (function.get() == state.heapq_heappush) {
        recheck_heapq_bound(module);
        return heap_push(queue, entry);
    }
    PyObject* args[] = {queue, entry};
    return Ref::steal(PyObject_Vectorcall(function.get(), args, 2, nullptr)).get() != nullptr;
}

Ref pop(PyObject* module, PyObject* queue) {
    const ModuleState& state = module_state(module);
    if (state.heapq_bound) [[likely]]
        return heap_pop(queue);
    Ref function = global(module, state.names.heappop);
    if (!function) return {};
    if (function.get() == state.heapq_heappop) {
        recheck_heapq_bound(module);
        return heap_pop(queue);
    }
    return Ref::steal(PyObject_CallOneArg(function.get(), queue));
}

// The scheduling arguments after their conversions.
struct Scheduled {
    Ref message;
    Ref priority;  // exact int
    bool terminate = false;
};

bool convert_scheduling(const BoundArguments& args, Scheduled& out) {
    if (!check_argument_type(args[1], &PyUnicode_Type, args.name(1))) return false;
    out.message = Ref::borrow(args[1]);
    if (args[2]) {
        out.priority = int_argument(args[2], args.name(2));
        if (!out.priority) return false;
    } else {
        out.priority = Ref::steal(PyLong_FromLong(0));
    }
    return !args[3] || bool_argument(args[3], out.terminate);
}

bool check_future(const BoundArguments& args, bool in_future) {
    if (in_future || !module_state(args.module).assertions_enabled) return true;
    PyErr_SetString(PyExc_AssertionError, "Event should take place in the future");
    return false;
}

// A tuple that takes over the references to its items (all non-null).
Ref new_tuple(std::initializer_list<PyObject*> items) {
    Ref tuple = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(items.size())));
    Py_ssize_t i = 0;
    for (PyObject* item : items) {
        if (tuple) {
            PyTuple_SET_ITEM(tuple.get(), i++, item);
        } else {
            Py_DECREF(item);
        }
    }
    return tuple;
}

// How the first argument of a scheduling call gives the due age.
enum class DueAt { delay, age, year };

// Stores the record and pushes the entry of a new event; returns its id.
// The due age is worked out from age and _person_birth only once every
// argument is converted: a conversion may run code that changes them.
PyObject* schedule(Individual* self, BoundArguments& args, DueAt kind) {
    double when;
    Scheduled event;
    if (!float_argument(args[0], when) || !convert_scheduling(args, event)) return nullptr;
    const double due_age = kind == DueAt::delay ? when + self->age
                           : kind == DueAt::age ? when
                                                : when - self->_person_birth;
    const bool in_future = kind == DueAt::delay ? when >= 0.0 : due_age >= self->age;
    QueueContainers held;
    if (!check_future(args, in_future) || !hold_queue(self, held)) return nullptr;
    if (self->_event_idx == INT32_MAX) {
        return raise(PyExc_OverflowError, "no event id is left in this life: 2147483648 events were scheduled");
    }
    Ref negated_priority = Ref::steal(PyNumber_Negative(event.priority.get()));
    Ref record_age = Ref::steal(PyFloat_FromDouble(due_age));
    Ref entry_age = Ref::steal(PyFloat_FromDouble(due_age));
    if (!negated_priority || !record_age || !entry_age) return nullptr;
    self->_event_idx += 1;
    Ref id = Ref::steal(PyLong_FromLong(self->_event_idx));
    if (!id) return nullptr;
    Ref record = new_tuple({record_age.release(), event.priority.release(), event.message.release(),
                            Py_NewRef(event.terminate ? Py_True : Py_False), Py_NewRef(args.extra_keywords.get())});
    Ref entry = record ? new_tuple({entry_age.release(), negated_priority.release(), Py_NewRef(id.get())}) : Ref();
    if (!entry || PyDict_SetItem(held.events.get(), id.get(), record.get()) < 0 ||
        !push(args.module, held.queue.get(), entry.get())) {
        return nullptr;
    }
    return id.release();
}

PyObject* add_to_queue(Individual* self, BoundArguments& args) { return schedule(self, args, DueAt::delay); }
PyObject* add_to_queue_age(Individual* self, BoundArguments& args) { return schedule(self, args, DueAt::age); }
PyObject* add_to_queue_year(Individual* self, BoundArguments& args) { return schedule(self, args, DueAt::year); }

PyObject* remove_from_queue(Individual* self, BoundArguments& args) {
    Ref id = int_argument(args[0], args.name(0));
    Ref events;
    if (!id || !hold_events(self, events)) return nullptr;
    if (PyDict_Pop(events.get(), id.get(), nullptr) < 0) return nullptr;
    Py_RETURN_NONE;
}

// The record's item i (a restored record may be any sequence).
Ref record_item(PyObject* record, Py_ssize_t i) {
    if (PyTuple_CheckExact(record) && i < PyTuple_GET_SIZE(record)) return Ref::borrow(PyTuple_GET_ITEM(record, i));
    return Ref::steal(PySequence_GetItem(record, i));
}

PyObject* remove_from_queue_message(Individual* self, BoundArguments& args) {
    PyObject* message = args[0];
    Ref events;
    if (!check_argument_type(message, &PyUnicode_Type, args.name(0)) || !hold_events(self, events)) return nullptr;
    Ref ids = Ref::steal(PyDict_Keys(events.get()));
    if (!ids) return nullptr;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(ids.get()); ++i) {
        PyObject* id = PyList_GET_ITEM(ids.get(), i);
        PyObject* found;
        const int present = PyDict_GetItemRef(events.get(), id, &found);
        if (present < 0) return nullptr;
        if (present == 0) continue;  // already gone, by code that a comparison ran
        Ref record = Ref::steal(found);
        Ref record_message = record_item(record.get(), 2);
        const int equal = record_message ? PyObject_RichCompareBool(record_message.get(), message, Py_EQ) : -1;
        if (equal < 0 || (equal && PyDict_Pop(events.get(), id, nullptr) < 0)) return nullptr;
    }
    Py_RETURN_NONE;
}

// The five items of a record, with the priority carried as int32.
struct Record {
    double due_age;
    Ref priority;
    Ref message;
    Ref terminate;
    Ref kwargs;
};

bool unpack_record(PyObject* record, Record& out) {
    Ref items = Ref::steal(PySequence_Tuple(record));
    if (!items) return false;
    const Py_ssize_t n = PyTuple_GET_SIZE(items.get());
    if (n != 5) {
        if (n < 5) PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected 5, got %zd)", n);
        else PyErr_SetString(PyExc_ValueError, "too many values to unpack (expected 5)");
        return false;
    }
    int32_t priority;
    if (!double_value(PyTuple_GET_ITEM(items.get(), 0), out.due_age) ||
        !int32_value(PyTuple_GET_ITEM(items.get(), 1), priority)) {
        return false;
    }
    out.priority = Ref::steal(PyLong_FromLong(priority));
    out.message = Ref::borrow(PyTuple_GET_ITEM(items.get(), 2));
    out.terminate = Ref::borrow(PyTuple_GET_ITEM(items.get(), 3));
    out.kwargs = Ref::borrow(PyTuple_GET_ITEM(items.get(), 4));
    return out.priority.get() != nullptr;
}

// self.add_to_queue_age(due_age, message, priority, terminate, **kwargs),
// through the object, so that a subclass's override is obeyed.
Ref reschedule(Individual* self, PyObject* module, const Record& record, double due_age) {
    const InternedNames& names = module_state(module).names;
    Ref age = Ref::steal(PyFloat_FromDouble(due_age));
    if (!age) return {};
    PyObject* args[] = {reinterpret_cast<PyObject*>(self), age.get(), record.message.get(), record.priority.get(),
                        record.terminate.get()};
    Ref keywords = record.kwargs;
    if (!PyDict_Check(keywords.get())) {  // a restored record may hold another mapping
        keywords = Ref::steal(PyDict_New());
        if (!keywords || PyDict_Update(keywords.get(), record.kwargs.get()) < 0) return {};
    }
    if (PyDict_GET_SIZE(keywords.get()) == 0) {
        return Ref::steal(PyObject_VectorcallMethod(names.add_to_queue_age, args, 5 | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                                    nullptr));
    }
    Ref method = Ref::steal(PyObject_GetAttr(args[0], names.add_to_queue_age));
    return method ? Ref::steal(PyObject_VectorcallDict(method.get(), args + 1, 4, keywords.get())) : Ref();
}

// A move takes the record out and schedules it anew. When that fails, the
// record goes back under its old id: its entry is still on the heap, so the
// event stays live instead of being lost.
enum class MoveTarget { relative, age, year };

PyObject* move(Individual* self, BoundArguments& args, MoveTarget target) {
    Ref id = int_argument(args[0], args.name(0));
    double value;
    Ref events;
    if (!id || !float_argument(args[1], value) || !hold_events(self, events)) return nullptr;
    PyObject* taken;
    const int present = PyDict_Pop(events.get(), id.get(), &taken);
    if (present < 0) return nullptr;
    if (present == 0) {
        PyErr_SetObject(PyExc_KeyError, id.get());
        return nullptr;
    }
    Ref record = Ref::steal(taken);
    Record unpacked;
    Ref new_id;
    if (unpack_record(record.get(), unpacked)) {
        const double due_age = target == MoveTarget::relative ? unpacked.due_age + value
                               : target == MoveTarget::age    ? value
                                                              : value - self->_person_birth;
        new_id = reschedule(self, args.module, unpacked, due_age);
    }
    if (!new_id) {
        return undo_and_raise([&] { return PyDict_SetItem(events.get(), id.get(), record.get()) == 0; });
    }
    return new_id.release();
}

PyObject* move_in_queue(Individual* self, BoundArguments& args) { return move(self, args, MoveTarget::relative); }
PyObject* move_in_queue_age(Individual* self, BoundArguments& args) { return move(self, args, MoveTarget::age); }
PyObject* move_in_queue_year(Individual* self, BoundArguments& args) { return move(self, args, MoveTarget::year); }

// The id of a queue entry, as an int32 (a restored entry may be anything).
bool entry_id(PyObject* entry, Ref& id) {
    Ref item = record_item(entry, 2);
    if (!item) return false;
    if (PyLong_CheckExact(item.get()) && PyUnstable_Long_IsCompact(reinterpret_cast<PyLongObject*>(item.get()))) {
        const Py_ssize_t value = PyUnstable_Long_CompactValue(reinterpret_cast<PyLongObject*>(item.get()));
        if (value >= INT32_MIN && value <= INT32_MAX) {
            id = std::move(item);
            return true;
        }
    }
    int32_t value;
    if (!int32_value(item.get(), value)) return false;
    id = Ref::steal(PyLong_FromLong(value));
    return id.get() != nullptr;
}

bool call_snapshot(Individual* self, PyObject* name, PyObject* due_age) {
    PyObject* args[] = {reinterpret_cast<PyObject*>(self), due_age};
    return Ref::steal(PyObject_VectorcallMethod(name, args, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr)).get();
}

// Snapshots due before the event are taken first, through the object's own
// methods. Should one of them raise, the event goes back where it was (its
// record under its id, its entry on the heap) and age keeps the value it had
// before the call: nothing of the queue is lost, and the call can be repeated.
PyObject* next_event(Individual* self, BoundArguments& args) {
    QueueContainers held;
    if (!hold_queue(self, held)) return nullptr;
    const InternedNames& names = module_state(args.module).names;
    while (PyList_GET_SIZE(held.queue.get()) > 0) {
        Ref entry = pop(args.module, held.queue.get());
        Ref id;
        if (!entry || !entry_id(entry.get(), id)) return nullptr;
        PyObject* taken;
        const int present = PyDict_Pop(held.events.get(), id.get(), &taken);
        if (present < 0) return nullptr;
        if (present == 0) continue;  // a stale entry: the event was removed or moved
        Ref record = Ref::steal(taken);
        Ref due = record_item(record.get(), 0);
        double due_age;
        if (!due || !double_value(due.get(), due_age)) return nullptr;

        const double age_before = self->age;
        Ref due_float;
        bool ok = true;
        if (due_age > self->_snapshot_next_age) {
            due_float = Ref::steal(PyFloat_FromDouble(due_age));
            ok = due_float && call_snapshot(self, names.snapshot_age, due_float.get());
        }
        if (ok && due_age > self->_snapshot_next_age_years) {
            if (!due_float) due_float = Ref::steal(PyFloat_FromDouble(due_age));
            ok = due_float && call_snapshot(self, names.snapshot_year, due_float.get());
        }
        if (!ok) {
            self->age = age_before;
            return undo_and_raise([&] {
                return PyDict_SetItem(held.events.get(), id.get(), record.get()) == 0 &&
                       push(args.module, held.queue.get(), entry.get());
            });
        }
        self->age = due_age;
        return record.release();
    }
    return raise(PyExc_RuntimeError, "Event queue empty. Consider including an OC process.");
}

}  // namespace

constinit const MethodSpec next_event_method{{"next_event", {}}, "Increment event.", next_event};

constinit const MethodSpec add_to_queue_method{
    {"add_to_queue", add_parameters, true, "int"},
    TAVLEN_ADD_DOC("Add an event to the queue at a time relative to the current time.",
                   "        :param delta: The time from the current age until the event, in years.\n"),
    add_to_queue};
constinit const MethodSpec add_to_queue_age_method{
    {"add_to_queue_age", add_age_parameters, true, "int"},
    TAVLEN_ADD_DOC("Add an event to the queue at a specific age.",
                   "        :param age: The age at which the event takes place.\n"),
    add_to_queue_age};
constinit const MethodSpec add_to_queue_year_method{
    {"add_to_queue_year", add_year_parameters, true, "int"},
    TAVLEN_ADD_DOC("Add an event to the queue at a specific date.",
                   "        :param year: The calendar year (decimal) in which the event takes place.\n"),
    add_to_queue_year};

constinit const MethodSpec remove_from_queue_method{
    {"remove_from_queue", remove_parameters},
    "Remove an event from the queue.\n"
    "\n"
    "        :param idx: The unique id of the event.\n"
    "        ",
    remove_from_queue};
constinit const MethodSpec remove_from_queue_message_method{
    {"remove_from_queue_message", remove_message_parameters},
    "Remove all events from the queue with a particular message.\n"
    "\n"
    "        :param message: The message of the events to remove.\n"
    "        ",
    remove_from_queue_message};

constinit const MethodSpec move_in_queue_method{
    {"move_in_queue", move_parameters, false, "int"},
    TAVLEN_MOVE_DOC("Move an event that is on the queue to a different age.",
                    "        :param delta: The time by which the event is moved, relative to the age\n"
                    "            at which it was due.\n"),
    move_in_queue};
constinit const MethodSpec move_in_queue_age_method{
    {"move_in_queue_age", move_age_parameters, false, "int"},
    TAVLEN_MOVE_DOC("Move an event that is on the queue to a different age.",
                    "        :param age: The new age at which the event takes place.\n"),
    move_in_queue_age};
constinit const MethodSpec move_in_queue_year_method{
    {"move_in_queue_year", move_year_parameters, false, "int"},
    TAVLEN_MOVE_DOC("Move an event that is on the queue to a different date.",
                    "        :param year: The new calendar year (decimal) of the event.\n"),
    move_in_queue_year};

}  // namespace tavlen
