"""Importing tavlen.individual, the Individual type, its attributes and its
method objects."""

import gc
import importlib
import importlib.util
import inspect
import pydoc
import subprocess
import sys
import textwrap
import weakref

import numpy as np
import pytest

import tavlen
import tavlen.individual as module
from tavlen.individual import Individual

from conftest import make

METHODS = [
    "next_block", "next_person", "next_universe", "properties", "properties_tmp", "hop_stratum",
    "log_event", "_log_duration_stratum_hops", "log_duration", "log_duration_start",
    "log_duration_end", "log_ongoing_durations", "log_event_individual", "next_event",
    "_snapshot_age", "_snapshot_year", "add_to_queue", "add_to_queue_age", "add_to_queue_year",
    "remove_from_queue", "remove_from_queue_message", "move_in_queue", "move_in_queue_age",
    "move_in_queue_year", "output_events", "output_durations", "output_events_individual",
    "output_snapshots_ages", "output_snapshots_years",
]

DURATION = {"tag": "str", "start_age": "float", "end_age": "float"}
ADD = {"message": "str", "priority": "int", "terminate": "bool", "return": "int"}
ANNOTATIONS = {
    "next_block": {"first_person": "int", "properties_tmp": "Dict[str, np.ndarray]",
                   "random_seeds": "Dict[str, int]"},
    "properties": {"tag": "str"},
    "properties_tmp": {"tag": "str"},
    "log_event": {"tag": "str"},
    "hop_stratum": {"stratum": "int"},
    "_log_duration_stratum_hops": DURATION,
    "log_duration": DURATION,
    "log_duration_start": {"tag": "str", "start_age": "float"},
    "log_duration_end": {"tag": "str", "end_age": "float"},
    "log_ongoing_durations": {"end_age": "float"},
    "log_event_individual": {"tag": "str", "age": "float", "element": "int"},
    "_snapshot_age": {"age_next_event": "float"},
    "_snapshot_year": {"age_next_event": "float"},
    "add_to_queue": {"delta": "float", **ADD},
    "add_to_queue_age": {"age": "float", **ADD},
    "add_to_queue_year": {"year": "float", **ADD},
    "remove_from_queue": {"idx": "int"},
    "remove_from_queue_message": {"message": "str"},
    "move_in_queue": {"idx": "int", "delta": "float", "return": "int"},
    "move_in_queue_age": {"idx": "int", "age": "float", "return": "int"},
    "move_in_queue_year": {"idx": "int", "year": "float", "return": "int"},
}

SIGNATURES = {
    "next_block": "(first_person, properties_tmp, random_seeds)",
    "next_person": "()",
    "log_duration_start": "(tag, start_age=None)",
    "log_ongoing_durations": "(end_age=None)",
    "log_event_individual": "(tag, age=-1.0, element=0)",
    "add_to_queue": "(delta, message, priority=0, terminate=False, **kwargs)",
    "move_in_queue_year": "(idx, year)",
    "output_events": "()",
    "__setstate__": "(__pyx_state)",
}

WHOLE_DOCSTRINGS = {
    "next_block": "Increment block of people.",
    "next_person": "Increment current person.",
    "next_universe": "Increment universe.",
    "next_event": "Increment event.",
    "output_events": "Method to output events.",
    "output_durations": "Method to output durations.",
    "output_events_individual": "Method to output individual data.",
    "output_snapshots_ages": "Method to output age-specific snapshot data.",
    "output_snapshots_years": "Method to output yearly snapshot data.",
    "properties": "This method provides access to the properties of the current\n        individual.\n\n"
                  "        :param tag: The name of the property.\n"
                  "        :return: The 'tag' property of the current individual.\n        ",
    "properties_tmp": "This method provides access to the temporary properties of\n        the current individual.\n\n"
                      "        :param tag: The name of the property.\n"
                      "        :return: The 'tag' temporary property of the current individual.\n        ",
    "_snapshot_age": "Take a snapshot at the current age. Since snapshot functions are not allowed to modify\n"
                     "        the event queue, the snapshot is duplicated for all snapshot ages until the next event\n"
                     "        in the queue.\n\n"
                     "        :param age_next_event: The person's age at the next event in the queue.\n"
                     "        :raises Exception: The simulation stops if a user-supplied tag doesn't correspond with the\n"
                     "            list of snapshot tags from the processes or specified by the user in\n"
                     "            :meth:`~tavlen.Model.run`.\n        ",
}


def run_python(code, *flags):
    return subprocess.run([sys.executable, *flags, "-c", textwrap.dedent(code)],
                          capture_output=True, text=True, check=True).stdout


