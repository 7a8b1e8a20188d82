// The methods of Individual, defined by the subsystem files, and the
// lifecycle functions that the type's slots use.
#pragma once

#include "individual.hpp"
#include "support/method.hpp"

namespace tavlen {

// Construction (tp_init) from the run configuration.
int individual_init(PyObject* self, PyObject* args, PyObject* kwargs);
extern const Signature init_signature;

// Population iteration.
extern const MethodSpec next_block_method, next_person_method, next_universe_method,
    properties_method, properties_tmp_method;
// Strata and the three logs.
extern const MethodSpec hop_stratum_method, log_event_method, log_duration_stratum_hops_method,
    log_duration_method, log_duration_start_method, log_duration_end_method,
    log_ongoing_durations_method, log_event_individual_method;
// The stratum that an item logged at this age is credited to: the current
// one, or in a universe that replays the first universe's changes
// ("dynamic"), the one in force at the age by that replay.
int32_t credited_stratum(const Individual* self, double age) noexcept;
// Discounted recording, called by the logs when _discounted.rates_n > 0.
// The *_fit tests compare the discounted arrays' extents with those of the
// logs they follow (raising when they differ), so that a cell the log may
// write is a cell the discounted array has.
extern const MethodSpec record_discounted_method;
bool discounted_events_fit(const Individual* self, const char* method);
bool discounted_durations_fit(const Individual* self, const char* method);
void discount_event(Individual* self, Py_ssize_t stratum, Py_ssize_t tag, Py_ssize_t age_bin, double year) noexcept;
// The discount factor of each rate where the last piece discounted ended,
// so that the next piece, which starts there, needs no exp of its own.
struct DiscountCarry {
    double factors[max_discount_rates];
    bool known = false;
};
void discount_piece(Individual* self, Py_ssize_t stratum, Py_ssize_t tag, Py_ssize_t age_bin, double year,
                    double length, DiscountCarry& carry) noexcept;
void release_discounted(Individual* self) noexcept;
// The pieces of one duration, as a walk credits them, joined into runs of
// one stratum and age bin (year bins do not matter to discounting) and
// discounted a run at a time: one closed form per run instead of per piece.
class DiscountedPieces {
public:
    DiscountedPieces(Individual* self, Py_ssize_t tag) noexcept : self_(self), tag_(tag) {}
    void add(Py_ssize_t stratum, Py_ssize_t age_bin, double year, double length) noexcept {
        if (length_ > 0 && stratum == stratum_ && age_bin == age_bin_) {
            length_ += length;
            return;
        }
        flush();
        stratum_ = stratum;
        age_bin_ = age_bin;
        year_ = year;
        length_ = length;
    }
    void flush() noexcept {
        if (length_ > 0) discount_piece(self_, stratum_, tag_, age_bin_, year_, length_, carry_);
        length_ = 0;
    }

private:
    Individual* self_;
    Py_ssize_t tag_, stratum_ = -1, age_bin_ = -1;
    double year_ = 0, length_ = 0;
    DiscountCarry carry_;
};
// Recording the cells the logs change. note_change is called after a cell
// was written, with the value it held before: a cell that held zero is new
// to the record.
void record_change(Individual* self, Aggregate which, Py_ssize_t offset) noexcept;
template <class T, int N, class... I>
inline void note_change(Individual* self, Aggregate which, const View<T, N>& view, T before, I... index) noexcept {
    if (!self->_changes.recording || before != T{}) return;
    const Py_ssize_t indices[N] = {static_cast<Py_ssize_t>(index)...};
    Py_ssize_t offset = 0;
    for (int axis = 0; axis < N; ++axis) offset = offset * view.extent(axis) + indices[axis];
    record_change(self, which, offset);
}
void release_changes(Individual* self) noexcept;
// Event queue.
extern const MethodSpec next_event_method, add_to_queue_method, add_to_queue_age_method,
    add_to_queue_year_method, remove_from_queue_method, remove_from_queue_message_method,
    move_in_queue_method, move_in_queue_age_method, move_in_queue_year_method;
// Snapshots.
extern const MethodSpec snapshot_age_method, snapshot_year_method;
// Output.
extern const MethodSpec output_events_method, output_durations_method, output_events_individual_method,
    output_snapshots_ages_method, output_snapshots_years_method;
// Pickling.
extern const MethodSpec reduce_method, setstate_method;
extern PyMethodDef unpickle_function;
// The run loop, a function of the module.
extern PyMethodDef run_lives_function;
// Functions of the module that let one Individual serve many blocks: its
// changed cells taken and cleared, and a new population.
extern PyMethodDef record_changes_function, take_changes_function, renew_population_function, add_cells_function;

// Placeholder body of methods whose subsystem is still to be written.
PyObject* not_implemented_yet(Individual* self, BoundArguments& args);

}  // namespace tavlen
