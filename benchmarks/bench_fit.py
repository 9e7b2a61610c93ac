"""End-to-end Gaussian fit as a ratio to one NumPy X.T @ X on its model matrix.

Run:  python benchmarks/bench_fit.py [n]
The fit is GAM().fit(x, y, k=[10, 10, 10]) (cached pipeline, REML, B-splines); the reference is
one X.T @ X on the fitted model's own design matrix (n × 30), measured in the same run. With
VORNA_PROFILE set the phase timings of the fit are printed as well.
"""
import sys
import time

import numpy as np

import vorna_core


def best_of(fn, repeats):
    best = np.inf
    for _ in range(repeats):
        start = time.perf_counter()
        fn()
        best = min(best, time.perf_counter() - start)
    return best


def main(n):
    rng = np.random.default_rng(3)
    x = rng.uniform(0.0, 1.0, size=(n, 3))
    y = (np.sin(2 * np.pi * x[:, 0]) + (x[:, 1] - 0.5) ** 2 + np.exp(-4 * x[:, 2])
         + 0.2 * rng.standard_normal(n))
    gam = vorna_core.GAM()
    fit = best_of(lambda: gam.fit(x, y, [10, 10, 10]), repeats=3)
    design = gam.get_design_matrix()
    gram = best_of(lambda: design.T @ design, repeats=5)
    predict = best_of(lambda: gam.predict(x), repeats=3)
    print(f"n={n}: X.T@X {gram * 1e3:.1f} ms | fit {fit * 1e3:.1f} ms = {fit / gram:.2f}x | "
          f"predict {predict * 1e3:.1f} ms = {predict / gram:.2f}x | lambda {gam.get_all_lambdas()}")


if __name__ == "__main__":
    main(int(sys.argv[1]) if len(sys.argv) > 1 else 1_000_000)
