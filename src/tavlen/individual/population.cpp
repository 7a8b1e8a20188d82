// Construction of an Individual from the run configuration, and the stepping
// through blocks, persons and universes.
#include "methods.hpp"
#include "module.hpp"
#include "numpy.hpp"

#include <algorithm>
#include <limits>
#include <optional>
#include <utility>

namespace tavlen {
namespace {

enum InitArgument : Py_ssize_t {
    properties, universes, random_number_generators, event_tags, event_ages, event_years,
    duration_tags, duration_ages, duration_years, event_individual_tags, individual_block_size,
    snapshot_tags, snapshot_ages, snapshot_years, snapshot_functions, n_stratum_hops,
    preserve_stratum, log_events_individual, verify_tags,
};

constexpr Parameter init_parameters[] = {
    {"properties"}, {"universes"}, {"random_number_generators"}, {"event_tags"}, {"event_ages"},
    {"event_years"}, {"duration_tags"}, {"duration_ages"}, {"duration_years"},
    {"event_individual_tags"}, {"individual_block_size"}, {"snapshot_tags"}, {"snapshot_ages"},
    {"snapshot_years"}, {"snapshot_functions"}, {"n_stratum_hops"}, {"preserve_stratum"},
    {"log_events_individual"}, {"verify_tags"},
};

// The arguments after their conversions and type tests.
struct Configuration {
    Ref block_size;    // exact int
    Ref stratum_hops;  // exact int or None
    bool log_events_individual;
    bool verify_tags;
};

bool validate(const BoundArguments& args, Configuration& config) {
    config.block_size = int_conversion(args[individual_block_size]);
    if (!config.block_size) return false;
    config.stratum_hops = int_conversion(args[n_stratum_hops]);
    if (!config.stratum_hops || !bool_argument(args[log_events_individual], config.log_events_individual) ||
        !bool_argument(args[verify_tags], config.verify_tags)) {
        return false;
    }
    struct TypeTest {
        PyObject* value;
        InitArgument argument;
        PyTypeObject* type;
        bool none_allowed;
    };
    const TypeTest tests[] = {
        {args[properties], properties, &PyDict_Type, false},
        {args[universes], universes, &PyList_Type, false},
        {args[random_number_generators], random_number_generators, &PyList_Type, false},
        {args[event_tags], event_tags, &PyList_Type, false},
        {args[duration_tags], duration_tags, &PyList_Type, false},
        {args[event_individual_tags], event_individual_tags, &PyList_Type, false},
        {config.block_size.get(), individual_block_size, &PyLong_Type, false},
        {args[snapshot_tags], snapshot_tags, &PyList_Type, false},
        {args[snapshot_ages], snapshot_ages, &PyList_Type, false},
        {args[snapshot_years], snapshot_years, &PyList_Type, false},
        {args[snapshot_functions], snapshot_functions, &PyList_Type, false},
        {config.stratum_hops.get(), n_stratum_hops, &PyLong_Type, true},
        {args[preserve_stratum], preserve_stratum, &PyUnicode_Type, true},
    };
    for (const TypeTest& test : tests) {
        if (!check_argument_type(test.value, test.type, args.name(test.argument), test.none_allowed)) return false;
    }
    return true;
}

// tag -> position in tags; a repeated tag keeps its last position.
Ref tag_index(PyObject* tags) {
    Ref index = Ref::steal(PyDict_New());
    if (!index) return {};
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(tags); ++i) {
        Ref tag = Ref::borrow(PyList_GET_ITEM(tags, i));
        Ref position = Ref::steal(PyLong_FromSsize_t(i));
        if (!position || PyDict_SetItem(index.get(), tag.get(), position.get()) < 0) return {};
    }
    return index;
}

// Keeps the caller's tag list and builds its index.
bool keep_tags(PyObject*& tags_field, PyObject*& index_field, PyObject* tags) {
    replace(tags_field, Ref::borrow(tags));
    Ref index = tag_index(tags);
    if (!index) return false;
    replace(index_field, std::move(index));
    return true;
}

constexpr Py_ssize_t stratum_hop_slots = 256;

// The extent of every stratum axis: n_stratum_hops + 1 when it is given (and
// not 0), else the largest initial stratum + 1 (at least 1).
bool count_strata(Individual* self, PyObject* strata, PyObject* stratum_hops, const InternedNames& names) {
    const int hops = PyObject_IsTrue(stratum_hops);
    if (hops < 0) return false;
    Ref largest;
    if (hops) {
        largest = Ref::borrow(stratum_hops);
    } else {
        // Widened to a Python int before adding 1, so that the int16 maximum
        // cannot wrap around.
        Ref max = Ref::steal(PyObject_GetAttr(strata, names.max));
        Ref zero = max ? Ref::steal(PyLong_FromLong(0)) : Ref();
        Ref maximum = zero ? call_with_keyword(max.get(), {}, names.initial, zero.get()) : Ref();
        largest = maximum ? Ref::steal(PyNumber_Index(maximum.get())) : Ref();
    }
    Ref one = largest ? Ref::steal(PyLong_FromLong(1)) : Ref();
    Ref count = one ? Ref::steal(PyNumber_Add(largest.get(), one.get())) : Ref();
    if (!count || !size_value(count.get(), self->_stratum_n)) return false;
    self->_stratum_hops_do = hops;
    return true;
}

bool warn_overlapping_snapshot_tags(PyObject* module) {
    const InternedNames& names = module_state(module).names;
    Ref warnings = global(module, names.warnings);
    Ref warn = warnings ? Ref::steal(PyObject_GetAttr(warnings.get(), names.warn)) : Ref();
    Ref message = warn ? Ref::steal(PyUnicode_FromString(
                             "More than one snapshot function supplied. Be aware that the tags returned by "
                             "these functions must not overlap."))
                       : Ref();
    Ref stacklevel = message ? Ref::steal(PyLong_FromLong(3)) : Ref();
    return stacklevel && call_with_keyword(warn.get(), {message.get()}, names.stacklevel, stacklevel.get());
}

bool assign_view(auto& view, const Ref& array) { return array && view.assign(array.get()); }

bool construct(Individual* self, const BoundArguments& args, const Configuration& config) {
    PyObject* module = args.module;
    const InternedNames& names = module_state(module).names;
    const NumPy np(module);

    self->age = -1.0;
    Ref memory = Ref::steal(PyDict_New());
    if (!memory) return false;
    replace(self->memory, std::move(memory));

    Ref generators = Ref::steal(PyDict_New());
    if (!generators) return false;
    replace(self->random, generators);
    PyObject* generator_names = args[random_number_generators];
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(generator_names); ++i) {
        Ref name = Ref::borrow(PyList_GET_ITEM(generator_names, i));
        Ref random_class = global(module, names.Random);
        Ref generator = random_class ? Ref::steal(PyObject_CallNoArgs(random_class.get())) : Ref();
        if (!generator || PyDict_SetItem(generators.get(), name.get(), generator.get()) < 0) return false;
    }

