#include "support/buffer_view.hpp"

#include <bit>
#include <limits>
#include <new>
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
        case ElementType::int64: return {'i', 8, "long long", "q"};
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

}  // namespace

bool holds_elements(const Py_buffer& buffer, ElementType type) {
    return matches(buffer.format ? buffer.format : "B", buffer.itemsize, element_info(type));
}

namespace {

std::string describe_format(const char* format) {
    char order;
    const FormatCode* code = parse_format(format, order);
    if (!code) return std::string("'") + format + "'";
    const char* byte_order = foreign_byte_order(order);
    return std::string("'") + (byte_order ? byte_order : "") + code->name + "'";
}

}  // namespace

struct HeldBuffer {
    Py_ssize_t references;
    Py_buffer buffer;  // at a fixed address: exporters may point into it
    char* data;
    Py_ssize_t length;
    Py_ssize_t itemsize;
    const char* format;
    int axes;
    Py_ssize_t shape[max_view_axes];
    Py_ssize_t strides[max_view_axes];

    // Acquires a writable buffer of the element type and number of axes.
    static HeldBuffer* acquire(PyObject* exporter, ElementType type, int axes);
    void add_reference() noexcept { ++references; }
    void drop_reference() noexcept {
        if (--references == 0) {
            PyBuffer_Release(&buffer);  // may run code of the exporter's
            delete this;
        }
    }
};

HeldBuffer* HeldBuffer::acquire(PyObject* exporter, ElementType type, int axes) {
    auto* held = new (std::nothrow) HeldBuffer{};
    if (!held) {
        PyErr_NoMemory();
        return nullptr;
    }
    Py_buffer& buffer = held->buffer;
    if (PyObject_GetBuffer(exporter, &buffer, PyBUF_RECORDS) < 0) {
        delete held;
        return nullptr;
    }
    const ElementInfo expected = element_info(type);
    const char* format = buffer.format ? buffer.format : "B";
    if (buffer.ndim != axes) {
        PyErr_Format(PyExc_ValueError, "Buffer has wrong number of dimensions (expected %d, got %d)", axes,
                     buffer.ndim);
    } else if (!matches(format, buffer.itemsize, expected)) {
        PyErr_Format(PyExc_ValueError, "Buffer dtype mismatch, expected %s%s%s but got %s", "'", expected.name,
                     "'", describe_format(format).c_str());
    } else if (!buffer.shape || buffer.suboffsets) {
        PyErr_SetString(PyExc_ValueError, "Buffer must describe its shape and have no suboffsets");
    } else {
        held->references = 1;
        held->data = static_cast<char*>(buffer.buf);
        held->itemsize = expected.size;
        held->format = expected.format;
        held->axes = axes;
        held->length = expected.size;
        // Without strides the exporter's memory is C-contiguous.
        Py_ssize_t contiguous_stride = buffer.itemsize;
        for (int axis = axes - 1; axis >= 0; --axis) {
            held->shape[axis] = buffer.shape[axis];
            held->strides[axis] = buffer.strides ? buffer.strides[axis] : contiguous_stride;
            contiguous_stride *= buffer.shape[axis];
            held->length *= buffer.shape[axis];
        }
        return held;
    }
    PyBuffer_Release(&buffer);
    delete held;
    return nullptr;
}

