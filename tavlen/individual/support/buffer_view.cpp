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
};

constexpr ElementInfo element_info(ElementType type) {
    switch (type) {
        case ElementType::float64: return {'f', 8, "double"};
        case ElementType::int16: return {'i', 2, "short"};
        case ElementType::uint8: return {'u', 1, "unsigned char"};
        case ElementType::uint16: return {'u', 2, "unsigned short"};
        case ElementType::uint32: return {'u', 4, "unsigned int"};
    }
    return {'?', 0, "?"};
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

bool matches(const char* format, Py_ssize_t itemsize, const ElementInfo& expected) {
    char order;
    const FormatCode* code = parse_format(format, order);
    if (!code) return false;
    constexpr bool little_endian = std::endian::native == std::endian::little;
    if (order == '>' || order == '!') {
        if (little_endian) return false;
    } else if (order == '<' && !little_endian) {
        return false;
    }
    Py_ssize_t size = order == '@' ? code->native_size : code->standard_size;
    return code->kind == expected.kind && size == expected.size && itemsize == expected.size;
}

std::string describe_format(const char* format) {
    char order;
    const FormatCode* code = parse_format(format, order);
    return std::string("'") + (code ? code->name : format) + "'";
}

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

Ref BufferView::memoryview() const {
    switch (state_) {
        case State::bound: return Ref::steal(PyMemoryView_FromObject(exporter_));
        case State::none: return Ref::none();
        case State::unset: break;
    }
    raise_not_ready();
    return {};
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
