"""Documentation that runs: the doctests of vorna, a docstring on every public object."""

import doctest
import importlib
import inspect

import pytest

import vorna

# The modules with examples in their docstrings (vorna.estimators, vorna.summary, vorna._stats
# and vorna.plot have none yet).
MODULES = ["vorna.model", "vorna.terms", "vorna.formula", "vorna.datasets"]


@pytest.mark.parametrize("name", MODULES)
def test_doctests(name):
    module = importlib.import_module(name)
    result = doctest.testmod(module, optionflags=doctest.ELLIPSIS | doctest.NORMALIZE_WHITESPACE)
    assert result.attempted > 0, f"{name} has no examples left to run"
    assert result.failed == 0


def _public_objects():
    for name in vorna.__all__:
        obj = getattr(vorna, name)
        yield name, obj
        if inspect.isclass(obj):
            for attr in dir(obj):
                if not attr.startswith("_") and callable(getattr(obj, attr)):
                    yield f"{name}.{attr}", getattr(obj, attr)  # inherited docstrings count


@pytest.mark.parametrize("name, obj", list(_public_objects()), ids=lambda v: v if isinstance(v, str) else "")
def test_every_public_object_has_a_docstring(name, obj):
    assert inspect.getdoc(obj), name
