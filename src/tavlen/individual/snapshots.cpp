// Snapshots of the snapshot functions' values at the snapshot ages and years.
#include "methods.hpp"
#include "module.hpp"

#include <limits>
#include <optional>

namespace tavlen {
namespace {

constexpr Parameter snapshot_parameters[] = {{"age_next_event", "float"}};

#define TAVLEN_SNAPSHOT_DOC(when, which)                                                                  \
    "Take a snapshot at the current " when ". Since snapshot functions are not allowed to modify\n"       \
    "        the event queue, the snapshot is duplicated for all snapshot " which " until the next event\n" \
    "        in the queue.\n"                                                                             \
    "\n"                                                                                                  \
    "        :param age_next_event: The person's age at the next event in the queue.\n"                  \
    "        :raises Exception: The simulation stops if a user-supplied tag doesn't correspond with the\n" \
    "            list of snapshot tags from the processes or specified by the user in\n"                  \
    "            :meth:`~tavlen.Model.run`.\n"                                                            \
    "        "

// The fields of one kind of snapshot: by age or by year.
struct SnapshotFields {
    double Individual::*next_age;         // age at the next pending snapshot
    View<double, 1> Individual::*points;  // snapshot ages, or years
    Py_ssize_t Individual::*points_n;
    View<uint32_t, 4> Individual::*sums;  // universe, stratum, tag, snapshot
    Py_ssize_t Individual::*idx;          // next pending snapshot
    bool by_year;
};

constexpr SnapshotFields by_age{&Individual::_snapshot_next_age, &Individual::_snapshot_ages,
                                &Individual::_snapshot_ages_n, &Individual::_snapshots_ages,
                                &Individual::_snapshot_age_idx, false};
constexpr SnapshotFields by_year{&Individual::_snapshot_next_age_years, &Individual::_snapshot_years,
                                 &Individual::_snapshot_years_n, &Individual::_snapshots_years,
                                 &Individual::_snapshot_year_idx, true};

// One past the last snapshot before the next event: the pending one is
// always recorded, and every later one that the event lies beyond.
bool end_of_range(const Individual* self, const SnapshotFields& fields, double next_event, Py_ssize_t& end) {
    const Py_ssize_t start = self->*fields.idx;
    end = start == PY_SSIZE_T_MAX ? start : start + 1;
    while (end < self->*fields.points_n) {
        std::optional<Element<double>> point = (self->*fields.points).at(end);
        if (!point) return false;
        if (!(next_event > *point)) break;
        ++end;
    }
    return true;
}

// tag -> value of every snapshot function, the later function winning for a
// tag that several report. A result that is not a dict counts each of its
// items once.
Ref collect_tags(Individual* self) {
    Ref tags = Ref::steal(PyDict_New());
    Ref one = Ref::steal(PyLong_FromLong(1));
    Ref functions = tags && one ? Ref::steal(PyObject_GetIter(self->_snapshot_functions)) : Ref();
    if (!functions) return {};
    while (Ref function = Ref::steal(PyIter_Next(functions.get()))) {
        Ref result = Ref::steal(PyObject_CallOneArg(function.get(), reinterpret_cast<PyObject*>(self)));
        const int truth = result ? PyObject_IsTrue(result.get()) : -1;
        if (truth < 0) return {};
        if (truth == 0) continue;
        if (!PyDict_Check(result.get())) {
            Ref counted = Ref::steal(PyDict_New());
            Ref items = counted ? Ref::steal(PyObject_GetIter(result.get())) : Ref();
            if (!items) return {};
            while (Ref item = Ref::steal(PyIter_Next(items.get()))) {
                if (!check_field_type(item.get(), &PyUnicode_Type) ||
                    PyDict_SetItem(counted.get(), item.get(), one.get()) < 0) {
                    return {};
                }
            }
            if (PyErr_Occurred()) return {};
            result = std::move(counted);
        }
        if (PyDict_Update(tags.get(), result.get()) < 0) return {};
    }
    if (PyErr_Occurred()) return {};
    return tags;
}

// The tag's position on the tag axis; false with no error set for an unknown
// tag while verify_tags is clear.
bool tag_position(const Individual* self, PyObject* tag, Py_ssize_t& position, bool& known) {
    known = false;
    Ref index = Ref::steal(PyObject_GetItem(Ref::borrow(self->_snapshot_tags_idx).get(), tag));
    if (index) {
        known = true;
        return size_value(index.get(), position);
    }
    if (!PyErr_ExceptionMatches(PyExc_KeyError)) return false;
    if (!self->verify_tags) {
        PyErr_Clear();
        return true;
    }
    PyErr_Clear();
    Ref shown = Ref::steal(PyObject_Format(tag, nullptr));
    raise_during_key_error(PyExc_Exception, tag,
                           shown ? Ref::steal(PyUnicode_FromFormat("tag %U not present among loggable snapshot tags",
                                                                   shown.get()))
                                 : Ref());
    return false;
}

// The stratum that snapshot i is credited to: the one in force at its age,
// which in a universe that replays the first universe's changes may differ
// from the stratum of the last logged event.
std::optional<int32_t> snapshot_stratum(const Individual* self, const SnapshotFields& fields, Py_ssize_t i) {
    if (!self->_preserve_dynamic) [[likely]]
        return self->_person_stratum;
    std::optional<Element<double>> point = (self->*fields.points).at(i);
    if (!point) return std::nullopt;
    return credited_stratum(self, fields.by_year ? *point - self->_person_birth : double(*point));
}

// Adds value to one uint32 cell; a sum outside the cell's range is refused
// and leaves the cell as it was.
bool add_to_cell(Element<uint32_t> cell, int32_t value) {
    const int64_t sum = int64_t{uint32_t(cell)} + value;
    if (sum < 0 || sum > int64_t{UINT32_MAX}) {
        PyErr_Format(PyExc_OverflowError, "snapshot sum %lld does not fit its cell (0 to 4294967295)",
                     static_cast<long long>(sum));
        return false;
    }
    cell = static_cast<uint32_t>(sum);
    return true;
}

PyObject* take_snapshot(Individual* self, BoundArguments& args, const SnapshotFields& fields) {
    double age_next_event;
    if (!float_argument(args[0], age_next_event)) return nullptr;
    const double next_event = fields.by_year ? age_next_event + self->_person_birth : age_next_event;
    self->age = self->*fields.next_age;
    const Py_ssize_t start = self->*fields.idx;
    Py_ssize_t end;
    if (!end_of_range(self, fields, next_event, end)) return nullptr;

    Ref tags = collect_tags(self);
    if (!tags) return nullptr;
    Py_ssize_t position = 0;
    PyObject *tag, *value;
    while (PyDict_Next(tags.get(), &position, &tag, &value)) {
        Ref held_tag = Ref::borrow(tag), held_value = Ref::borrow(value);
        int32_t amount;
        Py_ssize_t tag_idx;
        bool known;
        if (!check_field_type(tag, &PyUnicode_Type) || !int32_value(value, amount) ||
            !tag_position(self, tag, tag_idx, known)) {
            return nullptr;
        }
        // An unknown tag (verify_tags clear) is skipped alone; the others
        // are still recorded and the snapshot still moves on.
        if (!known) continue;
        for (Py_ssize_t i = start; i < end; ++i) {
            const std::optional<int32_t> stratum = snapshot_stratum(self, fields, i);
            if (!stratum) return nullptr;
            const View<uint32_t, 4>& sums = self->*fields.sums;
            std::optional<Element<uint32_t>> cell = sums.at(self->_universe, *stratum, tag_idx, i);
            if (!cell) return nullptr;
            const uint32_t before = *cell;
            if (!add_to_cell(*cell, amount)) return nullptr;
            // at() took a negative index from the end of its axis: so does the record.
            const auto from_end = [&](Py_ssize_t index, int axis) { return index < 0 ? index + sums.extent(axis) : index; };
            note_change(self, fields.by_year ? Aggregate::snapshots_years : Aggregate::snapshots_ages, sums, before,
                        from_end(self->_universe, 0), from_end(*stratum, 1), from_end(tag_idx, 2), from_end(i, 3));
        }
    }

    self->*fields.idx = end;
    double next_age = std::numeric_limits<double>::infinity();
    if (end < self->*fields.points_n) {
        std::optional<Element<double>> point = (self->*fields.points).at(end);
        if (!point) return nullptr;
        next_age = fields.by_year ? *point - self->_person_birth : double(*point);
    }
    self->*fields.next_age = next_age;
    Py_RETURN_NONE;
}

PyObject* snapshot_age(Individual* self, BoundArguments& args) { return take_snapshot(self, args, by_age); }
PyObject* snapshot_year(Individual* self, BoundArguments& args) { return take_snapshot(self, args, by_year); }

}  // namespace

constinit const MethodSpec snapshot_age_method{
    {"_snapshot_age", snapshot_parameters}, TAVLEN_SNAPSHOT_DOC("age", "ages"), snapshot_age};
constinit const MethodSpec snapshot_year_method{
    {"_snapshot_year", snapshot_parameters}, TAVLEN_SNAPSHOT_DOC("year", "years"), snapshot_year};

}  // namespace tavlen
