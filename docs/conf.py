"""Sphinx configuration of tavlen's documentation (built by scripts/docs).

The package is found by import, from the path scripts/docs sets, so that the
site documents the tavlen the tests test, wherever its files live."""

from __future__ import annotations

import os
import pathlib
import sys

import tavlen

here = pathlib.Path(__file__).resolve().parent
# The examples' shared model, for the pages' code and for the kernels that
# execute them (they inherit this environment).
sys.path.insert(0, str(here / "_examples"))
os.environ["PYTHONPATH"] = os.pathsep.join(
    [str(here / "_examples"), *filter(None, [os.environ.get("PYTHONPATH")])])
# Pages that plot draw into files, never onto a screen.
os.environ.setdefault("MPLBACKEND", "Agg")

project = "tavlen"
author = "the tavlen developers"
release = version = tavlen.__version__

extensions = [
    "myst_nb",
    "sphinx.ext.autodoc",
    "sphinx.ext.mathjax",
    "sphinx_copybutton",
]

exclude_patterns = ["_build", "_from_readme", "**.ipynb_checkpoints", "explanation/performance.txt"]
source_suffix = {".md": "myst-nb", ".rst": "restructuredtext"}
myst_enable_extensions = ["colon_fence", "deflist", "dollarmath"]
myst_heading_anchors = 3

# Every example runs at every build: a page whose code fails fails the build.
nb_execution_mode = "force"
nb_execution_raise_on_error = True
nb_execution_timeout = 120
nb_execution_in_temp = True
# An example that writes to stderr (a warning, say) is a fault of the page.
nb_output_stderr = "warn"

autodoc_member_order = "bysource"
autodoc_typehints = "signature"
autodoc_preserve_defaults = True
autodoc_default_options = {"members": True, "show-inheritance": False}

# A reference that does not resolve is an error, except names of other
# projects: the site is built without network, so their inventories are not
# at hand, and names a type hint spells through an alias.
nitpicky = True
nitpick_ignore: list[tuple[str, str]] = []
nitpick_ignore_regex = [
    ("py:class", r"(numpy|npt|np|pandas|pd|xarray|xr|matplotlib|concurrent|collections|typing|os|pathlib"
                 r"|random|scipy|optuna|distributed|types|io|logging|datetime|enum)(\..*)?"),
    ("py:class", r"(Any|Callable|Iterable|Iterator|Mapping|Sequence|Hashable|Literal|Self|ArrayLike|NDArray"
                 r"|PathLike|Executor|Future|Axes|Figure|DataFrame|Dataset|DataArray)(\[.*\])?"),
    ("py:(class|exc|obj)", r"(int|float|str|bytes|bool|object|None|dict|list|tuple|set|type|slice|range"
                           r"|ValueError|TypeError|KeyError|IndexError|OSError|RuntimeError|OverflowError"
                           r"|Exception|BaseException|KeyboardInterrupt|Warning|UserWarning)"),
]
# Internal types that signatures and base classes name: not part of the
# public interface, so not documented.
nitpick_ignore += [
    ("py:class", name) for name in (
        "tavlen.process.Handler", "tavlen.calibration.batches.Candidate", "tavlen.calibration.methods.Chain",
        "tavlen.files.ArchiveError", "tavlen.export.Exports", "tavlen.economics.decision.DecisionAnalysis",
        "tavlen.montecarlo.SubsampleErrors",
    )
]
# An internal helper that tavlen.export's module docstring names.
nitpick_ignore.append(("py:func", "tavlen.files.replacing"))


def resolve_relative_name(app, env, node, contnode):
    """Docstrings name objects as their own module sees them (``Statistic``
    in tavlen.calibration, ``Results.to_netcdf``); the site documents them
    where users find them. A name that is the end of exactly one documented
    object's full name refers to it (its canonical name, where autodoc also
    records the module that defines it, does not count twice)."""
    if node.get("refdomain") != "py":
        return None
    target = node["reftarget"].lstrip(".~")
    domain = env.get_domain("py")
    matches = [name for name, entry in domain.objects.items()
               if not entry.aliased and (name == target or name.endswith("." + target))]
    if len(matches) != 1:
        return None
    return domain.resolve_xref(env, node["refdoc"], app.builder, domain.objects[matches[0]].objtype,
                               matches[0], node, contnode)


def setup(app):
    app.connect("missing-reference", resolve_relative_name)


html_theme = "pydata_sphinx_theme"
html_title = "tavlen"
html_static_path = ["_static"]
# Debian's build of the theme's scripts lacks Bootstrap's Tooltip and
# Dropdown (its bundle exports neither), and a page that holds a component
# needing them stops its scripts with an error. So the layout holds none:
# no colour-mode switch and no search button in the header (the search field
# is in the sidebar), and the theme fetches nothing from the web.
html_theme_options = {
    "navigation_with_keys": False,
    "show_toc_level": 2,
    "icon_links": [],
    "navbar_end": ["navbar-icon-links"],
    "navbar_persistent": [],
}
# Without a switch the mode must be given: the theme's script refuses none.
html_context = {"default_mode": "light"}
html_sidebars = {"**": ["search-field", "sidebar-nav-bs"]}
html_show_sourcelink = False
html_favicon = "_static/favicon.svg"  # a browser asks for /favicon.ico without one
