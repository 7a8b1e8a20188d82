"""What a modeller writes against: processes, their handlers, and block seeds."""

import dis
import pickle

import pytest

from tavlen import Model, ModelError, Process, block_seed, handles

from lives import Life


class Other(Process):
    @handles("end")
    def end(self, individual):
        pass


def test_universe_is_known_only_during_a_life():
    with pytest.raises(RuntimeError, match="only known while a run simulates a life"):
        Life().universe



def test_block_seed_is_stable_and_separates_blocks_and_names():
    seeds = {block_seed(3, block, name) for block in range(3) for name in ("onset", "screening")}
    assert len(seeds) == 6
    # Pinned: changing the derivation would change every stored run.
    assert block_seed(0, 0, "OC") == block_seed(0, 0, "OC") == 152175776679011115824406368153516503879



def test_duplicate_handlers_are_refused():
    with pytest.raises(ModelError, match="'end' is handled by two processes: Life and Other"):
        Model([Life(), Other()])
    with pytest.raises(ModelError, match="handles the message 'x' twice"):
        class Twice(Process):
            @handles("x")
            def one(self, individual):
                pass

            @handles("x")
            def two(self, individual):
                pass


def test_a_subclass_takes_over_its_base_class_messages():
    class Quiet(Life):
        @handles("end")
        def finish(self, individual, value):
            pass

    assert Quiet().handlers()["end"].__name__ == "finish"


class Rates(Process):
    def __init__(self):
        self.rates = (0.1, 0.2)
        self.label = "a"


class Guarded(Rates):
    def __setattr__(self, name, value):
        raise AssertionError("unpickling must not run __setattr__")


class WithProperty(Rates):
    @property
    def label(self):
        return self.__dict__["label"].upper()

    @label.setter
    def label(self, value):
        raise AssertionError("unpickling must not run a setter")


class Slotted(Rates):
    __slots__ = ("slot",)

    def __init__(self):
        super().__init__()
        self.slot = 7


def read(process):
    return process.rates


@pytest.mark.parametrize("cls", [Rates, Guarded, WithProperty, Slotted])
def test_an_unpickled_process_has_what_pickle_gives_it(cls):
    original = object.__new__(cls)
    original.__dict__.update(rates=(0.1, 0.2), label="a", **{"not an identifier": 1})
    if cls is Slotted:
        original.slot = 7
    copy = pickle.loads(pickle.dumps(original))
    assert vars(copy) == vars(original) and copy.label == original.label
    if cls is Slotted:
        assert copy.slot == 7


def test_an_unpickled_process_reads_its_attributes_by_the_specialised_path():
    copy = pickle.loads(pickle.dumps(Rates()))
    copy.universe_index = 0  # as the run sets it
    for _ in range(100):
        read(copy)
    loads = [i.opname for i in dis.get_instructions(read, adaptive=True) if i.opname.startswith("LOAD_ATTR")]
    assert loads == ["LOAD_ATTR_INSTANCE_VALUE"]
