"""vorna against pyGAM and statsmodels on simulated data with a known truth.

Run (from the repository root, after `cmake --build build`):

    PYTHONPATH=build python benchmarks/bench_modelling.py

Options: --sizes 10000 100000, --seeds 3 2 (seeds per size), --skip-peers
(vorna only), --skip-basis (no basis table), --pygam-own-basis (also pyGAM's
gridsearch with its own default basis sizes, at n <= 10^4 only; about two
minutes more). The default run takes about 12 minutes on two cores; most of it
is pyGAM's gridsearch at n = 10^5 and statsmodels' alpha selection.

What is compared
----------------
Four scenarios, one per family: Gaussian (identity link), Poisson (log),
binomial 0/1 (logit) and Gamma (log link in every library). Each has the same
model: two smooths s(x1), s(x2), a tensor product te(x3, x4), a factor g with
four levels and a linear term in z. Every library gets the same basis sizes
(10 per smooth, 5 x 5 for the tensor product), so the comparison is of basis
and smoothing selection, not of basis size.

- vorna: GAM(s(x1) + s(x2) + te(x3, x4) + f(g) + l(z)), REML, default basis.
- pyGAM "gridsearch": the family's class (LinearGAM, PoissonGAM, LogisticGAM,
  GammaGAM) with s(0) + s(1) + te(2, 3) + f(4) + l(5) and `gridsearch` as
  users call it, with its default grid: 11 values of lam, np.logspace(-3, 3,
  11), the same lam for every term. No cap on the grid was needed: at n = 10^5
  one gridsearch takes 25-50 s and the whole script stays under 15 minutes.
- pyGAM "fit": the same model fitted once with the default lam = 0.6.
- pyGAM "gridsearch, own basis" (only with --pygam-own-basis, only at
  n <= 10^4): gridsearch with pyGAM's default basis sizes (s: 20 splines,
  te: 10 x 10), to show how much of the gap is the shared small basis. At
  n = 10^5 it takes minutes per fit.
- statsmodels: GLMGam with cubic BSplines. It has no tensor-product smooth, so
  x3 and x4 get additive smooths (10 + 10 columns) and cannot represent the
  interaction; the factor enters as dummy columns in exog. Choosing alpha with
  `select_penweight` costs 30-60 s per fit at n = 10^4 (hundreds of penalized
  fits), too slow to repeat for every data set, so alpha is chosen once per
  scenario by `select_penweight(method="minimize")` (its AIC criterion) on an
  independent pilot sample of n = 10^4, and that fixed alpha is used for every
  seed and size. The pilot time is reported apart from the fit time.

Metrics
-------
Every measured fit follows a warm-up fit of the same kind on 1,000 rows in the
same process, so one-off costs (lazy imports, first use of BLAS) are left out.

- time: wall time of the fit call alone (data already in memory; for pyGAM the
  whole gridsearch; for statsmodels building the B-spline basis and the fit).
- memory: peak resident memory during the fit above the resident memory just
  before it, measured in a fresh subprocess per fit: the process's peak
  (VmHWM) is reset through /proc/self/clear_refs after the data are made, then
  read after the fit, so it counts the C++ core's allocations as well as
  Python's. Where the reset is not allowed, the delta of
  resource.getrusage().ru_maxrss is used instead (it can only under-count).
- error: RMSE of the fitted mean against the true mean on the response scale,
  on a fresh sample of N_TEST points from the same covariate distribution.
"""

import os

# Single-threaded BLAS for every library, set before numpy is imported, so
# the times compare algorithms rather than thread counts.
os.environ["OPENBLAS_NUM_THREADS"] = "1"
os.environ["OMP_NUM_THREADS"] = "1"
os.environ["MKL_NUM_THREADS"] = "1"

import argparse  # noqa: E402
import gc  # noqa: E402
import json  # noqa: E402
import resource  # noqa: E402
import subprocess  # noqa: E402
import sys  # noqa: E402
import time  # noqa: E402
import warnings  # noqa: E402

