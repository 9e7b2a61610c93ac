"""Accuracy and fit time of vorna_core against pyGAM on the same data (pip install pygam).

Run:  python benchmarks/bench_vs_pygam.py [n ...]          (default: 10000 100000)

Scenarios: Gaussian with 3 and 10 inputs, Poisson and binomial with 3, k = 10 basis functions per
input. vorna_core fits with REML, once with bs="cr" and once with its default basis; pyGAM fits its
LinearGAM / PoissonGAM / LogisticGAM with 10 splines per term and its default gridsearch. Each row
reports, per fit, the root mean squared error of the predicted mean against the true mean (the
mean over `SEEDS` data sets) and the median fit time; the last column is pyGAM time / vorna_core
("cr") time in the same run.
"""
import sys
import time
import warnings

import numpy as np

import vorna_core

SEEDS = 3


def truth(family, x):
    d = x.shape[1]
    eta = np.sin(2 * np.pi * x[:, 0]) + (x[:, 1] - 0.5) ** 2 + 0.5 * np.cos(3 * x[:, 2])
    if d > 3:  # further inputs: gentle effects of varying shape, two of them null
        eta = eta + sum(0.3 * np.sin((j + 1) * x[:, j]) for j in range(3, d - 2))
    if family == "gaussian":
        return eta
    if family == "poisson":
        return np.exp(0.5 * eta)
    return 1.0 / (1.0 + np.exp(-eta))


def sample(family, mean, rng):
    if family == "gaussian":
        return mean + 0.5 * rng.standard_normal(mean.size)
    if family == "poisson":
        return rng.poisson(mean).astype(float)
    return rng.binomial(1, mean).astype(float)


def timed(fit):
    start = time.perf_counter()
    predict = fit()
    return predict, time.perf_counter() - start


def run(family, d, n):
    from pygam import LinearGAM, LogisticGAM, PoissonGAM, s

    errors, times = {"cr": [], "default": [], "pyGAM": []}, {"cr": [], "default": [], "pyGAM": []}
    for seed in range(SEEDS):
        rng = np.random.default_rng(seed)
        x = rng.uniform(size=(n, d))
        mean = truth(family, x)
        y = sample(family, mean, rng)

        def ours(**basis):
            model = vorna_core.GAM(family)
            model.fit(x, y, [10] * d, **basis)
            return model.predict(x)

        def pygam():
            terms = s(0, n_splines=10)
            for j in range(1, d):
                terms = terms + s(j, n_splines=10)
            cls = {"gaussian": LinearGAM, "poisson": PoissonGAM, "binomial": LogisticGAM}[family]
            with warnings.catch_warnings():
                warnings.simplefilter("ignore")
                fitted = cls(terms).gridsearch(x, y, progress=False)
            return fitted.predict_mu(x) if family != "gaussian" else fitted.predict(x)

        for name, fit in [("cr", lambda: ours(bs="cr")), ("default", ours), ("pyGAM", pygam)]:
            predicted, seconds = timed(fit)
            errors[name].append(np.sqrt(np.mean((predicted - mean) ** 2)))
            times[name].append(seconds)
    cells = " | ".join(f"{np.mean(errors[k]):.4f} {np.median(times[k]) * 1e3:8.0f} ms" for k in errors)
    ratio = np.median(times["pyGAM"]) / np.median(times["cr"])
    print(f"| {family:8s} | {d:2d} | {n:6d} | {cells} | {ratio:5.0f}x |", flush=True)


def main(sizes):
    try:
        import pygam  # noqa: F401
    except ImportError:
        print("pyGAM is not installed: pip install pygam")
        return
    print("| family   |  d |      n | vorna cr: error, time | vorna default: error, time "
          "| pyGAM: error, time | pyGAM/cr |")
    for n in sizes:
        for family, d in [("gaussian", 3), ("gaussian", 10), ("poisson", 3), ("binomial", 3)]:
            run(family, d, n)


if __name__ == "__main__":
    main([int(a) for a in sys.argv[1:]] or [10_000, 100_000])
