"""The example scripts run to completion against the installed module."""
import os
import pathlib
import sys

import pytest
from subprocesses import run_python

EXAMPLES = sorted((pathlib.Path(__file__).parent.parent / "examples").glob("*.py"))


@pytest.mark.parametrize("script", EXAMPLES, ids=[p.name for p in EXAMPLES])
def test_example_runs(script, tmp_path):
    # the same module search path as this process, so an in-tree build is found from tmp_path too
    env = dict(os.environ, MPLBACKEND="Agg", PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    done = run_python([str(script)], cwd=tmp_path, env=env, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    assert done.stdout.strip()


def test_readme_modelling_example_runs():
    readme = (pathlib.Path(__file__).parent.parent / "README.md").read_text()
    section = readme.split("## Modelling with `vorna`", 1)[1]
    code = section.split("```python", 1)[1].split("```", 1)[0]
    done = run_python(["-c", code], env=dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p)),
                      text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    assert "SmoothTest(term='s(age)'" in done.stdout
