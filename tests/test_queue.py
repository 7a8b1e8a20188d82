"""The event queue of a life: scheduling, removal, moves and taking events."""

import heapq
import math
import os
import random
import subprocess
import sys
import textwrap

import pytest

import tavlen.individual as module
from tavlen.individual import Individual

from conftest import field, make, state_with


def alive(individual, age=0.0):
    """An individual at the start of its first life, at the given age."""
    individual.next_block(0, {}, {})
    individual.next_person()
    individual.next_universe()
    individual.age = age
    return individual


@pytest.fixture
def life():
    # Birth year 1950.0; no snapshot is due before age 100.
    return alive(make(snapshot_ages=[100.0], snapshot_years=[2100.0]))


def drain(individual):
    taken = []
    while True:
        try:
            taken.append(individual.next_event())
        except RuntimeError as error:
            assert str(error) == "Event queue empty. Consider including an OC process."
            return taken


def messages(records):
    return [record[2] for record in records]


class TestOrder:
    def test_due_age_then_higher_priority_then_first_scheduled(self, life):
        life.add_to_queue(2.0, "late")
        life.add_to_queue(1.0, "low", 0)
        life.add_to_queue(1.0, "high 1", 5)
        life.add_to_queue(1.0, "high 2", 5)
        life.add_to_queue(1.0, "negative", -1)
        life.add_to_queue(1.0, "low 2")
        assert messages(drain(life)) == ["high 1", "high 2", "low", "low 2", "negative", "late"]
        assert life.age == 2.0

    def test_records_and_entries(self, life):
        assert life.add_to_queue(1.5, "a", 2.9, 1, colour="red") == 0
        assert life.add_to_queue_age(3, "b", priority=True) == 1
        assert field(life, "_events") == {0: (1.5, 2, "a", True, {"colour": "red"}),
                                          1: (3.0, 1, "b", False, {})}
        assert sorted(field(life, "_queue")) == [(1.5, -2, 0), (3.0, -1, 1)]
        record = field(life, "_events")[0]
        assert [type(item) for item in record] == [float, int, str, bool, dict]
        assert life.next_event() is record

    def test_kwargs_is_a_new_dict_handed_back_itself(self, life):
        life.add_to_queue(1.0, "a", x=1)
        life.add_to_queue(1.0, "b")
        life.add_to_queue(1.0, "c")
        first, second, third = drain(life)
        assert first[4] == {"x": 1} and second[4] == {} and third[4] == {}
        assert second[4] is not third[4]

    def test_big_priorities_keep_python_int_order(self, life):
        for priority in (2**70, -2**70, 2**40, 0):
            life.add_to_queue(1.0, str(priority), priority)
        assert messages(drain(life)) == [str(2**70), str(2**40), "0", str(-2**70)]

    def test_heap_layout_matches_heapq(self, life):
        rng = random.Random(5)
        shadow, live = [], set()
        for _ in range(400):
            draw = rng.random()
            if draw < 0.2 and live:
                taken = life.next_event()
                entry = heapq.heappop(shadow)
                while entry[2] not in live:  # stale entries are dropped on the way
                    entry = heapq.heappop(shadow)
                live.remove(entry[2])
                assert taken[0] == entry[0]
            elif draw < 0.3 and live:
                idx = rng.choice(sorted(live))
                life.remove_from_queue(idx)
                live.remove(idx)
            else:
                due = rng.choice([life.age, life.age + 1.0, life.age + rng.random() * 10])
                priority = rng.randint(-3, 3)
                idx = life.add_to_queue_age(due, "m", priority)
                heapq.heappush(shadow, (due, -priority, idx))
                live.add(idx)
            assert field(life, "_queue") == shadow

    def test_foreign_entries_are_compared_as_python_compares_them(self, life):
        class Late:
            def __lt__(self, other):
                return False

            def __gt__(self, other):
                return True

        foreign = [(5, 0, 10), (2.0, Late(), 11), (1, 0, 12), (0.5, 0, 13)]
        shadow = list(foreign)
        heapq.heapify(shadow)
        life.__setstate__(state_with(life, _queue=list(shadow), _event_idx=20,
                                     _events={k: (1.0, 0, str(k), False, {}) for k in (10, 11, 12, 13)}))
        for due in (0.7, 2.0, 1.0):
            idx = life.add_to_queue_age(due, "m")
            heapq.heappush(shadow, (due, 0, idx))
        assert field(life, "_queue") == shadow
        life.next_event()
        heapq.heappop(shadow)
        assert field(life, "_queue") == shadow

    def test_a_comparison_that_grows_the_heap_is_reported(self, life):
        class Growing:
            def __gt__(self, other):
                heap.append(Growing())
                return True

        heap = [Growing()]
        life.__setstate__(state_with(life, _queue=heap))
        with pytest.raises(RuntimeError, match="list changed size during iteration"):
            life.add_to_queue(1.0, "m")
        shadow = [Growing()]
        heap = shadow
        with pytest.raises(RuntimeError, match="list changed size during iteration"):
            heapq.heappush(shadow, (1.0, 0, 0))

    def test_rebinding_heappush_and_heappop_takes_effect(self, life, monkeypatch):
        calls = []

        def push(heap, item):
            calls.append(("push", item))
            heapq.heappush(heap, item)

        def pop(heap):
            calls.append(("pop",))
            return heapq.heappop(heap)

        monkeypatch.setattr(module, "heappush", push)
        life.add_to_queue(1.0, "a")
        monkeypatch.setattr(module, "heappop", pop)
        life.add_to_queue(0.5, "b")
        assert life.next_event()[2] == "b"
        assert calls == [("push", (1.0, 0, 0)), ("push", (0.5, 0, 1)), ("pop",)]
        monkeypatch.undo()
        assert life.next_event()[2] == "a"
        assert len(calls) == 3
        monkeypatch.delattr(module, "heappush")
        with pytest.raises(NameError, match="heappush"):
            life.add_to_queue(1.0, "a")


    @pytest.mark.parametrize("rebind", [
        lambda namespace, pop: namespace.__setitem__("heappop", pop),
        lambda namespace, pop: namespace.__setitem__(type("Name", (str,), {})("heappop"), pop),
        lambda namespace, pop: namespace.update(heappop=pop),
    ])
    def test_every_way_of_rebinding_heappop_is_seen(self, life, rebind):
        namespace, original = vars(module), module.heappop
        popped = []
        try:
            life.add_to_queue(1.0, "a")
            rebind(namespace, lambda heap: popped.append(1) or heapq.heappop(heap))
            assert life.next_event()[2] == "a" and popped == [1]
        finally:
            namespace["heappop"] = original
        life.add_to_queue(1.0, "b")
        assert life.next_event()[2] == "b" and popped == [1]


