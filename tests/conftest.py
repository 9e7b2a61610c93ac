import pathlib
import sys

import numpy as np
import pytest

# Test modules import their shared helpers (shared_problems.py) from this folder.
sys.path.insert(0, str(pathlib.Path(__file__).parent))


@pytest.fixture
def rng():
    return np.random.default_rng(20261208)