class TestImport:
    def test_namespace_in_binding_order(self):
        names = [n for n in vars(module) if n not in
                 {"__name__", "__doc__", "__package__", "__loader__", "__spec__", "__file__"}]
        assert names == ["heappop", "heappush", "Random", "Callable", "Dict", "List", "Optional",
                         "warnings", "np", "Individual", "__pyx_unpickle_Individual", "Philox",
                         "run_lives", "record_changes", "take_changes", "renew_population",
                         "add_cells"]
        import heapq, random, typing, warnings
        assert module.heappush is heapq.heappush and module.Random is random.Random
        assert module.Optional is typing.Optional and module.warnings is warnings
        assert module.np is np
        assert tavlen.Individual is Individual

    def test_docstring(self):
        assert module.__doc__ == "\nThis module contains the  :class:`~tavlen.Individual` class.\n"

    def test_reload_is_a_no_op(self):
        before = dict(vars(module))
        assert importlib.reload(module) is module
        assert module.Individual is before["Individual"]

    def test_second_module_object_is_refused(self):
        module_spec = importlib.util.find_spec("tavlen.individual")
        second = importlib.util.module_from_spec(module_spec)
        with pytest.raises(RuntimeError, match="^Module 'individual' has already been imported. "
                                               "Re-initialisation is not supported.$"):
            module_spec.loader.exec_module(second)

    def test_other_interpreter_is_refused(self):
        out = run_python("""
            import tavlen.individual, _interpreters
            interpreter = _interpreters.create(_interpreters.new_config("legacy"))
            failure = _interpreters.exec(interpreter, "import tavlen.individual")
            _interpreters.destroy(interpreter)
            print(failure.type.__name__, failure.msg)
        """)
        assert out.strip() == ("ImportError Interpreter change detected - this module can only be "
                               "loaded into one interpreter per process.")

    def test_failing_import_propagates(self):
        out = run_python("""
            import sys
            sys.modules["numpy"] = None
            try:
                import tavlen.individual
            except ImportError as error:
                print("ImportError")
        """)
        assert out.strip() == "ImportError"


class TestType:
    def test_names_and_docstring(self):
        assert Individual.__module__ == "tavlen.individual"
        assert Individual.__qualname__ == "Individual"
        assert Individual.__doc__.startswith("An Individual object is created for each run. This object is "
                                             "passed to\n    any :class:`~tavlen.Process` method call")
        assert Individual.__doc__.endswith(":meth:`log_event_individual`.\n    ")

    def test_constructor_signature(self):
        parameters = list(inspect.signature(Individual).parameters)
        assert len(parameters) == 19
        assert parameters[0] == "properties" and parameters[-1] == "verify_tags"

    def test_new_ignores_arguments_and_leaves_fields_empty(self):
        blank = Individual.__new__(Individual, 1, "two", three=3)
        assert blank.age == 0.0 and blank.year == 0.0
        assert blank.memory is None and blank.random is None
        with pytest.raises(AttributeError, match="^Memoryview is not initialized$"):
            blank.output_events()

    def test_no_instance_dict_or_weak_references(self, individual):
        with pytest.raises(AttributeError):
            individual.anything = 1
        with pytest.raises(TypeError):
            weakref.ref(individual)

    def test_type_is_immutable(self):
        with pytest.raises(TypeError):
            Individual.output_events = None

    def test_subclass(self):
        class Person(Individual):
            def log_event(self, tag):
                return "overridden"

        person = make(Person)
        person.extra = 1
        assert weakref.ref(person)() is person
        assert person.log_event("x") == "overridden"
        assert person.output_events().shape == (2, 3, 3, 2, 4)


class TestCollection:
    def test_traversal_visits_containers_but_not_str(self):
        individual = make(preserve_stratum="dynamic")
        referents = gc.get_referents(individual)
        assert individual.memory in referents and individual.random in referents
        assert all(not isinstance(r, str) for r in referents)
        assert sum(isinstance(r, (dict, list)) for r in referents) == 21

    def test_cycle_through_memory_is_collected(self):
        class Person(Individual):
            pass

        person = make(Person)
        person.memory["self"] = person
        alive = weakref.ref(person)
        del person
        gc.collect()
        assert alive() is None

    def test_arrays_are_released_with_a_collected_cycle(self):
        class Person(Individual):
            pass

        ages = np.array([10.0, np.inf])
        grid = weakref.ref(ages)
        person = make(Person, event_ages=ages)
        del ages
        person.memory["self"] = person
        del person
        gc.collect()
        assert grid() is None


