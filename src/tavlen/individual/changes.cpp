// The cells a run changed: the logs note each cell that leaves zero, so that
// a block's results can be taken as those cells (and the cells cleared for
// the next block) at a cost that follows what the block touched, not the
// size of the grids.
#include "methods.hpp"
#include "module.hpp"

#include <algorithm>
#include <utility>

namespace tavlen {
namespace {

constexpr Parameter record_parameters[] = {{"individual"}, {"recording", "bool", "True"}};
constexpr Signature record_signature{"record_changes", record_parameters};
constexpr Parameter take_parameters[] = {{"individual"}};
constexpr Signature take_signature{"take_changes", take_parameters};

Individual* individual_argument(PyObject* module, PyObject* value, const char* function) {
    if (PyObject_TypeCheck(value, module_state(module).individual_type)) return reinterpret_cast<Individual*>(value);
    PyErr_Format(PyExc_TypeError, "%s(): individual must be an Individual, not %.200s", function,
                 Py_TYPE(value)->tp_name);
    return nullptr;
}

void clear(ChangedCells& cells) noexcept {
    cells.n = 0;
    cells.lost = false;
}

// Sorts offsets (all 0 or more) by their bytes, lowest first: a block's
// record holds some hundred thousand offsets into grids of a few million
// cells, which three passes sort several times faster than comparisons do.
// scratch holds as many offsets.
void radix_sort(Py_ssize_t* offsets, Py_ssize_t* scratch, Py_ssize_t n) noexcept {
    const Py_ssize_t largest = n > 0 ? *std::max_element(offsets, offsets + n) : 0;
    for (int shift = 0; shift < 64 && (largest >> shift) > 0; shift += 8) {
        Py_ssize_t counts[257] = {};
        for (Py_ssize_t k = 0; k < n; ++k) ++counts[((offsets[k] >> shift) & 0xff) + 1];
        for (int digit = 0; digit < 256; ++digit) counts[digit + 1] += counts[digit];
        for (Py_ssize_t k = 0; k < n; ++k) scratch[counts[(offsets[k] >> shift) & 0xff]++] = offsets[k];
        std::copy(scratch, scratch + n, offsets);
    }
}

// The record's offsets, ascending and each once, as native int64 bytes;
// None for a record that lost an offset.
Ref sorted_offsets(ChangedCells& cells) {
    if (cells.lost) return Ref::none();
    Py_ssize_t* scratch = PyMem_New(Py_ssize_t, static_cast<size_t>(std::max<Py_ssize_t>(cells.n, 1)));
    if (!scratch) return Ref::steal(PyErr_NoMemory());
    radix_sort(cells.offsets, scratch, cells.n);
    PyMem_Free(scratch);
    const Py_ssize_t unique = std::unique(cells.offsets, cells.offsets + cells.n) - cells.offsets;
    static_assert(sizeof(Py_ssize_t) == sizeof(int64_t));
    return Ref::steal(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(cells.offsets),
                                                unique * static_cast<Py_ssize_t>(sizeof(int64_t))));
}

PyObject* record_changes(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    BoundArguments bound(record_signature, module);
    bool recording = true;
    if (!bind(bound, args, nargs, kwnames) || (bound[1] && !bool_argument(bound[1], recording))) return nullptr;
    Individual* self = individual_argument(module, bound[0], "record_changes");
    if (!self) return nullptr;
    for (ChangedCells& cells : self->_changes.cells) clear(cells);
    self->_changes.recording = recording;
    Py_RETURN_NONE;
}

PyObject* take_changes(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    BoundArguments bound(take_signature, module);
    if (!bind(bound, args, nargs, kwnames)) return nullptr;
    Individual* self = individual_argument(module, bound[0], "take_changes");
    if (!self) return nullptr;
    if (!self->_changes.recording) {
        return raise(PyExc_RuntimeError,
                     "take_changes(): the Individual is not recording its changes; call record_changes() first");
    }
    Ref taken = Ref::steal(PyTuple_New(aggregate_count));
    if (!taken) return nullptr;
    for (int k = 0; k < aggregate_count; ++k) {
        Ref offsets = sorted_offsets(self->_changes.cells[k]);
        if (!offsets) return nullptr;
        PyTuple_SET_ITEM(taken.get(), k, offsets.release());
    }
    // Cleared only once every record was handed out: a failure leaves them all.
    for (ChangedCells& cells : self->_changes.cells) clear(cells);
    return taken.release();
}

}  // namespace

void record_change(Individual* self, Aggregate which, Py_ssize_t offset) noexcept {
    ChangedCells& cells = self->_changes.cells[static_cast<int>(which)];
    if (cells.lost) return;
    if (cells.n == cells.capacity) {
        const Py_ssize_t capacity = std::max<Py_ssize_t>(256, cells.capacity * 2);
        void* grown = capacity <= PY_SSIZE_T_MAX / static_cast<Py_ssize_t>(sizeof(Py_ssize_t))
                          ? PyMem_Realloc(cells.offsets, static_cast<size_t>(capacity) * sizeof(Py_ssize_t))
                          : nullptr;
        if (!grown) {  // the caller cannot fail: the taker learns of it instead
            cells.lost = true;
            return;
        }
        cells.offsets = static_cast<Py_ssize_t*>(grown);
        cells.capacity = capacity;
    }
    cells.offsets[cells.n++] = offset;
}

void release_changes(Individual* self) noexcept {
    for (ChangedCells& cells : self->_changes.cells) {
        PyMem_Free(std::exchange(cells.offsets, nullptr));
        cells.n = cells.capacity = 0;
    }
    self->_changes.recording = false;
}

PyMethodDef record_changes_function = {
    "record_changes",
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(record_changes)),
    METH_FASTCALL | METH_KEYWORDS,
    "record_changes(individual, recording=True)\n"
    "--\n\n"
    "Starts (or with recording false, stops) recording which cells of its aggregates\n"
    "the Individual changes: the event, duration and snapshot logs and the discounted\n"
    "arrays. The record starts empty. It is no part of the pickled state: a copy does\n"
    "not record.",
};

PyMethodDef take_changes_function = {
    "take_changes",
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(take_changes)),
    METH_FASTCALL | METH_KEYWORDS,
    "take_changes(individual)\n"
    "--\n\n"
    "The cells changed since recording started or changes were last taken, and a new\n"
    "empty record: a tuple of six entries (events, durations, snapshots_ages,\n"
    "snapshots_years, discounted_events, discounted_durations), each the ascending\n"
    "flat C-order offsets of the cells that left zero, as bytes of native int64\n"
    "(numpy.frombuffer(entry, numpy.int64)), or None when memory ran out to record\n"
    "them (the whole array must then be read). Cells that returned to zero may be\n"
    "among them.",
};

}  // namespace tavlen
