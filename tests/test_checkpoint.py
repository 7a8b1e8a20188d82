"""Checkpoint folders: a run killed part-way resumes to the very results of a
run that was never stopped; a folder of another run is refused; damaged and
foreign files are never trusted; a parallel run survives a dying worker."""

import concurrent.futures
import errno
import fcntl
import json
import os
import pathlib
import pickle
import re
import shutil
import signal
import subprocess
import sys
import time

import numpy as np
import pytest

import tavlen.checkpoint
import tavlen.execution
import tavlen.model
from tavlen import Model, ModelError, Process, demo
from tavlen.__main__ import main
from tavlen.results import Results

PEOPLE = 60
BLOCK_SIZE = 10  # 6 blocks
CHECKOUT = str(pathlib.Path(__file__).resolve().parent.parent / "src")


@pytest.fixture(autouse=True)
def workers_import_this_checkout(monkeypatch):
    """Worker processes and the killed run start fresh interpreters, which find tavlen through PYTHONPATH."""
    monkeypatch.setenv("PYTHONPATH", os.pathsep.join(filter(None, [CHECKOUT, os.environ.get("PYTHONPATH")])))


def run(folder=None, model=None, people=PEOPLE, **options):
    options = {**demo.RUN_OPTIONS, "seed": 5, "block_size": BLOCK_SIZE, **options}
    return (model or demo.model()).run(demo.population(people, 1), checkpoint=folder, **options)


def assert_identical(results, expected):
    assert results.equals(expected)
    unresumed = {key: value for key, value in results.metadata.items() if key != "resumed_blocks"}
    assert unresumed == {key: value for key, value in expected.metadata.items() if key != "resumed_blocks"}
    for name in ("events", "durations", "snapshots_ages", "snapshots_years"):
        assert getattr(results, name).dtype == getattr(expected, name).dtype


def block_files(folder):
    return sorted(path.name for path in pathlib.Path(folder).glob("block-*.npz"))


@pytest.fixture(scope="module")
def expected():
    return run()


@pytest.fixture
def simulated(monkeypatch):
    """The indices of the blocks that the run simulates in this process."""
    indices = []
    simulate = tavlen.simulation.simulate_block

    def spy(configuration, index, first, population):
        indices.append(index)
        return simulate(configuration, index, first, population)

    monkeypatch.setattr(tavlen.simulation, "simulate_block", spy)
    return indices


@pytest.fixture(scope="module")
def finished(tmp_path_factory, expected):
    """The folder of a finished run (not to be changed)."""
    folder = tmp_path_factory.mktemp("finished")
    assert_identical(run(folder), expected)
    return folder


# ---------------------------------------------------------------------------
# Interrupted and resumed runs

# A process that slows a run down enough to be killed part-way and never
# lets it pass block 6 (of 12): a module of its own, so that the killed run,
# its workers and this process all find it by the same name.
PACED = """
import os, time
import tavlen

class Paced(tavlen.Process):
    def block_properties(self, block):
        if os.environ.get("TAVLEN_TEST_PACED"):
            time.sleep(0.02 if block.index < 6 else 600)
        return {}
"""

KILLED_RUN = """
import sys
import tavlen.execution
from tavlen import Model, demo
from paced_for_checkpoint import Paced

tavlen.execution.HELP_WHILE_POOL_STARTS = False  # every block in a worker

if __name__ == "__main__":
    model = Model([*demo.model().processes, Paced()])
    workers = int(sys.argv[2]) or None
    model.run(demo.population(120, 1), **demo.RUN_OPTIONS, seed=5, block_size=10, checkpoint=sys.argv[1],
              workers=workers, blocks_per_task=1)
"""


def wait_for(condition, what, timeout=60.0):
    deadline = time.monotonic() + timeout
    while not condition():
        if time.monotonic() > deadline:
            pytest.fail(f"timed out waiting for {what}")
        time.sleep(0.01)


