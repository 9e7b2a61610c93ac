"""Fit time of vorna_core against pyGAM on the same data (pyGAM must be installed: pip install pygam).

Run:  python benchmarks/bench_vs_pygam.py [n]
Both fit three cubic-spline smooths with 10 basis functions and choose their smoothing parameters
automatically (vorna_core: REML; pyGAM: its default GCV-based gridsearch over a joint λ grid);
the ratio is pyGAM time / vorna_core time in the same run, plus each fit's RMSE against the truth.
"""
import sys
import time

import numpy as np

import vorna_core


def main(n):
    try:
        from pygam import LinearGAM, s
    except ImportError:
        print("pyGAM is not installed: pip install pygam")
        return
    rng = np.random.default_rng(7)
    x = rng.uniform(0.0, 1.0, size=(n, 3))
    truth = np.sin(2 * np.pi * x[:, 0]) + (x[:, 1] - 0.5) ** 2 + np.exp(-4 * x[:, 2])
    y = truth + 0.2 * rng.standard_normal(n)

    start = time.perf_counter()
    gam = vorna_core.GAM()
    gam.fit(x, y, [10, 10, 10])
    ours = time.perf_counter() - start
    ours_rmse = np.sqrt(np.mean((gam.get_fitted_values() - truth) ** 2))

    start = time.perf_counter()
    pg = LinearGAM(s(0, n_splines=10) + s(1, n_splines=10) + s(2, n_splines=10)).gridsearch(
        x, y, progress=False)
    theirs = time.perf_counter() - start
    theirs_rmse = np.sqrt(np.mean((pg.predict(x) - truth) ** 2))
    print(f"n={n}: vorna_core {ours * 1e3:.1f} ms (RMSE {ours_rmse:.4f}) | "
          f"pyGAM {theirs * 1e3:.1f} ms (RMSE {theirs_rmse:.4f}) | pyGAM/vorna_core = {theirs / ours:.1f}x")


if __name__ == "__main__":
    for n in [int(a) for a in sys.argv[1:]] or [10_000, 100_000]:
        main(n)
