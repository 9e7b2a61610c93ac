"""How a vorna fit scales with n: d smooths (k = 10 each) fitted at n = 10⁵,
10⁶ and 10⁷ (by default), Gaussian and Poisson; time, peak resident memory
of the fitting process above its data, and the slope of log time against
log n between the smallest and the largest n (1 is linear).

Each fit runs in a child process so that its peak memory is its own.

Run: PYTHONPATH=build python benchmarks/bench_scale.py [--d 10] [--sizes 100000 1000000 10000000] [--threads 1]
"""

import argparse
import json
import math
import os
import subprocess
import sys

CHILD = r"""
import json, os, resource, sys, time
os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")
import numpy as np
from vorna import GAM, s
n, d, family, threads = int(sys.argv[1]), int(sys.argv[2]), sys.argv[3], int(sys.argv[4])
rng = np.random.default_rng(0)
x = rng.random((n, d))
eta = np.sin(6 * x[:, 0]) + x[:, 1] ** 2 - x[:, 2] + 0.3 * np.cos(5 * x[:, 3 % d])
y = eta + 0.3 * rng.standard_normal(n) if family == "gaussian" else rng.poisson(np.exp(0.5 * eta)).astype(float)
del eta
before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
start = time.perf_counter()
model = GAM([s(j, k=10) for j in range(d)], family=family, n_threads=threads).fit(x, y)
elapsed = time.perf_counter() - start
peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
print(json.dumps({"time": elapsed, "peak_above_mb": max(peak - before, 0) / 1024, "data_mb": x.nbytes / 2**20,
                  "p": int(model.coef_.size)}))
"""


def run(n, d, family, threads):
    out = subprocess.run([sys.executable, "-c", CHILD, str(n), str(d), family, str(threads)], capture_output=True,
                         text=True, check=True, env=os.environ.copy())
    return json.loads(out.stdout.strip().splitlines()[-1])


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--d", type=int, default=10)
    parser.add_argument("--sizes", type=int, nargs="+", default=[100_000, 1_000_000, 10_000_000])
    parser.add_argument("--threads", type=int, default=1)
    args = parser.parse_args()
    print(f"d = {args.d} smooths, k = 10, {args.threads} thread(s)\n")
    print("| family | n | p | time s | peak MB above the data | data MB | model matrix MB |")
    print("|---|---|---|---|---|---|---|")
    for family in ("gaussian", "poisson"):
        times = {}
        for n in args.sizes:
            r = run(n, args.d, family, args.threads)
            times[n] = r["time"]
            print(f"| {family} | {n:,} | {r['p']} | {r['time']:.2f} | {r['peak_above_mb']:.0f} | {r['data_mb']:.0f} "
                  f"| {n * r['p'] * 8 / 2**20:.0f} |", flush=True)
        lo, hi = min(args.sizes), max(args.sizes)
        slope = math.log(times[hi] / times[lo]) / math.log(hi / lo)
        print(f"  slope of log time in log n from {lo:,} to {hi:,}: {slope:.3f}")


if __name__ == "__main__":
    main()
