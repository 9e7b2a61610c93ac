"""The package and the examples type-check under mypy --strict."""

import os
import pathlib
import subprocess
import sys

import pytest

ROOT = pathlib.Path(__file__).resolve().parent.parent

pytest.importorskip("mypy")


def test_mypy_strict_on_vorna_and_the_examples(tmp_path):
    # vorna_core's stubs are a stub-only package in python/ (installed beside the
    # extension by pip); mypy finds such packages on the module search path.
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([str(ROOT / "python"), *sys.path]),
               MYPY_CACHE_DIR=str(tmp_path / "cache"))
    examples = sorted(str(p) for p in (ROOT / "examples").glob("*.py"))
    done = subprocess.run([sys.executable, "-m", "mypy", "--config-file", str(ROOT / "pyproject.toml"),
                           str(ROOT / "python" / "vorna"), *examples], cwd=ROOT, env=env, capture_output=True, text=True, timeout=600)
    assert done.returncode == 0, done.stdout + done.stderr