class TestAttributes:
    def test_year_is_birth_plus_age_and_read_only(self, individual):
        individual.age = 12.5
        assert individual.year == -1.0 + 12.5
        with pytest.raises(AttributeError):
            individual.year = 2000.0
        with pytest.raises(AttributeError):
            del individual.year

    def test_age_conversions(self, individual):
        individual.age = 3
        assert individual.age == 3.0 and type(individual.age) is float

        class Years:
            def __float__(self):
                return 7.25

        individual.age = Years()
        assert individual.age == 7.25
        with pytest.raises(TypeError):
            individual.age = "7"
        assert individual.age == 7.25
        with pytest.raises(NotImplementedError, match="^__del__$"):
            del individual.age

    @pytest.mark.parametrize("name", ["memory", "random"])
    def test_dict_attributes(self, individual, name):
        value = {"a": 1}
        setattr(individual, name, value)
        assert getattr(individual, name) is value
        setattr(individual, name, None)
        assert getattr(individual, name) is None

        class Scratch(dict):
            pass

        with pytest.raises(TypeError, match="^Expected dict, got Scratch$"):
            setattr(individual, name, Scratch())
        with pytest.raises(TypeError, match="^Expected dict, got list$"):
            setattr(individual, name, [])
        assert getattr(individual, name) is None
        setattr(individual, name, value)
        delattr(individual, name)
        assert getattr(individual, name) is None


class TestMethodObjects:
    def test_declared_order(self):
        names = [n for n in vars(Individual) if n in METHODS]
        assert names == METHODS
        assert "__reduce__" in vars(Individual) and "__setstate__" in vars(Individual)

    @pytest.mark.parametrize("name", METHODS + ["__reduce__", "__setstate__"])
    def test_metadata(self, name):
        method = vars(Individual)[name]
        assert method.__name__ == name
        assert method.__qualname__ == f"Individual.{name}"
        assert method.__module__ == "tavlen.individual"
        assert method.__objclass__ is Individual
        assert method.__annotations__ == ANNOTATIONS.get(name, {})
        assert isinstance(method.__doc__, str) and method.__doc__
        signature = inspect.signature(method)
        assert list(signature.parameters)[0] == "self"
        bound = inspect.signature(getattr(make(), name))
        assert "self" not in bound.parameters

    @pytest.mark.parametrize("name, text", SIGNATURES.items())
    def test_signature_shows_parameters_and_defaults(self, name, text):
        assert str(inspect.signature(getattr(Individual.__new__(Individual), name))) == text

    @pytest.mark.parametrize("name, doc", WHOLE_DOCSTRINGS.items())
    def test_docstrings(self, name, doc):
        assert getattr(Individual, name).__doc__ == doc

    def test_first_lines_of_docstrings(self):
        first = {name: getattr(Individual, name).__doc__.split("\n")[0] for name in METHODS}
        assert first["add_to_queue"] == "Add an event to the queue at a time relative to the current time."
        assert first["add_to_queue_age"] == "Add an event to the queue at a specific age."
        assert first["add_to_queue_year"] == "Add an event to the queue at a specific date."
        assert first["move_in_queue"] == first["move_in_queue_age"] == \
            "Move an event that is on the queue to a different age."
        assert first["move_in_queue_year"] == "Move an event that is on the queue to a different date."
        assert first["remove_from_queue"] == "Remove an event from the queue."
        assert first["remove_from_queue_message"] == "Remove all events from the queue with a particular message."
        for name in ("add_to_queue", "add_to_queue_age", "add_to_queue_year"):
            assert "The unique id of the added event." in getattr(Individual, name).__doc__
        for name in ("move_in_queue", "move_in_queue_age", "move_in_queue_year"):
            assert "The unique id of the updated event." in getattr(Individual, name).__doc__
        assert first["log_event"] == "Log an event at the current time."
        assert first["log_duration"] == first["_log_duration_stratum_hops"] == "Log a duration."
        assert first["log_event_individual"] == "Log an event at the individual level."
        assert getattr(Individual, "_snapshot_year").__doc__ == getattr(Individual, "_snapshot_age").__doc__ \
            .replace("at the current age", "at the current year").replace("snapshot ages", "snapshot years")

    def test_help_shows_signatures(self):
        text = pydoc.render_doc(Individual, renderer=pydoc.plaintext)
        assert "add_to_queue(self, /, delta, message, priority=0, terminate=False, **kwargs)" in text
        assert "Method to output durations." in text

    def test_binding(self, individual):
        bound = individual.output_events
        assert bound.__self__ is individual and bound.__func__ is vars(Individual)["output_events"]
        assert np.shares_memory(Individual.output_events(individual), bound())
        assert vars(Individual)["output_events"].__get__(None, Individual) is vars(Individual)["output_events"]

    def test_wrong_or_missing_self(self):
        with pytest.raises(TypeError, match="needs an argument"):
            Individual.output_events()
        with pytest.raises(TypeError, match="doesn't apply to a 'int' object"):
            Individual.output_events(1)

    def test_methods_bind_their_arguments_first(self, individual):
        with pytest.raises(TypeError, match=r"^next_person\(\) takes exactly 0 positional arguments \(1 given\)$"):
            individual.next_person(1)


def test_assertion_switch_is_read_at_import():
    # Importing under -O must work; the switch itself is exercised by the
    # methods whose preconditions are assertions.
    assert run_python("import tavlen.individual; print('ok')", "-O").strip() == "ok"
