"""Shared helpers: a small run configuration, a view of an Individual's
private fields through its reduce protocol, and a headless browser for the
pages a person reads."""

import importlib.util
import os
import pathlib
import shutil
import subprocess

import numpy as np
import pytest

from tavlen.individual import Individual

#: Where tests keep what a person should look at: screenshots of pages.
ARTEFACTS = pathlib.Path(__file__).resolve().parent.parent / "build" / "artefacts"
CHROMIUM, DRIVER = shutil.which("chromium"), shutil.which("chromedriver")

# The fields in the order of the pickled state (alphabetical).
STATE_FIELDS = (
    "_birth _event_idx _events _log_duration_ages _log_duration_ages_n _log_duration_tags "
    "_log_duration_tags_idx _log_duration_tags_n _log_duration_years _log_duration_years_n "
    "_log_durations _log_event_ages _log_event_ages_n _log_event_individual_age "
    "_log_event_individual_age_current_block _log_event_individual_block_size "
    "_log_event_individual_element _log_event_individual_element_current_block "
    "_log_event_individual_entry_idx _log_event_individual_individual "
    "_log_event_individual_individual_current_block _log_event_individual_tag "
    "_log_event_individual_tag_current_block _log_event_individual_tags "
    "_log_event_individual_tags_idx _log_event_individual_universe "
    "_log_event_individual_universe_current_block _log_event_tags _log_event_tags_idx "
    "_log_event_tags_n _log_event_years _log_event_years_n _log_events _log_events_individual "
    "_ongoing_durations _person _person_birth _person_block _person_stratum "
    "_person_stratum_hops_ages _person_stratum_hops_n _person_stratum_hops_strata "
    "_preserve_dynamic _preserve_final _preserve_stratum_setting _properties _properties_tmp "
    "_queue _snapshot_age_idx _snapshot_ages _snapshot_ages_do _snapshot_ages_n "
    "_snapshot_functions _snapshot_next_age _snapshot_next_age_years _snapshot_tags "
    "_snapshot_tags_idx _snapshot_tags_n _snapshot_year_idx _snapshot_years _snapshot_years_do "
    "_snapshot_years_n _snapshots_ages _snapshots_years _stratum _stratum_hops_do _stratum_n "
    "_universe _universe_n age memory random verify_tags"
).split()
STATE_INDEX = {name: i for i, name in enumerate(STATE_FIELDS)}

VIEW_FIELDS = {
    # name: (dtype, number of axes)
    "_birth": ("float64", 1),
    "_stratum": ("int16", 1),
    "_person_stratum_hops_ages": ("float64", 1),
    "_person_stratum_hops_strata": ("int16", 1),
    "_log_event_ages": ("float64", 1),
    "_log_event_years": ("float64", 1),
    "_log_events": ("uint32", 5),
    "_log_duration_ages": ("float64", 1),
    "_log_duration_years": ("float64", 1),
    "_log_durations": ("float64", 5),
    "_log_event_individual_universe_current_block": ("uint8", 1),
    "_log_event_individual_individual_current_block": ("uint32", 1),
    "_log_event_individual_element_current_block": ("uint16", 1),
    "_log_event_individual_age_current_block": ("float64", 1),
    "_log_event_individual_tag_current_block": ("uint16", 1),
    "_snapshot_ages": ("float64", 1),
    "_snapshots_ages": ("uint32", 4),
    "_snapshot_years": ("float64", 1),
    "_snapshots_years": ("uint32", 4),
}


def config(**overrides):
    """The 19 constructor arguments of a small run, by keyword."""
    arguments = dict(
        properties={
            "__birth__": np.array([1950.0, 1960.5, 1970.0]),
            "__stratum__": np.array([0, 2, 1], dtype=np.int16),
            "height": np.array([1.7, 1.8, 1.6]),
        },
        universes=["baseline", "intervention"],
        random_number_generators=["onset", "screening"],
        event_tags=["birth", "onset", "death"],
        event_ages=np.array([20.0, 40.0, 60.0, np.inf]),
        event_years=np.array([2000.0, np.inf]),
        duration_tags=["alive", "ill"],
        duration_ages=np.array([50.0, np.inf]),
        duration_years=np.array([1990.0, 2010.0, np.inf]),
        event_individual_tags=["onset", "death"],
        individual_block_size=4,
        snapshot_tags=["ill"],
        snapshot_ages=[10, 20.5],
        snapshot_years=[2000],
        snapshot_functions=[lambda individual: None],
        n_stratum_hops=None,
        preserve_stratum=None,
        log_events_individual=False,
        verify_tags=True,
    )
    arguments.update(overrides)
    return arguments