import numpy as np  # noqa: E402

FAMILIES = ("gaussian", "poisson", "binomial", "gamma")
K_SMOOTH = 10  # basis size of s(x1), s(x2) in every library
K_TENSOR = 5  # per margin of te(x3, x4): 25 columns before the constraint
LEVELS = np.array(["a", "b", "c", "d"])
LEVEL_EFFECTS = np.array([0.0, 0.4, -0.3, 0.2])
LINEAR_COEF = 0.5
GAMMA_SHAPE = 2.0  # coefficient of variation 1/sqrt(2)
GAUSSIAN_SD = 1.0
N_TEST = 20_000
PYGAM_OWN_BASIS_MAX_N = 10_000  # pyGAM with its own, larger basis is too slow above this
WARMUP_N = 1_000
PILOT_N, PILOT_SEED = 10_000, 9_999
TEST_SEED_OFFSET = 100_000  # test samples never share a seed with training data
PEERS = ("pyGAM gridsearch", "pyGAM gridsearch, own basis", "pyGAM fit", "statsmodels")


# ---- the truth ----------------------------------------------------------------------------------------------------

def f1(x):
    return np.sin(2 * np.pi * x)


def f2(x):
    # exp(2x) centred on its mean over [0, 1] and shrunk to a range of about 2
    return (np.exp(2 * x) - (np.exp(2) - 1) / 2) / 3


def f3(x3, x4):
    # A bump off the centre: a genuine interaction that no sum g(x3) + h(x4) can represent.
    return 1.5 * np.exp(-((x3 - 0.35) ** 2 + (x4 - 0.6) ** 2) / 0.1)


def draw_covariates(n, rng):
    x1, x2, x3, x4 = rng.uniform(size=(4, n))
    codes = rng.integers(0, len(LEVELS), n)
    z = rng.uniform(-1, 1, n)
    return {"x1": x1, "x2": x2, "x3": x3, "x4": x4, "g": LEVELS[codes], "code": codes, "z": z}


def true_mean(cov, family):
    """The mean on the response scale. The additive predictor spans about -2.5..4.8; each family puts it on a
    scale where the response is informative: Poisson means 0.5..18, probabilities 0.06..0.95, Gamma means 0.3..11."""
    eta = (f1(cov["x1"]) + f2(cov["x2"]) + f3(cov["x3"], cov["x4"]) + LEVEL_EFFECTS[cov["code"]]
           + LINEAR_COEF * cov["z"])
    if family == "gaussian":
        return eta
    if family == "poisson":
        return np.exp(0.5 * eta + 0.5)
    if family == "binomial":
        return 1.0 / (1.0 + np.exp(-0.8 * (eta - 1.0)))
    return np.exp(0.5 * eta)  # gamma, log link


def draw_response(mean, family, rng):
    if family == "gaussian":
        return mean + GAUSSIAN_SD * rng.standard_normal(mean.size)
    if family == "poisson":
        return rng.poisson(mean).astype(float)
    if family == "binomial":
        return rng.binomial(1, mean).astype(float)
    return rng.gamma(GAMMA_SHAPE, mean / GAMMA_SHAPE)


def training_data(family, n, seed):
    rng = np.random.default_rng(seed)
    cov = draw_covariates(n, rng)
    return cov, draw_response(true_mean(cov, family), family, rng)


def test_data(family, seed):
    cov = draw_covariates(N_TEST, np.random.default_rng(seed + TEST_SEED_OFFSET))
    return cov, true_mean(cov, family)


# ---- the libraries: each fit_* returns a function from covariates to the predicted mean -------------------------

def fit_vorna(cov, y, family, basis="cr"):
    from vorna import GAM, f, l, s, te

    data = {k: cov[k] for k in ("x1", "x2", "x3", "x4", "g", "z")}  # the factor as strings, as users have it
    terms = (s("x1", k=K_SMOOTH, bs=basis) + s("x2", k=K_SMOOTH, bs=basis)
             + te("x3", "x4", k=K_TENSOR, bs=basis) + f("g") + l("z"))
    link = "log" if family == "gamma" else None  # vorna's canonical Gamma link is not the log
    model = GAM(terms, family=family, link=link, method="REML").fit(data, y)
    return lambda c: model.predict({k: c[k] for k in data})