class TestScheduling:
    def test_due_age_of_each_method(self, life):
        life.age = 40.0
        life.add_to_queue(2.5, "relative")
        life.add_to_queue_age(41.0, "age")
        life.add_to_queue_year(1950.0 + 49.5, "year")
        assert [record[0] for record in drain(life)] == [41.0, 42.5, 49.5]

    @pytest.mark.parametrize("call", [
        lambda i: i.add_to_queue(0, "now"),
        lambda i: i.add_to_queue_age(40.0, "now"),
        lambda i: i.add_to_queue_year(1990.0, "now"),
    ])
    def test_now_is_not_the_past(self, life, call):
        life.age = 40.0
        call(life)
        assert life.next_event()[0] == 40.0

    @pytest.mark.parametrize("call", [
        lambda i: i.add_to_queue(-0.1, "past"),
        lambda i: i.add_to_queue(-1e-20, "past"),  # negative, though 40 - 1e-20 rounds to 40
        lambda i: i.add_to_queue(math.nan, "nan"),
        lambda i: i.add_to_queue_age(39.9, "past"),
        lambda i: i.add_to_queue_year(1989.5, "past"),
    ])
    def test_the_past_is_refused_and_uses_no_id(self, life, call):
        life.age = 40.0
        with pytest.raises(AssertionError, match="^Event should take place in the future$"):
            call(life)
        assert field(life, "_events") == {} and field(life, "_queue") == []
        assert life.add_to_queue(1.0, "next") == 0

    @pytest.mark.parametrize("call, error, message", [
        (lambda i: i.add_to_queue("1", "m"), TypeError, "must be real number"),
        (lambda i: i.add_to_queue(1, b"m"), TypeError, r"Argument 'message' has incorrect type \(expected str, got bytes\)"),
        (lambda i: i.add_to_queue(1, type("S", (str,), {})("m")), TypeError, "expected str, got S"),
        (lambda i: i.add_to_queue(1, "m", "1"), TypeError, r"Argument 'priority' has incorrect type \(expected int, got str\)"),
        (lambda i: i.add_to_queue_age(1, "m", age=2), TypeError, "multiple values for keyword argument 'age'"),
        (lambda i: i.add_to_queue(1, "m", terminate=type("B", (), {"__bool__": lambda s: 1 / 0})()),
         ZeroDivisionError, "division by zero"),
    ])
    def test_bad_arguments_change_nothing(self, life, call, error, message):
        with pytest.raises(error, match=message):
            call(life)
        assert field(life, "_events") == {} and field(life, "_event_idx") == -1

    @pytest.mark.parametrize("call, due", [
        (lambda i, flag: i.add_to_queue(1.0, "m", terminate=flag), 11.0),
        (lambda i, flag: i.add_to_queue_age(5.0, "m", priority=flag), None),
        (lambda i, flag: i.add_to_queue_year(1955.0, "m", terminate=flag), None),
    ])
    def test_due_age_is_worked_out_after_the_conversions(self, life, call, due):
        class Converting:
            """Converting it moves the life on to age 10."""

            def __bool__(self):
                life.age = 10.0
                return True

            def __index__(self):
                return int(self.__bool__())

        if due is None:
            with pytest.raises(AssertionError):
                call(life, Converting())
        else:
            call(life, Converting())
            assert life.next_event()[0] == due

    def test_ids_are_per_life(self, life):
        assert [life.add_to_queue(1.0, "m") for _ in range(3)] == [0, 1, 2]
        life.remove_from_queue(2)
        assert life.add_to_queue(1.0, "m") == 3
        life.next_universe()
        assert life.add_to_queue(1.0, "m") == 0

    def test_ids_do_not_wrap(self, life):
        life.__setstate__(state_with(life, _event_idx=2**31 - 2))
        assert life.add_to_queue(1.0, "m") == 2**31 - 1
        with pytest.raises(OverflowError, match="no event id is left"):
            life.add_to_queue(1.0, "m")
        assert len(field(life, "_events")) == 1

    @pytest.mark.parametrize("changes, message", [
        ({"_queue": None}, "_queue must be a list, not NoneType"),
        ({"_events": None}, "_events must be a dict, not NoneType"),
    ])
    def test_restored_containers_are_checked(self, life, changes, message):
        life.__setstate__(state_with(life, **changes))
        for call in (lambda: life.add_to_queue(1.0, "m"), life.next_event):
            with pytest.raises(TypeError, match=message):
                call()
        if "_events" in changes:
            for call in (lambda: life.remove_from_queue(0), lambda: life.remove_from_queue_message("m"),
                         lambda: life.move_in_queue(0, 1.0)):
                with pytest.raises(TypeError, match=message):
                    call()


