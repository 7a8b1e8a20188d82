// A test-only module that lets the Python tests drive the typed buffer views
// directly: element access with and without bounds tests, range tests and
// in-place updates, on whatever arrays the tests build.
#include "support/buffer_view.hpp"

using tavlen::Ref;
using tavlen::View;

namespace {

template <class T, int N>
bool load(View<T, N>& view, PyObject* array) {
    return view.assign(array);
}

bool indices(PyObject* const* args, Py_ssize_t n, Py_ssize_t* out) {
    for (Py_ssize_t i = 0; i < n; ++i) {
        out[i] = PyLong_AsSsize_t(args[i]);
        if (out[i] == -1 && PyErr_Occurred()) return false;
    }
    return true;
}

template <class T>
PyObject* to_python(T value) {
    if constexpr (std::is_floating_point_v<T>) return PyFloat_FromDouble(value);
    else return PyLong_FromLongLong(value);
}

// at(array, *index): the bounds-tested accessor of a view of the array's
// element type and number of axes.
template <class T, int N>
PyObject* at(PyObject* const* args, Py_ssize_t nargs) {
    View<T, N> view{};
    Py_ssize_t index[N];
    if (nargs != N + 1 || !load(view, args[0]) || !indices(args + 1, N, index)) {
        view.release();
        return nargs != N + 1 ? PyErr_Format(PyExc_TypeError, "expected %d indices", N) : nullptr;
    }
    std::optional<tavlen::Element<T>> element = [&] {
        if constexpr (N == 1) return view.at(index[0]);
        else return view.at(index[0], index[1], index[2], index[3], index[4]);
    }();
    PyObject* result = element ? to_python(T(*element)) : nullptr;
    view.release();
    return result;
}

// add(array, value, *index): the hot-path pattern: one range test, then an
// unchecked in-place update. Returns whether the indices were in range.
template <class T, int N>
PyObject* add(PyObject* const* args, Py_ssize_t nargs) {
    View<T, N> view{};
    Py_ssize_t index[N];
    if (nargs != N + 2 || !load(view, args[0]) || !indices(args + 2, N, index)) {
        view.release();
        return nargs != N + 2 ? PyErr_Format(PyExc_TypeError, "expected %d indices", N) : nullptr;
    }
    const double value = PyFloat_AsDouble(args[1]);
    bool inside = false;
    if (!(value == -1.0 && PyErr_Occurred())) {
        if constexpr (N == 1) {
            inside = view.contains(index[0]);
            if (inside) view(index[0]) += static_cast<T>(value);
        } else {
            inside = view.contains(index[0], index[1], index[2], index[3], index[4]);
            if (inside) view(index[0], index[1], index[2], index[3], index[4]) += static_cast<T>(value);
        }
    }
    view.release();
    return PyErr_Occurred() ? nullptr : PyBool_FromLong(inside);
}

// extents(array): the view's extents, as the hot paths see them.
PyObject* extents(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    View<uint32_t, 5> view{};
    if (nargs != 1 || !view.assign(args[0])) return nargs != 1 ? PyErr_Format(PyExc_TypeError, "one array") : nullptr;
    PyObject* result = Py_BuildValue("(nnnnn)", view.extent(0), view.extent(1), view.extent(2), view.extent(3),
                                     view.extent(4));
    view.release();
    return result;
}

PyTypeObject* export_type(PyObject* module) { return *static_cast<PyTypeObject**>(PyModule_GetState(module)); }

// memoryview(array): the memoryview that a float64 1-axis view hands out.
PyObject* memoryview(PyObject* module, PyObject* const* args, Py_ssize_t nargs) {
    View<double, 1> view{};
    if (nargs != 1 || !view.assign(args[0])) return nargs != 1 ? PyErr_Format(PyExc_TypeError, "one array") : nullptr;
    Ref memory = view.memoryview(export_type(module));
    view.release();
    return memory.release();
}

// not_ready(none): the errors of a view that was never assigned, and of one holding None.
PyObject* not_ready(PyObject* module, PyObject* const* args, Py_ssize_t nargs) {
    View<double, 1> view{};
    if (nargs == 1 && PyObject_IsTrue(args[0])) view.assign_none();
    Ref memory = view.memoryview(export_type(module));
    if (memory) return memory.release();
    return view.at(0) ? Py_NewRef(Py_None) : nullptr;
}

#define PROBE(name, function) \
    {name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(function)), METH_FASTCALL, nullptr}

PyObject* at_float64(PyObject*, PyObject* const* a, Py_ssize_t n) { return at<double, 1>(a, n); }
PyObject* at_int16(PyObject*, PyObject* const* a, Py_ssize_t n) { return at<int16_t, 1>(a, n); }
PyObject* at_uint32_5(PyObject*, PyObject* const* a, Py_ssize_t n) { return at<uint32_t, 5>(a, n); }
PyObject* add_uint16(PyObject*, PyObject* const* a, Py_ssize_t n) { return add<uint16_t, 1>(a, n); }
PyObject* add_uint32_5(PyObject*, PyObject* const* a, Py_ssize_t n) { return add<uint32_t, 5>(a, n); }
PyObject* add_float64_5(PyObject*, PyObject* const* a, Py_ssize_t n) { return add<double, 5>(a, n); }

PyMethodDef probe_functions[] = {
    PROBE("at_float64", at_float64),   PROBE("at_int16", at_int16),         PROBE("at_uint32_5", at_uint32_5),
    PROBE("add_uint16", add_uint16),   PROBE("add_uint32_5", add_uint32_5), PROBE("add_float64_5", add_float64_5),
    PROBE("extents", extents),         PROBE("not_ready", not_ready),       PROBE("memoryview", memoryview),
    {},
};

int probe_exec(PyObject* module) {
    PyTypeObject* type = tavlen::create_layout_export_type(module);
    *static_cast<PyTypeObject**>(PyModule_GetState(module)) = type;
    return type ? 0 : -1;
}

PyModuleDef_Slot probe_slots[] = {{Py_mod_exec, reinterpret_cast<void*>(probe_exec)}, {0, nullptr}};

PyModuleDef probe_module = {
    PyModuleDef_HEAD_INIT, "_view_probe", nullptr, sizeof(PyTypeObject*), probe_functions, probe_slots};

}  // namespace

PyMODINIT_FUNC PyInit__view_probe(void) { return PyModuleDef_Init(&probe_module); }
