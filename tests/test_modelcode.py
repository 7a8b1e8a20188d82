"""The numbers are the model's as the caller holds it: workers see the
caller's module values, a run never changes its model, and a checkpoint
folder recognises the model's code (and nothing that does not change it)."""

import concurrent.futures
import logging
import os
import random
import subprocess
import sys
import textwrap

import numpy as np
import pytest

from tavlen import Model, ModelError, Process, handles

MODEL = '''\
import numpy as np
import tavlen

RATE = 0.2
WEIGHTS = np.array([1.0, 2.0])


def episodes(rate):
    return rate * WEIGHTS[0]


class Flu(tavlen.Process):
    """Episodes at a module-level rate until death at 5."""
    event_tags = ("flu",)
    random_number_generators = ("flu",)
    label = "flu"

    def start(self, individual):
        individual.add_to_queue(individual.random["flu"].expovariate(episodes(RATE)), "flu")
        individual.add_to_queue_age(5.0, "death", terminate=True)

    @tavlen.handles("flu")
    def flu(self, individual):
        individual.log_event("flu")
        individual.add_to_queue(individual.random["flu"].expovariate(episodes(RATE)), "flu")

    @tavlen.handles("death")
    def death(self, individual):
        pass


def run(folder=None, **options):
    return tavlen.Model([Flu()]).run(np.full(60, 2000.0), seed=4, block_size=20, checkpoint=folder, **options)


if __name__ == "__main__":
    import sys
    print(int(run(sys.argv[1]).events.sum()))
'''

RUN = '''
import sys
sys.path.insert(0, sys.argv[1])
{how}
print(int(results.events.sum()))
'''
AS_IMPORT = "import flumodel\nresults = flumodel.run(sys.argv[2])"


def run_file(tmp_path, source, as_script=False):
    (tmp_path / "flumodel.py").write_text(source)
    how = [str(tmp_path / "flumodel.py")] if as_script else ["-c", RUN.format(how=AS_IMPORT), str(tmp_path)]
    return subprocess.run([sys.executable, "-B", *how, str(tmp_path / "ck")], capture_output=True, text=True, timeout=120)


@pytest.mark.parametrize("change, named", [
    (("RATE = 0.2", "RATE = 0.3"), "flumodel.RATE"),
    (("[1.0, 2.0]", "[1.5, 2.0]"), "flumodel.WEIGHTS"),
    (("return rate * WEIGHTS[0]", "return rate * WEIGHTS[1]"), "flumodel.episodes"),
    (("individual.log_event(\"flu\")\n", "individual.log_event(\"flu\")\n        individual.log_event(\"flu\")\n"),
     "flumodel.Flu.flu"),
    (('label = "flu"', 'label = "grippe"'), "flumodel.Flu"),
    (("# nothing", "# nothing"), None),  # unchanged
    (('"""Episodes at', '# a comment\n    """Episodes, with a new docstring, at'), None),
    (("\n\ndef episodes", "\n\n\n\n# moved down\ndef episodes"), None),
])
def test_a_checkpoint_folder_knows_the_models_code(tmp_path, change, named):
    first = run_file(tmp_path, MODEL)
    assert first.returncode == 0, first.stderr
    again = run_file(tmp_path, MODEL.replace(*change))
    if named is None:
        assert again.returncode == 0 and again.stdout == first.stdout, again.stderr
    else:
        assert again.returncode != 0 and "ModelError" in again.stderr and f"the code or value of {named}" in again.stderr


def test_a_script_and_its_import_are_the_same_model(tmp_path):
    first = run_file(tmp_path, MODEL, as_script=True)
    assert first.returncode == 0, first.stderr
    again = run_file(tmp_path, MODEL)
    assert again.returncode == 0 and again.stdout == first.stdout, again.stderr


def test_a_folder_without_a_code_fingerprint_is_refused_saying_so(tmp_path):
    import json

    assert run_file(tmp_path, MODEL).returncode == 0
    manifest = tmp_path / "ck" / "manifest.json"
    content = json.loads(manifest.read_text())
    del content["run"]["code"]
    manifest.write_text(json.dumps(content))
    again = run_file(tmp_path, MODEL)
    assert "did not fingerprint the code of a model" in again.stderr


@pytest.fixture
def flumodel(tmp_path, monkeypatch):
    (tmp_path / "flumodel.py").write_text(MODEL)
    monkeypatch.syspath_prepend(str(tmp_path))
    module = __import__("flumodel")
    yield module
    sys.modules.pop("flumodel", None)


