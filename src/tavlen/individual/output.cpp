// Handing the accumulated results to the driver.
#include "methods.hpp"
#include "module.hpp"
#include "numpy.hpp"

namespace tavlen {
namespace {

// np.asarray over a memoryview of the view's array: a new array object that
// shares the memory and keeps it alive on its own. A view restored from None
// has no array to hand out.
PyObject* output_array(const BufferView& view, PyObject* module) {
    const ModuleState& state = module_state(module);
    Ref asarray = NumPy(module).attribute(state.names.asarray);
    Ref memory = asarray && view.ready() ? view.memoryview(state.layout_export_type) : Ref();
    return memory ? PyObject_CallOneArg(asarray.get(), memory.get()) : nullptr;
}

PyObject* output_events(Individual* self, BoundArguments& args) {
    return output_array(self->_log_events, args.module);
}

PyObject* output_durations(Individual* self, BoundArguments& args) {
    return output_array(self->_log_durations, args.module);
}

PyObject* output_snapshots_ages(Individual* self, BoundArguments& args) {
    return output_array(self->_snapshots_ages, args.module);
}

PyObject* output_snapshots_years(Individual* self, BoundArguments& args) {
    return output_array(self->_snapshots_years, args.module);
}

// np.hstack(blocks[:-1] + [blocks[-1][:filled]]): the full blocks and the
// filled part of the last one, joined into one new array.
Ref join_blocks(PyObject* blocks, PyObject* filled, PyObject* module) {
    Ref hstack = NumPy(module).attribute(module_state(module).names.hstack);
    Ref minus_one = hstack ? Ref::steal(PyLong_FromLong(-1)) : Ref();
    Ref all_but_last = minus_one ? Ref::steal(PySlice_New(nullptr, minus_one.get(), nullptr)) : Ref();
    Ref parts = all_but_last ? Ref::steal(PyObject_GetItem(blocks, all_but_last.get())) : Ref();
    Ref last = parts ? Ref::steal(PyObject_GetItem(blocks, minus_one.get())) : Ref();
    Ref up_to_filled = last ? Ref::steal(PySlice_New(nullptr, filled, nullptr)) : Ref();
    Ref filled_part = up_to_filled ? Ref::steal(PyObject_GetItem(last.get(), up_to_filled.get())) : Ref();
    Ref tail = filled_part ? Ref::steal(PyList_New(1)) : Ref();
    if (!tail) return {};
    PyList_SET_ITEM(tail.get(), 0, filled_part.release());
    Ref joined = Ref::steal(PyNumber_Add(parts.get(), tail.get()));
    return joined ? Ref::steal(PyObject_CallOneArg(hstack.get(), joined.get())) : Ref();
}

PyObject* output_events_individual(Individual* self, BoundArguments& args) {
    struct Column {
        const char* key;
        PyObject* Individual::*blocks;
    };
    static constexpr Column columns[] = {
        {"universe", &Individual::_log_event_individual_universe},
        {"individual", &Individual::_log_event_individual_individual},
        {"element", &Individual::_log_event_individual_element},
        {"age", &Individual::_log_event_individual_age},
        {"tag", &Individual::_log_event_individual_tag},
    };
    Ref filled = Ref::steal(PyLong_FromSsize_t(self->_log_event_individual_entry_idx));
    Ref result = filled ? Ref::steal(PyDict_New()) : Ref();
    if (!result) return nullptr;
    for (const Column& column : columns) {
        // Read each list only when its turn comes, and hold on to it: code run
        // by NumPy may replace the fields meanwhile.
        Ref blocks = Ref::borrow(self->*column.blocks);
        Ref joined = join_blocks(blocks.get(), filled.get(), args.module);
        if (!joined || PyDict_SetItemString(result.get(), column.key, joined.get()) < 0) return nullptr;
    }
    return result.release();
}

}  // namespace

constinit const MethodSpec output_events_method{{"output_events", {}}, "Method to output events.", output_events};
constinit const MethodSpec output_durations_method{
    {"output_durations", {}}, "Method to output durations.", output_durations};
constinit const MethodSpec output_events_individual_method{
    {"output_events_individual", {}}, "Method to output individual data.", output_events_individual};
constinit const MethodSpec output_snapshots_ages_method{
    {"output_snapshots_ages", {}}, "Method to output age-specific snapshot data.", output_snapshots_ages};
constinit const MethodSpec output_snapshots_years_method{
    {"output_snapshots_years", {}}, "Method to output yearly snapshot data.", output_snapshots_years};

}  // namespace tavlen
