// Typed strided views on the buffers of NumPy arrays (or any exporter of a
// writable buffer).
//
// A view holds the exporter's buffer for as long as it is assigned, so the
// memory it points into can neither move nor go away under it. Its extents
// are those of the buffer itself; code that indexes a view tests its indices
// against these extents, never against counts kept elsewhere, so a view
// restored from foreign state cannot be read or written out of range.
#pragma once

#include "ref.hpp"

#include <cstdint>
#include <cstring>
#include <optional>

namespace tavlen {

enum class ElementType : uint8_t { float64, int16, uint8, uint16, uint32, int64 };

template <class T> constexpr ElementType element_type_of();
template <> constexpr ElementType element_type_of<double>() { return ElementType::float64; }
template <> constexpr ElementType element_type_of<int16_t>() { return ElementType::int16; }
template <> constexpr ElementType element_type_of<uint8_t>() { return ElementType::uint8; }
template <> constexpr ElementType element_type_of<uint16_t>() { return ElementType::uint16; }
template <> constexpr ElementType element_type_of<uint32_t>() { return ElementType::uint32; }
template <> constexpr ElementType element_type_of<int64_t>() { return ElementType::int64; }

inline constexpr int max_view_axes = 5;

// Whether an acquired buffer's elements are of the type, by the rule that
// views acquire by: the format's code, size and byte order.
bool holds_elements(const Py_buffer& buffer, ElementType type);

// A buffer acquired from an exporter, with the layout it had when acquired.
// Shared, by reference count, between the view that acquired it and the
// memoryviews handed out for it, so that its memory stays pinned for as long
// as any of them can reach it.
struct HeldBuffer;

// One element in a buffer. Reads and writes go through memcpy, so elements of
// a buffer that is not aligned for T are still accessed correctly.
template <class T>
class Element {
public:
    explicit Element(char* address) noexcept : address_(address) {}
    operator T() const noexcept {
        T value;
        std::memcpy(&value, address_, sizeof value);
        return value;
    }
    Element& operator=(T value) noexcept {
        std::memcpy(address_, &value, sizeof value);
        return *this;
    }
    Element& operator+=(T value) noexcept { return *this = static_cast<T>(T(*this) + value); }

private:
    char* address_;
};

// The untyped part of a view. Its all-zero state (that of a freshly allocated
// Individual) is "never assigned".
class BufferView {
public:
    enum class State : uint8_t { unset = 0, none, bound };

    State state() const noexcept { return state_; }
    // True when the view holds a buffer; otherwise raises AttributeError
    // "Memoryview is not initialized" (never assigned) or TypeError (None).
    bool ready() const noexcept {
        if (state_ == State::bound) [[likely]]
            return true;
        return raise_not_ready();
    }
    Py_ssize_t extent(int axis) const noexcept { return shape_[axis]; }
    int axes() const noexcept { return axes_; }
    // Whether a one-axis float64 view held values in ascending order (equal
    // neighbours allowed, no NaN) when it was assigned: what lets a search
    // halve such a grid instead of walking it.
    bool ascending() const noexcept { return ascending_; }

    // Acquires a writable buffer of the given element type and number of axes
    // from exporter, then releases the previous one. On failure the view keeps
    // what it held.
    bool assign(PyObject* exporter, ElementType type, int axes);
    void assign_none() noexcept;
    void release() noexcept;

    // A new memoryview over the same memory, with the element type, shape and
    // strides this view acquired (an exporter such as a NumPy array may since
    // report another layout for the same memory); None for a view holding
    // None. export_type is the module's layout-export type, whose objects
    // share the held buffer.
    Ref memoryview(PyTypeObject* export_type) const;

protected:
    bool raise_not_ready() const noexcept;
    bool holds_ascending_values() const noexcept;
    static bool raise_out_of_bounds(int axis) noexcept;

    // The layout is copied from the held buffer, for the element accessors.
    char* data_;
    Py_ssize_t shape_[max_view_axes];
    Py_ssize_t strides_[max_view_axes];
    HeldBuffer* held_;
    int axes_;
    State state_;
    bool ascending_;
};

// The type behind BufferView::memoryview(), created once per module.
PyTypeObject* create_layout_export_type(PyObject* module);

template <class T, int N>
class View : public BufferView {
    static_assert(N >= 1 && N <= max_view_axes);

public:
    bool assign(PyObject* exporter) { return BufferView::assign(exporter, element_type_of<T>(), N); }

    // Whether every index lies in [0, extent) of its axis. For hot paths,
    // which test their indices once and then use operator().
    template <class... I>
    bool contains(I... index) const noexcept {
        static_assert(sizeof...(I) == N);
        const Py_ssize_t indices[N] = {static_cast<Py_ssize_t>(index)...};
        for (int axis = 0; axis < N; ++axis) {
            if (static_cast<size_t>(indices[axis]) >= static_cast<size_t>(shape_[axis])) return false;
        }
        return true;
    }

    // Unchecked element access: the caller has tested the indices.
    template <class... I>
    Element<T> operator()(I... index) const noexcept {
        static_assert(sizeof...(I) == N);
        const Py_ssize_t indices[N] = {static_cast<Py_ssize_t>(index)...};
        char* address = data_;
        for (int axis = 0; axis < N; ++axis) address += indices[axis] * strides_[axis];
        return Element<T>(address);
    }

    // Bounds-tested element access: a negative index counts once from the end
    // of its axis; an index still outside raises IndexError
    // "Out of bounds on buffer access (axis %d)". Empty when an error is set.
    template <class... I>
    std::optional<Element<T>> at(I... index) const noexcept {
        static_assert(sizeof...(I) == N);
        if (!ready()) return std::nullopt;
        Py_ssize_t indices[N] = {static_cast<Py_ssize_t>(index)...};
        for (int axis = 0; axis < N; ++axis) {
            if (indices[axis] < 0) indices[axis] += shape_[axis];
            if (indices[axis] < 0 || indices[axis] >= shape_[axis]) {
                raise_out_of_bounds(axis);
                return std::nullopt;
            }
        }
        char* address = data_;
        for (int axis = 0; axis < N; ++axis) address += indices[axis] * strides_[axis];
        return Element<T>(address);
    }
};

}  // namespace tavlen
