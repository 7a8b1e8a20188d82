"""The install path of the README: the checkout installed with pip, then the
command line run from the checkout's folder, which must not shadow the
installed package with its own sources."""

import importlib.util
import os
import subprocess
import sys

import pytest

from markdown import ROOT

pytestmark = [
    pytest.mark.skipif(not (ROOT / "CMakeLists.txt").exists(), reason="needs the checkout, not a staged copy"),
    pytest.mark.skipif(hasattr(sys, "gettotalrefcount"), reason="the install is checked on the optimised interpreter"),
    pytest.mark.skipif(not importlib.util.find_spec("pip") or not importlib.util.find_spec("scikit_build_core"),
                       reason="needs pip and scikit-build-core"),
]


def test_installed_package_runs_from_the_checkout(tmp_path):
    target = tmp_path / "site-packages"
    quiet = {**os.environ, "PIP_DISABLE_PIP_VERSION_CHECK": "1", "PIP_NO_CACHE_DIR": "1",
             "PIP_ROOT_USER_ACTION": "ignore"}
    # No network: the build tools are the system's, and nothing is fetched.
    subprocess.run([sys.executable, "-m", "pip", "install", "--quiet", "--no-build-isolation", "--no-deps",
                    "--no-index", "--target", str(target), str(ROOT)], check=True, env=quiet, cwd=tmp_path)
    installed = {**quiet, "PYTHONPATH": str(target)}
    shown = subprocess.run([sys.executable, "-m", "tavlen", "--help"], cwd=ROOT, env=installed,
                           capture_output=True, text=True)
    assert shown.returncode == 0, shown.stderr
    assert "--population" in shown.stdout
    where = subprocess.run([sys.executable, "-c", "import tavlen, tavlen.individual as engine; "
                            "print(tavlen.__file__); print(engine.__file__)"],
                           cwd=ROOT, env=installed, capture_output=True, text=True, check=True)
    assert all(line.startswith(str(target)) for line in where.stdout.splitlines()), where.stdout
