// The Individual object: every field of a simulation run, in declared order
// (which is also the storage order), and the one description of those fields
// that drives everything that treats all of them alike: allocation,
// traversal, clearing, destruction and the pickled state.
#pragma once

#include "support/buffer_view.hpp"

#include <algorithm>
#include <array>
#include <cstddef>
#include <string_view>
#include <type_traits>

namespace tavlen {

// The most discount rates one run records at once.
inline constexpr int max_discount_rates = 16;

// Events and durations weighed at their exact calendar time, for each of a
// few discount rates (record_discounted). Outside the field description: it
// is no part of the pickled state, and an Individual that records it refuses
// to be copied or pickled.
struct DiscountedLogs {
    View<double, 5> events;     // rate, universe, stratum, event tag, event age bin
    View<double, 5> durations;  // rate, universe, stratum, duration tag, duration age bin
    double base_year;
    double deltas[max_discount_rates];  // log1p(rate), the continuous rate
    int32_t rates_n;                    // 0: nothing is recorded
};

// The aggregates whose changed cells an Individual can record, so that a
// block's results can be taken as the cells it changed instead of scanning
// whole grids (record_changes, take_changes).
enum class Aggregate : uint8_t {
    events, durations, snapshots_ages, snapshots_years, discounted_events, discounted_durations
};
inline constexpr int aggregate_count = 6;

// The flat (C-order) offsets of the cells of one aggregate that held zero
// when they were written to. A cell that returns to zero and changes again
// is listed twice; the record is sorted and made unique when taken.
struct ChangedCells {
    Py_ssize_t* offsets;  // PyMem_Malloc'ed, kept between takes
    Py_ssize_t n, capacity;
    bool lost;  // an offset could not be stored: the record is incomplete
};

// Outside the field description as well: no part of the pickled state, so a
// copy starts without a record.
struct ChangeRecord {
    ChangedCells cells[aggregate_count];
    bool recording;
};

struct Individual {
    PyObject_HEAD
    double age;                  // age of the current person in the current life
    PyObject* memory;            // dict: per-life scratch space of the processes
    PyObject* random;            // dict: generator name -> random.Random
    PyObject* _queue;            // list: heap of (due age, -priority, event id)
    PyObject* _events;           // dict: event id -> event record
    int32_t _event_idx;          // id of the most recently scheduled event
    PyObject* _properties;       // dict: property name -> per-person array
    PyObject* _properties_tmp;   // dict: property name -> per-block array
    int32_t _person;             // current person's index in the population
    int32_t _person_block;       // current person's position in the block
    double _person_birth;        // current person's birth year
    int32_t _person_stratum;     // current person's stratum
    int32_t _person_stratum_hops_n;
    int32_t _universe;           // current universe, -1 before the person's first
    View<double, 1> _birth;      // birth year per person
    View<int16_t, 1> _stratum;   // initial stratum per person
    Py_ssize_t _stratum_n;
    PyObject* _preserve_stratum_setting;  // str or None: "dynamic", "final"
    bool _stratum_hops_do;
    View<double, 1> _person_stratum_hops_ages;     // 256 slots
    View<int16_t, 1> _person_stratum_hops_strata;  // 256 slots
    Py_ssize_t _universe_n;
    bool _preserve_dynamic;
    bool _preserve_final;
    View<double, 1> _log_event_ages;
    Py_ssize_t _log_event_ages_n;
    View<double, 1> _log_event_years;
    Py_ssize_t _log_event_years_n;
    PyObject* _log_event_tags;      // list
    PyObject* _log_event_tags_idx;  // dict: tag -> position
    Py_ssize_t _log_event_tags_n;
    View<uint32_t, 5> _log_events;  // universe, stratum, tag, year bin, age bin
    bool verify_tags;
    View<double, 1> _log_duration_ages;
    Py_ssize_t _log_duration_ages_n;
    View<double, 1> _log_duration_years;
    Py_ssize_t _log_duration_years_n;
    PyObject* _log_duration_tags;      // list
    PyObject* _log_duration_tags_idx;  // dict: tag -> position
    Py_ssize_t _log_duration_tags_n;
    View<double, 5> _log_durations;    // universe, stratum, tag, year bin, age bin
    PyObject* _ongoing_durations;      // dict: tag -> start age
    Py_ssize_t _log_event_individual_block_size;
    PyObject* _log_event_individual_universe;  // list of uint8 blocks
    View<uint8_t, 1> _log_event_individual_universe_current_block;
    PyObject* _log_event_individual_individual;  // list of uint32 blocks
    View<uint32_t, 1> _log_event_individual_individual_current_block;
    PyObject* _log_event_individual_element;  // list of uint16 blocks
    View<uint16_t, 1> _log_event_individual_element_current_block;
    PyObject* _log_event_individual_age;  // list of float64 blocks
    View<double, 1> _log_event_individual_age_current_block;
    PyObject* _log_event_individual_tag;  // list of uint16 blocks
    View<uint16_t, 1> _log_event_individual_tag_current_block;
    PyObject* _log_event_individual_tags;      // list
    PyObject* _log_event_individual_tags_idx;  // dict: tag -> position
    Py_ssize_t _log_event_individual_entry_idx;
    PyObject* _snapshot_functions;  // list
    PyObject* _snapshot_tags;       // list
    PyObject* _snapshot_tags_idx;   // dict: tag -> position
    Py_ssize_t _snapshot_tags_n;
    double _snapshot_next_age;
    View<double, 1> _snapshot_ages;
    Py_ssize_t _snapshot_ages_n;
    View<uint32_t, 4> _snapshots_ages;  // universe, stratum, tag, snapshot age
    double _snapshot_next_age_years;
    View<double, 1> _snapshot_years;
    Py_ssize_t _snapshot_years_n;
    View<uint32_t, 4> _snapshots_years;  // universe, stratum, tag, snapshot year
    Py_ssize_t _snapshot_age_idx;
    Py_ssize_t _snapshot_year_idx;
    bool _snapshot_ages_do;
    bool _snapshot_years_do;
    bool _log_events_individual;
    DiscountedLogs _discounted;
    ChangeRecord _changes;
};

// --- The field description -------------------------------------------------

enum class FieldKind : uint8_t { float64, int32, size, flag, object, view };
enum class ObjectType : uint8_t { none, dict, list, str };

struct FieldInfo {
    std::string_view name;
    FieldKind kind;
    size_t offset;
    ObjectType object_type = ObjectType::none;  // for object fields
    ElementType element_type = {};              // for views
    int axes = 0;                               // for views
};

template <class Member>
constexpr FieldInfo describe_field(std::string_view name, size_t offset) {
    if constexpr (std::is_same_v<Member, double>) return {name, FieldKind::float64, offset};
    else if constexpr (std::is_same_v<Member, int32_t>) return {name, FieldKind::int32, offset};
    else if constexpr (std::is_same_v<Member, Py_ssize_t>) return {name, FieldKind::size, offset};
    else if constexpr (std::is_same_v<Member, bool>) return {name, FieldKind::flag, offset};
    else return describe_view(name, offset, static_cast<const Member*>(nullptr));
}

template <class T, int N>
constexpr FieldInfo describe_view(std::string_view name, size_t offset, const View<T, N>*) {
    return {name, FieldKind::view, offset, ObjectType::none, element_type_of<T>(), N};
}

#define TAVLEN_FIELD(name) describe_field<decltype(Individual::name)>(#name, offsetof(Individual, name))
#define TAVLEN_OBJECT(name, type) \
    FieldInfo{#name, FieldKind::object, offsetof(Individual, name), ObjectType::type}

inline constexpr FieldInfo individual_fields[] = {
    TAVLEN_FIELD(age),
    TAVLEN_OBJECT(memory, dict),
    TAVLEN_OBJECT(random, dict),
    TAVLEN_OBJECT(_queue, list),
    TAVLEN_OBJECT(_events, dict),
    TAVLEN_FIELD(_event_idx),
    TAVLEN_OBJECT(_properties, dict),
    TAVLEN_OBJECT(_properties_tmp, dict),
    TAVLEN_FIELD(_person),
    TAVLEN_FIELD(_person_block),
    TAVLEN_FIELD(_person_birth),
    TAVLEN_FIELD(_person_stratum),
    TAVLEN_FIELD(_person_stratum_hops_n),
    TAVLEN_FIELD(_universe),
    TAVLEN_FIELD(_birth),
    TAVLEN_FIELD(_stratum),
    TAVLEN_FIELD(_stratum_n),
    TAVLEN_OBJECT(_preserve_stratum_setting, str),
    TAVLEN_FIELD(_stratum_hops_do),
    TAVLEN_FIELD(_person_stratum_hops_ages),
    TAVLEN_FIELD(_person_stratum_hops_strata),
    TAVLEN_FIELD(_universe_n),
    TAVLEN_FIELD(_preserve_dynamic),
    TAVLEN_FIELD(_preserve_final),
    TAVLEN_FIELD(_log_event_ages),
    TAVLEN_FIELD(_log_event_ages_n),
    TAVLEN_FIELD(_log_event_years),
    TAVLEN_FIELD(_log_event_years_n),
    TAVLEN_OBJECT(_log_event_tags, list),
    TAVLEN_OBJECT(_log_event_tags_idx, dict),
    TAVLEN_FIELD(_log_event_tags_n),
    TAVLEN_FIELD(_log_events),
    TAVLEN_FIELD(verify_tags),
    TAVLEN_FIELD(_log_duration_ages),
    TAVLEN_FIELD(_log_duration_ages_n),
    TAVLEN_FIELD(_log_duration_years),
    TAVLEN_FIELD(_log_duration_years_n),
    TAVLEN_OBJECT(_log_duration_tags, list),
    TAVLEN_OBJECT(_log_duration_tags_idx, dict),
    TAVLEN_FIELD(_log_duration_tags_n),
    TAVLEN_FIELD(_log_durations),
    TAVLEN_OBJECT(_ongoing_durations, dict),
    TAVLEN_FIELD(_log_event_individual_block_size),
    TAVLEN_OBJECT(_log_event_individual_universe, list),
    TAVLEN_FIELD(_log_event_individual_universe_current_block),
    TAVLEN_OBJECT(_log_event_individual_individual, list),
    TAVLEN_FIELD(_log_event_individual_individual_current_block),
    TAVLEN_OBJECT(_log_event_individual_element, list),
    TAVLEN_FIELD(_log_event_individual_element_current_block),
    TAVLEN_OBJECT(_log_event_individual_age, list),
    TAVLEN_FIELD(_log_event_individual_age_current_block),
    TAVLEN_OBJECT(_log_event_individual_tag, list),
    TAVLEN_FIELD(_log_event_individual_tag_current_block),
    TAVLEN_OBJECT(_log_event_individual_tags, list),
    TAVLEN_OBJECT(_log_event_individual_tags_idx, dict),
    TAVLEN_FIELD(_log_event_individual_entry_idx),
    TAVLEN_OBJECT(_snapshot_functions, list),
    TAVLEN_OBJECT(_snapshot_tags, list),
    TAVLEN_OBJECT(_snapshot_tags_idx, dict),
    TAVLEN_FIELD(_snapshot_tags_n),
    TAVLEN_FIELD(_snapshot_next_age),
    TAVLEN_FIELD(_snapshot_ages),
    TAVLEN_FIELD(_snapshot_ages_n),
    TAVLEN_FIELD(_snapshots_ages),
    TAVLEN_FIELD(_snapshot_next_age_years),
    TAVLEN_FIELD(_snapshot_years),
    TAVLEN_FIELD(_snapshot_years_n),
    TAVLEN_FIELD(_snapshots_years),
    TAVLEN_FIELD(_snapshot_age_idx),
    TAVLEN_FIELD(_snapshot_year_idx),
    TAVLEN_FIELD(_snapshot_ages_do),
    TAVLEN_FIELD(_snapshot_years_do),
    TAVLEN_FIELD(_log_events_individual),
};

#undef TAVLEN_FIELD
#undef TAVLEN_OBJECT

inline constexpr size_t individual_field_count = std::size(individual_fields);

// Positions in individual_fields, ordered by field name: the order of the
// pickled state.
inline constexpr auto fields_by_name = [] {
    std::array<uint8_t, individual_field_count> order{};
    for (size_t i = 0; i < order.size(); ++i) order[i] = static_cast<uint8_t>(i);
    std::sort(order.begin(), order.end(),
              [](uint8_t a, uint8_t b) { return individual_fields[a].name < individual_fields[b].name; });
    return order;
}();

constexpr size_t count_fields(FieldKind kind) {
    return static_cast<size_t>(std::count_if(std::begin(individual_fields), std::end(individual_fields),
                                             [kind](const FieldInfo& f) { return f.kind == kind; }));
}

static_assert(std::is_standard_layout_v<Individual>);
static_assert(individual_field_count == 73);
static_assert(count_fields(FieldKind::object) == 22);
static_assert(count_fields(FieldKind::view) == 19);
static_assert([] {
    for (size_t i = 1; i < individual_field_count; ++i) {
        if (individual_fields[i].offset <= individual_fields[i - 1].offset) return false;
    }
    return individual_fields[individual_field_count - 1].offset < sizeof(Individual);
}(), "the field description must list every field in declared order");

// Typed access to a described field.
template <class T>
T& field(Individual* self, const FieldInfo& info) noexcept {
    return *reinterpret_cast<T*>(reinterpret_cast<char*>(self) + info.offset);
}

}  // namespace tavlen