class TestRemoval:
    def test_remove_leaves_a_stale_entry(self, life):
        life.add_to_queue(1.0, "a")
        life.add_to_queue(2.0, "b")
        life.remove_from_queue(0)
        life.remove_from_queue(0)
        life.remove_from_queue(99)
        life.remove_from_queue(0.7)  # converted to 0
        assert len(field(life, "_queue")) == 2
        assert messages(drain(life)) == ["b"]
        life.remove_from_queue(1)

    def test_remove_by_message(self, life):
        for message in ("a", "b", "a", "c"):
            life.add_to_queue(1.0, message)
        life.remove_from_queue_message("a")
        life.remove_from_queue_message("zzz")
        assert list(field(life, "_events")) == [1, 3]
        assert len(field(life, "_queue")) == 4
        life.remove_from_queue_message("b")
        life.remove_from_queue_message("c")
        age = life.age
        assert drain(life) == [] and field(life, "_queue") == []
        assert life.age == age

    def test_remove_by_message_compares_with_eq(self, life):
        class Anything(str):
            def __eq__(self, other):
                return True

            __hash__ = str.__hash__

        life.add_to_queue(1.0, "a")
        life.__setstate__(state_with(life, _events={0: (1.0, 0, Anything("x"), False, {}), 5: (1.0, 0, "y", False, {})}))
        life.remove_from_queue_message("a")
        assert list(field(life, "_events")) == [5]