    Ref queue = Ref::steal(PyList_New(0));
    Ref events = Ref::steal(PyDict_New());
    if (!queue || !events) return false;
    replace(self->_queue, std::move(queue));
    replace(self->_events, std::move(events));
    self->_event_idx = -1;

    replace(self->_properties, Ref::borrow(args[properties]));
    Ref properties_tmp = Ref::steal(PyDict_New());
    if (!properties_tmp) return false;
    replace(self->_properties_tmp, std::move(properties_tmp));

    self->_person = self->_person_block = self->_person_stratum = -1;
    self->_person_stratum_hops_n = self->_universe = -1;
    self->_person_birth = -1.0;

    // The population's birth years and initial strata, viewed in place.
    Ref births = Ref::steal(PyObject_GetItem(args[properties], names.birth_key));
    if (!births || !assign_view(self->_birth, np.asarray(births.get(), names.float64))) return false;
    Ref initial_strata = Ref::steal(PyObject_GetItem(args[properties], names.stratum_key));
    Ref strata = initial_strata ? np.asarray(initial_strata.get(), names.int16) : Ref();
    if (!assign_view(self->_stratum, strata)) return false;
    replace(self->_preserve_stratum_setting, Ref::borrow(args[preserve_stratum]));

    if (!count_strata(self, strata.get(), config.stratum_hops.get(), names)) return false;

