"""The leak check finds leaks of its own kind: references kept per call,
memory blocks that pile up, over-released references, and groups whose
expected failures do not happen."""

import pathlib
import sys

import pytest

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "tools"))
import leakcheck  # noqa: E402

kept = []


def group(setup, numpy=False):
    return leakcheck.Group(setup.__name__, setup, numpy)


def keeps_a_reference():
    watched = leakcheck.text("tag value")
    return (lambda: kept.append(watched)), [watched]


def grows_memory():
    store = []
    return (lambda: store.append([leakcheck.real(1.5)])), []


def over_releases():
    # Dropping one reference per batch from a container that holds many
    # looks, to the check, like the release of a borrowed reference.
    watched = leakcheck.text("shared")
    holder = [watched] * 1000
    return (lambda: holder.pop()), [watched]


def clean():
    individual_tag = leakcheck.text("onset")
    cache = {}
    return (lambda: cache.setdefault("once", [individual_tag])), [individual_tag]


def expected_failure_missing():
    return (lambda: leakcheck.fails(KeyError, dict.get, {}, "key")), []


def placeholder_method():
    def batch():
        raise NotImplementedError("Individual.x() is not implemented yet")

    return batch, []


@pytest.mark.parametrize(
    "setup, finding",
    [
        (keeps_a_reference, "refcount of str"),
        pytest.param(grows_memory, "allocated blocks grow", marks=pytest.mark.skipif(
            not sys.getallocatedblocks(), reason="the interpreter's allocator counts no blocks")),
        (over_releases, "refcount of str"),
    ],
)
def test_leaks_are_reported(setup, finding):
    result = leakcheck.measure(group(setup))
    kept.clear()
    assert any(finding in leak for leak in result.leaks), result


def test_a_clean_group_with_a_one_off_cache_passes():
    result = leakcheck.measure(group(clean))
    assert (result.leaks, result.error, result.skipped) == ([], None, None)


@pytest.mark.skipif(not hasattr(sys, "gettotalrefcount"), reason="needs a debug interpreter")
def test_total_refcount_is_compared_only_outside_numpy():
    assert any("total refcount" in leak for leak in leakcheck.measure(group(keeps_a_reference)).leaks)
    kept.clear()
    numpy_group = leakcheck.measure(group(keeps_a_reference, numpy=True))
    kept.clear()
    assert not any("total refcount" in leak for leak in numpy_group.leaks)


def test_a_missing_failure_and_a_placeholder_are_told_apart():
    assert "did not raise KeyError" in leakcheck.measure(group(expected_failure_missing)).error
    assert "not implemented yet" in leakcheck.measure(group(placeholder_method)).skipped


def test_every_group_sets_up_on_this_build():
    # Groups must fail only for faults of the module: their setup and their
    # expectations have to hold, whatever the interpreter.
    for group_ in leakcheck.GROUPS:
        result = leakcheck.measure(group_, warmups=0, rounds=1, batch_size=1)
        assert result.error is None, (group_.name, result.error)
