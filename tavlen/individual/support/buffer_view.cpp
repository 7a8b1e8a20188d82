#include "support/buffer_view.hpp"

#include <bit>
#include <string>
#include <string_view>

namespace tavlen {
namespace {

struct ElementInfo {
    char kind;  // 'f' floating, 'i' signed, 'u' unsigned
    Py_ssize_t size;
    const char* name;
    const char* format;  // native struct-module code
};

constexpr ElementInfo element_info(ElementType type) {
    switch (type) {
        case ElementType::float64: return {'f', 8, "double", "d"};
        case ElementType::int16: return {'i', 2, "short", "h"};
        case ElementType::uint8: return {'u', 1, "unsigned char", "B"};
        case ElementType::uint16: return {'u', 2, "unsigned short", "H"};
        case ElementType::uint32: return {'u', 4, "unsigned int", "I"};
    }
    return {'?', 0, "?", "B"};
}

struct FormatCode {
    char code;
    char kind;
    Py_ssize_t native_size;
    Py_ssize_t standard_size;
    const char* name;
};

constexpr FormatCode format_codes[] = {
    {'b', 'i', sizeof(signed char), 1, "signed char"},
    {'B', 'u', sizeof(unsigned char), 1, "unsigned char"},
    {'h', 'i', sizeof(short), 2, "short"},
    {'H', 'u', sizeof(unsigned short), 2, "unsigned short"},
    {'i', 'i', sizeof(int), 4, "int"},
    {'I', 'u', sizeof(unsigned int), 4, "unsigned int"},
    {'l', 'i', sizeof(long), 4, "long"},
    {'L', 'u', sizeof(unsigned long), 4, "unsigned long"},
    {'q', 'i', sizeof(long long), 8, "long long"},
    {'Q', 'u', sizeof(unsigned long long), 8, "unsigned long long"},
    {'n', 'i', sizeof(Py_ssize_t), sizeof(Py_ssize_t), "Py_ssize_t"},
    {'N', 'u', sizeof(size_t), sizeof(size_t), "size_t"},
    {'e', 'f', 2, 2, "half"},
    {'f', 'f', sizeof(float), 4, "float"},
    {'d', 'f', sizeof(double), 8, "double"},
    {'g', '?', sizeof(long double), sizeof(long double), "long double"},
    {'?', '?', sizeof(bool), 1, "bool"},
    {'c', '?', 1, 1, "char"},
    {'O', '?', sizeof(PyObject*), sizeof(PyObject*), "Python object"},
};

// The single element code of a buffer format, with its byte-order prefix
// (none, '@', '=', '<', '>' or '!'); null for anything more complex.
const FormatCode* parse_format(const char* format, char& order) {
    order = '@';
    if (*format && std::string_view("@=<>!").find(*format) != std::string_view::npos) order = *format++;
    if (!format[0] || format[1]) return nullptr;
    for (const FormatCode& code : format_codes) {
        if (code.code == format[0]) return &code;
    }
    return nullptr;
}

// The byte order a format prefix names, when it is not the machine's own.
const char* foreign_byte_order(char order) {
    constexpr bool little_endian = std::endian::native == std::endian::little;
    if ((order == '>' || order == '!') && little_endian) return "big-endian ";
    if (order == '<' && !little_endian) return "little-endian ";
    return nullptr;
}

bool matches(const char* format, Py_ssize_t itemsize, const ElementInfo& expected) {
    char order;
    const FormatCode* code = parse_format(format, order);
    if (!code || foreign_byte_order(order)) return false;
    Py_ssize_t size = order == '@' ? code->native_size : code->standard_size;
    return code->kind == expected.kind && size == expected.size && itemsize == expected.size;
}

std::string describe_format(const char* format) {
    char order;
    const FormatCode* code = parse_format(format, order);
    if (!code) return std::string("'") + format + "'";
    const char* byte_order = foreign_byte_order(order);
    return std::string("'") + (byte_order ? byte_order : "") + code->name + "'";
}

// Exports the layout that a view acquired, and pins the exporter's memory
// with an export of its own for as long as it lives.
struct LayoutExport {
    PyObject_HEAD
    Py_buffer pin;
    char* data;
    Py_ssize_t length;
    Py_ssize_t itemsize;
    const char* format;
    int axes;
    Py_ssize_t shape[max_view_axes];
    Py_ssize_t strides[max_view_axes];
};

bool c_contiguous(const LayoutExport& layout) {
    Py_ssize_t expected = layout.itemsize;
    for (int axis = layout.axes - 1; axis >= 0; --axis) {
        if (layout.shape[axis] == 0) return true;
        if (layout.shape[axis] > 1 && layout.strides[axis] != expected) return false;
        expected *= layout.shape[axis];
    }
    return true;
}

int layout_getbuffer(PyObject* self, Py_buffer* view, int flags) {
    const LayoutExport& layout = *reinterpret_cast<LayoutExport*>(self);
    const bool strided = (flags & PyBUF_STRIDES) == PyBUF_STRIDES;
    if (!strided && !c_contiguous(layout)) {
        PyErr_SetString(PyExc_BufferError, "buffer is not C-contiguous");
        return -1;
    }
    const bool shaped = (flags & PyBUF_ND) == PyBUF_ND;
    view->obj = Py_NewRef(self);
    view->buf = layout.data;
    view->len = layout.length;
    view->readonly = 0;
    view->itemsize = shaped ? layout.itemsize : 1;
    view->format = (flags & PyBUF_FORMAT) ? const_cast<char*>(shaped ? layout.format : "B") : nullptr;
    view->ndim = shaped ? layout.axes : 1;
    view->shape = shaped ? const_cast<Py_ssize_t*>(layout.shape) : nullptr;
    view->strides = strided ? const_cast<Py_ssize_t*>(layout.strides) : nullptr;
    view->suboffsets = nullptr;
    view->internal = nullptr;
    return 0;
}

void layout_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyBuffer_Release(&reinterpret_cast<LayoutExport*>(self)->pin);
    type->tp_free(self);
    Py_DECREF(type);
}

PyType_Slot layout_export_slots[] = {
    {Py_bf_getbuffer, reinterpret_cast<void*>(layout_getbuffer)},
    {Py_tp_dealloc, reinterpret_cast<void*>(layout_dealloc)},
    {0, nullptr},
};

PyType_Spec layout_export_spec = {
    "tavlen.individual.layout_export",
    sizeof(LayoutExport),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    layout_export_slots,
};

}  // namespace