def descendants(pid):
    """The processes that pid started, and theirs, from /proc."""
    children = {}
    for stat in pathlib.Path("/proc").glob("[0-9]*/stat"):
        try:
            parent = int(stat.read_text().rsplit(")", 1)[1].split()[1])
        except (OSError, IndexError, ValueError):
            continue
        children.setdefault(parent, []).append(int(stat.parent.name))
    found, pending = set(), [pid]
    while pending:
        started = set(children.get(pending.pop(), ())) - found
        found |= started
        pending += started
    return found


def alive(pid):
    try:
        state = pathlib.Path(f"/proc/{pid}/stat").read_text().rsplit(")", 1)[1].split()[0]
    except (OSError, IndexError):
        return False
    return state not in "ZX"


@pytest.mark.parametrize("workers", [0, 2])
def test_a_run_killed_from_outside_resumes_to_identical_results(tmp_path, monkeypatch, workers):
    (tmp_path / "paced_for_checkpoint.py").write_text(PACED)
    (tmp_path / "killed_run.py").write_text(KILLED_RUN)
    monkeypatch.syspath_prepend(tmp_path)
    from paced_for_checkpoint import Paced

    folder = tmp_path / "checkpoint"
    environment = {**os.environ, "TAVLEN_TEST_PACED": "1",
                   "PYTHONPATH": os.pathsep.join([str(tmp_path), os.environ["PYTHONPATH"]])}
    child = subprocess.Popen([sys.executable, str(tmp_path / "killed_run.py"), str(folder), str(workers)],
                             stderr=subprocess.PIPE, env=environment)
    try:
        wait_for(lambda: len(block_files(folder)) >= 3 or child.poll() is not None, "three finished blocks")
        started = descendants(child.pid)
    finally:
        child.kill()
        _, errors = child.communicate(timeout=60)
    assert child.returncode == -signal.SIGKILL, errors.decode()
    kept = block_files(folder)
    assert 3 <= len(kept) <= 6
    # Its workers, even one in the middle of a block, end with it.
    assert len(started) >= workers
    wait_for(lambda: not any(map(alive, started)), "the killed run's processes to end")

    model = Model([*demo.model().processes, Paced()])
    simulated = []
    simulate = tavlen.simulation.simulate_block
    monkeypatch.setattr(tavlen.simulation, "simulate_block", lambda *block: simulated.append(block[1]) or simulate(*block))
    assert_identical(run(folder, model=model, people=120), run(model=model, people=120))
    assert sorted(simulated[:-12]) == sorted(set(range(12)) - {int(name[6:12]) for name in kept})
    assert len(block_files(folder)) == 12
    assert not [path for path in folder.iterdir() if path.name.endswith(".tmp")]


# Sleeps in the blocks from 6 on, after leaving its worker's pid in a folder.
SLEEPER = """
import os, pathlib, time
import tavlen

class Sleeper(tavlen.Process):
    def __init__(self, folder):
        self.folder = folder

    def block_properties(self, block):
        if block.index >= 6 and os.environ.get("TAVLEN_TEST_SLEEP"):
            pathlib.Path(self.folder, str(os.getpid())).touch()
            time.sleep(600)
        return {}
"""

INTERRUPTED_RUN = """
import multiprocessing, sys, time
import tavlen.execution
from tavlen import Model, demo
from sleeper_for_checkpoint import Sleeper

tavlen.execution.HELP_WHILE_POOL_STARTS = False  # every block in a worker

if __name__ == "__main__":
    model = Model([*demo.model().processes, Sleeper(sys.argv[2])])
    try:
        model.run(demo.population(120, 1), **demo.RUN_OPTIONS, seed=5, block_size=10, checkpoint=sys.argv[1],
                  workers=2, blocks_per_task=1)
    except KeyboardInterrupt as interrupt:
        print(time.monotonic(), f"{len(multiprocessing.active_children())} workers left", *interrupt.__notes__,
              sep="\\n")
"""


