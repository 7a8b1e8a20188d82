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

// Placeholder body of methods whose subsystem is still to be written.
PyObject* not_implemented_yet(Individual* self, BoundArguments& args);

}  // namespace tavlen
