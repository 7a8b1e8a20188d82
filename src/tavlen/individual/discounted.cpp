// Discounted recording: every logged event weighed (1 + r)^-(t - B) at its
// exact calendar time t, and every piece of a logged duration integrated in
// closed form over its exact interval, for each rate r, from the base year B
// on (nothing before B counts). The logs call in with the cells they credit,
// so the discounted arrays keep the logs' universe, stratum, tag and age bin
// and need no year axis.
#include "methods.hpp"
#include "module.hpp"

#include <cmath>
#include <utility>

namespace tavlen {
namespace {

constexpr Parameter record_parameters[] = {
    {"rates", "tuple"}, {"base_year", "float"}, {"events", "numpy.ndarray | None"},
    {"durations", "numpy.ndarray | None"}};

// Whether a discounted array follows its log: its rate axis holds the rates
// and its other axes are the log's universe, stratum, tag and age axes.
bool follows(const View<double, 5>& discounted, const BufferView& log, int32_t rates_n, const char* method,
             const char* kind) {
    if (!discounted.ready() || !log.ready()) return false;
    const Py_ssize_t expected[5] = {rates_n, log.extent(0), log.extent(1), log.extent(2), log.extent(4)};
    for (int axis = 0; axis < 5; ++axis) {
        if (discounted.extent(axis) != expected[axis]) {
            raise(PyExc_ValueError,
                  "%s(): the discounted %s array has shape (%zd, %zd, %zd, %zd, %zd); the rates and the %s log "
                  "give (%zd, %zd, %zd, %zd, %zd)",
                  method, kind, discounted.extent(0), discounted.extent(1), discounted.extent(2),
                  discounted.extent(3), discounted.extent(4), kind, expected[0], expected[1], expected[2],
                  expected[3], expected[4]);
            return false;
        }
    }
    return true;
}

// The rates as continuous rates log1p(r): finite, 0 or more, at most
// max_discount_rates of them.
bool continuous_rates(PyObject* rates, double (&deltas)[max_discount_rates], int32_t& rates_n) {
    const Py_ssize_t n = PyTuple_GET_SIZE(rates);
    if (n > max_discount_rates) {
        raise(PyExc_ValueError, "record_discounted(): at most %d discount rates, got %zd", max_discount_rates, n);
        return false;
    }
    for (Py_ssize_t k = 0; k < n; ++k) {
        double rate;
        if (!float_argument(PyTuple_GET_ITEM(rates, k), rate)) return false;
        if (!(rate >= 0.0 && std::isfinite(rate))) {
            raise(PyExc_ValueError, "record_discounted(): a discount rate is a finite number of 0 or more, got %R",
                  PyTuple_GET_ITEM(rates, k));
            return false;
        }
        deltas[k] = std::log1p(rate);
    }
    rates_n = static_cast<int32_t>(n);
    return true;
}

PyObject* record_discounted(Individual* self, BoundArguments& args) {
    constexpr const char* method = "record_discounted";
    double base_year;
    if (!check_argument_type(args[0], &PyTuple_Type, args.name(0)) || !float_argument(args[1], base_year)) {
        return nullptr;
    }
    if (!std::isfinite(base_year)) {
        return raise(PyExc_ValueError, "record_discounted(): the base year must be finite, got %R", args[1]);
    }
    DiscountedLogs next{};
    if (!continuous_rates(args[0], next.deltas, next.rates_n)) return nullptr;
    next.base_year = base_year;
    if (next.rates_n == 0) {
        release_discounted(self);
        Py_RETURN_NONE;
    }
    // Acquired into the new views first: a refused array leaves the
    // Individual recording as it did.
    if (!next.events.assign(args[2]) || !next.durations.assign(args[3]) ||
        !follows(next.events, self->_log_events, next.rates_n, method, "event") ||
        !follows(next.durations, self->_log_durations, next.rates_n, method, "duration")) {
        next.events.release();
        next.durations.release();
        return nullptr;
    }
    // The views move into the Individual; the old ones are let go last, as
    // releasing a buffer may run its exporter's code.
    std::swap(self->_discounted, next);
    next.events.release();
    next.durations.release();
    Py_RETURN_NONE;
}

}  // namespace

bool discounted_events_fit(const Individual* self, const char* method) {
    return follows(self->_discounted.events, self->_log_events, self->_discounted.rates_n, method, "event");
}

bool discounted_durations_fit(const Individual* self, const char* method) {
    return follows(self->_discounted.durations, self->_log_durations, self->_discounted.rates_n, method, "duration");
}

namespace {

void add_discounted(Individual* self, const View<double, 5>& array, Aggregate which, int32_t rate,
                    Py_ssize_t stratum, Py_ssize_t tag, Py_ssize_t age_bin, double amount) noexcept {
    Element<double> cell = array(rate, self->_universe, stratum, tag, age_bin);
    const double before = cell;
    cell = before + amount;
    note_change(self, which, array, before, rate, self->_universe, stratum, tag, age_bin);
}

}  // namespace

void discount_event(Individual* self, Py_ssize_t stratum, Py_ssize_t tag, Py_ssize_t age_bin, double year) noexcept {
    const DiscountedLogs& d = self->_discounted;
    const double elapsed = year - d.base_year;
    if (!(elapsed >= 0.0)) return;  // before the base year
    for (int32_t r = 0; r < d.rates_n; ++r) {
        add_discounted(self, d.events, Aggregate::discounted_events, r, stratum, tag, age_bin,
                       std::exp(-d.deltas[r] * elapsed));
    }
}

// The integral of exp(-delta (t - B)) over the piece [year, year + length],
// cut at B: f (1 - exp(-delta span)) / delta, with f = exp(-delta a) the
// factor at its start a = year - B and expm1 keeping short pieces and small
// rates exact; span itself at delta = 0. The factor at its end, f exp(-delta
// span), is carried to the next piece of the walk, which starts there.
void discount_piece(Individual* self, Py_ssize_t stratum, Py_ssize_t tag, Py_ssize_t age_bin, double year,
                    double length, DiscountCarry& carry) noexcept {
    const DiscountedLogs& d = self->_discounted;
    double from = year - d.base_year;
    const double to = from + length;
    if (!(to > 0.0)) return;  // wholly before the base year
    if (from < 0.0) {
        from = 0.0;
        carry.known = false;
    }
    const double span = to - from;
    for (int32_t r = 0; r < d.rates_n; ++r) {
        const double delta = d.deltas[r];
        if (delta == 0.0) {
            add_discounted(self, d.durations, Aggregate::discounted_durations, r, stratum, tag, age_bin, span);
            continue;
        }
        const double start = carry.known ? carry.factors[r] : std::exp(-delta * from);
        const double decay = std::expm1(-delta * span);
        add_discounted(self, d.durations, Aggregate::discounted_durations, r, stratum, tag, age_bin,
                       start * -decay / delta);
        carry.factors[r] = start + start * decay;
    }
    carry.known = true;
}

void release_discounted(Individual* self) noexcept {
    DiscountedLogs& d = self->_discounted;
    d.rates_n = 0;
    d.events.release();
    d.durations.release();
}

constinit const MethodSpec record_discounted_method{
    {"record_discounted", record_parameters},
    "Record events and durations discounted at their exact calendar time.\n"
    "\n"
    "        From now on every logged event adds (1 + r) ** -(t - base_year) at its calendar\n"
    "        time t, and every logged duration the integral of that weight over its interval,\n"
    "        to the cell of its universe, stratum, tag and age bin, for each rate r; nothing\n"
    "        before base_year counts. The arrays are float64, shaped (rate, universe, stratum,\n"
    "        tag, age bin) like the event and the duration log without their year axis, and\n"
    "        are added to in place. An empty tuple of rates stops the recording (the arrays\n"
    "        may then be None). An Individual that records discounted figures cannot be\n"
    "        copied or pickled.\n"
    "\n"
    "        :param rates: The annual discount rates, each 0 or more.\n"
    "        :param base_year: The calendar year from which costs and effects count.\n"
    "        :param events: The discounted event counts, added to in place.\n"
    "        :param durations: The discounted durations in years, added to in place.\n"
    "        ",
    record_discounted};

}  // namespace tavlen
