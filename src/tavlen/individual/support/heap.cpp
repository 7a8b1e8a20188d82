#include "support/heap.hpp"

namespace tavlen {
namespace {

bool is_plain_entry(PyObject* entry) {
    if (!PyTuple_CheckExact(entry) || PyTuple_GET_SIZE(entry) != 3) return false;
    return PyFloat_CheckExact(PyTuple_GET_ITEM(entry, 0)) && PyLong_CheckExact(PyTuple_GET_ITEM(entry, 1)) &&
           PyLong_CheckExact(PyTuple_GET_ITEM(entry, 2));
}

bool both_compact(PyObject* a, PyObject* b) {
    return PyUnstable_Long_IsCompact(reinterpret_cast<PyLongObject*>(a)) &&
           PyUnstable_Long_IsCompact(reinterpret_cast<PyLongObject*>(b));
}

Py_ssize_t compact_value(PyObject* a) { return PyUnstable_Long_CompactValue(reinterpret_cast<PyLongObject*>(a)); }

// Tuple comparison decides at the first pair of items that are not equal
// (identity counting as equal), by "<" on that pair; all equal: not less.
int plain_entry_less(PyObject* a, PyObject* b) {
    PyObject* age_a = PyTuple_GET_ITEM(a, 0);
    PyObject* age_b = PyTuple_GET_ITEM(b, 0);
    if (age_a != age_b) {
        const double x = PyFloat_AS_DOUBLE(age_a);
        const double y = PyFloat_AS_DOUBLE(age_b);
        if (!(x == y)) return x < y;
    }
    for (Py_ssize_t i = 1; i < 3; ++i) {
        PyObject* x = PyTuple_GET_ITEM(a, i);
        PyObject* y = PyTuple_GET_ITEM(b, i);
        if (x == y) continue;
        if (both_compact(x, y)) {
            const Py_ssize_t u = compact_value(x);
            const Py_ssize_t v = compact_value(y);
            if (u != v) return u < v;
            continue;
        }
        // Large ints: exact int comparison runs no Python code.
        const int equal = PyObject_RichCompareBool(x, y, Py_EQ);
        if (equal != 1) return equal < 0 ? -1 : PyObject_RichCompareBool(x, y, Py_LT);
    }
    return 0;
}

int less(PyObject* a, PyObject* b) {
    if (is_plain_entry(a) && is_plain_entry(b)) return plain_entry_less(a, b);
    // The items may be released by code that the comparison runs.
    Ref hold_a = Ref::borrow(a), hold_b = Ref::borrow(b);
    return PyObject_RichCompareBool(a, b, Py_LT);
}

bool raise_size_changed() {
    PyErr_SetString(PyExc_RuntimeError, "list changed size during iteration");
    return false;
}

void swap_items(PyObject* heap, Py_ssize_t i, Py_ssize_t j) {
    PyObject* item = PyList_GET_ITEM(heap, i);
    PyList_SET_ITEM(heap, i, PyList_GET_ITEM(heap, j));
    PyList_SET_ITEM(heap, j, item);
}

// Moves the item at pos towards the root until its parent is not greater.
bool sift_down(PyObject* heap, Py_ssize_t start, Py_ssize_t pos) {
    const Py_ssize_t size = PyList_GET_SIZE(heap);
    while (pos > start) {
        const Py_ssize_t parent = (pos - 1) >> 1;
        const int cmp = less(PyList_GET_ITEM(heap, pos), PyList_GET_ITEM(heap, parent));
        if (cmp < 0) return false;
        if (size != PyList_GET_SIZE(heap)) return raise_size_changed();
        if (cmp == 0) break;
        swap_items(heap, parent, pos);
        pos = parent;
    }
    return true;
}

// Moves the smaller child up from pos down to a leaf, then sifts the item
// that was at pos back towards pos.
bool sift_up(PyObject* heap, Py_ssize_t pos) {
    const Py_ssize_t end = PyList_GET_SIZE(heap);
    const Py_ssize_t start = pos;
    const Py_ssize_t limit = end >> 1;
    while (pos < limit) {
        Py_ssize_t child = 2 * pos + 1;
        if (child + 1 < end) {
            const int cmp = less(PyList_GET_ITEM(heap, child), PyList_GET_ITEM(heap, child + 1));
            if (cmp < 0) return false;
            child += cmp ^ 1;
            if (end != PyList_GET_SIZE(heap)) return raise_size_changed();
        }
        swap_items(heap, child, pos);
        pos = child;
    }
    return sift_down(heap, start, pos);
}

}  // namespace

bool heap_push(PyObject* heap, PyObject* item) {
    return PyList_Append(heap, item) == 0 && sift_down(heap, 0, PyList_GET_SIZE(heap) - 1);
}

Ref heap_pop(PyObject* heap) {
    const Py_ssize_t n = PyList_GET_SIZE(heap);
    if (n == 0) return raise(PyExc_IndexError, "index out of range");
    // The list's reference to its last item passes to us as the list
    // shrinks: what `del heap[-1]` does, without a slice deletion's work
    // (the list keeps its capacity for the pushes to come).
    Ref last = Ref::steal(PyList_GET_ITEM(heap, n - 1));
    Py_SET_SIZE(heap, n - 1);
    if (n == 1) return last;
    Ref smallest = Ref::steal(PyList_GET_ITEM(heap, 0));
    PyList_SET_ITEM(heap, 0, last.release());
    if (!sift_up(heap, 0)) return {};
    return smallest;
}

}  // namespace tavlen