@pytest.mark.parametrize("signal_number", [signal.SIGINT, signal.SIGTERM], ids=lambda number: number.name)
def test_a_signal_to_the_calling_process_alone_stops_the_run_at_once(tmp_path, monkeypatch, signal_number):
    (tmp_path / "sleeper_for_checkpoint.py").write_text(SLEEPER)
    (tmp_path / "interrupted_run.py").write_text(INTERRUPTED_RUN)
    monkeypatch.syspath_prepend(tmp_path)
    from sleeper_for_checkpoint import Sleeper

    folder, sleeping = tmp_path / "checkpoint", tmp_path / "sleeping"
    sleeping.mkdir()
    environment = {**os.environ, "TAVLEN_TEST_SLEEP": "1",
                   "PYTHONPATH": os.pathsep.join([str(tmp_path), os.environ["PYTHONPATH"]])}
    child = subprocess.Popen([sys.executable, str(tmp_path / "interrupted_run.py"), str(folder), str(sleeping)],
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, env=environment)
    started = set()
    try:
        wait_for(lambda: (len(list(sleeping.iterdir())), len(block_files(folder))) == (2, 6) or child.poll() is not None,
                 "the first six blocks kept and both workers asleep")
        assert child.poll() is None, child.communicate()
        started = descendants(child.pid)
        workers = [int(path.name) for path in sleeping.iterdir()]
        if signal_number == signal.SIGINT:
            os.kill(workers[0], signal.SIGSTOP)  # a stopped worker never acts on a termination
        sent = time.monotonic()
        os.kill(child.pid, signal_number)
        output, errors = child.communicate(timeout=30)
        ended = time.monotonic()
    finally:
        child.kill()
        for pid in started:
            if alive(pid):
                os.kill(pid, signal.SIGKILL)
    # The blocks sleep for ten minutes: seconds are "at once" even on a
    # loaded machine or under the sanitizers.
    assert ended - sent < 10.0, errors
    if signal_number == signal.SIGINT:
        stopped, *lines = output.splitlines()
        assert float(stopped) - sent < 5.0  # the same clock in every process
        assert lines == [
            "0 workers left",
            f"the finished blocks are kept in the checkpoint folder {str(folder)!r}, and the same run started again "
            "with this folder resumes it",
        ], errors
    else:  # Python's default: the process ends at once, and its workers with it
        assert child.returncode == -signal.SIGTERM
    assert set(workers) <= started
    wait_for(lambda: not any(map(alive, started)), "the run's processes to end", timeout=30.0)
    assert block_files(folder) == [f"block-{index:06d}.npz" for index in range(6)]

    model = Model([*demo.model().processes, Sleeper(str(sleeping))])
    assert_identical(run(folder, model=model, people=120), run(model=model, people=120))


def test_an_interrupted_run_without_seed_resumes_with_the_kept_seed(tmp_path, monkeypatch, simulated):
    simulate = tavlen.simulation.simulate_block

    def interrupted(configuration, index, first, population):
        if index == 4:
            raise KeyboardInterrupt
        return simulate(configuration, index, first, population)

    monkeypatch.setattr(tavlen.simulation, "simulate_block", interrupted)
    with pytest.raises(KeyboardInterrupt):
        run(tmp_path, seed=None)
    assert block_files(tmp_path) == [f"block-{index:06d}.npz" for index in range(4)]
    monkeypatch.undo()

    resumed = run(tmp_path, seed=None)
    seed = resumed.metadata["seed"]
    assert_identical(resumed, run(seed=seed))
    assert_identical(run(tmp_path, seed=None), resumed)  # the folder is now complete, and read only
    # A fresh run without a folder draws a seed of its own.
    assert run(seed=None).metadata["seed"] != seed


def test_a_model_is_recognised_after_it_has_run(tmp_path):
    model = demo.model()
    first = run(tmp_path, model=model)
    assert_identical(run(tmp_path, model=model), first)