def pygam_matrix(cov):
    # pyGAM takes one numeric matrix; the factor enters as integer codes.
    return np.column_stack([cov["x1"], cov["x2"], cov["x3"], cov["x4"], cov["code"], cov["z"]])


def fit_pygam(cov, y, family, search, own_basis=False):
    """search: gridsearch over pyGAM's default lam grid, else one fit at the default lam. own_basis: pyGAM's
    default basis sizes instead of the ones every library shares here."""
    from pygam import GammaGAM, LinearGAM, LogisticGAM, PoissonGAM, f, l, s, te

    cls = {"gaussian": LinearGAM, "poisson": PoissonGAM, "binomial": LogisticGAM, "gamma": GammaGAM}[family]
    if own_basis:
        terms = s(0) + s(1) + te(2, 3) + f(4) + l(5)
    else:
        terms = s(0, n_splines=K_SMOOTH) + s(1, n_splines=K_SMOOTH) + te(2, 3, n_splines=K_TENSOR) + f(4) + l(5)
    model = cls(terms)
    X = pygam_matrix(cov)
    if search:
        model.gridsearch(X, y, progress=False)
    else:
        model.fit(X, y)
    return lambda c: model.predict_mu(pygam_matrix(c))


def statsmodels_parts(cov):
    """exog (intercept, three dummies, z) and the columns that get smooths (x3, x4 additive: no tensor product)."""
    dummies = (cov["code"][:, None] == np.arange(1, len(LEVELS))).astype(float)
    exog = np.column_stack([np.ones(cov["z"].size), dummies, cov["z"]])
    return exog, np.column_stack([cov["x1"], cov["x2"], cov["x3"], cov["x4"]])


def statsmodels_family(family):
    import statsmodels.api as sm

    if family == "gamma":
        return sm.families.Gamma(link=sm.families.links.Log())
    return {"gaussian": sm.families.Gaussian, "poisson": sm.families.Poisson, "binomial": sm.families.Binomial}[family]()


def statsmodels_model(cov, y, family, alpha):
    from statsmodels.gam.api import BSplines, GLMGam

    exog, smooth_x = statsmodels_parts(cov)
    # Knots span the covariates' known support [0, 1]: statsmodels refuses to evaluate its basis outside the
    # outermost knots, and test points can fall just outside the training sample's range.
    splines = BSplines(smooth_x, df=[K_SMOOTH] * 4, degree=[3] * 4,
                       knot_kwds=[{"lower_bound": 0.0, "upper_bound": 1.0}] * 4)
    return GLMGam(y, exog=exog, smoother=splines, alpha=np.asarray(alpha, float), family=statsmodels_family(family))


def fit_statsmodels(cov, y, family, alpha):
    result = statsmodels_model(cov, y, family, alpha).fit()

    def predict(c):
        exog, smooth_x = statsmodels_parts(c)
        return np.asarray(result.predict(exog=exog, exog_smooth=smooth_x))
    return predict


def select_statsmodels_alpha(family):
    """alpha by select_penweight on an independent pilot sample (see the module docstring for why only once)."""
    cov, y = training_data(family, PILOT_N, PILOT_SEED)
    model = statsmodels_model(cov, y, family, np.ones(4))
    model.fit()  # select_penweight needs a fitted model (it reads the scale)
    alpha, _, _ = model.select_penweight(method="minimize")
    return [float(a) for a in alpha]


# ---- one measurement, run in its own subprocess ------------------------------------------------------------------

def _status_kb(field):
    with open("/proc/self/status") as fh:
        for line in fh:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    raise RuntimeError(f"no {field} in /proc/self/status")


