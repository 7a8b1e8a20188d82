// Strata and stratum hops, and the three logs: aggregate events, durations
// and individual-level events.
#include "methods.hpp"
#include "module.hpp"
#include "numpy.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <optional>
#include <utility>

namespace tavlen {
namespace {

constexpr Parameter hop_parameters[] = {{"stratum", "int"}};
constexpr Parameter tag_parameter[] = {{"tag", "str"}};
constexpr Parameter duration_parameters[] = {{"tag", "str"}, {"start_age", "float"}, {"end_age", "float"}};
constexpr Parameter duration_start_parameters[] = {{"tag", "str"}, {"start_age", "float", "None"}};
constexpr Parameter duration_end_parameters[] = {{"tag", "str"}, {"end_age", "float", "None"}};
constexpr Parameter ongoing_parameters[] = {{"end_age", "float", "None"}};
constexpr Parameter individual_parameters[] = {
    {"tag", "str"}, {"age", "float", "-1.0"}, {"element", "int", "0"}};

#define TAVLEN_DURATION_DOC                                                                          \
    "Log a duration.\n"                                                                              \
    "\n"                                                                                             \
    "        The duration is only logged if its tag is in the list of tags passed as\n"              \
    "        'duration_tags' to :meth:`~tavlen.Model.run`.\n"                                       \
    "\n"                                                                                             \
    "        :param tag: The tag of the duration.\n"                                                 \
    "        :param start_age: The age at which the duration started.\n"                             \
    "        :param end_age: The age at which the duration ended.\n"                                 \
    "        :raises Exception: The simulation stops if a user-supplied tag doesn't correspond with\n" \
    "            the list of duration tags.\n"                                                       \
    "        "

// --- Rules shared by the logs ------------------------------------------------

constexpr double infinity = std::numeric_limits<double>::infinity();

// The bin rule. A grid holds the exclusive upper edges of its bins: the bin of
// x is the first i with x < grid[i]; values at or beyond the last edge (NaN
// included) fall into the last bin, and an empty grid gives bin 0. On an
// ascending grid "x < grid[i]" is false up to one position and true from it
// on, so halving the range finds that first i; any other grid is walked.
Py_ssize_t bin_of(const View<double, 1>& grid, double x) noexcept {
    const Py_ssize_t n = grid.extent(0);
    Py_ssize_t first = 0;
    if (grid.ascending()) {
        Py_ssize_t count = n;
        while (count > 0) {
            const Py_ssize_t half = count / 2;
            if (x < grid(first + half)) {
                count = half;
            } else {
                first += half + 1;
                count -= half + 1;
            }
        }
    } else {
        while (first < n && !(x < grid(first))) ++first;
    }
    return first < n ? first : (n > 0 ? n - 1 : 0);
}

// The changes of the hop record that can be read: its count, limited to the
// slots that both of its arrays really have.
Py_ssize_t recorded_changes(const Individual* self) noexcept {
    const Py_ssize_t slots =
        std::min(self->_person_stratum_hops_ages.extent(0), self->_person_stratum_hops_strata.extent(0));
    return std::clamp<Py_ssize_t>(self->_person_stratum_hops_n, 0, slots);
}

struct Replayed {
    int32_t stratum;
    Py_ssize_t next_change;  // first change recorded after the age
};

// The replay rule: the stratum in force at an age is that of the last change
// recorded at or before it (a change at exactly that age is in force), or the
// starting stratum when there is none.
Replayed replay(const Individual* self, double age, int32_t stratum) noexcept {
    const Py_ssize_t n = recorded_changes(self);
    Py_ssize_t k = 0;
    for (; k < n && !(self->_person_stratum_hops_ages(k) > age); ++k) {
        stratum = self->_person_stratum_hops_strata(k);
    }
    return {stratum, k};
}

// The first change of unknown age (NaN) among the first `passed` ones, or
// -1. The replay passes such a change, but a walk that starts after it
// cannot know that it lies before the start.
Py_ssize_t first_unplaced_change(const Individual* self, Py_ssize_t passed) noexcept {
    for (Py_ssize_t k = 0; k < passed; ++k) {
        if (std::isnan(self->_person_stratum_hops_ages(k))) return k;
    }
    return -1;
}

}  // namespace

int32_t credited_stratum(const Individual* self, double age) noexcept {
    return self->_preserve_dynamic ? replay(self, age, self->_person_stratum).stratum : self->_person_stratum;
}

namespace {

// --- Errors ------------------------------------------------------------------

// The position of tag in a tag index (an int, as a new reference). Null with
// no error set when the tag is absent and verify_tags is clear.
Ref lookup_tag(Individual* self, PyObject* index_field, PyObject* tag, const char* kind) {
    Ref index = Ref::borrow(index_field);  // the lookup may run code that replaces the field
    if (!PyDict_CheckExact(index.get())) {
        return raise(PyExc_TypeError, "the index of loggable %s tags is %.200s, not a dict", kind,
                     Py_TYPE(index.get())->tp_name);
    }
    PyObject* found_position;
    const int found = PyDict_GetItemRef(index.get(), tag, &found_position);
    if (found > 0) {
        Ref position = Ref::steal(found_position);
        if (PyLong_Check(position.get())) [[likely]]
            return position;
        return raise(PyExc_TypeError, "the index of loggable %s tags maps %R to %.200s, not an int", kind, tag,
                     Py_TYPE(position.get())->tp_name);
    }
    if (found == 0 && self->verify_tags) {
        raise_during_key_error(PyExc_Exception, tag,
                               Ref::steal(PyUnicode_FromFormat("tag %U not present among loggable %s tags", tag, kind)));
    }
    return {};
}

// Where a cell index of a five-axis log falls outside the log's array: a clear
// error naming the cause instead of a write out of range.
enum Axis { universe_axis, stratum_axis, tag_axis, year_axis, age_axis };

std::nullptr_t refuse_cell(const char* method, const char* log, const BufferView& cells,
                           const BufferView& years, const BufferView& ages, const Py_ssize_t (&index)[5]) {
    if (!cells.ready() || !years.ready() || !ages.ready()) return nullptr;
    for (int axis = universe_axis; axis <= age_axis; ++axis) {
        const Py_ssize_t i = index[axis], n = cells.extent(axis);
        if (i >= 0 && i < n) continue;
        switch (axis) {
            case universe_axis:
                if (i < 0) {
                    return raise(PyExc_RuntimeError, "%s() was called outside a life: call next_universe() first",
                                 method);
                }
                return raise(PyExc_IndexError, "%s(): universe %zd is not one of the %zd universes of the %s",
                             method, i, n, log);
            case stratum_axis:
                if (n == 0) {
                    return raise(PyExc_ValueError, "%s(): the %s has no strata (n_stratum_hops was negative)",
                                 method, log);
                }
                return raise(PyExc_IndexError, "%s(): stratum %zd is not one of the strata 0 .. %zd of the %s",
                             method, i, n - 1, log);
            case tag_axis:
                return raise(PyExc_IndexError, "%s(): tag position %zd is not one of the %zd tags of the %s",
                             method, i, n, log);
            default: {
                const bool year = axis == year_axis;
                if ((year ? years : ages).extent(0) == 0) {
                    return raise(PyExc_ValueError, "%s(): the %s grid of the %s is empty, so no %s bin can be credited",
                                 method, year ? "year" : "age", log, year ? "year" : "age");
                }
                return raise(PyExc_IndexError, "%s(): %s bin %zd is not one of the %zd %s bins of the %s", method,
                             year ? "year" : "age", i, n, year ? "year" : "age", log);
            }
        }
    }
    return raise(PyExc_SystemError, "%s(): cell refused without a cause", method);
}

// An int as an unsigned 16-bit value, refused with the messages of a C
// conversion.
bool unsigned_short_value(PyObject* integer, uint16_t& out) {
    int overflow = 0;
    const long value = PyLong_AsLongAndOverflow(integer, &overflow);
    if (value == -1 && PyErr_Occurred()) return false;
    if (overflow > 0 || value > UINT16_MAX) {
        PyErr_SetString(PyExc_OverflowError, "value too large to convert to unsigned short");
        return false;
    }
    if (overflow < 0 || value < 0) {
        PyErr_SetString(PyExc_OverflowError, "can't convert negative value to unsigned short");
        return false;
    }
    out = static_cast<uint16_t>(value);
    return true;
}

// self.<name>(*arguments), or with the arguments by keyword. An exact
// Individual cannot have its methods replaced (the type is immutable and its
// instances have no __dict__), so its own method is called at once; for any
// other object the attribute lookup decides, so that an override is obeyed.
bool call_own_method(Individual* self, PyObject* module, const MethodSpec& method, PyObject* name,
                     std::initializer_list<PyObject*> arguments, bool by_keyword = false) {
    if (Py_IS_TYPE(self, module_state(module).individual_type)) [[likely]] {
        BoundArguments bound(method.signature, module);
        Py_ssize_t k = 0;
        for (PyObject* argument : arguments) bound.values[k++] = argument;
        return Ref::steal(method.impl(self, bound)).get() != nullptr;
    }
    PyObject* stack[4] = {reinterpret_cast<PyObject*>(self)};
    size_t n = 1;
    for (PyObject* argument : arguments) stack[n++] = argument;
    if (!by_keyword) return Ref::steal(PyObject_VectorcallMethod(name, stack, n, nullptr)).get() != nullptr;
    // Keyword names are the method's parameter names, in order.
    Ref keywords = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(n - 1)));
    if (!keywords) return false;
    for (size_t k = 1; k < n; ++k) {
        Ref keyword = Ref::steal(PyUnicode_InternFromString(method.signature.parameters[k - 1].name));
        if (!keyword) return false;
        PyTuple_SET_ITEM(keywords.get(), static_cast<Py_ssize_t>(k - 1), keyword.release());
    }
    return Ref::steal(PyObject_VectorcallMethod(name, stack, 1, keywords.get())).get() != nullptr;
}

