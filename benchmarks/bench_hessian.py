"""Cost of one exact REML Hessian relative to one p × p product A @ A in NumPy.

The Hessian's work is dominated by the m products A⁻¹S_j (O(mp³) through BLAS)
and the m roots of the penalties; every pair (i, j) then costs O(p²). So one call
should cost a modest multiple of m p × p products, not m². Beside the time, the
largest relative difference from central differences of the gradient shows that
the fast path still computes the right thing. Both sides run single-threaded (set
before NumPy loads OpenBLAS) so the ratio does not depend on the core count.

    PYTHONPATH=build python benchmarks/bench_hessian.py
"""
import os

os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

import time  # noqa: E402

import numpy as np  # noqa: E402

import _vorna_core_testing as t  # noqa: E402


def problem(m, k, n, seed=11):
    """m blocks of k Gaussian columns on n rows, second-difference penalty per block.

    Plain B-spline blocks would each contain the constant, leaving X'X + S_λ
    singular; random columns keep every block identifiable."""
    rng = np.random.default_rng(seed)
    p = m * k
    x = rng.standard_normal((n, p))
    d = np.diff(np.eye(k), 2, axis=0)
    penalties = []
    for j in range(m):
        s = np.zeros((p, p))
        s[j * k:(j + 1) * k, j * k:(j + 1) * k] = d.T @ d
        penalties.append(s)
    y = x @ np.repeat(np.sin(np.linspace(0.0, 3.0, k)), m) + 0.3 * rng.standard_normal(n)
    return y, x, np.ones(n), penalties


def best_seconds(fns, repeats):
    """The fastest of `repeats` runs of each function, interleaved so that a busy
    machine slows both sides alike."""
    best = [float("inf")] * len(fns)
    for _ in range(repeats):
        for i, fn in enumerate(fns):
            start = time.perf_counter()
            fn()
            best[i] = min(best[i], time.perf_counter() - start)
    return best


def difference_error(y, x, w, lam, penalties, h, step=1e-4):
    """max |H − central difference of the gradient| / max |H| over the first column."""
    rho = np.log(lam)
    e = np.zeros_like(rho)
    e[0] = step
    grad = lambda r: t.reml_gradient_multi_qr(y, x, w, list(np.exp(r)), penalties)  # noqa: E731
    column = (grad(rho + e) - grad(rho - e)) / (2 * step)
    return np.abs(h[:, 0] - column).max() / np.abs(h).max()


def main():
    m = 10
    print(f"{'n':>6} {'p':>4} {'m':>3} {'A@A ms':>8} {'hessian ms':>11} {'ratio':>7}  fd error")
    for k in (5, 10, 20):
        p = m * k
        n = 5 * p
        y, x, w, penalties = problem(m, k, n)
        lam = np.exp(np.linspace(-2.0, 2.0, m))
        a = np.random.default_rng(0).standard_normal((p, p))
        h = t.reml_hessian_multi_qr(y, x, w, list(lam), penalties)
        product, hessian = best_seconds(
            [lambda: a @ a, lambda: t.reml_hessian_multi_qr(y, x, w, list(lam), penalties)], 15)
        err = difference_error(y, x, w, lam, penalties, h)
        print(f"{n:>6} {p:>4} {m:>3} {product * 1e3:>8.3f} {hessian * 1e3:>11.3f} "
              f"{hessian / product:>7.1f}  {err:.1e}")


if __name__ == "__main__":
    main()