bool BufferView::assign(PyObject* exporter, ElementType type, int axes) {
    Py_buffer acquired;
    if (PyObject_GetBuffer(exporter, &acquired, PyBUF_RECORDS) < 0) return false;
    if (acquired.ndim != axes) {
        PyErr_Format(PyExc_ValueError, "Buffer has wrong number of dimensions (expected %d, got %d)",
                     axes, acquired.ndim);
        PyBuffer_Release(&acquired);
        return false;
    }
    const ElementInfo expected = element_info(type);
    const char* format = acquired.format ? acquired.format : "B";
    if (!matches(format, acquired.itemsize, expected)) {
        PyErr_Format(PyExc_ValueError, "Buffer dtype mismatch, expected %s%s%s but got %s", "'",
                     expected.name, "'", describe_format(format).c_str());
        PyBuffer_Release(&acquired);
        return false;
    }

    BufferView previous = *this;
    buffer_ = acquired;
    exporter_ = Py_NewRef(exporter);
    data_ = static_cast<char*>(acquired.buf);
    axes_ = axes;
    element_type_ = type;
    for (int axis = 0; axis < max_view_axes; ++axis) {
        shape_[axis] = axis < axes ? acquired.shape[axis] : 0;
        strides_[axis] = axis < axes ? acquired.strides[axis] : 0;
    }
    state_ = State::bound;
    previous.release();  // last: releasing may run arbitrary code
    return true;
}

void BufferView::assign_none() noexcept {
    BufferView previous = *this;
    *this = BufferView{};
    state_ = State::none;
    previous.release();
}

void BufferView::release() noexcept {
    if (state_ == State::bound) {
        PyObject* exporter = exporter_;
        Py_buffer held = buffer_;
        *this = BufferView{};
        PyBuffer_Release(&held);
        Py_DECREF(exporter);
    } else {
        *this = BufferView{};
    }
}

PyTypeObject* create_layout_export_type(PyObject* module) {
    return reinterpret_cast<PyTypeObject*>(PyType_FromModuleAndSpec(module, &layout_export_spec, nullptr));
}

Ref BufferView::memoryview(PyTypeObject* export_type) const {
    if (state_ == State::none) return Ref::none();
    if (state_ != State::bound) {
        raise_not_ready();
        return {};
    }
    LayoutExport* layout = PyObject_New(LayoutExport, export_type);
    if (!layout) return {};
    Ref owner = Ref::steal(reinterpret_cast<PyObject*>(layout));
    layout->pin.obj = nullptr;
    if (PyObject_GetBuffer(exporter_, &layout->pin, PyBUF_RECORDS_RO) < 0) return {};
    const ElementInfo info = element_info(element_type_);
    layout->data = data_;
    layout->itemsize = info.size;
    layout->format = info.format;
    layout->axes = axes_;
    layout->length = info.size;
    for (int axis = 0; axis < max_view_axes; ++axis) {
        layout->shape[axis] = shape_[axis];
        layout->strides[axis] = strides_[axis];
        if (axis < axes_) layout->length *= shape_[axis];
    }
    return Ref::steal(PyMemoryView_FromObject(owner.get()));
}

bool BufferView::raise_not_ready() const noexcept {
    if (state_ == State::none) {
        PyErr_SetString(PyExc_TypeError, "'NoneType' object is not subscriptable");
    } else {
        PyErr_SetString(PyExc_AttributeError, "Memoryview is not initialized");
    }
    return false;
}

bool BufferView::raise_out_of_bounds(int axis) noexcept {
    PyErr_Format(PyExc_IndexError, "Out of bounds on buffer access (axis %d)", axis);
    return false;
}

}  // namespace tavlen