def _reset_peak():
    """Reset the kernel's peak-RSS mark so the peak read after the fit belongs to the fit; False if not allowed."""
    try:
        with open("/proc/self/clear_refs", "w") as fh:
            fh.write("5")
        return True
    except OSError:
        return False


def import_library(lib):
    # Imported before the memory baseline, so a library's import is not counted as the fit's memory.
    if lib.startswith("vorna"):
        import vorna  # noqa: F401
    elif lib.startswith("pyGAM"):
        import pygam  # noqa: F401
    else:
        import statsmodels.gam.api  # noqa: F401


def fitter(job):
    family, lib = job["family"], job["lib"]
    if lib.startswith("vorna"):
        return lambda cov, y: fit_vorna(cov, y, family, job.get("basis", "cr"))
    if lib.startswith("pyGAM"):
        search, own_basis = lib.startswith("pyGAM gridsearch"), lib.endswith("own basis")
        return lambda cov, y: fit_pygam(cov, y, family, search, own_basis)
    return lambda cov, y: fit_statsmodels(cov, y, family, job["alpha"])


def measure(job):
    """Fit once and report time, peak memory above the baseline, error against the truth and any warnings."""
    import_library(job["lib"])
    fit = fitter(job)
    # A warm-up fit on a small sample first, so that lazy imports and first-touch pages of code and BLAS buffers
    # are not counted as the measured fit's memory or time.
    fit(*training_data(job["family"], WARMUP_N, job["seed"] + TEST_SEED_OFFSET + 1))
    cov, y = training_data(job["family"], job["n"], job["seed"])
    gc.collect()
    exact = _reset_peak()
    rss_before = _status_kb("VmRSS") if exact else resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        start = time.perf_counter()
        predict = fit(cov, y)
        seconds = time.perf_counter() - start
    peak = _status_kb("VmHWM") if exact else resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    test_cov, test_mean = test_data(job["family"], job["seed"])
    predicted = predict(test_cov)
    rmse = float(np.sqrt(np.mean((predicted - test_mean) ** 2)))
    messages = sorted({f"{w.category.__name__}: {str(w.message)[:160]}" for w in caught})
    return {"seconds": seconds, "memory_mb": (peak - rss_before) / 1024, "rmse": rmse, "warnings": messages,
            "finite": bool(np.all(np.isfinite(predicted))), "exact_memory": exact}


def run_child(job):
    """Run `job` in a fresh interpreter; returns its result dict, or {"error": ...} when it fails."""
    proc = subprocess.run([sys.executable, __file__, "--child", json.dumps(job)], capture_output=True, text=True)
    lines = [ln for ln in proc.stdout.splitlines() if ln.startswith("{")]
    if proc.returncode != 0 or not lines:
        tail = (proc.stderr.strip().splitlines() or ["no output"])[-1]
        return {"error": f"exit {proc.returncode}: {tail}"}
    return json.loads(lines[-1])


def child_main(job):
    try:
        if job["lib"] == "statsmodels pilot":
            import statsmodels.gam.api  # noqa: F401
            with warnings.catch_warnings():
                warnings.simplefilter("ignore")  # its optimizer's convergence chatter, not a result
                start = time.perf_counter()
                alpha = select_statsmodels_alpha(job["family"])
            out = {"alpha": alpha, "seconds": time.perf_counter() - start}
        else:
            out = measure(job)
    except Exception as err:  # report and go on with the other fits
        out = {"error": f"{type(err).__name__}: {err}"}
    print(json.dumps(out), flush=True)


# ---- tables ------------------------------------------------------------------------------------------------------

def summarize(results):
    """Mean and sd of the error over seeds, median time, largest peak memory; None when every seed failed."""
    ok = [r for r in results if "error" not in r]
    if not ok:
        return None
    errs = np.array([r["rmse"] for r in ok])
    return {"rmse": errs.mean(), "sd": errs.std(ddof=1) if len(errs) > 1 else 0.0,
            "seconds": float(np.median([r["seconds"] for r in ok])),
            "memory_mb": max(r["memory_mb"] for r in ok), "failed": len(results) - len(ok)}