class TestMoves:
    def test_move_gives_a_new_id_and_ranks_after_its_peers(self, life):
        life.add_to_queue(1.0, "moved")
        life.add_to_queue(1.0, "other")
        assert life.move_in_queue(0, 0.0) == 2
        with pytest.raises(KeyError) as raised:
            life.move_in_queue(0, 0.0)
        assert raised.value.args == (0,)
        assert messages(drain(life)) == ["other", "moved"]

    def test_move_relative_to_the_scheduled_due_age(self, life):
        life.age = 10.0
        life.add_to_queue(5.0, "m", 3, True, colour="red")
        life.age = 12.0
        idx = life.move_in_queue(0, -2.5)
        assert field(life, "_events") == {idx: (12.5, 3, "m", True, {"colour": "red"})}
        idx = life.move_in_queue_age(idx, 20)
        idx = life.move_in_queue_year(idx, 1950.0 + 30.5)
        assert field(life, "_events") == {idx: (30.5, 3, "m", True, {"colour": "red"})}
        assert field(life, "_events")[idx][4] is not None

    @pytest.mark.parametrize("schedule, move, error, message", [
        # a due age in the past
        (lambda i: i.add_to_queue_year(1950.0 + 49.5, "m"), lambda i, k: i.move_in_queue_year(k, 1950.0 + 39.5),
         AssertionError, "Event should take place in the future"),
        # a priority that int32 cannot carry
        (lambda i: i.add_to_queue(1.0, "m", 2**40), lambda i, k: i.move_in_queue(k, 1.0),
         OverflowError, "value too large to convert to int"),
        # a keyword named like add_to_queue_age's own argument
        (lambda i: i.add_to_queue(1.0, "m", age=3), lambda i, k: i.move_in_queue(k, 1.0),
         TypeError, "multiple values for keyword argument 'age'"),
    ])
    def test_a_failed_move_keeps_the_event(self, life, schedule, move, error, message):
        life.age = 40.0
        idx = schedule(life)
        record = field(life, "_events")[idx]
        with pytest.raises(error, match=message):
            move(life, idx)
        assert field(life, "_events") == {idx: record}
        assert field(life, "_event_idx") == idx
        assert drain(life) == [record]

    def test_moves_go_through_the_object(self, life):
        calls = []

        class Traced(Individual):
            def add_to_queue_age(self, age, message, priority=0, terminate=False, **kwargs):
                calls.append((age, message, priority, terminate, kwargs))
                return super().add_to_queue_age(age, message, priority, terminate, **kwargs)

        traced = alive(make(Traced, snapshot_ages=[100.0]))
        traced.add_to_queue(1.0, "a", 2, True, x=1)
        traced.add_to_queue(1.0, "b")
        traced.move_in_queue(0, 1.0)
        traced.move_in_queue_age(1, 3.0)
        assert calls == [(2.0, "a", 2, True, {"x": 1}), (3.0, "b", 0, False, {})]

    def test_a_malformed_restored_record_is_put_back(self, life):
        life.__setstate__(state_with(life, _events={0: (1.0, 0, "m")}))
        with pytest.raises(ValueError, match="not enough values to unpack"):
            life.move_in_queue(0, 1.0)
        assert field(life, "_events") == {0: (1.0, 0, "m")}


