"""What a modeller writes against: processes, their handlers, and block seeds."""

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