def fmt_cell(summary):
    if summary is None:
        return "failed | - | -"
    note = f" ({summary['failed']} failed)" if summary["failed"] else ""
    return (f"{summary['rmse']:.4f} ± {summary['sd']:.4f}{note} | {summary['seconds']:.2f} | "
            f"{summary['memory_mb']:.0f}")


def print_main_table(n, libs, table):
    print(f"\n### n = {n:,}: error against the truth, fit time, peak memory\n")
    print("| scenario | library | RMSE vs true mean (mean ± sd over seeds) | fit time s (median) | peak MB above input |")
    print("|---|---|---|---|---|")
    for family in FAMILIES:
        for lib in libs:
            if (family, n, lib) in table:
                print(f"| {family} | {lib} | {fmt_cell(summarize(table[family, n, lib]))} |")


def print_ratios(sizes, table):
    print("\n### Ratios (targets: error ratio <= 1, pyGAM gridsearch / vorna time >= 20)\n")
    print("| scenario | n | vorna RMSE | best peer (RMSE) | vorna / best peer error | "
          "pyGAM gridsearch / vorna time | vorna peak MB / pyGAM gridsearch peak MB |")
    print("|---|---|---|---|---|---|---|")
    for n in sizes:
        for family in FAMILIES:
            ours = summarize(table.get((family, n, "vorna"), []))
            if ours is None:
                print(f"| {family} | {n:,} | failed | | | | |")
                continue
            peers = {lib: summarize(table.get((family, n, lib), [])) for lib in PEERS}
            peers = {lib: p for lib, p in peers.items() if p is not None}
            if not peers:
                continue
            best = min(peers, key=lambda lib: peers[lib]["rmse"])
            grid = peers.get("pyGAM gridsearch")
            speed = f"{grid['seconds'] / ours['seconds']:.0f}x" if grid else "-"
            mem = (f"{ours['memory_mb'] / grid['memory_mb']:.2f}" if grid and grid["memory_mb"] > 0 else "-")
            print(f"| {family} | {n:,} | {ours['rmse']:.4f} | {best} ({peers[best]['rmse']:.4f}) | "
                  f"{ours['rmse'] / peers[best]['rmse']:.2f} | {speed} | {mem} |")


def print_basis_table(n, bases, table):
    print(f"\n### vorna basis choice, n = {n:,}: RMSE vs true mean (mean ± sd over seeds), median fit time\n")
    print("| scenario | " + " | ".join(f"bs={b!r}" for b in bases) + " | most accurate |")
    print("|---|" + "---|" * (len(bases) + 1))
    for family in FAMILIES:
        cells, errs = [], {}
        for b in bases:
            sm = summarize(table.get((family, n, f"vorna {b}"), []))
            cells.append("failed" if sm is None else f"{sm['rmse']:.4f} ± {sm['sd']:.4f}, {sm['seconds']:.2f} s")
            if sm is not None:
                errs[b] = sm["rmse"]
        print(f"| {family} | " + " | ".join(cells) + f" | {min(errs, key=errs.get) if errs else '-'} |")


def print_pilots(pilots):
    print("\n### statsmodels alpha (select_penweight on a pilot sample, n = 10,000; fixed for all fits)\n")
    print("| scenario | alpha (x1, x2, x3, x4) | selection time s |")
    print("|---|---|---|")
    for family, p in pilots.items():
        cell = p["error"] if "error" in p else ", ".join(f"{a:.3g}" for a in p["alpha"])
        print(f"| {family} | {cell} | {p.get('seconds', float('nan')):.1f} |")


