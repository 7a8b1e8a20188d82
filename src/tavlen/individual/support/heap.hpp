// A binary min-heap on a Python list, sifting exactly as the standard
// library's heapq does: the same layout after every push and pop and the
// same "<" comparisons in the same order, so that a heap kept here and one
// kept by heapq.heappush/heappop are interchangeable at any moment.
//
// Entries that are (float, int, int) tuples, the event queue's own, are
// compared natively with the result tuple comparison would give; any other
// pair goes through the objects' rich comparison, which may run Python code
// (and the list may change under it, as heapq reports).
#pragma once

#include "ref.hpp"

namespace tavlen {

// heapq.heappush(heap, item); heap must be a list.
bool heap_push(PyObject* heap, PyObject* item);
// heapq.heappop(heap); heap must be a list. IndexError when it is empty.
Ref heap_pop(PyObject* heap);

}  // namespace tavlen
