"""Cost of one Newton REML optimization relative to one X'X on the same data.

The optimizer forms X'WX and X'Wy once and afterwards should touch the n rows
only for residual passes, so one call should cost a small multiple of X.T @ X.
Both sides run single-threaded (set before NumPy loads OpenBLAS) so the ratio
does not depend on the core count.

    PYTHONPATH=build python benchmarks/bench_newton_reml.py
"""
import os

os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

import statistics  # noqa: E402
import time  # noqa: E402

import numpy as np  # noqa: E402
from scipy.interpolate import BSpline  # noqa: E402

import _vorna_core_testing as t  # noqa: E402


def problem(n, blocks=3, k=10, seed=7):
    rng = np.random.default_rng(seed)
    xs = rng.uniform(0.0, 1.0, (n, blocks))
    knots = np.r_[[0.0] * 3, np.linspace(0.0, 1.0, k - 2), [1.0] * 3]
    x = np.hstack([BSpline.design_matrix(xs[:, j], knots, 3).toarray() for j in range(blocks)])
    d = np.diff(np.eye(k), 2, axis=0)
    penalties = []
    for j in range(blocks):
        s = np.zeros((blocks * k, blocks * k))
        s[j * k:(j + 1) * k, j * k:(j + 1) * k] = d.T @ d
        penalties.append(s)
    y = sum(np.sin(2 * np.pi * (j + 1) * xs[:, j]) for j in range(blocks)) + 0.3 * rng.standard_normal(n)
    return y, np.ascontiguousarray(x), np.ones(n), penalties


def best_seconds(fns, repeats):
    """The fastest of `repeats` runs of each function, the runs interleaved so
    that a busy machine slows both sides alike."""
    best = [float("inf")] * len(fns)
    for _ in range(repeats):
        for i, fn in enumerate(fns):
            start = time.perf_counter()
            fn()
            best[i] = min(best[i], time.perf_counter() - start)
    return best


def main():
    print(f"{'n':>8} {'p':>4} {'m':>3} {'X.T@X ms':>10} {'newton ms':>10} {'ratio':>7}  lambda")
    for n in (10_000, 31_623, 100_000):
        y, x, w, penalties = problem(n)
        start = [1.0] * len(penalties)
        lam = t.newton_reml(y, x, w, penalties, start)
        gram, newton = best_seconds([lambda: x.T @ x, lambda: t.newton_reml(y, x, w, penalties, start)], 9)
        print(f"{n:>8} {x.shape[1]:>4} {len(penalties):>3} {gram * 1e3:>10.2f} {newton * 1e3:>10.2f} "
              f"{newton / gram:>7.2f}  {np.array2string(lam, precision=4)}")


if __name__ == "__main__":
    main()