    if (!assign_view(self->_person_stratum_hops_ages, np.zeros({stratum_hop_slots}, names.float64)) ||
        !assign_view(self->_person_stratum_hops_strata, np.zeros({stratum_hop_slots}, names.int16))) {
        return false;
    }
    self->_universe_n = PyList_GET_SIZE(args[universes]);
    const Py_ssize_t U = self->_universe_n;

    // The event log.
    if (!self->_log_event_ages.assign(args[event_ages])) return false;
    self->_log_event_ages_n = self->_log_event_ages.extent(0);
    if (!self->_log_event_years.assign(args[event_years])) return false;
    self->_log_event_years_n = self->_log_event_years.extent(0);
    if (!keep_tags(self->_log_event_tags, self->_log_event_tags_idx, args[event_tags])) return false;
    self->_log_event_tags_n = PyList_GET_SIZE(args[event_tags]);
    if (!assign_view(self->_log_events, np.zeros({U, self->_stratum_n, self->_log_event_tags_n,
                                                  self->_log_event_years_n, self->_log_event_ages_n},
                                                 names.uint32))) {
        return false;
    }

    // The duration log.
    if (!self->_log_duration_ages.assign(args[duration_ages])) return false;
    self->_log_duration_ages_n = self->_log_duration_ages.extent(0);
    if (!self->_log_duration_years.assign(args[duration_years])) return false;
    self->_log_duration_years_n = self->_log_duration_years.extent(0);
    if (!keep_tags(self->_log_duration_tags, self->_log_duration_tags_idx, args[duration_tags])) return false;
    self->_log_duration_tags_n = PyList_GET_SIZE(args[duration_tags]);
    if (!assign_view(self->_log_durations,
                     np.zeros({U, self->_stratum_n, self->_log_duration_tags_n, self->_log_duration_years_n,
                               self->_log_duration_ages_n},
                              names.float64))) {
        return false;
    }
    Ref ongoing = Ref::steal(PyDict_New());
    if (!ongoing) return false;
    replace(self->_ongoing_durations, std::move(ongoing));

    // The individual-level log: one zero block per column.
    if (!size_value(config.block_size.get(), self->_log_event_individual_block_size)) return false;
    const Py_ssize_t B = self->_log_event_individual_block_size;
    auto first_block = [&](PyObject*& blocks, auto& current_block, PyObject* dtype) {
        Ref block = np.zeros({B}, dtype);
        Ref list = block ? Ref::steal(PyList_New(1)) : Ref();
        if (!list) return false;
        PyList_SET_ITEM(list.get(), 0, Py_NewRef(block.get()));
        replace(blocks, std::move(list));
        return current_block.assign(block.get());
    };
    if (!first_block(self->_log_event_individual_universe, self->_log_event_individual_universe_current_block,
                     names.uint8) ||
        !first_block(self->_log_event_individual_individual,
                     self->_log_event_individual_individual_current_block, names.uint32) ||
        !first_block(self->_log_event_individual_element, self->_log_event_individual_element_current_block,
                     names.uint16) ||
        !first_block(self->_log_event_individual_age, self->_log_event_individual_age_current_block,
                     names.float64) ||
        !first_block(self->_log_event_individual_tag, self->_log_event_individual_tag_current_block,
                     names.uint16) ||
        !keep_tags(self->_log_event_individual_tags, self->_log_event_individual_tags_idx,
                   args[event_individual_tags])) {
        return false;
    }
    self->_log_event_individual_entry_idx = 0;

