// The cells a run changed: the logs note each cell that leaves zero, so that
// a block's results can be taken as those cells (and the cells cleared for
// the next block) at a cost that follows what the block touched, not the
// size of the grids.
#include "methods.hpp"
#include "module.hpp"

#include <algorithm>
#include <memory>
#include <new>
#include <optional>
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

// --- Adding cells into totals ---------------------------------------------------

constexpr Parameter add_parameters[] = {{"positions"}, {"values"}, {"totals", "tuple"}};
constexpr Signature add_signature{"add_cells", add_parameters};

// A buffer held for the call.
struct HeldView {
    Py_buffer view{};
    bool held = false;
    HeldView() = default;
    HeldView(const HeldView&) = delete;
    HeldView& operator=(const HeldView&) = delete;
    ~HeldView() {
        if (held) PyBuffer_Release(&view);
    }
    bool hold(PyObject* exporter, int flags) {
        held = PyObject_GetBuffer(exporter, &view, flags | PyBUF_FORMAT | PyBUF_C_CONTIGUOUS) == 0;
        return held;
    }
};

// The element types of a block's cells (float64 durations, uint32 counts)
// and of the run's totals (float64, int64), and of positions (uint32, int64).
std::optional<ElementType> element_type(const Py_buffer& buffer) {
    for (ElementType type : {ElementType::float64, ElementType::uint32, ElementType::int64}) {
        if (holds_elements(buffer, type)) return type;
    }
    return std::nullopt;
}

bool addable(std::optional<ElementType> total, std::optional<ElementType> value) {
    return (total == ElementType::float64 && value == ElementType::float64) ||
           (total == ElementType::int64 && (value == ElementType::uint32 || value == ElementType::int64));
}

// total[position] += value for every cell, as NumPy's += computes it: doubles
// added, counts in 64 bits wrapping as NumPy's integers wrap.
template <class Position, class Total, class Value>
void add_each(void* total, const Position* positions, const void* values, Py_ssize_t n) {
    Total* t = static_cast<Total*>(total);
    const Value* v = static_cast<const Value*>(values);
    for (Py_ssize_t k = 0; k < n; ++k) t[positions[k]] += v[k];
}

// The cells added into every total, once every position is checked: each
// inside the totals and above the one before it, so a refusal adds nothing.
template <class Position>
bool add_at(const Py_buffer& positions_buffer, const Py_buffer& values, ElementType value_type,
            const std::unique_ptr<HeldView[]>& totals, Py_ssize_t count, Py_ssize_t size) {
    const Position* positions = static_cast<const Position*>(positions_buffer.buf);
    const Py_ssize_t n = values.len / values.itemsize;
    for (Py_ssize_t k = 0; k < n; ++k) {
        const int64_t position = static_cast<int64_t>(positions[k]);
        if (position < 0 || position >= size || (k > 0 && position <= static_cast<int64_t>(positions[k - 1]))) {
            PyErr_SetString(PyExc_ValueError, "add_cells(): positions must ascend, each once, inside the totals");
            return false;
        }
    }
    for (Py_ssize_t i = 0; i < count; ++i) {
        void* total = totals[i].view.buf;
        if (element_type(totals[i].view) == ElementType::float64) {
            add_each<Position, double, double>(total, positions, values.buf, n);
        } else if (value_type == ElementType::uint32) {
            add_each<Position, uint64_t, uint32_t>(total, positions, values.buf, n);
        } else {
            add_each<Position, uint64_t, uint64_t>(total, positions, values.buf, n);
        }
    }
    return true;
}

// add_cells(positions, values, totals): False, with nothing added, for kinds
// it does not add natively (the caller adds those itself).
PyObject* add_cells(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    BoundArguments bound(add_signature, module);
    if (!bind(bound, args, nargs, kwnames) || !check_argument_type(bound[2], &PyTuple_Type, bound.name(2))) {
        return nullptr;
    }
    HeldView positions, values;
    if (!positions.hold(bound[0], PyBUF_ND) || !values.hold(bound[1], PyBUF_ND)) return nullptr;
    if (positions.view.ndim != 1 || values.view.ndim != 1 || positions.view.itemsize <= 0 ||
        values.view.itemsize <= 0 ||
        values.view.len / values.view.itemsize != positions.view.len / positions.view.itemsize) {
        return raise(PyExc_ValueError, "add_cells(): positions and values must be one-dimensional and as long");
    }
    PyObject* totals = bound[2];
    const Py_ssize_t count = PyTuple_GET_SIZE(totals);
    std::unique_ptr<HeldView[]> held(new (std::nothrow) HeldView[static_cast<size_t>(std::max<Py_ssize_t>(count, 1))]);
    if (!held) return PyErr_NoMemory();
    const std::optional<ElementType> value_type = element_type(values.view);
    if (!value_type) Py_RETURN_FALSE;
    Py_ssize_t size = -1;
    for (Py_ssize_t i = 0; i < count; ++i) {
        if (!held[i].hold(PyTuple_GET_ITEM(totals, i), PyBUF_ND | PyBUF_WRITABLE)) return nullptr;
        const Py_ssize_t cells = held[i].view.len / std::max<Py_ssize_t>(held[i].view.itemsize, 1);
        if (size >= 0 && cells != size) {
            return raise(PyExc_ValueError, "add_cells(): the totals must have as many cells");
        }
        size = cells;
        if (!addable(element_type(held[i].view), value_type)) Py_RETURN_FALSE;
    }
    const std::optional<ElementType> position_type = element_type(positions.view);
    if (position_type == ElementType::uint32) {
        if (!add_at<uint32_t>(positions.view, values.view, *value_type, held, count, size)) return nullptr;
    } else if (position_type == ElementType::int64) {
        if (!add_at<int64_t>(positions.view, values.view, *value_type, held, count, size)) return nullptr;
    } else {
        Py_RETURN_FALSE;
    }
    Py_RETURN_TRUE;
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

PyMethodDef add_cells_function = {
    "add_cells",
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(add_cells)),
    METH_FASTCALL | METH_KEYWORDS,
    "add_cells(positions, values, totals)\n"
    "--\n\n"
    "Adds values[k] to the cell at flat C-order position positions[k] of every\n"
    "array of totals (contiguous, writable, as many cells each), as total.flat[positions]\n"
    "+= values adds. Positions are uint32 or int64, ascending, each once, inside the\n"
    "totals, else ValueError and nothing is added. Returns True; False, with nothing\n"
    "added, when the kinds are not float64 values into float64 totals or uint32 or int64\n"
    "values into int64 totals.",
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