namespace {

// The memoryviews of BufferView::memoryview() are made over these objects,
// which present a held buffer's layout and keep it pinned.
struct LayoutExport {
    PyObject_HEAD
    HeldBuffer* held;
};

bool contiguous(const HeldBuffer& held, bool c_order) {
    Py_ssize_t expected = held.itemsize;
    for (int i = 0; i < held.axes; ++i) {
        const int axis = c_order ? held.axes - 1 - i : i;
        if (held.shape[axis] == 0) return true;
        if (held.shape[axis] > 1 && held.strides[axis] != expected) return false;
        expected *= held.shape[axis];
    }
    return true;
}

int layout_getbuffer(PyObject* self, Py_buffer* view, int flags) {
    const HeldBuffer& held = *reinterpret_cast<LayoutExport*>(self)->held;
    const bool c_contiguous = contiguous(held, true);
    const bool f_contiguous = contiguous(held, false);
    const bool strided = (flags & PyBUF_STRIDES) == PyBUF_STRIDES;
    const char* refusal = nullptr;
    if ((flags & PyBUF_C_CONTIGUOUS) == PyBUF_C_CONTIGUOUS && !c_contiguous) {
        refusal = "buffer is not C-contiguous";
    } else if ((flags & PyBUF_F_CONTIGUOUS) == PyBUF_F_CONTIGUOUS && !f_contiguous) {
        refusal = "buffer is not Fortran contiguous";
    } else if ((flags & PyBUF_ANY_CONTIGUOUS) == PyBUF_ANY_CONTIGUOUS && !c_contiguous && !f_contiguous) {
        refusal = "buffer is not contiguous";
    } else if (!strided && !c_contiguous) {
        refusal = "buffer is not C-contiguous";
    }
    if (refusal) {
        PyErr_SetString(PyExc_BufferError, refusal);
        return -1;
    }
    const bool shaped = (flags & PyBUF_ND) == PyBUF_ND;
    view->obj = Py_NewRef(self);
    view->buf = held.data;
    view->len = held.length;
    view->readonly = 0;
    view->itemsize = shaped ? held.itemsize : 1;
    view->format = (flags & PyBUF_FORMAT) ? const_cast<char*>(shaped ? held.format : "B") : nullptr;
    view->ndim = shaped ? held.axes : 1;
    view->shape = shaped ? const_cast<Py_ssize_t*>(held.shape) : nullptr;
    view->strides = strided ? const_cast<Py_ssize_t*>(held.strides) : nullptr;
    view->suboffsets = nullptr;
    view->internal = nullptr;
    return 0;
}

void layout_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    HeldBuffer* held = reinterpret_cast<LayoutExport*>(self)->held;
    type->tp_free(self);
    held->drop_reference();
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
    // The caller's reference may be borrowed from a container that code run
    // by the exporter empties.
    Ref owner = Ref::borrow(exporter);
    HeldBuffer* held = HeldBuffer::acquire(exporter, type, axes);
    if (!held) return false;
    BufferView previous = *this;
    *this = BufferView{};
    held_ = held;
    data_ = held->data;
    axes_ = axes;
    for (int axis = 0; axis < axes; ++axis) {
        shape_[axis] = held->shape[axis];
        strides_[axis] = held->strides[axis];
    }
    state_ = State::bound;
    ascending_ = type == ElementType::float64 && axes == 1 && holds_ascending_values();
    previous.release();  // last: releasing may run arbitrary code
    return true;
}

bool BufferView::holds_ascending_values() const noexcept {
    double previous = -std::numeric_limits<double>::infinity();
    for (Py_ssize_t i = 0; i < shape_[0]; ++i) {
        double value;
        std::memcpy(&value, data_ + i * strides_[0], sizeof value);
        if (!(previous <= value)) return false;  // a NaN fails the test too
        previous = value;
    }
    return true;
}

void BufferView::assign_none() noexcept {
    BufferView previous = *this;
    *this = BufferView{};
    state_ = State::none;
    previous.release();
}

void BufferView::release() noexcept {
    HeldBuffer* held = held_;
    *this = BufferView{};
    if (held) held->drop_reference();
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
    if (!export_type) return raise(PyExc_SystemError, "the module's state has been cleared");
    // Take a share of the buffer before allocating: a collection run by the
    // allocation may execute code that reassigns this view.
    HeldBuffer* held = held_;
    held->add_reference();
    LayoutExport* layout = PyObject_New(LayoutExport, export_type);
    if (!layout) {
        held->drop_reference();
        return {};
    }
    layout->held = held;
    Ref owner = Ref::steal(reinterpret_cast<PyObject*>(layout));
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
