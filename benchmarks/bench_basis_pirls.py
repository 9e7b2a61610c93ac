"""Basis evaluation and one PiRLS fit, as ratios to one NumPy X.T @ X on the same model matrix.

Run:  python benchmarks/bench_basis_pirls.py [n ...]
Every time is the best of a few repetitions; ratios are measured in the same run, so they compare
like with like on whatever machine runs them. The PiRLS time includes the binding's copy of X.
"""
import sys
import time

import numpy as np

import _vorna_core_testing as t
import vorna_core


def best_of(fn, repeats=3):
    best = np.inf
    for _ in range(repeats):
        start = time.perf_counter()
        fn()
        best = min(best, time.perf_counter() - start)
    return best


def second_difference_penalty(k):
    d = np.diff(np.eye(k), n=2, axis=0)
    return d.T @ d


def run(n, k=10, d=3):
    rng = np.random.default_rng(1)
    x = rng.uniform(0.0, 1.0, size=n)
    bs_knots = np.linspace(0.0, 1.0, k - 2)
    cr_knots = np.linspace(0.0, 1.0, k)
    blocks = [t.bspline_basis(bs_knots, rng.uniform(0.0, 1.0, size=n)) for _ in range(d)]
    model = np.hstack(blocks)
    p = model.shape[1]
    y = model @ rng.standard_normal(p) + 0.1 * rng.standard_normal(n)
    penalties = []
    for j in range(d):
        s = np.zeros((p, p))
        s[j * k:(j + 1) * k, j * k:(j + 1) * k] = second_difference_penalty(k)
        penalties.append(s)

    gram = best_of(lambda: model.T @ model)
    bs_eval = best_of(lambda: t.bspline_basis(bs_knots, x))
    cr_eval = best_of(lambda: t.cr_basis(cr_knots, x))
    fit = best_of(lambda: t.pirls(model, y, [1.0] * d, penalties, "gaussian"), repeats=2)
    counts = rng.poisson(np.exp(0.5 * np.sin(6 * x[:, None]).ravel()[:n])).astype(float)
    fit_poisson = best_of(lambda: t.pirls(model, counts, [1.0] * d, penalties, "poisson"), repeats=2)
    print(f"n={n:>8}  X.T@X ({n}x{p}): {gram * 1e3:8.2f} ms | "
          f"bs basis k={k}: {bs_eval / gram:5.2f}x  cr basis k={k}: {cr_eval / gram:5.2f}x  "
          f"PiRLS gaussian: {fit / gram:5.2f}x  PiRLS poisson: {fit_poisson / gram:5.2f}x")


if __name__ == "__main__":
    sizes = [int(a) for a in sys.argv[1:]] or [10_000, 100_000, 1_000_000]
    print(f"vorna_core {vorna_core.__file__}")
    for n in sizes:
        run(n)