    // Snapshots: the ages and years are copied.
    replace(self->_snapshot_functions, Ref::borrow(args[snapshot_functions]));
    if (!keep_tags(self->_snapshot_tags, self->_snapshot_tags_idx, args[snapshot_tags])) return false;
    self->_snapshot_tags_n = PyList_GET_SIZE(args[snapshot_tags]);
    constexpr double infinity = std::numeric_limits<double>::infinity();
    self->_snapshot_next_age = infinity;
    if (!assign_view(self->_snapshot_ages, np.array(args[snapshot_ages], names.float64))) return false;
    self->_snapshot_ages_n = self->_snapshot_ages.extent(0);
    if (!assign_view(self->_snapshots_ages, np.zeros({U, self->_stratum_n, self->_snapshot_tags_n,
                                                      self->_snapshot_ages_n},
                                                     names.uint32))) {
        return false;
    }
    self->_snapshot_next_age_years = infinity;
    if (!assign_view(self->_snapshot_years, np.array(args[snapshot_years], names.float64))) return false;
    self->_snapshot_years_n = self->_snapshot_years.extent(0);
    if (!assign_view(self->_snapshots_years, np.zeros({U, self->_stratum_n, self->_snapshot_tags_n,
                                                       self->_snapshot_years_n},
                                                      names.uint32))) {
        return false;
    }
    self->_snapshot_age_idx = -1;
    self->_snapshot_year_idx = -1;
    const Py_ssize_t functions = PyList_Check(self->_snapshot_functions)
                                     ? PyList_GET_SIZE(self->_snapshot_functions)
                                     : 0;
    self->_snapshot_ages_do = functions > 0 && self->_snapshot_ages_n > 0;
    self->_snapshot_years_do = functions > 0 && self->_snapshot_years_n > 0;
    if (functions > 1 && !warn_overlapping_snapshot_tags(module)) return false;

    self->_log_events_individual = config.log_events_individual;
    self->verify_tags = config.verify_tags;
    self->_preserve_dynamic = false;
    self->_preserve_final = false;
    return true;
}

}  // namespace

constinit const Signature init_signature{"__init__", init_parameters};

int individual_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    PyObject* module = PyType_GetModuleByDef(Py_TYPE(self), &individual_module);
    if (!module) return -1;
    BoundArguments bound(init_signature, module);
    Configuration config;
    if (!bind(bound, args, kwargs) || !validate(bound, config)) return -1;
    return construct(reinterpret_cast<Individual*>(self), bound, config) ? 0 : -1;
}

}  // namespace tavlen

// --- Population iteration ---------------------------------------------------