def test_workers_see_the_callers_module_values(flumodel, monkeypatch):
    as_written = flumodel.run().events.sum()
    monkeypatch.setattr(flumodel, "RATE", 0.05)
    one = flumodel.run()
    assert one.events.sum() < as_written / 2
    assert flumodel.run(workers=2).equals(one)
    distributed = pytest.importorskip("distributed")
    with distributed.LocalCluster(n_workers=1, threads_per_worker=1, processes=True, dashboard_address=None) as cluster, \
            distributed.Client(cluster) as client:
        assert flumodel.run(executor=client.get_executor()).equals(one)


class Counting(Process):
    """Keeps a count on self, and draws from the global generator."""

    event_tags = ("screen", "draw")

    def __init__(self):
        self.capacity = 30

    def start(self, individual):
        if self.capacity:
            self.capacity -= 1
            individual.log_event("screen")
        if random.random() < 0.5:
            individual.log_event("draw")
        individual.add_to_queue(1.0, "end", terminate=True)

    @handles("end")
    def end(self, individual):
        pass


def test_a_run_never_changes_its_model_and_global_draws_repeat(caplog):
    model = Model([Counting()])
    state = random.getstate()
    with caplog.at_level(logging.WARNING, logger="tavlen"):
        first = model.run(np.full(100, 2000.0), seed=3, block_size=40)
    assert random.getstate() == state and model.processes[0].capacity == 30
    assert "global generators of random or numpy.random were drawn from" in caplog.text
    assert first.events[0, 0, 0].sum() == 30 + 30 + 30  # 30 a block, of 34, 33 and 33 people
    assert model.run(np.full(100, 2000.0), seed=3, block_size=40).equals(first)
    assert model.run(np.full(100, 2000.0), seed=3, block_size=40, workers=2).equals(first)


def test_an_empty_checkpoint_path_is_refused():
    with pytest.raises(ModelError, match="checkpoint names a folder"):
        Model([Counting()]).run([2000.0], checkpoint="")


# A model that reaches its numbers in every way a walk of its code must follow.
REACH = '''\
import collections
import functools
import logging
import os
import operator
import threading

import numpy as np
from scipy import stats

import tavlen

LOG = logging.getLogger("reach")
LOCK = threading.Lock()
ONSET = stats.norm(1.0, 0.1)
SCALE = {"flu": 1.0}
AGES = np.array([1.0, 2.0])
DELAY = 0.5


def logged(function):
    @functools.wraps(function)
    def wrapper(*args):
        return function(*args)
    return wrapper


@logged
def rate():
    return 0.2


@functools.cache
def life_table():
    return 5.0


@functools.lru_cache(maxsize=None)
def onset_age():
    return 0.1


def weight():
    return weight.factor


weight.factor = 1.0


class Flu(tavlen.Process):
    event_tags = ("flu",)
    random_number_generators = {"flu", "b", "c", "d"}
    files_read = ("table.csv",)  # read as it runs: named for the fingerprint
    environment_read = ("REACH_SCALE",)
    lookup = SCALE.get
    at = AGES.__getitem__
    first = operator.itemgetter(0)
    recent = collections.deque([1.0])

    def start(self, individual):
        import reachhelpers
        from reachhelpers import onset
        individual.add_to_queue(onset() * reachhelpers.AGE * onset_age() + stats.norm.cdf(0.0), "flu")
        individual.add_to_queue_age(life_table(), "death", terminate=True)

    @tavlen.handles("flu")
    @logged
    def flu(self, individual):
        individual.log_event("flu")
        x = self.lookup("flu") * self.at(0) * self.first([1.0]) * self.recent[0] * weight() * rate()
        individual.add_to_queue(individual.random["flu"].expovariate(x * globals()["DELAY"] * ONSET.mean()), "flu")

    @tavlen.handles("death")
    def death(self, individual):
        LOG.debug("death")


def run(folder=None, **options):
    return tavlen.Model([Flu()]).run(np.full(60, 2000.0), seed=4, block_size=20, checkpoint=folder,
                                     random_number_generators={"x", "y", "z"}, **options)
'''
HELPERS = "AGE = 1.0\n\n\ndef onset():\n    return 3.0\n"


def run_reach(tmp_path, source, helpers, hash_seed, table="age,rate\n", scale="1"):
    (tmp_path / "reach.py").write_text(source)
    (tmp_path / "reachhelpers.py").write_text(helpers)
    (tmp_path / "table.csv").write_text(table)
    how = RUN.format(how="import reach\nresults = reach.run(sys.argv[2])")
    return subprocess.run([sys.executable, "-B", "-c", how, str(tmp_path), str(tmp_path / "ck")], capture_output=True,
                          text=True, timeout=120, cwd=tmp_path,
                          env={**os.environ, "PYTHONHASHSEED": str(hash_seed), "REACH_SCALE": scale})