def test_a_finished_run_is_read_and_not_simulated_again(finished, expected, monkeypatch):
    assert expected.subsamples == 6  # results compare their sub-sample sums too, bit for bit
    before = {path.name: path.stat().st_mtime_ns for path in finished.iterdir()}
    monkeypatch.setattr(tavlen.simulation, "simulate_block", None)  # any simulation would fail
    assert_identical(run(finished), expected)
    assert_identical(run(finished, workers=2), expected)
    after = {path.name: path.stat().st_mtime_ns for path in finished.iterdir()}
    assert after == before


def test_progress_and_the_log_count_the_kept_blocks_apart(tmp_path, monkeypatch, finished, caplog):
    shutil.copytree(finished, tmp_path, dirs_exist_ok=True)
    (tmp_path / "block-000002.npz").unlink()
    advanced = []

    class Bar:
        def __init__(self, enabled, total, restored):
            assert (total, restored) == (PEOPLE, PEOPLE - BLOCK_SIZE)

        def __enter__(self):
            return advanced.append

        def __exit__(self, *exc):
            pass

    monkeypatch.setattr(tavlen.progress, "progress_bar", Bar)
    with caplog.at_level("INFO", logger="tavlen"):
        results = run(tmp_path, progress=True)
    assert advanced == [BLOCK_SIZE] and results.metadata["resumed_blocks"] == 5
    assert f"resumed: 5 of 6 blocks from {tmp_path}" in caplog.text


# ---------------------------------------------------------------------------
# Folders of other runs, damaged and foreign files


def other_laws():
    return demo.model(demo.Laws(sensitivity=0.5))


@pytest.mark.parametrize(
    ("change", "named"),
    [
        ({"seed": 6}, "the seed (5 there, 6 here)"),
        ({"block_size": 20}, "the block size (10 there, 20 here)"),
        ({"people": PEOPLE + 1}, "the number of people (60 there, 61 here)"),
        ({"birth_years": demo.population(PEOPLE, 2)}, "the population's arrays"),
        ({"strata": np.arange(PEOPLE) % 2}, "the population's arrays"),
        ({"properties": {"risk": np.ones(PEOPLE)}}, "the population's arrays"),
        ({"model": "other laws"}, "the model"),
        ({"universes": ("reference",)}, "the universes"),
        ({"event_tags": ("extra",)}, "the tags"),
        ({"verify_tags": False}, "the tags"),
        ({"event_ages": (0, 50)}, "the age and year groups"),
        ({"snapshot_ages": (50,)}, "the snapshot"),
        ({"random_number_generators": ("extra",)}, "the random number generators"),
        ({"common_random_numbers": False}, "the random number generators (or common_random_numbers)"),
        ({"n_stratum_hops": 2}, "the strata"),
        ({"discount_rates": (0.03,)}, "the discounting recorded (discount_rates, base_year)"),
        ({"base_year": 1950.0}, "the discounting recorded"),
        ({"stratum_labels": ("all",)}, "the strata"),
        ({"seed": 6}, "the two differ in the seed (5 there, 6 here); give another folder"),
        ({"seed": 6, "event_tags": ("extra",), "universes": ("a",)},
         "differ in the seed (5 there, 6 here), the universes and the tags (or log_events_individual"),
    ],
)
def test_a_folder_of_another_run_is_refused_and_left_alone(finished, change, named):
    manifest = (finished / "manifest.json").read_bytes()
    change = dict(change)
    if change.get("model") == "other laws":
        change["model"] = other_laws()
    if "birth_years" in change:
        model = demo.model()
        options = {**demo.RUN_OPTIONS, "seed": 5, "block_size": BLOCK_SIZE, "checkpoint": finished}
        call = lambda: model.run(change["birth_years"], **options)  # noqa: E731
    else:
        call = lambda: run(finished, **change)  # noqa: E731
    with pytest.raises(ModelError, match="different run") as refused:
        call()
    message = str(refused.value)
    assert repr(str(finished)) in message and named in message
    assert (finished / "manifest.json").read_bytes() == manifest
    assert block_files(finished) == [f"block-{index:06d}.npz" for index in range(6)]


