import os
import pathlib
import subprocess
import sys

import numpy as np
import pytest

ROOT = pathlib.Path(__file__).resolve().parent.parent

# Test modules import their shared helpers (shared_problems.py) from this folder.
sys.path.insert(0, str(pathlib.Path(__file__).parent))


def _ensure_testing_module() -> None:
    """Makes the private test module importable: from the module search path
    (a build tree on PYTHONPATH), or else built here from the same sources as
    the installed package. It is never installed, so a user's site-packages
    holds no test code; a failed build fails the run instead of skipping."""
    try:
        import _vorna_core_testing  # noqa: F401
        return
    except ImportError:
        pass
    build = pathlib.Path(os.environ.get("VORNA_TEST_BUILD", ROOT / "build-tests"))
    configure = ["cmake", "-S", str(ROOT), "-B", str(build), "-G", "Ninja", "-DCMAKE_BUILD_TYPE=Release",
                 f"-DPython_EXECUTABLE={sys.executable}", "-DVORNA_TESTING=ON",
                 *os.environ.get("VORNA_TEST_CMAKE_ARGS", "").split()]
    subprocess.run(configure, check=True, stdout=subprocess.DEVNULL)
    subprocess.run(["cmake", "--build", str(build), "--target", "_vorna_core_testing"], check=True,
                   stdout=subprocess.DEVNULL)
    # Appended, so that the installed vorna_core and vorna stay the ones under test;
    # exported, so that subprocesses started by tests find the module too.
    sys.path.append(str(build))
    os.environ["PYTHONPATH"] = os.pathsep.join(filter(None, [os.environ.get("PYTHONPATH"), str(build)]))
    import _vorna_core_testing  # noqa: F401


_ensure_testing_module()


@pytest.fixture
def rng():
    return np.random.default_rng(20261208)