def print_notes(table):
    """Every warning and failure seen, so that odd behaviour is not hidden behind an average."""
    notes = []
    for (family, n, lib), results in sorted(table.items(), key=str):
        for seed, r in enumerate(results):
            if "error" in r:
                notes.append(f"- {lib}, {family}, n={n:,}, seed {seed}: FAILED {r['error']}")
                continue
            if not r["finite"]:
                notes.append(f"- {lib}, {family}, n={n:,}, seed {seed}: non-finite predictions")
            for w in r["warnings"]:
                notes.append(f"- {lib}, {family}, n={n:,}, seed {seed}: {w}")
            if not r["exact_memory"]:
                notes.append(f"- {lib}, {family}, n={n:,}, seed {seed}: memory from ru_maxrss deltas")
    print("\n### Warnings and failures\n")
    print("\n".join(notes) if notes else "none")


# ---- driver ------------------------------------------------------------------------------------------------------

def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--child", help=argparse.SUPPRESS)
    parser.add_argument("--sizes", type=int, nargs="+", default=[10_000, 100_000])
    parser.add_argument("--seeds", type=int, nargs="+", default=[3, 2], help="seeds per size, in the order of --sizes")
    parser.add_argument("--skip-peers", action="store_true", help="fit vorna only")
    parser.add_argument("--skip-basis", action="store_true", help="leave out the basis-choice table")
    parser.add_argument("--pygam-own-basis", action="store_true",
                        help=f"also pyGAM gridsearch with its default basis sizes (n <= {PYGAM_OWN_BASIS_MAX_N:,})")
    args = parser.parse_args(argv)
    if args.child:
        child_main(json.loads(args.child))
        return
    seeds = dict(zip(args.sizes, args.seeds + [args.seeds[-1]] * len(args.sizes)))
    started = time.perf_counter()

    pilots = {}
    if not args.skip_peers:
        for family in FAMILIES:
            pilots[family] = run_child({"lib": "statsmodels pilot", "family": family})
            print(f"statsmodels pilot {family}: {pilots[family]}", file=sys.stderr, flush=True)

    libs = ["vorna"] + ([] if args.skip_peers else list(PEERS))
    if not args.pygam_own_basis and not args.skip_peers:
        libs.remove("pyGAM gridsearch, own basis")
    table = {}
    for n in args.sizes:
        for family in FAMILIES:
            for lib in libs:
                if lib == "statsmodels" and "alpha" not in pilots[family]:
                    continue
                if lib.endswith("own basis") and n > PYGAM_OWN_BASIS_MAX_N:
                    continue
                for seed in range(seeds[n]):
                    job = {"lib": lib, "family": family, "n": n, "seed": seed,
                           "alpha": pilots.get(family, {}).get("alpha")}
                    result = run_child(job)
                    table.setdefault((family, n, lib), []).append(result)
                    print(f"{lib}, {family}, n={n}, seed {seed}: {result}", file=sys.stderr, flush=True)

    bases, basis_n = ("cr", "bs", "ps"), min(args.sizes)
    if not args.skip_basis:
        for family in FAMILIES:
            for b in bases:
                for seed in range(seeds[basis_n]):
                    # "vorna cr" repeats the main table's vorna fits (same data), so the three columns are comparable.
                    result = run_child({"lib": f"vorna {b}", "basis": b, "family": family, "n": basis_n, "seed": seed})
                    table.setdefault((family, basis_n, f"vorna {b}"), []).append(result)

    print("\nAll libraries use single-threaded BLAS; each fit runs in its own subprocess after a warm-up fit. "
          "pyGAM gridsearch: its default grid, lam = np.logspace(-3, 3, 11), at every n. Basis sizes shared by all "
          f"libraries: s k = {K_SMOOTH}, te {K_TENSOR} x {K_TENSOR} (statsmodels: additive smooths of x3 and x4). "
          f"Error: RMSE of the predicted mean against the true mean on {N_TEST:,} fresh points.")
    if pilots:
        print_pilots(pilots)
    for n in args.sizes:
        print_main_table(n, libs, table)
    if not args.skip_peers:
        print_ratios(args.sizes, table)
    if not args.skip_basis:
        print_basis_table(basis_n, bases, table)
    print_notes(table)
    print(f"\nTotal wall time: {time.perf_counter() - started:.0f} s")


if __name__ == "__main__":
    main()