def make(cls=Individual, **overrides):
    return cls(**config(**overrides))


def state_of(individual):
    """The pickled state of an Individual as a dict: field name -> item."""
    reduced = individual.__reduce__()
    state = reduced[2] if len(reduced) == 3 else reduced[1][2]
    return dict(zip(STATE_FIELDS, state))


def field(individual, name):
    """One private field; array views come back as NumPy arrays over the same memory."""
    value = state_of(individual)[name]
    return np.asarray(value) if isinstance(value, memoryview) else value


def state_with(individual, **changes):
    """The individual's state tuple with some items replaced."""
    items = dict(state_of(individual))
    items.update(changes)
    return tuple(items[name] for name in STATE_FIELDS)


@pytest.fixture
def individual():
    return make()


def in_life(individual, **changes):
    """Start the first life of person 0 (born 1950.0, stratum 0) and set its
    age to 30; further changes are made by restoring a modified state."""
    individual.next_block(0, {}, {})
    individual.next_person()
    individual.next_universe()
    individual.age = 30.0
    if changes:
        individual.__setstate__(state_with(individual, **changes))
    return individual


@pytest.fixture
def mounted(tmp_path):
    """Mounts file systems for a test: ``mounted.read_only(folder)`` makes a
    folder read-only where it is, ``mounted.tmpfs(folder, size)`` puts a small
    file system there. Only where scripts/py314 runs the tests: as root, in a
    mount namespace of their own, so that no mount outlives the run; skips
    elsewhere, and where mounting is not permitted."""
    if os.environ.get("TAVLEN_IN_ROOT") != "1" or os.geteuid() != 0:
        pytest.skip("mounts are made only by root in the private mount namespace of scripts/py314")
    targets = []

    def mount(*arguments):
        result = subprocess.run(["mount", *map(str, arguments)], capture_output=True, text=True)
        if result.returncode:
            pytest.skip(f"mount {' '.join(map(str, arguments))} is not permitted: {result.stderr.strip()}")

    class Mounts:
        @staticmethod
        def read_only(folder):
            mount("--bind", folder, folder)
            targets.append(folder)
            mount("-o", "remount,bind,ro", folder)

        @staticmethod
        def tmpfs(folder, size):
            folder.mkdir(exist_ok=True)
            mount("-t", "tmpfs", "-o", f"size={size}", "tmpfs", folder)
            targets.append(folder)

    yield Mounts
    for target in reversed(targets):
        subprocess.run(["umount", str(target)], check=True)


# Property and hostile-input tests: a few reproducible examples in CI;
# TAVLEN_HYPOTHESIS_PROFILE=thorough runs many more.
try:
    from hypothesis import HealthCheck, settings
except ImportError:
    pass
else:
    # How fast examples are drawn says how busy the machine is, not whether
    # the code is right: a loaded machine (or the sanitizer build) must not fail the suite.
    slow_is_fine = [HealthCheck.too_slow]
    settings.register_profile("ci", max_examples=20, deadline=None, derandomize=True, database=None,
                              suppress_health_check=slow_is_fine)
    settings.register_profile("thorough", max_examples=1000, deadline=None, suppress_health_check=slow_is_fine)
    settings.load_profile(os.environ.get("TAVLEN_HYPOTHESIS_PROFILE", "ci"))


@pytest.fixture(scope="module")
def browser(tmp_path_factory):
    if not (CHROMIUM and DRIVER and importlib.util.find_spec("selenium")):
        pytest.skip("the browser check needs chromium, chromedriver and selenium (Debian: chromium, chromium-driver, "
                    "python3-selenium)")
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service

    options = webdriver.ChromeOptions()
    options.binary_location = CHROMIUM
    for flag in ("--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
                 "--disable-background-networking", "--disable-component-update", "--disable-sync",
                 f"--user-data-dir={tmp_path_factory.mktemp('chromium-profile')}"):
        options.add_argument(flag)
    options.set_capability("goog:loggingPrefs", {"browser": "ALL"})
    # Under the sanitizer run the interpreter has the sanitizers' runtime
    # preloaded; the browser is not built for it and aborts at its start.
    environment = {name: value for name, value in os.environ.items()
                   if name not in ("LD_PRELOAD", "ASAN_OPTIONS", "UBSAN_OPTIONS")}
    driver = webdriver.Chrome(options=options, service=Service(DRIVER, env=environment))
    try:
        yield driver
    finally:
        driver.quit()