def test_the_individual_log_block_size_is_not_part_of_a_run(finished, expected):
    assert_identical(run(finished, individual_block_size=7), expected)


def rewritten(path, header=None, **changes):
    """A block file rewritten as a valid archive, with some of its arrays (or its header's JSON) replaced."""
    with np.load(path) as archive:
        arrays = {name: archive[name] for name in archive.files}
    if header is not None:
        arrays["header"] = np.frombuffer(json.dumps(header(json.loads(arrays["header"].tobytes()))).encode(), np.uint8)
    arrays.update(changes)
    with open(path, "wb") as file:
        np.savez(file, **arrays)


def test_damaged_and_foreign_block_files_are_simulated_again(tmp_path, finished, expected, simulated):
    shutil.copytree(finished, tmp_path, dirs_exist_ok=True)
    other = tmp_path.parent / "other"
    run(other, seed=6)
    simulated.clear()
    block = lambda index: tmp_path / f"block-{index:06d}.npz"  # noqa: E731
    data = block(0).read_bytes()
    block(0).write_bytes(data[: len(data) // 2])  # cut short
    block(1).write_bytes(pickle.dumps({"events": np.zeros(3)}))  # not an archive, and never unpickled
    shutil.copy(other / "block-000002.npz", block(2))  # another run's
    with np.load(block(3)) as archive:
        events = archive["events"]
    rewritten(block(3), events=events.astype(np.int64))
    rewritten(block(4), events=events[:, :, :, :-1])
    shutil.copy(block(5), block(5).with_name("block-000099.npz"))  # past the run's blocks
    with np.load(block(5)) as archive:
        counts = archive["events"].tobytes()
    data = bytearray(block(5).read_bytes())
    data[data.index(counts) + len(counts) // 2] ^= 1  # one bit of a count flipped
    block(5).write_bytes(data)
    (tmp_path / ".block-000005.npz.tmp").write_bytes(b"left by a killed run")
    for name in ("notes.txt", ".notes.tmp"):
        (tmp_path / name).write_text("mine")

    assert_identical(run(tmp_path), expected)
    assert sorted(simulated) == [0, 1, 2, 3, 4, 5]
    assert not (tmp_path / ".block-000005.npz.tmp").exists()
    assert (tmp_path / "notes.txt").read_text() == (tmp_path / ".notes.tmp").read_text() == "mine"
    assert (tmp_path / "block-000099.npz").exists()
    simulated.clear()
    assert_identical(run(tmp_path), expected)
    assert simulated == []


def plus_1000_in_one_cell(path):
    with np.load(path) as archive:
        events = archive["events"]
    events.flat[7] += 1000
    rewritten(path, events=events)


def without_digest(path):
    """As block files were written before they carried a digest."""
    rewritten(path, header=lambda header: {key: value for key, value in header.items() if key != "digest"})


@pytest.mark.parametrize("edit, simulated_again", [(plus_1000_in_one_cell, [2]), (without_digest, [])])
def test_an_edited_block_is_simulated_again_and_one_without_digest_is_used(tmp_path, finished, expected, simulated,
                                                                          edit, simulated_again):
    shutil.copytree(finished, tmp_path, dirs_exist_ok=True)
    edit(tmp_path / "block-000002.npz")
    assert_identical(run(tmp_path), expected)
    assert simulated == simulated_again


def test_a_folder_of_blocks_of_consecutive_people_is_refused_by_name(tmp_path, finished, simulated):
    shutil.copytree(finished, tmp_path, dirs_exist_ok=True)
    manifest = json.loads((tmp_path / "manifest.json").read_text())
    for part in ("membership", "discounting"):  # as written before people were dealt into blocks
        del manifest["run"]["parts"][part]
    (tmp_path / "manifest.json").write_text(json.dumps(manifest))
    with pytest.raises(ModelError, match="the blocks' membership \\(the folder holds blocks of consecutive people"):
        run(tmp_path)
    assert simulated == []


def test_a_manifest_that_describes_none_of_its_blocks_is_refused(tmp_path, finished, simulated):
    shutil.copytree(finished, tmp_path, dirs_exist_ok=True)
    manifest = json.loads((tmp_path / "manifest.json").read_text())
    manifest["run"]["seed"] = 6  # edited by hand; a run without a seed takes it
    (tmp_path / "manifest.json").write_text(json.dumps(manifest))
    blocks = {name: (tmp_path / name).read_bytes() for name in block_files(tmp_path)}
    with pytest.raises(ModelError, match=f"the checkpoint folder {re.escape(repr(str(tmp_path)))} was edited or mixed"):
        run(tmp_path, seed=None)
    assert simulated == [] and {name: (tmp_path / name).read_bytes() for name in block_files(tmp_path)} == blocks


@pytest.mark.parametrize("fault", ["a file", "a dangling link", "read-only, finished", "read-only, unfinished", "full"])
def test_a_folder_that_cannot_be_written_is_read_if_finished_or_refused_before_the_run(
        tmp_path, finished, expected, simulated, request, fault):
    folder = tmp_path / "kept"
    if fault == "a file":
        folder.write_text("mine")
    elif fault == "a dangling link":
        folder.symlink_to(tmp_path / "nowhere")
    elif fault == "full":
        request.getfixturevalue("mounted").tmpfs(folder, "64k")
    else:
        shutil.copytree(finished, folder)
        if fault.endswith("unfinished"):
            (folder / "block-000003.npz").unlink()
        request.getfixturevalue("mounted").read_only(folder)
    if fault == "read-only, finished":
        assert_identical(run(folder), expected)  # read, with no lock to take
        assert simulated == []
        return
    reason = {"a file": "not a folder", "a dangling link": "not a folder", "full": "too little room: 65,536 bytes free",
              "read-only, unfinished": "Read-only file system, and the run kept there is not finished (1 of 6 blocks"}
    with pytest.raises(OSError, match=re.escape(reason[fault])) as refused:
        run(folder)
    assert refused.value.filename == str(folder) and simulated == []


@pytest.mark.parametrize("changed", [False, True])
def test_kept_blocks_behind_a_missing_one_wait_on_disk(tmp_path, finished, expected, simulated, monkeypatch, changed):
    shutil.copytree(finished, tmp_path, dirs_exist_ok=True)
    (tmp_path / "block-000000.npz").unlink()
    loaded = []
    load = tavlen.checkpoint.Folder.load

    def spy(folder, index, *args):
        loaded.append(index)
        if changed and loaded.count(index) == 2 and index == 3:
            return None  # as if the file had been replaced since the run read it
        return load(folder, index, *args)

    monkeypatch.setattr(tavlen.checkpoint.Folder, "load", spy)
    if changed:
        with pytest.raises(ModelError, match=r"block 3's file in the checkpoint folder .* changed while the run"):
            run(tmp_path)
        return
    assert_identical(run(tmp_path), expected)
    assert simulated == [0]
    # Read once to be checked, then again when their turn came, not held meanwhile.
    assert loaded == [0, 1, 2, 3, 4, 5, 1, 2, 3, 4, 5]


@pytest.mark.parametrize(
    ("content", "message"),
    [
        (b"{not json", "manifest that cannot be read"),
        (b'{"format": "something else"}', "is not the manifest of a tavlen checkpoint folder"),
        (b'{"format": "tavlen.checkpoint", "version": 99, "run": {}}', "has version 99"),
        ("fifo", "cannot be read .*not a regular file but a FIFO"),  # a read would wait for a writer forever
        ("/dev/zero", "cannot be read .*not a regular file but a character device"),  # a read would never end
    ],
)
def test_a_manifest_that_is_not_ours_is_refused(tmp_path, content, message):
    manifest = tmp_path / "manifest.json"
    if content == "fifo":
        os.mkfifo(manifest)
    elif content == "/dev/zero":
        manifest.symlink_to(content)
    else:
        manifest.write_bytes(content)
    with pytest.raises(ModelError, match=message):
        run(tmp_path)
    assert type(content) is str or manifest.read_bytes() == content
    # A block file that is no file is simulated again, and then refused as a place to write.
    if content == "fifo":
        manifest.unlink()
        os.mkfifo(tmp_path / "block-000002.npz")
        with pytest.raises(OSError, match="not a regular file but a FIFO"):
            run(tmp_path)


def test_a_folder_in_use_by_another_run_is_refused(tmp_path):
    with open(tmp_path / ".tavlen.lock", "w") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        with pytest.raises(ModelError, match="in use by another run"):
            run(tmp_path)
    assert not block_files(tmp_path)


# ---------------------------------------------------------------------------
# Lost workers


class KillsItsWorker(Process):
    """Kills the process other than this one that simulates block ``block``
    (SIGKILL, or os._exit as a crash in native code would end it): the
    first time only (it leaves a marker file), or every time."""

    def __init__(self, marker, every_time=False, block=2, exit=False):
        self.marker = str(marker)
        self.every_time = every_time
        self.block = block
        self.exit = exit
        self.main_process = os.getpid()

    def block_properties(self, block):
        if block.index == self.block and os.getpid() != self.main_process:
            if self.every_time or not os.path.exists(self.marker):
                open(self.marker, "w").close()
                if self.exit:
                    os._exit(3)
                os.kill(os.getpid(), signal.SIGKILL)
        return {}


def killing_model(marker, every_time=False, **how):
    return Model([*demo.model().processes, KillsItsWorker(marker, every_time, **how)])


@pytest.mark.parametrize("block", [0, 1])  # the first blocks, which a helper takes while the pool starts
def test_a_block_that_ends_its_process_never_ends_the_caller(tmp_path, block):
    model = killing_model(tmp_path / "killed", every_time=True, block=block, exit=True)
    folder = tmp_path / "checkpoint"
    with pytest.raises(ModelError, match=r"died 3 times in a row .* did not finish: .* kept in the checkpoint folder") as ended:
        run(folder, model=model, workers=2, blocks_per_task=1)
    assert str(block) in re.search(r"and blocks ([\d, ]+) did not finish", str(ended.value)).group(1).split(", ")
    assert_identical(run(folder, model=model), run(model=model))  # in this process, which it never kills


@pytest.fixture
def only_workers_simulate(monkeypatch):
    """Keeps the main process from simulating blocks while its pool starts,
    so that block 2 meets a worker to kill."""
    monkeypatch.setattr(tavlen.execution, "HELP_WHILE_POOL_STARTS", False)


@pytest.mark.parametrize("checkpoint", [False, True])
@pytest.mark.usefixtures("only_workers_simulate")
def test_a_lost_worker_has_its_blocks_run_again(tmp_path, checkpoint):
    marker = tmp_path / "killed"
    model = killing_model(marker)
    reference = run(model=model)  # in this process, which it never kills
    folder = tmp_path / "checkpoint" if checkpoint else None
    assert_identical(run(folder, model=model, workers=2, blocks_per_task=1), reference)
    assert marker.exists()
    if checkpoint:
        assert len(block_files(folder)) == 6


@pytest.mark.usefixtures("only_workers_simulate")
def test_a_block_that_kills_every_worker_ends_the_run(tmp_path, simulated):
    model = killing_model(tmp_path / "killed", every_time=True)
    folder = tmp_path / "checkpoint"
    with pytest.raises(ModelError, match=r"died 3 times in a row .* did not finish: .* kept in the checkpoint folder") as ended:
        run(folder, model=model, workers=2, blocks_per_task=1)
    # The block that kills its worker, and any that the pool took down with it
    named = re.search(r"and blocks ([\d, ]+) did not finish", str(ended.value)).group(1)
    assert "2" in named.split(", ")
    missing = set(range(6)) - {int(name[6:12]) for name in block_files(folder)}
    assert 2 in missing
    simulated.clear()
    assert_identical(run(folder, model=model), run(model=model, seed=5))  # in this process, which it never kills
    assert sorted(simulated) == sorted([*missing, *range(6)])


def test_a_lost_worker_of_a_given_executor_stops_the_run_and_the_folder_resumes_it(tmp_path):
    marker = tmp_path / "killed"
    model = killing_model(marker)
    folder = tmp_path / "checkpoint"
    with concurrent.futures.ProcessPoolExecutor(2) as pool:
        with pytest.raises(ModelError, match="cannot replace an executor it was given") as stopped:
            run(folder, model=model, executor=pool, blocks_per_task=1)
    assert f"kept in the checkpoint folder {str(folder)!r}" in str(stopped.value)
    with concurrent.futures.ProcessPoolExecutor(2) as pool:
        assert_identical(run(folder, model=model, executor=pool), run(model=model))


# ---------------------------------------------------------------------------
# The command line


def test_command_line_checkpoint(tmp_path, capsys):
    arguments = ["-n", "60", "--block-size", "20", "-o", str(tmp_path / "out"), "--no-progress", "--no-plot",
                 "--checkpoint", str(tmp_path / "kept")]
    assert main(arguments) == 0
    first = Results.load(tmp_path / "out" / "results.npz")
    assert block_files(tmp_path / "kept") == [f"block-{index:06d}.npz" for index in range(3)]
    assert main(arguments) == 0
    assert_identical(Results.load(tmp_path / "out" / "results.npz"), first)
    capsys.readouterr()
    assert main([*arguments, "--seed", "4"]) == 1
    assert "python -m tavlen: error: the checkpoint folder" in capsys.readouterr().err


def test_command_line_interrupted(tmp_path, monkeypatch, capsys):
    def interrupted(*block):
        raise KeyboardInterrupt

    monkeypatch.setattr(tavlen.simulation, "simulate_block", interrupted)
    assert main(["-n", "60", "-o", str(tmp_path), "--no-progress", "--checkpoint", str(tmp_path / "kept")]) == 130
    assert "interrupted; the finished blocks are kept in" in capsys.readouterr().err


@pytest.mark.parametrize("fault, message", [
    ("read-only output", "{out}: Read-only file system"),
    ("results file is a folder", "{out}/results.npz: is a folder"),
    ("checkpoint is a file", "{kept}: not a folder"),
    ("disk fills after the run", "{out}/results.npz: No space left on device"),
])
def test_command_line_file_system_failures_are_one_line(tmp_path, request, monkeypatch, capsys, simulated, fault, message):
    out, kept = tmp_path / "out", tmp_path / "kept"
    out.mkdir()
    arguments = ["-n", "20", "-o", str(out), "--no-progress", "--no-plot"]
    if fault == "read-only output":
        request.getfixturevalue("mounted").read_only(out)
    elif fault == "results file is a folder":
        (out / "results.npz").mkdir()
    elif fault == "checkpoint is a file":
        kept.write_text("mine")
        arguments += ["--checkpoint", str(kept)]
    else:
        def full(*arguments, **options):
            raise OSError(errno.ENOSPC, os.strerror(errno.ENOSPC))

        monkeypatch.setattr(tavlen.results, "write_archive", full)
    assert main(arguments) == 1
    err = capsys.readouterr().err
    assert err.startswith(f"python -m tavlen: error: {message.format(out=out, kept=kept)}")
    assert err.count("\n") == 1 and "Traceback" not in err
    assert bool(simulated) == (fault == "disk fills after the run")
    assert [path.name for path in out.iterdir()] == (["results.npz"] if fault == "results file is a folder" else [])
