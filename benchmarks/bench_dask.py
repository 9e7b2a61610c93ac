"""Fits on a local Dask cluster against the fit in memory, in one run.

Rows are generated partition by partition on the workers (the client never
holds them): five uniform columns, a smooth Gaussian and a Poisson response.
Reports, for Gaussian and Poisson fits of five smooths: wall time, the peak
resident memory of each worker and of the client, and throughput per core
against a single-threaded fit of n_memory rows held in memory.

Run: PYTHONPATH=build python benchmarks/bench_dask.py [--n 50000000] [--rows-per-partition 1000000]
"""

import argparse
import os
import resource
import time

os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

import numpy as np  # noqa: E402


def chunk(i, rows):
    import pandas as pd

    rng = np.random.default_rng(1000 + i)
    x = [rng.random(rows) for _ in range(5)]
    eta = np.sin(6 * x[0]) + x[1] ** 2 - x[2] + 0.5 * np.cos(4 * x[3]) + 0.2 * x[4]
    columns = {f"x{j}": x[j] for j in range(5)}
    columns["gaussian"] = eta + 0.3 * rng.standard_normal(rows)
    columns["poisson"] = rng.poisson(np.exp(0.5 * eta)).astype(float)
    return pd.DataFrame(columns, copy=False)


def peak_mb():
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024


def terms():
    from vorna import s

    return [s(f"x{j}", k=10) for j in range(5)]


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--n", type=int, default=50_000_000)
    parser.add_argument("--rows-per-partition", type=int, default=1_000_000)
    parser.add_argument("--n-memory", type=int, default=10_000_000)
    parser.add_argument("--workers", type=int, default=2)
    args = parser.parse_args()

    import dask.dataframe as dd
    import pandas as pd
    from distributed import Client, LocalCluster

    from vorna import GAM

    columns = [f"x{j}" for j in range(5)]
    rows = args.rows_per_partition
    parts = args.n // rows
    n = parts * rows
    cluster = LocalCluster(n_workers=args.workers, threads_per_worker=1, processes=True, host="127.0.0.1",
                           dashboard_address=None, memory_limit="8GB")
    client = Client(cluster)
    client.run(lambda: os.environ.__setitem__("OPENBLAS_NUM_THREADS", "1"))
    ddf = dd.from_map(chunk, range(parts), rows=rows)
    print(f"n = {n:,} in {parts} partitions of {rows:,} rows; {args.workers} worker processes, 1 thread each; "
          f"a partition is {rows * 7 * 8 / 2**20:.0f} MB\n")

    results = {}
    for family in ("gaussian", "poisson"):
        client.restart()  # fresh workers, so that their peaks are this fit's
        client_before = peak_mb()
        start = time.perf_counter()
        model = GAM(terms(), family=family).fit(ddf[columns], ddf[family])
        elapsed = time.perf_counter() - start
        workers = client.run(peak_mb)
        results[family] = (elapsed, max(workers.values()), peak_mb() - client_before, model)

    client.close()
    cluster.close()

    memory = pd.concat([chunk(i, rows) for i in range(max(1, args.n_memory // rows))], ignore_index=True)
    n_memory = len(memory)
    print("| fit | n | time s | rows/s per core | peak MB per worker | client MB above start |")
    print("|---|---|---|---|---|---|")
    for family in ("gaussian", "poisson"):
        elapsed, worker_mb, client_mb, model = results[family]
        start = time.perf_counter()
        local = GAM(terms(), family=family, n_threads=1).fit(memory[columns], memory[family])
        local_time = time.perf_counter() - start
        dask_rate = n / elapsed / args.workers
        local_rate = n_memory / local_time
        print(f"| {family}, Dask | {n:,} | {elapsed:.1f} | {dask_rate:,.0f} | {worker_mb:,.0f} | {client_mb:,.0f} |")
        print(f"| {family}, in memory, 1 thread | {n_memory:,} | {local_time:.1f} | {local_rate:,.0f} | – | – |")
        print(f"  throughput per core, Dask / in memory: {dask_rate / local_rate:.2f}; deviance explained "
              f"{model.deviance_explained_:.4f} (Dask) and {local.deviance_explained_:.4f} (in memory)")


if __name__ == "__main__":
    main()
