"""Memory stays flat over many calls, successful or failed, and the library
keeps no references to its inputs."""

import gc
import sys
import tracemalloc

import numpy as np
import pytest

import vorna
import vorna_core


def resident_kib():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * 4  # pages of 4 KiB


@pytest.fixture
def problem():
    rng = np.random.default_rng(7)
    x = rng.uniform(0, 1, (60, 2))
    return x, np.sin(4 * x[:, 0]) + 0.1 * rng.standard_normal(60)


def refused(call):
    """Runs a call that must fail with a ValueError (cheaply: no pytest machinery per call)."""
    try:
        call()
    except ValueError:
        return
    raise AssertionError("the call was expected to fail")


def core_cycle(x, y):
    gam = vorna_core.GAM("gaussian")
    gam.fit(x, y, [5, 5])
    gam.predict(x)
    gam.get_coefficients(), gam.get_lambda(), gam.get_fitted_values(), gam.get_design_matrix()
    refused(lambda: gam.fit(x, y[:-1], [5, 5]))  # rows differ
    refused(lambda: gam.predict(x[:, :1]))  # columns differ
    refused(lambda: vorna_core.compute_penalty_matrix("cr", 2, np.zeros(2)))  # k below 4


def vorna_cycle(x, y):
    model = vorna.GAM(vorna.s(0, k=5) + vorna.l(1)).fit(x, y)
    model.predict(x)
    model.confidence_interval(x)
    refused(lambda: model.fit(x, y, sample_weight=-np.ones(len(y))))


@pytest.mark.parametrize("cycle, calls", [(core_cycle, 10_000), (vorna_cycle, 2_000)])
def test_memory_is_flat_over_many_calls(problem, cycle, calls):
    x, y = problem
    for _ in range(200):  # warm up allocator pools and caches
        cycle(x, y)
    tracemalloc.start()
    traced, resident = [], []
    for _ in range(10):
        for _ in range(calls // 10):
            cycle(x, y)
        gc.collect()
        traced.append(tracemalloc.get_traced_memory()[0])
        resident.append(resident_kib())
    tracemalloc.stop()
    # Medians of the first and last three checkpoints: allocations that come and go (NumPy
    # keeps a cache of large blocks) do not count, steady growth does. A leak of 100 bytes
    # per call would add more than the bounds over these calls.
    grown_traced = np.median(traced[-3:]) - np.median(traced[:3])
    grown_rss = np.median(resident[-3:]) - np.median(resident[:3])
    assert grown_traced < 50 * calls, traced
    assert grown_rss < 2_048, resident


def test_inputs_keep_their_reference_counts(problem):
    x, y = problem
    k = [5, 5]
    counts = [sys.getrefcount(obj) for obj in (x, y, k)]
    gam = vorna_core.GAM("gaussian")
    gam.fit(x, y, k)
    gam.predict(x)
    with pytest.raises(ValueError, match="^Matrix dimension mismatch: X has 60 rows but y has 57 elements$"):
        gam.fit(x, y[:-3], k)
    with pytest.raises(ValueError, match="^Invalid parameter: A B-spline smooth requires k >= 2 basis functions"):
        gam.fit(x, y, [1, 1])
    with pytest.raises(TypeError, match="^argument 'x': expected a 2-dimensional NumPy array"):
        gam.predict(y)
    model = vorna.GAM(vorna.s(0, k=5)).fit(x, y)
    model.predict(x)
    del gam, model
    gc.collect()
    assert [sys.getrefcount(obj) for obj in (x, y, k)] == counts
