"""The typed strided buffer views, driven directly through a test-only module
(built with the in-place development build)."""

import numpy as np
import pytest

probe = pytest.importorskip("_view_probe")


def out_of_bounds(axis):
    return pytest.raises(IndexError, match=rf"^Out of bounds on buffer access \(axis {axis}\)$")


class TestBoundsTestedAccess:
    def test_indices_and_negative_indices(self):
        array = np.array([1.5, 2.5, 3.5])
        assert [probe.at_float64(array, i) for i in (0, 2, -1, -3)] == [1.5, 3.5, 3.5, 1.5]

    @pytest.mark.parametrize("index", [3, -4, 2**40, -(2**40)])
    def test_outside_raises(self, index):
        with out_of_bounds(0):
            probe.at_float64(np.zeros(3), index)

    def test_axis_in_message(self):
        array = np.zeros((2, 3, 4, 5, 6), dtype=np.uint32)
        array[1, 2, 3, 4, 5] = 7
        assert probe.at_uint32_5(array, -1, -1, -1, -1, -1) == 7
        with out_of_bounds(3):
            probe.at_uint32_5(array, 0, 0, 0, 5, 0)
        with out_of_bounds(1):
            probe.at_uint32_5(array, 0, -4, 0, 0, 0)

    def test_empty_axis(self):
        with out_of_bounds(0):
            probe.at_int16(np.zeros(0, dtype=np.int16), 0)

    def test_strided_and_unaligned_memory(self):
        base = np.arange(12.0)
        assert probe.at_float64(base[::-3], 1) == 8.0
        raw = bytearray(8 * 4 + 1)
        unaligned = np.frombuffer(raw, dtype=np.float64, offset=1)
        unaligned[2] = 6.25
        assert probe.at_float64(unaligned, 2) == 6.25


class TestHotPathAccess:
    def test_range_test_then_update_in_place(self):
        counts = np.zeros((2, 3, 2, 2, 2), dtype=np.uint32)
        assert probe.add_uint32_5(counts, 1, 1, 2, 0, 1, 1)
        assert probe.add_uint32_5(counts, 1, 1, 2, 0, 1, 1)
        assert counts[1, 2, 0, 1, 1] == 2 and counts.sum() == 2

    @pytest.mark.parametrize("index", [(-1, 0, 0, 0, 0), (2, 0, 0, 0, 0), (0, 3, 0, 0, 0), (0, 0, 0, 0, 2)])
    def test_out_of_range_is_refused_not_wrapped(self, index):
        counts = np.zeros((2, 3, 2, 2, 2), dtype=np.uint32)
        assert not probe.add_uint32_5(counts, 1, *index)
        assert not counts.any()

    def test_views_of_non_contiguous_arrays(self):
        durations = np.zeros((4, 3, 2, 2, 2))[::2, :, ::-1]
        assert probe.add_float64_5(durations, 2.5, 1, 2, 0, 1, 0)
        assert durations[1, 2, 0, 1, 0] == 2.5 and durations.sum() == 2.5

    def test_extents_are_the_arrays_own(self):
        assert probe.extents(np.zeros((1, 2, 0, 4, 5), dtype=np.uint32)) == (1, 2, 0, 4, 5)
        assert not probe.add_uint32_5(np.zeros((1, 2, 0, 4, 5), dtype=np.uint32), 1, 0, 0, 0, 0, 0)

    def test_uint16_wraps_like_the_element_type(self):
        cells = np.array([65535], dtype=np.uint16)
        assert probe.add_uint16(cells, 1, 0)
        assert cells[0] == 0


class TestAssignment:
    @pytest.mark.parametrize("array, error", [
        (np.zeros(2, dtype=np.int32), "^Buffer dtype mismatch, expected 'short' but got 'int'$"),
        (np.zeros(2, dtype=np.uint16), "^Buffer dtype mismatch, expected 'short' but got 'unsigned short'$"),
        (np.zeros((2, 2), dtype=np.int16), r"^Buffer has wrong number of dimensions \(expected 1, got 2\)$"),
        (np.zeros(2, dtype=[("a", np.int16)]), "^Buffer dtype mismatch, expected 'short' but got 'T{h:a:}'$"),
        (np.zeros(2, dtype=">i2"), "^Buffer dtype mismatch, expected 'short' but got 'big-endian short'$"),
    ])
    def test_refused(self, array, error):
        with pytest.raises(ValueError, match=error):
            probe.at_int16(array, 0)

    def test_other_exporters(self):
        import array as stdlib_array
        assert probe.at_float64(stdlib_array.array("d", [4.0, 5.0]), 1) == 5.0
        assert probe.at_float64(memoryview(np.array([7.0])), 0) == 7.0
        with pytest.raises(BufferError, match="not writable"):
            probe.at_float64(b"\0" * 8, 0)

    def test_memoryview_keeps_the_acquired_layout_and_memory(self):
        array = np.arange(6.0)
        memory = probe.memoryview(array)
        array.shape = (2, 3)  # the exporter now reports another layout for the same memory
        assert memory.shape == (6,) and memory.format == "d" and not memory.readonly
        assert np.shares_memory(np.asarray(memory), array)
        del array
        assert np.asarray(memory)[5] == 5.0

    def test_not_initialised_and_none(self):
        with pytest.raises(AttributeError, match="^Memoryview is not initialized$"):
            probe.not_ready(False)
        assert probe.not_ready(True) is None  # a None view hands out None


