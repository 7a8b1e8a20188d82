"""Every method with wrong argument counts, wrong types, NaN, infinities, huge
numbers and out-of-range positions: a clear Python exception (or, where such
a value is meaningful, a normal result), never a crash or a silent write
outside the object's arrays."""

import inspect
import math
import pathlib
import subprocess
import sys
import textwrap

import numpy as np
import pytest
from conftest import make

from tavlen.individual import Individual

NAN, INF = math.nan, math.inf
HUGE = 10**30

METHODS = [name for name, value in vars(Individual).items()
           if callable(value) and not name.startswith("__") or name in ("__reduce__", "__setstate__")]


@pytest.fixture
def life():
    individual = make(n_stratum_hops=2, log_events_individual=True,
                      snapshot_functions=[lambda ind: {"ill": 1}])
    individual.next_block(0, {"dose": np.array([0.5, 0.25, 0.125])}, {"onset": 1})
    individual.next_person()
    individual.next_universe()
    individual.age = 30.0
    return individual


def raises_clearly(exception, call):
    with pytest.raises(exception) as raised:
        call()
    assert not isinstance(raised.value, SystemError)
    assert str(raised.value), "the error says what went wrong"


@pytest.mark.parametrize("name", METHODS)
def test_wrong_counts_and_keywords(life, name):
    method = getattr(life, name)
    parameters = list(inspect.signature(method).parameters.values())
    positional = [p for p in parameters if p.kind is p.POSITIONAL_OR_KEYWORD]
    required = [p for p in positional if p.default is p.empty]
    raises_clearly(TypeError, lambda: method(*[1.0] * (len(positional) + 1)))
    if required:
        raises_clearly(TypeError, lambda: method(*[1.0] * (len(required) - 1)))
    if not any(p.kind is p.VAR_KEYWORD for p in parameters):
        raises_clearly(TypeError, lambda: method(*[1.0] * len(required), no_such_argument=1))


# Arguments that no parameter of their kind accepts.
WRONG_TYPES = {
    "str": [1, b"onset", None, ["onset"]],
    "int": ["1", None, [1], b"1"],
    "float": ["1.0", None, [1.0], {}],
    "dict": [[], None, "dict"],
}
# None stands for the current age here.
OPTIONAL_AGES = {("log_duration_start", "start_age"), ("log_duration_end", "end_age"),
                 ("log_ongoing_durations", "end_age")}
ANNOTATED = [
    (name, parameter, annotation.split("[")[0].lower(), value)
    for name in METHODS
    for parameter, annotation in getattr(getattr(Individual, name), "__annotations__", {}).items()
    if parameter != "return"
    for value in WRONG_TYPES.get(annotation.split("[")[0].lower(), [])
    if not (value is None and (name, parameter) in OPTIONAL_AGES)
]
VALID = {
    "next_block": dict(first_person=0, properties_tmp={}, random_seeds={}),
    "properties": dict(tag="height"), "properties_tmp": dict(tag="dose"),
    "hop_stratum": dict(stratum=1), "log_event": dict(tag="onset"),
    "_log_duration_stratum_hops": dict(tag="alive", start_age=1.0, end_age=2.0),
    "log_duration": dict(tag="alive", start_age=1.0, end_age=2.0),
    "log_duration_start": dict(tag="alive", start_age=31.0), "log_duration_end": dict(tag="ill", end_age=40.0),
    "log_ongoing_durations": dict(end_age=50.0), "log_event_individual": dict(tag="onset", age=1.0, element=1),
    "_snapshot_age": dict(age_next_event=40.0), "_snapshot_year": dict(age_next_event=40.0),
    "add_to_queue": dict(delta=1.0, message="m", priority=0, terminate=False),
    "add_to_queue_age": dict(age=31.0, message="m", priority=0, terminate=False),
    "add_to_queue_year": dict(year=2000.0, message="m", priority=0, terminate=False),
    "remove_from_queue": dict(idx=0), "remove_from_queue_message": dict(message="m"),
    "move_in_queue": dict(idx=0, delta=1.0), "move_in_queue_age": dict(idx=0, age=40.0),
    "move_in_queue_year": dict(idx=0, year=2000.0),
    "record_discounted": dict(rates=(0.03,), base_year=2000.0, events=np.zeros((1, 2, 3, 3, 4)),
                              durations=np.zeros((1, 2, 3, 2, 2))),
}