class TestNextEvent:
    def test_snapshots_are_taken_first_through_the_object(self):
        calls = []

        class Traced(Individual):
            def _snapshot_age(self, age_next_event):
                calls.append(("age", age_next_event, self.age))
                self.age = -5.0
                self.__setstate__(state_with(self, _snapshot_next_age=math.inf, _snapshot_next_age_years=7.0))

            def _snapshot_year(self, age_next_event):
                calls.append(("year", age_next_event, self.age))
                self.__setstate__(state_with(self, _snapshot_next_age_years=math.inf))

        individual = alive(make(Traced, snapshot_ages=[5.0], snapshot_years=[1950.0 + 9.0]), age=1.0)
        individual.add_to_queue_age(5.0, "at the snapshot age")
        individual.add_to_queue_age(8.0, "beyond")
        assert individual.next_event()[2] == "at the snapshot age" and calls == []
        individual.next_event()
        assert calls == [("age", 8.0, 5.0), ("year", 8.0, -5.0)]
        assert individual.age == 8.0

    def test_a_failing_snapshot_puts_the_event_back(self):
        failing = [True]

        class Failing(Individual):
            def _snapshot_age(self, age_next_event):
                self.age = 99.0
                if failing[0]:
                    raise ValueError("snapshot")
                self.__setstate__(state_with(self, _snapshot_next_age=math.inf))

        individual = alive(make(Failing, snapshot_ages=[5.0], snapshot_years=[2100.0]), age=1.0)
        individual.add_to_queue_age(2.0, "early")
        individual.add_to_queue_age(6.0, "late", 1)
        individual.remove_from_queue(0)
        queue_before = sorted(field(individual, "_queue"))
        with pytest.raises(ValueError, match="snapshot"):
            individual.next_event()
        assert individual.age == 1.0
        assert sorted(field(individual, "_queue")) == [e for e in queue_before if e[2] == 1]
        assert list(field(individual, "_events")) == [1]
        failing[0] = False
        assert individual.next_event()[2] == "late" and individual.age == 6.0

    def test_a_stale_entry_of_a_foreign_id_is_dropped(self, life):
        life.__setstate__(state_with(life, _queue=[(1.0, 0, 2**31)]))
        with pytest.raises(OverflowError):
            life.next_event()


def test_a_whole_life():
    """A small run loop: processes schedule, move and remove until the life ends."""
    individual = make(snapshot_ages=[100.0], snapshot_years=[2100.0])
    individual.next_block(0, {}, {})
    individual.next_person()
    individual.next_universe()
    individual.add_to_queue(0.0, "birth")
    log = []
    while True:
        try:
            due, priority, message, terminate, kwargs = individual.next_event()
        except RuntimeError:
            break
        log.append((individual.age, message))
        if message == "birth":
            individual.add_to_queue(30.0, "onset", kwargs={"severity": 2})
            individual.add_to_queue(80.0, "death", 10, True)
            individual.add_to_queue(50.0, "screening")
        elif message == "onset":
            individual.remove_from_queue_message("screening")
            individual.move_in_queue(2, -20.0)
            individual.add_to_queue(5.0, "treatment")
        if terminate:
            break
    assert log == [(0.0, "birth"), (30.0, "onset"), (35.0, "treatment"), (60.0, "death")]
    assert drain(individual) == []


@pytest.mark.parametrize("flags, expected", [((), "AssertionError"), (("-O",), "accepted 0.5")])
def test_assertions_follow_the_interpreter(flags, expected):
    code = """
        import sys
        sys.path.insert(0, "tests")
        from conftest import make
        individual = make(snapshot_ages=[100.0], snapshot_years=[2100.0])
        individual.next_block(0, {}, {}); individual.next_person(); individual.next_universe()
        individual.age = 1.0
        try:
            individual.add_to_queue_age(0.5, "past")
            print("accepted", individual.next_event()[0])
        except AssertionError:
            print("AssertionError")
    """
    here = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    result = subprocess.run([sys.executable, *flags, "-c", textwrap.dedent(code)], cwd=here,
                            capture_output=True, text=True, check=True)
    assert result.stdout.strip() == expected