class TestExportersOfAnIndividualsViews:
    """Views take buffers from any exporter; whatever the exporter does later,
    the memory handed out stays the memory that was acquired."""

    def test_exporter_without_strides(self):
        import ctypes

        from conftest import field, make
        ages = (ctypes.c_double * 3)(10.0, 20.0, float("inf"))
        individual = make(event_ages=ages)
        np.testing.assert_array_equal(field(individual, "_log_event_ages"), [10.0, 20.0, np.inf])
        ages[0] = 5.0
        assert field(individual, "_log_event_ages")[0] == 5.0

    def test_exporter_handing_out_new_memory_each_time(self):
        import gc

        from conftest import make, state_with

        class Fresh:
            def __buffer__(self, flags):
                return memoryview(np.full((2, 3, 3, 2, 4), 7, dtype=np.uint32))

        individual = make()
        individual.__setstate__(state_with(individual, _log_events=Fresh()))
        handed_out = individual.output_events()
        individual.__setstate__(state_with(individual, _log_events=np.zeros((1, 1, 1, 1, 1), np.uint32)))
        gc.collect()
        replacement = np.zeros_like(handed_out)
        assert (handed_out == 7).all() and not np.shares_memory(handed_out, replacement)

    @pytest.mark.parametrize("method", ["__reduce__", "output_events"])
    def test_exporter_reassigning_the_view_while_exporting(self, method):
        from conftest import make, state_with

        individual = make()

        class Reentrant:
            def __init__(self):
                self.array = np.arange(2 * 3 * 3 * 2 * 4, dtype=np.uint32).reshape(2, 3, 3, 2, 4)
                self.armed = False

            def __buffer__(self, flags):
                if self.armed:
                    self.armed = False
                    individual.__setstate__(state_with(individual, _log_events=None))
                return memoryview(self.array)

        exporter = Reentrant()
        individual.__setstate__(state_with(individual, _log_events=exporter))
        exporter.armed = True
        result = getattr(individual, method)()
        events = np.asarray(result[2][32]) if method == "__reduce__" else result
        assert events.shape == (2, 3, 3, 2, 4) and events[1, 2, 2, 1, 3] == events.size - 1

    @pytest.mark.parametrize("flags, refusal", [
        (0x38, "not C-contiguous"),  # PyBUF_C_CONTIGUOUS
        (0x58, "not Fortran contiguous"),  # PyBUF_F_CONTIGUOUS
        (0x98, "not contiguous"),  # PyBUF_ANY_CONTIGUOUS
        (0x0, "not C-contiguous"),  # PyBUF_SIMPLE
    ])
    def test_contiguity_requests_are_honoured(self, flags, refusal):
        import ctypes

        from conftest import make, state_of, state_with

        class Buffer(ctypes.Structure):
            _fields_ = [("buf", ctypes.c_void_p), ("obj", ctypes.py_object), ("len", ctypes.c_ssize_t),
                        ("itemsize", ctypes.c_ssize_t), ("readonly", ctypes.c_int), ("ndim", ctypes.c_int),
                        ("format", ctypes.c_char_p), ("shape", ctypes.c_void_p), ("strides", ctypes.c_void_p),
                        ("suboffsets", ctypes.c_void_p), ("internal", ctypes.c_void_p)]

        def request(exporter):
            view = Buffer()
            ctypes.pythonapi.PyObject_GetBuffer(ctypes.py_object(exporter), ctypes.byref(view), flags)
            length = view.len
            ctypes.pythonapi.PyBuffer_Release(ctypes.byref(view))
            return length

        individual = make()
        strided = np.zeros((4, 6, 3, 4, 4), dtype=np.uint32)[::2, ::2]
        individual.__setstate__(state_with(individual, _log_events=strided))
        with pytest.raises(BufferError, match=refusal):
            request(state_of(individual)["_log_events"].obj)
        assert request(state_of(make())["_log_event_ages"].obj) == 8 * 4  # 1 axis: C and Fortran order