// --- Strata --------------------------------------------------------------------

PyObject* hop_stratum(Individual* self, BoundArguments& args) {
    Ref value = int_argument(args[0], args.name(0));
    if (!value) return nullptr;
    if (self->_preserve_dynamic || self->_preserve_final) Py_RETURN_NONE;
    // The sign and the bound are tested on the int itself, before it must
    // fit 32 bits: a preserved universe ignores any int, and the bound
    // refuses one too large for any field.
    int overflow = 0;
    const long long wide = PyLong_AsLongLongAndOverflow(value.get(), &overflow);
    if (wide == -1 && PyErr_Occurred()) return nullptr;
    if (overflow < 0 || (overflow == 0 && wide < 0)) {
        return raise(PyExc_ValueError, "Attempted to hop to the negative stratum %S: strata are numbered from 0",
                     value.get());
    }
    if (module_state(args.module).assertions_enabled && (overflow > 0 || wide >= self->_stratum_n)) {
        // A restored count may be the smallest size, which has no predecessor.
        const Py_ssize_t highest = self->_stratum_n == PY_SSIZE_T_MIN ? PY_SSIZE_T_MIN : self->_stratum_n - 1;
        return raise(PyExc_AssertionError,
                     "Attempted to hop to a stratum %S whilst only strata up to %zd are allocated. Check that the "
                     "argument `n_stratum_hops` reflects the number of additional strata.",
                     value.get(), highest);
    }
    int32_t stratum;
    if (!int32_value(value.get(), stratum)) return nullptr;
    self->_person_stratum = stratum;
    if (stratum > INT16_MAX) return raise(PyExc_OverflowError, "value too large to convert to short");
    const Py_ssize_t slot = self->_person_stratum_hops_n;
    View<double, 1>& ages = self->_person_stratum_hops_ages;
    View<int16_t, 1>& strata = self->_person_stratum_hops_strata;
    if (strata.contains(slot) && ages.contains(slot)) [[likely]] {
        strata(slot) = static_cast<int16_t>(stratum);
        ages(slot) = self->age;
    } else {
        auto stratum_slot = strata.at(slot);
        if (!stratum_slot) return nullptr;
        *stratum_slot = static_cast<int16_t>(stratum);
        auto age_slot = ages.at(slot);
        if (!age_slot) return nullptr;
        *age_slot = self->age;
    }
    ++self->_person_stratum_hops_n;
    Py_RETURN_NONE;
}