@pytest.mark.parametrize("change, named", [
    (("return 0.2", "return 0.25"), "reach.rate"),  # wrapped by functools.wraps
    (('x = self.lookup("flu")', 'x = 1.5 * self.lookup("flu")'), "reach.Flu.flu"),  # a wrapped handler
    (("return 5.0", "return 4.0"), "reach.life_table"),  # functools.cache
    (("return 0.1", "return 0.2"), "reach.onset_age"),  # functools.lru_cache
    (("AGE = 1.0", "AGE = 2.0"), "reachhelpers.AGE"),  # a module imported inside a method
    (("return 3.0", "return 2.0"), "reachhelpers.onset"),  # a function imported inside a method
    (('SCALE = {"flu": 1.0}', 'SCALE = {"flu": 2.0}'), "reach.Flu"),  # a bound dict.get
    (("[1.0, 2.0]", "[2.0, 1.0]"), "reach.Flu"),  # a bound ndarray.__getitem__
    (("itemgetter(0)", "itemgetter(-1)"), "reach.Flu"),
    (("deque([1.0])", "deque([2.0])"), "reach.Flu"),
    (("weight.factor = 1.0", "weight.factor = 2.0"), "reach.weight"),  # a function's attribute
    (("DELAY = 0.5", "DELAY = 0.6"), "reach.DELAY"),  # read through globals()
    (("table", "age,rate\n0,1\n"), "the file 'table.csv'"),  # declared in files_read
    (("scale", "2"), "the environment variable REACH_SCALE"),  # declared in environment_read
    (("# nothing", "# nothing"), None),  # SciPy's objects, sets, a logger and a lock, in another interpreter
])
def test_a_checkpoint_folder_sees_all_that_the_code_reaches(tmp_path, change, named):
    pytest.importorskip("scipy", exc_type=ImportError)
    first = run_reach(tmp_path, REACH, HELPERS, hash_seed=1)
    assert first.returncode == 0, first.stderr
    outside = {change[0]: change[1]} if change[0] in ("table", "scale") else {}
    source, helpers = (REACH, HELPERS) if outside else (
        (REACH.replace(*change), HELPERS) if change[0] in REACH else (REACH, HELPERS.replace(*change)))
    again = run_reach(tmp_path, source, helpers, hash_seed=2, **outside)
    if named is None:
        assert again.returncode == 0 and again.stdout == first.stdout, again.stderr
    else:
        assert again.returncode != 0 and f"the code or value of {named}" in again.stderr, again.stderr


def test_a_module_imported_inside_a_method_travels_by_value(tmp_path, monkeypatch):
    pytest.importorskip("scipy", exc_type=ImportError)
    (tmp_path / "reach.py").write_text(REACH)
    (tmp_path / "reachhelpers.py").write_text(HELPERS)
    monkeypatch.syspath_prepend(str(tmp_path))
    try:
        import reach
        import reachhelpers

        monkeypatch.setattr(reachhelpers, "AGE", 40.0)  # past every death: no episode at all
        here = reach.run()
        assert here.events.sum() == 0
        assert reach.run(workers=2).equals(here)
        with concurrent.futures.ThreadPoolExecutor(2) as threads:  # in this process, whose modules stay its own
            assert reach.run(executor=threads).equals(here)
        assert sys.modules["reachhelpers"] is reachhelpers
        distributed = pytest.importorskip("distributed")
        with distributed.LocalCluster(n_workers=1, threads_per_worker=1, processes=True,
                                      dashboard_address=None) as cluster, distributed.Client(cluster) as client:
            assert reach.run(executor=client.get_executor()).equals(here)
    finally:
        sys.modules.pop("reach", None)
        sys.modules.pop("reachhelpers", None)


def test_no_warning_of_global_draws_on_dask_from_a_model_that_draws_none(caplog):
    distributed = pytest.importorskip("distributed")
    from tavlen import demo

    with distributed.LocalCluster(n_workers=1, threads_per_worker=1, processes=True, dashboard_address=None) as cluster, \
            distributed.Client(cluster) as client, caplog.at_level(logging.WARNING, logger="tavlen"):
        demo.run(2000, seed=1, block_size=100, executor=client.get_executor())
    assert "global generators" not in caplog.text