namespace tavlen {
namespace {

constexpr Parameter next_block_parameters[] = {
    {"first_person", "int"},
    {"properties_tmp", "Dict[str, np.ndarray]"},
    {"random_seeds", "Dict[str, int]"},
};
constexpr Parameter tag_parameter[] = {{"tag", "str"}};

// generator.seed(seed) for each (name, seed) of seeds, looked up in random.
bool reseed(Individual* self, PyObject* seeds, const InternedNames& names) {
    const Py_ssize_t size = PyDict_GET_SIZE(seeds);
    Py_ssize_t position = 0;
    PyObject *borrowed_name, *borrowed_seed;
    while (PyDict_Next(seeds, &position, &borrowed_name, &borrowed_seed)) {
        // The seed method may change the dict or the generators: hold what
        // this round uses.
        Ref name = Ref::borrow(borrowed_name);
        Ref seed = Ref::borrow(borrowed_seed);
        Ref generators = Ref::borrow(self->random);
        Ref generator = Ref::steal(PyObject_GetItem(generators.get(), name.get()));
        if (!generator || !Ref::steal(PyObject_CallMethodOneArg(generator.get(), names.seed, seed.get()))) {
            return false;
        }
        if (PyDict_GET_SIZE(seeds) != size) {
            PyErr_SetString(PyExc_RuntimeError, "dictionary changed size during iteration");
            return false;
        }
    }
    return true;
}

PyObject* next_block(Individual* self, BoundArguments& args) {
    PyObject* const block_properties = args[1];
    PyObject* const seeds = args[2];
    Ref first = int_argument(args[0], args.name(0));
    if (!first || !check_argument_type(block_properties, &PyDict_Type, args.name(1)) ||
        !check_argument_type(seeds, &PyDict_Type, args.name(2))) {
        return nullptr;
    }
    Ref one = Ref::steal(PyLong_FromLong(1));
    Ref before_first = one ? Ref::steal(PyNumber_Subtract(first.get(), one.get())) : Ref();
    if (!before_first || !int32_value(before_first.get(), self->_person)) return nullptr;
    replace(self->_properties_tmp, Ref::borrow(block_properties));
    self->_person_block = -1;
    if (!reseed(self, seeds, module_state(args.module).names)) return nullptr;
    Py_RETURN_NONE;
}

constexpr Parameter renew_parameters[] = {{"individual"}, {"properties", "dict"}};
constexpr Signature renew_signature{"renew_population", renew_parameters};

// Each column of the individual log down to its last block, which holds no
// entry: the log starts again empty without making a block.
bool empty_individual_log(Individual* self) {
    PyObject* const columns[5] = {self->_log_event_individual_universe, self->_log_event_individual_individual,
                                  self->_log_event_individual_element, self->_log_event_individual_age,
                                  self->_log_event_individual_tag};
    for (PyObject* column : columns) {
        if (!PyList_CheckExact(column)) {
            raise(PyExc_TypeError, "a column of the individual log is %.200s, not a list", Py_TYPE(column)->tp_name);
            return false;
        }
    }
    for (PyObject* column : columns) {
        Ref held = Ref::borrow(column);  // dropping blocks may run code that replaces the field
        const Py_ssize_t n = PyList_GET_SIZE(held.get());
        if (n > 1 && PyList_SetSlice(held.get(), 0, n - 1, nullptr) < 0) return false;
    }
    self->_log_event_individual_entry_idx = 0;
    return true;
}

PyObject* renew_population(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    BoundArguments bound(renew_signature, module);
    if (!bind(bound, args, nargs, kwnames) || !check_argument_type(bound[1], &PyDict_Type, bound.name(1))) {
        return nullptr;
    }
    if (!PyObject_TypeCheck(bound[0], module_state(module).individual_type)) {
        return raise(PyExc_TypeError, "renew_population(): individual must be an Individual, not %.200s",
                     Py_TYPE(bound[0])->tp_name);
    }
    Individual* self = reinterpret_cast<Individual*>(bound[0]);
    const InternedNames& names = module_state(module).names;
    const NumPy np(module);
    Ref properties = Ref::borrow(bound[1]);
    Ref births = Ref::steal(PyObject_GetItem(properties.get(), names.birth_key));
    Ref birth_years = births ? np.asarray(births.get(), names.float64) : Ref();
    Ref initial = birth_years ? Ref::steal(PyObject_GetItem(properties.get(), names.stratum_key)) : Ref();
    Ref strata = initial ? np.asarray(initial.get(), names.int16) : Ref();
    // Acquired into new views first: a refused population leaves the old one.
    View<double, 1> birth{};
    View<int16_t, 1> stratum{};
    if (!strata || !birth.assign(birth_years.get()) || !stratum.assign(strata.get()) || !empty_individual_log(self)) {
        birth.release();
        stratum.release();
        return nullptr;
    }
    std::swap(self->_birth, birth);
    std::swap(self->_stratum, stratum);
    replace(self->_properties, std::move(properties));
    self->_person = self->_person_block = self->_person_stratum = -1;
    self->_person_stratum_hops_n = self->_universe = -1;
    self->_person_birth = -1.0;
    // Last: releasing a buffer may run code of its exporter's.
    birth.release();
    stratum.release();
    Py_RETURN_NONE;
}

// The population arrays are read at _person without a further test once
// this has passed; the counters never wrap.
bool check_next_person(const Individual* self, int64_t person) {
    if (!self->_birth.ready() || !self->_stratum.ready()) return false;
    if (!self->_birth.contains(person) || !self->_stratum.contains(person)) {
        PyErr_Format(PyExc_IndexError,
                     "next_person(): person %lld is outside the population arrays (%zd birth years, %zd "
                     "strata)",
                     static_cast<long long>(person), self->_birth.extent(0), self->_stratum.extent(0));
        return false;
    }
    if (person > INT32_MAX || self->_person_block == INT32_MAX) {
        PyErr_SetString(PyExc_OverflowError, "next_person(): the person counter would pass 2147483647");
        return false;
    }
    return true;
}

PyObject* next_person(Individual* self, BoundArguments&) {
    const int64_t person = int64_t{self->_person} + 1;
    if (!check_next_person(self, person)) return nullptr;
    self->_person_block += 1;
    self->_universe = -1;
    self->_person = static_cast<int32_t>(person);
    self->_person_birth = self->_birth(person);
    self->_person_stratum_hops_n = 0;
    self->_preserve_dynamic = false;
    self->_preserve_final = false;
    self->_person_stratum = self->_stratum(person);
    Py_RETURN_NONE;
}

bool setting_is(PyObject* setting, PyObject* name) {
    return setting == name || (PyUnicode_CheckExact(setting) && PyUnicode_Compare(setting, name) == 0);
}

// What next_universe reads from the arrays, read (and tested) before the
// life's state changes at all.
struct LifeStart {
    int32_t initial_stratum = 0;
    double first_snapshot_age = 0.0;
    Py_ssize_t snapshot_year_idx = 0;
    double snapshot_next_age_years = 0.0;
};

bool read_life_start(const Individual* self, LifeStart& start) {
    if (!self->_stratum.ready()) return false;
    if (self->_universe_n <= 0 || self->_universe >= self->_universe_n - 1) {
        PyErr_Format(PyExc_IndexError,
                     "next_universe(): the current person has already started all %zd universes",
                     self->_universe_n);
        return false;
    }
    // A restored count of universes may exceed what the int32 counter holds.
    if (self->_universe == INT32_MAX) {
        PyErr_SetString(PyExc_OverflowError, "next_universe(): the universe counter would pass 2147483647");
        return false;
    }
    if (!self->_stratum.contains(self->_person)) {
        PyErr_Format(PyExc_IndexError,
                     "next_universe(): no current person (person %d is outside the population's %zd "
                     "strata); call next_person() first",
                     self->_person, self->_stratum.extent(0));
        return false;
    }
    start.initial_stratum = self->_stratum(self->_person);
    if (self->_snapshot_ages_do) {
        std::optional<Element<double>> first = self->_snapshot_ages.at(0);
        if (!first) return false;
        start.first_snapshot_age = *first;
    }
    if (self->_snapshot_years_do) {
        if (!self->_snapshot_years.ready()) return false;
        const Py_ssize_t n = std::min(self->_snapshot_years_n, self->_snapshot_years.extent(0));
        const double birth = self->_person_birth;
        start.snapshot_year_idx = self->_snapshot_years_n;
        start.snapshot_next_age_years = std::numeric_limits<double>::infinity();
        for (Py_ssize_t i = 0; i < n; ++i) {
            const double year = self->_snapshot_years(i);
            if (year > birth) {
                start.snapshot_year_idx = i;
                start.snapshot_next_age_years = year - birth;
                break;
            }
        }
    }
    return true;
}

PyObject* next_universe(Individual* self, BoundArguments& args) {
    LifeStart start;
    if (!read_life_start(self, start)) return nullptr;
    Ref memory = Ref::steal(PyDict_New());
    Ref ongoing = Ref::steal(PyDict_New());
    Ref queue = Ref::steal(PyList_New(0));
    Ref events = Ref::steal(PyDict_New());
    if (!memory || !ongoing || !queue || !events) return nullptr;

    self->age = 0.0;
    // The old containers go only after every field holds its new value:
    // releasing them may run arbitrary code.
    Ref old[] = {Ref::steal(std::exchange(self->memory, memory.release())),
                 Ref::steal(std::exchange(self->_ongoing_durations, ongoing.release())),
                 Ref::steal(std::exchange(self->_queue, queue.release())),
                 Ref::steal(std::exchange(self->_events, events.release()))};
    self->_event_idx = -1;

    const InternedNames& names = module_state(args.module).names;
    PyObject* setting = self->_preserve_stratum_setting;
    const bool first_universe = self->_universe < 0;
    if (setting_is(setting, names.dynamic)) {
        if (!first_universe) self->_preserve_dynamic = true;
    } else if (setting_is(setting, names.final)) {
        if (!first_universe) self->_preserve_final = true;
    } else if (self->_stratum_hops_do) {
        self->_person_stratum_hops_n = 0;
    }
    if (!self->_preserve_final) self->_person_stratum = start.initial_stratum;

    if (self->_snapshot_ages_do) {
        self->_snapshot_age_idx = 0;
        self->_snapshot_next_age = start.first_snapshot_age;
    }
    if (self->_snapshot_years_do) {
        self->_snapshot_year_idx = start.snapshot_year_idx;
        self->_snapshot_next_age_years = start.snapshot_next_age_years;
    }
    self->_universe += 1;
    Py_RETURN_NONE;
}

// dict[tag][position], through the value's own item access. The position
// is read after the lookup, whose key comparisons may run code that steps
// the object.
PyObject* property_of(Individual* self, PyObject* module, PyObject* properties, PyObject* tag,
                      int32_t Individual::*position_field) {
    Ref values;
    if (PyDict_CheckExact(properties)) {
        PyObject* found;
        if (PyDict_GetItemRef(properties, tag, &found) == 0) {
            PyErr_SetObject(PyExc_KeyError, tag);
            return nullptr;
        }
        values = Ref::steal(found);
    } else {
        values = Ref::steal(PyObject_GetItem(properties, tag));
    }
    if (!values) return nullptr;
    const Py_ssize_t position = self->*position_field;
    // An ndarray's sequence slot gives for an index what its item access
    // gives, without making an int object first.
    if (position >= 0 && reinterpret_cast<PyObject*>(Py_TYPE(values.get())) == module_state(module).ndarray_type) {
        return PySequence_GetItem(values.get(), position);
    }
    Ref index = Ref::steal(PyLong_FromSsize_t(position));
    return index ? PyObject_GetItem(values.get(), index.get()) : nullptr;
}

PyObject* person_property(Individual* self, BoundArguments& args) {
    if (!check_argument_type(args[0], &PyUnicode_Type, args.name(0))) return nullptr;
    return property_of(self, args.module, Ref::borrow(self->_properties).get(), args[0], &Individual::_person);
}

PyObject* block_property(Individual* self, BoundArguments& args) {
    if (!check_argument_type(args[0], &PyUnicode_Type, args.name(0))) return nullptr;
    return property_of(self, args.module, Ref::borrow(self->_properties_tmp).get(), args[0],
                       &Individual::_person_block);
}

}  // namespace

constinit const MethodSpec next_block_method{
    {"next_block", next_block_parameters}, "Increment block of people.", next_block};
constinit const MethodSpec next_person_method{{"next_person", {}}, "Increment current person.", next_person};
constinit const MethodSpec next_universe_method{{"next_universe", {}}, "Increment universe.", next_universe};
constinit const MethodSpec properties_method{
    {"properties", tag_parameter},
    "This method provides access to the properties of the current\n"
    "        individual.\n"
    "\n"
    "        :param tag: The name of the property.\n"
    "        :return: The 'tag' property of the current individual.\n"
    "        ",
    person_property};
constinit const MethodSpec properties_tmp_method{
    {"properties_tmp", tag_parameter},
    "This method provides access to the temporary properties of\n"
    "        the current individual.\n"
    "\n"
    "        :param tag: The name of the property.\n"
    "        :return: The 'tag' temporary property of the current individual.\n"
    "        ",
    block_property};

PyMethodDef renew_population_function = {
    "renew_population",
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(renew_population)),
    METH_FASTCALL | METH_KEYWORDS,
    "renew_population(individual, properties)\n"
    "--\n\n"
    "Gives the Individual a new population, so that it can simulate another block of\n"
    "a run with its arrays as they stand: properties as the constructor takes them\n"
    "(with '__birth__' and '__stratum__'), which next_person() steps through from the\n"
    "first person again. The individual-level log starts again empty; the other logs\n"
    "and the count of strata are kept.",
};

}  // namespace tavlen
