"""Every public name of the package, with its members and parameters, says what it is."""

import inspect
import re
import pydoc

import pytest

import tavlen
from tavlen import individual

PUBLIC = {name: getattr(tavlen, name) for name in tavlen.__all__ if name != "__version__"}
PUBLIC.update({f"individual.{name}": getattr(individual, name) for name in ("Individual", "Philox", "run_lives")})

# The entry points whose every parameter a modeller sets.
ENTRY_POINTS = ["Model.run", "sweep", "evaluate", "calibrate", "one_way"]


def _undocumented(name, value):
    if not (getattr(value, "__doc__", None) or "").strip():
        yield name
    if inspect.isclass(value):
        for member_name, member in vars(value).items():
            if member_name.startswith("_"):
                continue
            member = getattr(member, "__func__", member)  # static and class methods
            if callable(member) or inspect.isdatadescriptor(member):
                if not (member.__doc__ or "").strip():
                    yield f"{name}.{member_name}"


@pytest.mark.parametrize("name", PUBLIC)
def test_public_names_and_their_members_have_docstrings(name):
    assert list(_undocumented(name, PUBLIC[name])) == []


@pytest.mark.parametrize("path", ENTRY_POINTS)
def test_every_parameter_of_the_entry_points_is_explained(path):
    function = tavlen
    for part in path.split("."):
        function = getattr(function, part)
    doc = inspect.getdoc(function)
    missing = [name for name in inspect.signature(function).parameters
               if name != "self" and not re.search(rf"``{name}(``|=|\()", doc)]
    assert missing == []


def test_help_names_the_arguments_a_run_takes():
    text = pydoc.render_doc(individual.Individual.log_event_individual, renderer=pydoc.plaintext)
    assert "'event_individual_tags'" in text
    assert "event_individual_tags" in inspect.signature(tavlen.Model.run).parameters