// --- The event log -------------------------------------------------------------

PyObject* log_event(Individual* self, BoundArguments& args) {
    PyObject* tag = args[0];
    if (!check_argument_type(tag, &PyUnicode_Type, args.name(0))) return nullptr;
    Ref found = lookup_tag(self, self->_log_event_tags_idx, tag, "event");
    if (!found) return PyErr_Occurred() ? nullptr : Py_None;
    const Py_ssize_t position = PyLong_AsSsize_t(found.get());
    if (position == -1 && PyErr_Occurred()) return nullptr;

    const double age = self->age;
    const View<double, 1>& years = self->_log_event_years;
    const View<double, 1>& ages = self->_log_event_ages;
    const Py_ssize_t cell[5] = {self->_universe, credited_stratum(self, age), position,
                                bin_of(years, self->_person_birth + age), bin_of(ages, age)};
    View<uint32_t, 5>& counts = self->_log_events;
    if (!counts.contains(cell[0], cell[1], cell[2], cell[3], cell[4]) || !years.ready() || !ages.ready())
        [[unlikely]] {
        return refuse_cell("log_event", "event log", counts, years, ages, cell);
    }
    Element<uint32_t> count = counts(cell[0], cell[1], cell[2], cell[3], cell[4]);
    if (count == UINT32_MAX) [[unlikely]] {
        return raise(PyExc_OverflowError, "log_event(): the count of tag %U in its cell is already %lu, the "
                                          "largest that a cell holds", tag, static_cast<unsigned long>(UINT32_MAX));
    }
    if (self->_discounted.rates_n > 0) [[unlikely]] {
        if (!discounted_events_fit(self, "log_event")) return nullptr;
        discount_event(self, cell[1], position, cell[4], self->_person_birth + age);
    }
    self->_person_stratum = static_cast<int32_t>(cell[1]);
    const uint32_t before = count;
    count = before + 1;
    note_change(self, Aggregate::events, counts, before, cell[0], cell[1], cell[2], cell[3], cell[4]);
    if (self->_log_events_individual &&
        !call_own_method(self, args.module, log_event_individual_method,
                         module_state(args.module).names.log_event_individual, {tag})) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

// --- The duration log ----------------------------------------------------------

// An interval being walked through the duration grids: t the age and y the
// year reached, r the length still to credit, i and j the year and age bins
// of that point.
struct Walk {
    const View<double, 1>& years;
    const View<double, 1>& ages;
    double t, y, r;
    Py_ssize_t i, j;

    Walk(const Individual* self, double start, double end)
        : years(self->_log_duration_years),
          ages(self->_log_duration_ages),
          t(start),
          y(self->_person_birth + start),
          r(end - start),
          i(bin_of(years, y)),
          j(bin_of(ages, t)) {}

    // Distance to the upper edge of a bin, cut at the rest of the interval.
    // The last bin of a grid has no upper edge: an interval that runs past
    // the last grid value credits the rest of it to the last bin, as the bin
    // rule does for a single value.
    double to_edge(const View<double, 1>& grid, Py_ssize_t bin, double x) const noexcept {
        if (bin + 1 >= grid.extent(0)) return r;
        const double d = grid(bin) - x;
        return d > r ? r : d;
    }
    double to_year_edge() const noexcept { return to_edge(years, i, y); }
    double to_age_edge() const noexcept { return to_edge(ages, j, t); }
    void next_year_bin() noexcept { i += i + 1 < years.extent(0); }
    void next_age_bin() noexcept { j += j + 1 < ages.extent(0); }
    void move(double d) noexcept {
        t += d;
        y += d;
        r -= d;
    }
    // Each step moves a bin or a change on, or ends the walk; more steps than
    // that can only come from values no walk should meet.
    Py_ssize_t step_limit(Py_ssize_t changes) const noexcept {
        return years.extent(0) + ages.extent(0) + changes + 1;
    }
};

// Adds a piece of a duration to its cell.
void credit_duration(Individual* self, Py_ssize_t universe, Py_ssize_t stratum, Py_ssize_t tag, Py_ssize_t i,
                     Py_ssize_t j, double length) noexcept {
    const View<double, 5>& durations = self->_log_durations;
    Element<double> cell = durations(universe, stratum, tag, i, j);
    const double before = cell;
    cell = before + length;
    note_change(self, Aggregate::durations, durations, before, universe, stratum, tag, i, j);
}

// The first pieces of a walk, in order; complete() when they are all of it.
class WalkedPieces {
public:
    struct Piece {
        Py_ssize_t i, j;
        double year, length;
    };
    void add(Py_ssize_t i, Py_ssize_t j, double year, double length) noexcept {
        if (n_ < capacity) pieces_[n_] = {i, j, year, length};
        ++n_;
    }
    bool complete() const noexcept { return n_ <= capacity; }
    const Piece* begin() const noexcept { return pieces_; }
    const Piece* end() const noexcept { return pieces_ + std::min(n_, capacity); }

private:
    // A century of one-year ages by one-year calendar years, and then some.
    static constexpr Py_ssize_t capacity = 256;
    Piece pieces_[capacity];
    Py_ssize_t n_ = 0;
};

// The whole interval, credited to one stratum: credit(i, j, year, length)
// for each piece, from the calendar year it starts at. False when a NaN
// distance stops the walk.
template <class Credit>
bool walk_whole(Walk w, Credit&& credit) {
    for (Py_ssize_t steps = w.step_limit(0); w.r > 0; --steps) {
        const double h = w.to_year_edge(), l = w.to_age_edge();
        if (std::isnan(h) || std::isnan(l) || steps == 0) [[unlikely]]
            return false;
        if (l > h) {  // the year edge comes first
            credit(w.i, w.j, w.y, h);
            w.move(h);
            w.next_year_bin();
        } else if (h > l) {  // the age edge comes first
            credit(w.i, w.j, w.y, l);
            w.move(l);
            w.next_age_bin();
        } else {  // both at once
            credit(w.i, w.j, w.y, l);
            w.move(l);
            w.next_year_bin();
            w.next_age_bin();
        }
    }
    return true;
}

// The interval cut at the recorded stratum changes as well: credit(s, i, j,
// year, length) for each piece, which returns false to stop the walk. s
// starts as the stratum in force at the start and change k is the next one
// to meet.
template <class Credit>
bool walk_split(Walk w, const Individual* self, int32_t s, Py_ssize_t k, Credit&& credit) {
    const Py_ssize_t n = recorded_changes(self);
    for (Py_ssize_t steps = w.step_limit(n); w.r > 0; --steps) {
        const double L = w.to_year_edge(), M = w.to_age_edge();
        double N = w.r;  // past the last change: as if at +infinity
        if (k < n) {
            const double d = self->_person_stratum_hops_ages(k) - w.t;
            if (!(d > w.r)) N = d;
        }
        if (std::isnan(L) || std::isnan(M) || std::isnan(N) || steps == 0) [[unlikely]]
            return false;
        if (L >= N && M >= N) {  // the change comes first, or together with an edge
            if (!credit(s, w.i, w.j, w.y, N)) return false;
            if (k < n) s = self->_person_stratum_hops_strata(k++);
            if (L == N) w.next_year_bin();
            if (M == N) w.next_age_bin();
            w.move(N);
        } else if (M >= L && N >= L) {  // the year edge comes first
            if (!credit(s, w.i, w.j, w.y, L)) return false;
            w.next_year_bin();
            w.move(L);
        } else {  // the age edge comes first
            if (!credit(s, w.i, w.j, w.y, M)) return false;
            w.next_age_bin();
            w.move(M);
        }
    }
    return true;
}

std::nullptr_t refuse_nan(const char* method, const char* source, Py_ssize_t position) {
    return raise(PyExc_ValueError, "%s(): the %s holds NaN at position %zd; nothing was logged", method, source,
                 position);
}

// Why a walk could not be completed: the first NaN among the values it reads.
std::nullptr_t refuse_walk(const Individual* self, const char* method) {
    const struct {
        const View<double, 1>& values;
        Py_ssize_t n;
        const char* name;
    } sources[] = {
        {self->_log_duration_years, self->_log_duration_years.extent(0), "year grid of the duration log"},
        {self->_log_duration_ages, self->_log_duration_ages.extent(0), "age grid of the duration log"},
        {self->_person_stratum_hops_ages, recorded_changes(self), "hop record"},
    };
    for (const auto& source : sources) {
        for (Py_ssize_t i = 0; i < source.n; ++i) {
            if (std::isnan(source.values(i))) return refuse_nan(method, source.name, i);
        }
    }
    return raise(PyExc_ValueError, "%s(): the interval could not be walked through the duration grids", method);
}

// The cell indices of a duration that hold for the whole walk.
struct DurationCells {
    Py_ssize_t universe, tag;
};

// The duration tag's cells; none, with failed clear, for an unknown tag that
// is ignored.
std::optional<DurationCells> duration_cells(Individual* self, PyObject* tag, bool& failed) {
    Ref found = lookup_tag(self, self->_log_duration_tags_idx, tag, "duration");
    failed = !found && PyErr_Occurred();
    if (!found) return std::nullopt;
    const Py_ssize_t position = PyLong_AsSsize_t(found.get());
    failed = position == -1 && PyErr_Occurred();
    if (failed) return std::nullopt;
    return DurationCells{self->_universe, position};
}

// Whether every bin of both grids lies inside the array for this universe,
// stratum and tag; a clear error otherwise.
bool fits_duration_log(Individual* self, const char* method, const DurationCells& cells, Py_ssize_t stratum) {
    const View<double, 1>& years = self->_log_duration_years;
    const View<double, 1>& ages = self->_log_duration_ages;
    const Py_ssize_t last[5] = {cells.universe, stratum, cells.tag, years.extent(0) - 1, ages.extent(0) - 1};
    if (self->_log_durations.contains(last[0], last[1], last[2], last[3], last[4]) && years.ready() && ages.ready())
        [[likely]] {
        return true;
    }
    refuse_cell(method, "duration log", self->_log_durations, years, ages, last);
    return false;
}

bool duration_arguments(BoundArguments& args, double& start, double& end) {
    return check_argument_type(args[0], &PyUnicode_Type, args.name(0)) && float_argument(args[1], start) &&
           float_argument(args[2], end);
}

PyObject* log_duration_stratum_hops(Individual* self, BoundArguments& args) {
    constexpr const char* method = "_log_duration_stratum_hops";
    double start, end;
    bool failed;
    if (!duration_arguments(args, start, end)) return nullptr;
    const std::optional<DurationCells> cells = duration_cells(self, args[0], failed);
    if (!cells) return failed ? nullptr : Py_None;

    auto initial = self->_stratum.at(self->_person);
    if (!initial) return nullptr;
    const Replayed first = replay(self, start, *initial);
    if (const Py_ssize_t unplaced = first_unplaced_change(self, first.next_change); unplaced >= 0) {
        return refuse_nan(method, "hop record", unplaced);
    }
    if (!fits_duration_log(self, method, *cells, first.stratum)) return nullptr;
    // The end marker: the change after the last one lies at +infinity.
    const Py_ssize_t marker = self->_person_stratum_hops_n;
    if (self->_person_stratum_hops_ages.contains(marker)) self->_person_stratum_hops_ages(marker) = infinity;

    // The walk runs twice: once to test every stratum it meets and every
    // distance it computes, then to credit, so that a refused interval leaves
    // the log as it was.
    View<double, 5>& durations = self->_log_durations;
    const Walk walk(self, start, end);
    std::optional<int32_t> refused_stratum;
    const auto stratum_fits = [&](int32_t s) {
        if (s >= 0 && s < durations.extent(stratum_axis)) return true;
        refused_stratum = s;
        return false;
    };
    const bool discounting = self->_discounted.rates_n > 0;
    if (discounting && !discounted_durations_fit(self, method)) return nullptr;
    DiscountedPieces discounted(self, cells->tag);
    const auto dry = [&](int32_t s, Py_ssize_t, Py_ssize_t, double, double) { return stratum_fits(s); };
    bool walked = walk_split(walk, self, first.stratum, first.next_change, dry);
    // The strata are tested again as they are credited: a hop record that
    // shares memory with the log (a restored state may arrange that) changes
    // under the crediting walk.
    if (walked) {
        walked = walk_split(walk, self, first.stratum, first.next_change,
                            [&](int32_t s, Py_ssize_t i, Py_ssize_t j, double y, double d) {
                                if (!stratum_fits(s)) [[unlikely]]
                                    return false;
                                credit_duration(self, cells->universe, s, cells->tag, i, j, d);
                                if (discounting) discounted.add(s, j, y, d);
                                return true;
                            });
        if (walked) discounted.flush();
    }
    if (refused_stratum) {
        const Py_ssize_t cell[5] = {cells->universe, *refused_stratum, cells->tag, 0, 0};
        return refuse_cell(method, "duration log", durations, walk.years, walk.ages, cell);
    }
    if (!walked) return refuse_walk(self, method);
    Py_RETURN_NONE;
}

PyObject* log_duration(Individual* self, BoundArguments& args) {
    constexpr const char* method = "log_duration";
    double start, end;
    bool failed;
    if (!duration_arguments(args, start, end)) return nullptr;
    if (self->_stratum_hops_do && !self->_preserve_final) {
        Ref start_age = PyFloat_CheckExact(args[1]) ? Ref::borrow(args[1]) : Ref::steal(PyFloat_FromDouble(start));
        Ref end_age = PyFloat_CheckExact(args[2]) ? Ref::borrow(args[2]) : Ref::steal(PyFloat_FromDouble(end));
        if (!start_age || !end_age ||
            !call_own_method(self, args.module, log_duration_stratum_hops_method,
                             module_state(args.module).names.log_duration_stratum_hops,
                             {args[0], start_age.get(), end_age.get()}, true)) {
            return nullptr;
        }
        Py_RETURN_NONE;
    }
    const std::optional<DurationCells> cells = duration_cells(self, args[0], failed);
    if (!cells) return failed ? nullptr : Py_None;
    // Credited whole, as an event logged now would be.
    const int32_t stratum = credited_stratum(self, self->age);
    if (!fits_duration_log(self, method, *cells, stratum)) return nullptr;
    // Walked before anything is credited, as in the split walk: a NaN met
    // halfway must not leave half an interval credited. The pieces of a
    // walk of usual length are kept, so that it need not be walked again.
    const Walk walk(self, start, end);
    WalkedPieces pieces;
    if (!walk_whole(walk, [&](Py_ssize_t i, Py_ssize_t j, double y, double d) { pieces.add(i, j, y, d); })) {
        return refuse_walk(self, method);
    }
    const bool discounting = self->_discounted.rates_n > 0;
    if (discounting && !discounted_durations_fit(self, method)) return nullptr;
    DiscountedPieces discounted(self, cells->tag);
    const auto credit = [&](Py_ssize_t i, Py_ssize_t j, double y, double d) {
        credit_duration(self, cells->universe, stratum, cells->tag, i, j, d);
        if (discounting) discounted.add(stratum, j, y, d);
    };
    if (pieces.complete()) {
        for (const WalkedPieces::Piece& piece : pieces) credit(piece.i, piece.j, piece.year, piece.length);
    } else {
        walk_whole(walk, credit);
    }
    if (discounting) discounted.flush();
    Py_RETURN_NONE;
}

// _ongoing_durations, which a restored state may have replaced by None.
Ref ongoing_durations(Individual* self) {
    if (PyDict_CheckExact(self->_ongoing_durations)) [[likely]]
        return Ref::borrow(self->_ongoing_durations);
    return raise(PyExc_TypeError, "the ongoing durations are %.200s, not a dict",
                 Py_TYPE(self->_ongoing_durations)->tp_name);
}

PyObject* log_duration_start(Individual* self, BoundArguments& args) {
    PyObject* tag = args[0];
    std::optional<double> start_age;
    if (!check_argument_type(tag, &PyUnicode_Type, args.name(0)) ||
        (args[1] && !optional_float_argument(args[1], args.name(1), start_age))) {
        return nullptr;
    }
    Ref ongoing = ongoing_durations(self);
    if (!ongoing) return nullptr;
    if (module_state(args.module).assertions_enabled) {
        const int started = PyDict_Contains(ongoing.get(), tag);
        if (started < 0) return nullptr;
        if (started) return raise(PyExc_AssertionError, "Duration '%U' is already ongoing", tag);
    }
    Ref start = start_age ? Ref::borrow(args[1]) : Ref::steal(PyFloat_FromDouble(self->age));
    if (!start || PyDict_SetItem(ongoing.get(), tag, start.get()) < 0) return nullptr;
    Py_RETURN_NONE;
}

PyObject* log_duration_end(Individual* self, BoundArguments& args) {
    PyObject* tag = args[0];
    std::optional<double> end_age;
    if (!check_argument_type(tag, &PyUnicode_Type, args.name(0)) ||
        (args[1] && !optional_float_argument(args[1], args.name(1), end_age))) {
        return nullptr;
    }
    Ref ongoing = ongoing_durations(self);
    if (!ongoing) return nullptr;
    PyObject* removed;
    const int started = PyDict_Pop(ongoing.get(), tag, &removed);
    if (started < 0) return nullptr;
    if (started == 0) {
        return raise_during_key_error(
            PyExc_AssertionError, tag,
            Ref::steal(PyUnicode_FromFormat("Duration '%U' was not started before calling log_duration_end", tag)));
    }
    Ref start = Ref::steal(removed);
    Ref end = end_age ? Ref::borrow(args[1]) : Ref::steal(PyFloat_FromDouble(self->age));
    if (!end || !call_own_method(self, args.module, log_duration_method, module_state(args.module).names.log_duration,
                                 {tag, start.get(), end.get()})) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

PyObject* log_ongoing_durations(Individual* self, BoundArguments& args) {
    std::optional<double> end_age;
    PyObject* end = args[0] ? args[0] : Py_None;
    if (!optional_float_argument(end, args.name(0), end_age)) return nullptr;
    Ref ongoing = ongoing_durations(self);
    Ref tags = ongoing ? Ref::steal(PyDict_Keys(ongoing.get())) : Ref();
    if (!tags) return nullptr;
    PyObject* name = module_state(args.module).names.log_duration_end;
    for (Py_ssize_t k = 0; k < PyList_GET_SIZE(tags.get()); ++k) {
        Ref tag = Ref::borrow(PyList_GET_ITEM(tags.get(), k));
        if (!call_own_method(self, args.module, log_duration_end_method, name, {tag.get(), end})) return nullptr;
    }
    Py_RETURN_NONE;
}

// --- The individual-level log --------------------------------------------------

// Appends one new zero block to each of the five columns and makes them the
// current blocks. All or nothing: the columns must stay parallel, so a block
// that cannot be made leaves every column as it was.
bool append_blocks(Individual* self, PyObject* module) {
    const InternedNames& names = module_state(module).names;
    const NumPy np(module);
    const Py_ssize_t size = self->_log_event_individual_block_size;
    Ref blocks[5] = {np.zeros({size}, names.uint8), {}, {}, {}, {}};
    if (!blocks[0] || !(blocks[1] = np.zeros({size}, names.uint32)) || !(blocks[2] = np.zeros({size}, names.uint16)) ||
        !(blocks[3] = np.zeros({size}, names.float64)) || !(blocks[4] = np.zeros({size}, names.uint16))) {
        return false;
    }
    View<uint8_t, 1> universe{};
    View<uint32_t, 1> individual{};
    View<uint16_t, 1> element{};
    View<double, 1> age{};
    View<uint16_t, 1> tag{};
    const bool viewed = universe.assign(blocks[0].get()) && individual.assign(blocks[1].get()) &&
                        element.assign(blocks[2].get()) && age.assign(blocks[3].get()) && tag.assign(blocks[4].get());
    // Fields are read only now: creating the blocks and acquiring their
    // buffers may have run any code.
    PyObject* const lists[5] = {self->_log_event_individual_universe, self->_log_event_individual_individual,
                                self->_log_event_individual_element, self->_log_event_individual_age,
                                self->_log_event_individual_tag};
    bool columns = viewed;
    for (PyObject* list : lists) {
        if (columns && !PyList_CheckExact(list)) {
            raise(PyExc_TypeError, "a column of the individual log is %.200s, not a list", Py_TYPE(list)->tp_name);
            columns = false;
        }
    }
    Py_ssize_t appended = 0;
    if (columns) {
        while (appended < 5 && PyList_Append(lists[appended], blocks[appended].get()) == 0) ++appended;
    }
    if (appended == 5) {
        std::swap(self->_log_event_individual_universe_current_block, universe);
        std::swap(self->_log_event_individual_individual_current_block, individual);
        std::swap(self->_log_event_individual_element_current_block, element);
        std::swap(self->_log_event_individual_age_current_block, age);
        std::swap(self->_log_event_individual_tag_current_block, tag);
        self->_log_event_individual_entry_idx = 0;
    }
    for (Py_ssize_t k = 0; k < appended && appended < 5; ++k) {
        PyList_SetSlice(lists[k], PyList_GET_SIZE(lists[k]) - 1, PyList_GET_SIZE(lists[k]), nullptr);
    }
    // Last: releasing a buffer may run code of its exporter's.
    universe.release();
    individual.release();
    element.release();
    age.release();
    tag.release();
    return appended == 5;
}

// Whether an entry of the current life can be written: the universe and
// person columns are 8 and 32 bits wide, and a block must hold an entry.
bool entry_fits(const Individual* self) {
    if (self->_universe < 0) {
        raise(PyExc_RuntimeError, "log_event_individual() was called outside a life: call next_universe() first");
    } else if (self->_universe > UINT8_MAX) {
        raise(PyExc_OverflowError, "log_event_individual(): universe %d does not fit the universe column of the "
                                   "individual log, which holds 0 .. 255", self->_universe);
    } else if (self->_person < 0) {
        raise(PyExc_OverflowError, "log_event_individual(): person %d does not fit the person column of the "
                                   "individual log", self->_person);
    } else if (self->_log_event_individual_block_size < 1) {
        raise(PyExc_ValueError, "log_event_individual(): the individual log's block size is %zd; blocks must "
                                "hold at least one entry", self->_log_event_individual_block_size);
    } else {
        return true;
    }
    return false;
}

PyObject* log_event_individual(Individual* self, BoundArguments& args) {
    PyObject* tag = args[0];
    double age = -1.0;
    Ref element;
    if (!check_argument_type(tag, &PyUnicode_Type, args.name(0)) || (args[1] && !float_argument(args[1], age)) ||
        (args[2] && !(element = int_argument(args[2], args.name(2))))) {
        return nullptr;
    }
    Ref found = lookup_tag(self, self->_log_event_individual_tags_idx, tag, "individual event");
    if (!found) return PyErr_Occurred() ? nullptr : Py_None;
    uint16_t position;
    if (!unsigned_short_value(found.get(), position)) return nullptr;

    if (!entry_fits(self)) return nullptr;
    if (self->_log_event_individual_entry_idx == self->_log_event_individual_block_size) {
        // Making the blocks runs Python code, which may have changed the life.
        if (!append_blocks(self, args.module) || !entry_fits(self)) return nullptr;
    }

    const Py_ssize_t x = self->_log_event_individual_entry_idx;
    auto& universes = self->_log_event_individual_universe_current_block;
    auto& persons = self->_log_event_individual_individual_current_block;
    auto& elements = self->_log_event_individual_element_current_block;
    auto& ages = self->_log_event_individual_age_current_block;
    auto& tags = self->_log_event_individual_tag_current_block;
    uint16_t element_value = 0;
    const double entry_age = age == -1.0 ? self->age : age;
    if (universes.contains(x) && persons.contains(x) && elements.contains(x) && ages.contains(x) &&
        tags.contains(x)) [[likely]] {
        universes(x) = static_cast<uint8_t>(self->_universe);
        persons(x) = static_cast<uint32_t>(self->_person);
        if (element && !unsigned_short_value(element.get(), element_value)) return nullptr;
        elements(x) = element_value;
        ages(x) = entry_age;
        tags(x) = position;
    } else {
        // Slot by slot, bounds-tested, in the same order.
        auto universe_slot = universes.at(x);
        if (!universe_slot) return nullptr;
        *universe_slot = static_cast<uint8_t>(self->_universe);
        auto person_slot = persons.at(x);
        if (!person_slot) return nullptr;
        *person_slot = static_cast<uint32_t>(self->_person);
        if (element && !unsigned_short_value(element.get(), element_value)) return nullptr;
        auto element_slot = elements.at(x);
        if (!element_slot) return nullptr;
        *element_slot = element_value;
        auto age_slot = ages.at(x);
        if (!age_slot) return nullptr;
        *age_slot = entry_age;
        auto tag_slot = tags.at(x);
        if (!tag_slot) return nullptr;
        *tag_slot = position;
    }
    ++self->_log_event_individual_entry_idx;
    Py_RETURN_NONE;
}

}  // namespace

constinit const MethodSpec hop_stratum_method{
    {"hop_stratum", hop_parameters},
    "Change the stratum of the individual that is being simulated.\n"
    "\n"
    "        Events and durations are logged towards the new stratum from the current age\n"
    "        onwards. At most 256 changes of stratum can be recorded per individual.\n"
    "\n"
    "        :param stratum: The integer index of the stratum to switch to\n"
    "        ",
    hop_stratum};

constinit const MethodSpec log_event_method{
    {"log_event", tag_parameter},
    "Log an event at the current time.\n"
    "\n"
    "        The event is only logged if its tag is in the list of tags passed as 'event_tags' to\n"
    "        :meth:`~tavlen.Model.run`.\n"
    "\n"
    "        :param tag: The tag of the event.\n"
    "        :raises Exception: The simulation stops if a user-supplied tag doesn't correspond with\n"
    "            the list of event tags.\n"
    "        ",
    log_event};

constinit const MethodSpec log_duration_stratum_hops_method{
    {"_log_duration_stratum_hops", duration_parameters}, TAVLEN_DURATION_DOC, log_duration_stratum_hops};
constinit const MethodSpec log_duration_method{{"log_duration", duration_parameters}, TAVLEN_DURATION_DOC,
                                     log_duration};

constinit const MethodSpec log_duration_start_method{
    {"log_duration_start", duration_start_parameters},
    "Start logging a duration.\n"
    "\n"
    "        The duration is ended with :meth:`log_duration_end`. Durations that are still\n"
    "        ongoing at the end of the simulation are ended at the termination age.\n"
    "\n"
    "        :param tag: The tag of the duration.\n"
    "        :param start_age: The age at which the duration starts; None means the current\n"
    "            simulation age.\n"
    "        :raises AssertionError: A duration with this tag is already ongoing.\n"
    "        ",
    log_duration_start};

constinit const MethodSpec log_duration_end_method{
    {"log_duration_end", duration_end_parameters},
    "End logging an ongoing duration.\n"
    "\n"
    "        :param tag: The tag of the duration.\n"
    "        :param end_age: The age at which the duration ends; None means the current\n"
    "            simulation age.\n"
    "        :raises AssertionError: No duration with this tag was started.\n"
    "        ",
    log_duration_end};

constinit const MethodSpec log_ongoing_durations_method{
    {"log_ongoing_durations", ongoing_parameters},
    "End logging all ongoing durations.\n"
    "\n"
    "        :param end_age: The age at which the durations end; None means the current\n"
    "            simulation age.\n"
    "        ",
    log_ongoing_durations};

constinit const MethodSpec log_event_individual_method{
    {"log_event_individual", individual_parameters},
    "Log an event at the individual level.\n"
    "\n"
    "        Each entry requires 17 bytes of memory; taking some overhead into account, about\n"
    "        60 million entries fit in each GiB of available memory. The event is only logged if\n"
    "        its tag is in the list of tags passed as 'event_individual_tags' to\n"
    "        :meth:`~tavlen.Model.run`.\n"
    "\n"
    "        :param tag: The tag of the event.\n"
    "        :param age: The age at which the event takes place; defaults to the current age.\n"
    "        :param element: An integer identifying the element of the individual that the event\n"
    "            belongs to (for example one of several lesions), to distinguish events of\n"
    "            different elements.\n"
    "        :raises Exception: The simulation stops if a user-supplied tag doesn't correspond with\n"
    "            the list of individual tags.\n"
    "        ",
    log_event_individual};

}  // namespace tavlen