@pytest.mark.parametrize("name, parameter, kind, value", ANNOTATED,
                         ids=[f"{n}-{p}-{type(v).__name__}" for n, p, _, v in ANNOTATED])
def test_wrong_types(life, name, parameter, kind, value):
    life.log_duration_start("ill", 30.0)
    life.add_to_queue(1.0, "m")
    arguments = dict(VALID[name], **{parameter: value})
    raises_clearly(TypeError, lambda: getattr(life, name)(**arguments))


def add(life):
    return life.add_to_queue(5.0, "m")


# (call, what it must do): an exception class, or None where the value is
# meaningful and the call may work.
VALUES = {
    "priority beyond 64 bits, then moved": (
        lambda ind: ind.move_in_queue(ind.add_to_queue(1.0, "m", HUGE), 1.0), OverflowError),
    "nan delay": (lambda ind: ind.add_to_queue(NAN, "m"), AssertionError),
    "nan age": (lambda ind: ind.add_to_queue_age(NAN, "m"), AssertionError),
    "nan year": (lambda ind: ind.add_to_queue_year(NAN, "m"), AssertionError),
    "nan move": (lambda ind: ind.move_in_queue(add(ind), NAN), AssertionError),
    "nan priority": (lambda ind: ind.add_to_queue(1.0, "m", NAN), ValueError),
    "infinite priority": (lambda ind: ind.add_to_queue(1.0, "m", INF), OverflowError),
    "infinite delay": (lambda ind: (ind.add_to_queue(INF, "m"), ind.next_event()), None),
    "huge id removed": (lambda ind: ind.remove_from_queue(HUGE), None),
    "huge id moved": (lambda ind: ind.move_in_queue(HUGE, 1.0), KeyError),
    "nan id": (lambda ind: ind.remove_from_queue(NAN), ValueError),
    "huge stratum": (lambda ind: ind.hop_stratum(HUGE), AssertionError),
    "stratum beyond 32 bits": (lambda ind: ind.hop_stratum(2**40), AssertionError),
    "huge negative stratum": (lambda ind: ind.hop_stratum(-HUGE), ValueError),
    "stratum past the strata": (lambda ind: ind.hop_stratum(3), AssertionError),
    "negative stratum": (lambda ind: (ind.hop_stratum(-1), ind.log_event("onset"),
                                      ind.log_duration("alive", 0.0, 40.0)), None),
    "nan stratum": (lambda ind: ind.hop_stratum(NAN), ValueError),
    "infinite stratum": (lambda ind: ind.hop_stratum(INF), OverflowError),
    "257th stratum change": (lambda ind: [ind.hop_stratum(1) for _ in range(257)], IndexError),
    "huge element": (lambda ind: ind.log_event_individual("onset", 1.0, HUGE), OverflowError),
    "negative element": (lambda ind: ind.log_event_individual("onset", 1.0, -1), OverflowError),
    "nan element": (lambda ind: ind.log_event_individual("onset", 1.0, NAN), ValueError),
    "nan individual age": (lambda ind: ind.log_event_individual("onset", NAN), None),
    "nan duration": (lambda ind: ind.log_duration("alive", NAN, 40.0), None),
    "infinite duration": (lambda ind: ind.log_duration("alive", 0.0, INF), None),
    "duration from minus infinity": (lambda ind: ind.log_duration("alive", -INF, 1.0), None),
    "huge duration ages": (lambda ind: ind.log_duration("ill", -1e308, 1e308), None),
    "nan start": (lambda ind: (ind.log_duration_start("alive", NAN), ind.log_duration_end("alive")), None),
    "nan snapshot age": (lambda ind: ind._snapshot_age(NAN), None),
    "infinite snapshot year": (lambda ind: ind._snapshot_year(INF), None),
    "nan age attribute, then logging": (lambda ind: (setattr(ind, "age", NAN), ind.log_event("onset"),
                                                     ind.log_duration_end("ill")), None),
    "huge first person": (lambda ind: ind.next_block(HUGE, {}, {}), OverflowError),
    "first person beyond 32 bits": (lambda ind: ind.next_block(2**31 + 1, {}, {}), OverflowError),
    "nan first person": (lambda ind: ind.next_block(NAN, {}, {}), ValueError),
    "seed for no generator": (lambda ind: ind.next_block(0, {}, {"nowhere": 1}), KeyError),
    "property of a person past the population": (lambda ind: (ind.next_block(7, {}, {}), ind.next_person(),
                                                             ind.properties("height")), Exception),
    "more persons than the population": (lambda ind: [ind.next_person() for _ in range(4)], Exception),
    "more universes than the run": (lambda ind: [(ind.next_universe(), ind.log_event("onset"))
                                                 for _ in range(3)], Exception),
    "temporary property past the block": (lambda ind: (ind.next_person(), ind.next_person(), ind.next_person(),
                                                       ind.properties_tmp("dose")), Exception),
}


@pytest.mark.parametrize("call, outcome", VALUES.values(), ids=VALUES.keys())
def test_values(life, call, outcome):
    if outcome is None:
        try:
            call(life)
        except Exception as error:
            assert not isinstance(error, SystemError) and str(error)
    else:
        raises_clearly(outcome, lambda: call(life))


def test_logging_outside_a_life_is_refused():
    individual = make()
    individual.next_block(0, {}, {})
    individual.next_person()  # no universe yet: _universe is -1
    individual.age = 30.0
    for call in (lambda: individual.log_event("onset"), lambda: individual.log_duration("alive", 0.0, 5.0)):
        try:
            call()
        except Exception as error:
            assert not isinstance(error, SystemError) and str(error)
    assert individual.output_events()[-1].sum() == 0 and individual.output_durations()[-1].sum() == 0


def test_without_assertions_a_stratum_out_of_range_never_reaches_the_arrays():
    # Under -O the stratum bound of hop_stratum is not checked; the logging
    # must then refuse the stratum instead of writing outside its axis.
    script = textwrap.dedent("""
        import numpy as np
        from conftest import make
        individual = make(snapshot_functions=[lambda ind: {"ill": 1}])
        individual.next_block(0, {}, {})
        individual.next_person()
        individual.next_universe()
        refused = 0
        for stratum in (3, 70, -1, -300):
            for call in (lambda: individual.hop_stratum(stratum),
                         lambda: individual.log_event("onset"), lambda: individual.log_duration("alive", 0.0, 5.0),
                         lambda: individual._snapshot_age(50.0), lambda: individual._snapshot_year(80.0)):
                try:
                    call()
                except SystemError:
                    raise
                except Exception:
                    refused += 1
        outputs = (individual.output_events(), individual.output_durations(),
                   individual.output_snapshots_ages(), individual.output_snapshots_years())
        print(refused, sum(float(np.asarray(o, dtype=float).sum()) for o in outputs))
    """)
    done = subprocess.run([sys.executable, "-O", "-c", script], capture_output=True, text=True,
                          cwd=pathlib.Path(__file__).parent, timeout=120)
    assert done.returncode == 0, done.stderr
    refused, logged = done.stdout.split()
    assert int(refused) >= 16 and float(logged) == 0.0


CONSTRUCTIONS = {
    "reversed grid": dict(event_ages=np.array([np.inf, 30.0, 20.0, 10.0])[::-1]),
    "strided grid": dict(duration_ages=np.array([10.0, 0.0, 50.0, 0.0, np.inf])[::2]),
    "300 universes": dict(universes=[f"u{i}" for i in range(300)], log_events_individual=True),
    "odd snapshot ages": dict(snapshot_ages=[1e308, -1e308, NAN]),
    "odd births and strata": dict(properties={"__birth__": np.array([NAN, INF, -INF]),
                                              "__stratum__": np.array([32767, -32768, 0], dtype=np.int16)}),
    "huge stratum count": dict(n_stratum_hops=2**62),
    "negative stratum count": dict(n_stratum_hops=-5),
    "block size zero": dict(individual_block_size=0, log_events_individual=True),
    "negative block size": dict(individual_block_size=-1),
}


@pytest.mark.parametrize("arguments", CONSTRUCTIONS.values(), ids=CONSTRUCTIONS.keys())
def test_odd_configurations_are_refused_or_run(arguments):
    try:
        individual = make(**arguments)
    except (ValueError, TypeError, OverflowError, MemoryError) as error:
        assert str(error)
        return
    individual.next_block(0, {}, {})
    individual.next_person()
    for _ in range(3):  # one more universe than the run has
        for call in (individual.next_universe, lambda: individual.log_event("onset"),
                     lambda: individual.log_event_individual("onset"),
                     lambda: individual.log_duration("alive", 0.0, 30.0),
                     lambda: individual.add_to_queue(50.0, "m"), individual.next_event):
            try:
                call()
            except SystemError:
                raise
            except Exception as error:
                assert str(error)
    individual.output_events_individual()
