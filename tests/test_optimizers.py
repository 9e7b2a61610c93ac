"""Smoothing-parameter optimizers: Newton REML, Fellner-Schall, the GCV search and the entry."""
import math
import re

import numpy as np
import pytest
from scipy.interpolate import BSpline

t = pytest.importorskip("_vorna_core_testing")

LOG_LAMBDA_MIN = math.log(1e-7)
LOG_LAMBDA_MAX = math.log(1e5)
# Fellner-Schall and the GCV search are replayed in NumPy below; both sides do
# the same O(p³) arithmetic on p ≤ 30, so they agree to rounding (≈1e-13
# relative) and 1e-9 leaves room for the different summation orders of BLAS.
REPLAY_RTOL = 1e-9


# ---- Problems and independent references -----------------------------------------


def bspline_block(x, k):
    """k cubic B-splines with evenly spaced knots over [0, 1]."""
    inner = np.linspace(0.0, 1.0, k - 2)
    knots = np.r_[[0.0] * 3, inner, [1.0] * 3]
    return BSpline.design_matrix(np.clip(x, 0.0, 1.0), knots, 3).toarray()


def second_difference_penalty(k):
    d = np.diff(np.eye(k), 2, axis=0)
    return d.T @ d


def pspline_problem(rng, n=200, m=2, k=10, noise=0.3, weighted=False, signal=1.0):
    """m smooths side by side; blocks after the first drop one column so that
    the model has no exactly collinear intercepts."""
    xs = rng.uniform(0.0, 1.0, (n, m))
    blocks, sizes = [], []
    for j in range(m):
        b = bspline_block(xs[:, j], k)
        if j > 0:
            b = b[:, :-1]
        blocks.append(b)
        sizes.append(b.shape[1])
    x = np.hstack(blocks)
    p = x.shape[1]
    penalties, start = [], 0
    for size in sizes:
        s = np.zeros((p, p))
        s[start:start + size, start:start + size] = second_difference_penalty(size)
        penalties.append(s)
        start += size
    y = signal * sum(np.sin(2 * np.pi * (j + 1) * xs[:, j]) for j in range(m))
    y = y + noise * rng.standard_normal(n)
    w = rng.uniform(0.5, 2.0, n) if weighted else np.ones(n)
    return y, x, w, penalties


def criterion_rank(s):
    scale = max(1.0, np.abs(s).max(initial=0.0))
    count = int(np.sum(np.abs(s).sum(axis=1) > 1e-10 * scale))
    return count - 2 if count >= 2 else 1


def reml_criterion_ref(y, x, w, lambdas, penalties):
    """The REML criterion with its scalar ridge and row-counting rank, in NumPy."""
    n, m = len(y), len(lambdas)
    a = x.T @ (w[:, None] * x)
    for lam, s in zip(lambdas, penalties):
        a = a + lam * s
    ridge = 1e-5 * (1 + math.sqrt(m)) * max(1.0, np.abs(np.diag(a)).max())
    a_ridged = a + ridge * np.eye(len(a))
    beta = np.linalg.solve(a_ridged, x.T @ (w * y))
    e = y - x @ beta
    rss = float(np.sum(w * e * e))
    pen = sum(lam * beta @ s @ beta for lam, s in zip(lambdas, penalties))
    _, logdet = np.linalg.slogdet(a_ridged)
    ell = rank = 0.0
    for lam, s in zip(lambdas, penalties):
        if lam > 1e-10:
            r = criterion_rank(s)
            ell += r * math.log(lam)
            rank += r
    phi = rss / (n - rank)
    return 0.5 * ((rss + pen) / phi + (n - rank) * math.log(2 * math.pi * phi) + logdet - ell)


def fellner_schall_ref(x, w, penalties, lambdas):
    """A NumPy replay of the Fellner-Schall iteration; returns (λ, iterations)."""
    m = len(penalties)
    ranks = [int(np.sum(np.linalg.eigvalsh(s) > 1e-10 * max(np.linalg.eigvalsh(s).max(), 1.0)))
             for s in penalties]
    xtwx = x.T @ (w[:, None] * x)
    rho = np.log(np.asarray(lambdas, dtype=float))
    for it in range(10):
        lam = np.exp(rho)
        a = xtwx + sum(l * s for l, s in zip(lam, penalties))
        ridge = (math.sqrt(m) + 1) * 1e-5 * max(1.0, np.abs(np.diag(a)).max())
        l_inv = np.linalg.inv(np.linalg.cholesky(a + ridge * np.eye(len(a))))
        new = rho.copy()
        for j, s in enumerate(penalties):
            ratio = np.trace(l_inv @ s) / ranks[j] if ranks[j] > 0 else 1.0
            ratio = min(max(ratio, 0.2), 5.0)
            new[j] = min(max(rho[j] + 0.5 * math.log(ratio), LOG_LAMBDA_MIN), LOG_LAMBDA_MAX)
        if m == 0 or np.abs(new - rho).max() < 1e-6:
            return np.exp(new), it + 1
        rho = new
    return np.exp(rho), 10


def gcv_score_ref(y, x, w, s, lam):
    n = len(y)
    xtwx = x.T @ (w[:, None] * x)
    a = xtwx + lam * s
    beta = np.linalg.solve(a, x.T @ (w * y))
    e = y - x @ beta
    tau = np.trace(np.linalg.solve(a, xtwx))
    return n * np.sum(w * e * e) / (n - tau) ** 2


def gcv_search_ref(y, x, w, s, score=gcv_score_ref):
    rho = 0.0
    for _ in range(10):
        old = rho
        f0 = score(y, x, w, s, math.exp(old))
        f1 = score(y, x, w, s, math.exp(old + 0.01))
        rho = old + ((f1 - f0) / -0.01) * 0.5
        if not abs(rho - old) > 1e-6:
            break
    return math.exp(rho)


def profile_lines(capfd):
    return [line for line in capfd.readouterr().err.splitlines() if line.startswith("[PROFILE]")]


@pytest.fixture
def profiling(monkeypatch):
    monkeypatch.setenv("VORNA_PROFILE", "")
    monkeypatch.delenv("VORNA_GRAD_DEBUG", raising=False)
    monkeypatch.delenv("VORNA_TRACE_DEBUG", raising=False)


# ---- The separate rules of the Newton optimizer -----------------------------------


@pytest.mark.parametrize(
    "ginf, expected",
    [(0.0, 10), (0.0999, 10), (0.1, 20), (0.999, 20), (1.0, 30), (1e3, 30)],
)
def test_halvings_grow_with_the_gradient(ginf, expected):
    assert t.max_halvings(ginf) == expected


def preconditioned_step_ref(g, h):
    d = np.where(np.diag(h) > 1e-10, np.sqrt(np.abs(np.diag(h))), 1.0)
    scaled = h / np.outer(d, d) + 1e-7 * np.eye(len(g))
    return np.linalg.solve(scaled, -g / d) / d


@pytest.mark.parametrize("diag_entry", [5.0, 0.0, -3.0])
def test_newton_step_matches_the_scaled_solve(rng, diag_entry):
    b = rng.standard_normal((3, 3))
    h = b @ b.T + np.eye(3)
    h[2, 2] = diag_entry  # 0 and -3 take the unit preconditioner
    g = 0.01 * rng.standard_normal(3)
    direction, norm = t.newton_step(g, h)
    expected = preconditioned_step_ref(g, h)
    assert np.linalg.norm(expected) < 4.0
    # a 3 × 3 solve of condition below 1e3: agreement to a few hundred ulps
    np.testing.assert_allclose(direction, expected, rtol=1e-10, atol=1e-14)
    assert norm == pytest.approx(np.linalg.norm(expected), rel=1e-12)  # a sum of three squares


def test_long_newton_step_is_cut_to_norm_four(rng):
    h = np.diag([1.0, 2.0, 4.0])
    g = np.array([-6.0, 8.0, 4.0])
    uncapped = preconditioned_step_ref(g, h)
    assert np.linalg.norm(uncapped) > 4.0
    direction, norm = t.newton_step(g, h)
    assert norm == 4.0  # the reported length is min(‖s‖, 4), exactly
    # a rescaled vector: its norm and direction are off by rounding only
    assert np.linalg.norm(direction) == pytest.approx(4.0, rel=1e-14)
    np.testing.assert_allclose(direction, uncapped * (4.0 / np.linalg.norm(uncapped)), rtol=1e-12)


class Trials:
    """A criterion along the step whose values the test chooses per scale."""

    def __init__(self, values):
        self.values = values
        self.scales = []

    def __call__(self, scale):
        self.scales.append(scale)
        return self.values(scale)


TRIAL_LINE = re.compile(r"^\[PROFILE\]     half=(\d+): scale=(\d\.\d{4}), REML=(-?\d+\.\d{6}|NaN), armijo=(true|false)$")


@pytest.mark.parametrize(
    "values, scale, scales, final_line",
    [
        # Full step passes Armijo; the half step is still tried and, being no
        # lower, ends the search with the full step.
        ({1.0: 9.0, 0.5: 9.5}, 1.0, [1.0, 0.5], "[PROFILE]   Best step scale: 1.0000"),
        # Half step lower and sufficient: accepted at once.
        ({1.0: 9.0, 0.5: 8.0}, 0.5, [1.0, 0.5], "[PROFILE]   Armijo condition satisfied, accepting scale=0.5000"),
        # Improvements too small for Armijo go on until one is sufficient.
        ({1.0: 9.999, 0.5: 9.998, 0.25: 9.996}, 0.25, [1.0, 0.5, 0.25],
         "[PROFILE]   Armijo condition satisfied, accepting scale=0.2500"),
        # A failed full step is skipped; the half step can still be accepted.
        ({1.0: None, 0.5: 9.0}, 0.5, [1.0, 0.5], "[PROFILE]   Armijo condition satisfied, accepting scale=0.5000"),
        # NaN is never kept and never ends the search.
        ({1.0: 9.999, 0.5: math.nan, 0.25: 10.5}, 1.0, [1.0, 0.5, 0.25], "[PROFILE]   Best step scale: 1.0000"),
    ],
)
def test_line_search_rules(profiling, capfd, values, scale, scales, final_line):
    value, slope = 10.0, -1.0  # Armijo at scale a needs V_try ≤ 10 − 0.01·a
    trials = Trials(lambda a: values.get(a, 11.0))
    got_scale, got_value = t.line_search(value, slope, 10, trials)
    assert got_scale == scale
    assert got_value == values[scale]
    assert trials.scales == scales
    lines = profile_lines(capfd)
    assert lines[-1] == final_line
    for line, a in zip(lines, scales):
        if values[a] is None:
            assert line == f"[PROFILE]     half={scales.index(a)}: ERROR (numerical issue)"
        else:
            match = TRIAL_LINE.match(line)
            assert match and float(match.group(2)) == a


@pytest.mark.parametrize("halvings", [10, 20, 30])
def test_line_search_without_decrease_tries_every_fraction(profiling, capfd, halvings):
    trials = Trials(lambda a: 10.0 + a)
    assert t.line_search(10.0, -1.0, halvings, trials) == (0.0, 10.0)
    assert trials.scales == [0.5**h for h in range(halvings + 1)]
    lines = profile_lines(capfd)
    # only the first three trials are reported, and no stopping line follows
    assert [TRIAL_LINE.match(line).group(1) for line in lines] == ["0", "1", "2"]


def test_line_search_callback_errors_propagate():
    def boom(_):
        raise ZeroDivisionError("criterion")

    with pytest.raises(ZeroDivisionError):
        t.line_search(1.0, -1.0, 10, boom)


@pytest.mark.parametrize(
    "values, accepted, tried",
    [
        ({0.01: 10.0}, 0.01, [0.01]),
        ({0.01: 10.5, 0.001: None, 0.0001: 9.0}, 0.0001, [0.01, 0.001, 0.0001]),
        ({0.01: 10.0 + 1e-9, 0.001: math.nan, 0.0001: 10.0}, None, [0.01, 0.001, 0.0001]),
    ],
)
def test_steepest_descent_sizes_in_order(profiling, capfd, values, accepted, tried):
    current = 10.0 + 1e-12 if accepted == 0.01 else 10.0
    trials = Trials(lambda s: values[s])
    assert t.steepest_descent(current, trials) == accepted
    assert trials.scales == tried
    lines = profile_lines(capfd)
    for line, size in zip(lines, tried):
        prefix = f"[PROFILE]     SD scale={size}: "
        assert line.startswith(prefix)
        if values[size] is None:
            assert line == prefix + "REML computation failed"
        else:
            better = "true" if values[size] < current else "false"
            assert re.fullmatch(re.escape(prefix) + r"REML=(-?\d+\.\d{6}|NaN) \(current=\d+\.\d{6}, improvement="
                                + better + r"\)", line)
    if accepted is None:
        assert lines[-1] == "[PROFILE]   Steepest descent failed at all scales"
    else:
        assert re.fullmatch(rf"\[PROFILE\]   Steepest descent succeeded \(scale={accepted}\): REML=\d+\.\d{{6}}",
                            lines[-1])


# ---- The optimizer entry ------------------------------------------------------------


def test_penalty_count_must_match_lambda_count(rng):
    y, x, w, penalties = pspline_problem(rng, n=50)
    with pytest.raises(ValueError) as info:
        t.optimize(y, x, w, penalties, [0.5, 2.0, 3.0])
    assert str(info.value) == "Matrix dimension mismatch: Number of penalties must match number of lambdas"
    np.testing.assert_array_equal(info.value.lambda_after, [0.5, 2.0, 3.0])


def test_gcv_refuses_several_smooths_after_restarting_lambda(rng):
    y, x, w, penalties = pspline_problem(rng, n=50)
    with pytest.raises(ValueError) as info:
        t.optimize(y, x, w, penalties, [0.5, 2.0], "GCV")
    assert str(info.value) == "Multiple smooths not yet properly implemented for GCV"
    np.testing.assert_array_equal(info.value.lambda_after, [1.0, 1.0])


def test_gcv_without_penalties_gives_empty_lambda(rng):
    y, x, w, _ = pspline_problem(rng, n=50, m=1)
    assert t.optimize(y, x, w, [], [], "GCV").shape == (0,)


# ---- Newton REML on real criteria ---------------------------------------------------

F2, F4, F6 = r"-?\d+\.\d{2}", r"-?\d+\.\d{4}", r"-?(\d+\.\d{6}|inf|NaN)"
SCI = r"-?(\d\.\d+e-?\d+|inf|NaN)"
DEBUG = r"-?(\d+\.\d+|\d(\.\d+)?e-?\d+|inf|NaN)"
LIST = rf"\[({DEBUG}(, {DEBUG})*)?\]"
NEWTON_LINES = [
    rf"\[PROFILE\] Pre-computed sqrt_penalties: {F2}ms",
    rf"\[PROFILE\] Pre-computed X'WX and X'Wy: {F2}ms",
    rf"\[PROFILE\]     Gradient: {F2}ms, Hessian: {F2}ms",
    rf"\[PROFILE\]   Hessian diag range: \[{F6}, {F6}\], condition: -?(\d+\.\d\d|inf|NaN)",
    rf"\[PROFILE\]   Preconditioner: {LIST}",
    rf"\[PROFILE\] Newton iter \d+: grad_L2={F6}, grad_Linf={F6}, REML={F6}, REML_change={SCI}",
    rf"\[PROFILE\]   (lambda|log_lambda|gradient)={LIST}",
    rf"\[PROFILE\]   Line search: step_norm={F6}, current_REML={F6}, max_half=(10|20|30)",
    rf"\[PROFILE\]     grad·step={SCI} \(expect decrease\)",
    rf"\[PROFILE\]     half=[012]: (scale={F4}, REML={F6}, armijo=(true|false)|ERROR \(numerical issue\))",
    rf"\[PROFILE\]   (Best step scale: {F4}|Armijo condition satisfied, accepting scale={F4})",
    rf"\[PROFILE\]     Line search: {F2}ms",
    rf"\[PROFILE\]   Accepted Newton step, scale={F4}",
    rf"\[PROFILE\] Converged after \d+ iterations \(gradient criterion: {F6} < 0\.05\)",
    rf"\[PROFILE\] Converged after \d+ iterations \(REML change: {SCI} < 1e-5\)",
]


def run_newton(y, x, w, penalties, start):
    return t.newton_reml(y, x, w, penalties, list(start))


def test_newton_without_penalties_converges_at_once(profiling, capfd, rng):
    y, x, w, _ = pspline_problem(rng, n=60, m=1)
    assert run_newton(y, x, w, [], []).shape == (0,)
    lines = profile_lines(capfd)
    assert re.search(r"REML_change=inf$", lines[5])
    assert lines[-1] == "[PROFILE] Converged after 1 iterations (gradient criterion: 0.000000 < 0.05)"


@pytest.mark.parametrize("weighted", [False, True])
def test_newton_optimum_is_stationary(rng, weighted):
    y, x, w, penalties = pspline_problem(rng, weighted=weighted)
    lam = run_newton(y, x, w, penalties, [1.0, 1.0])
    rho = np.log(lam)
    # Central differences of the NumPy criterion in ρ: the step 1e-4 keeps the
    # truncation error near 1e-8 on a criterion of size ~1e2. The optimizer
    # stops once its own gradient is below 0.05; that gradient is the
    # criterion's derivative up to its ridge and rank conventions, so the
    # independent derivative stays below 0.1.
    h = 1e-4
    for j in range(len(rho)):
        up, down = rho.copy(), rho.copy()
        up[j] += h
        down[j] -= h
        slope = (reml_criterion_ref(y, x, w, np.exp(up), penalties)
                 - reml_criterion_ref(y, x, w, np.exp(down), penalties)) / (2 * h)
        assert abs(slope) < 0.1, (j, slope)
    # and it is lower than the start and than its neighbours 0.2 away in ρ
    best = reml_criterion_ref(y, x, w, lam, penalties)
    assert best < reml_criterion_ref(y, x, w, [1.0, 1.0], penalties)
    for j in range(len(rho)):
        for shift in (-0.2, 0.2):
            moved = rho.copy()
            moved[j] += shift
            assert best < reml_criterion_ref(y, x, w, np.exp(moved), penalties)


def test_newton_diagnostic_lines(monkeypatch, capfd, rng):
    monkeypatch.setenv("VORNA_PROFILE", "1")
    monkeypatch.setenv("VORNA_GRAD_DEBUG", "")
    y, x, w, penalties = pspline_problem(rng)
    run_newton(y, x, w, penalties, [1.0, 1.0])
    lines = capfd.readouterr().err.splitlines()
    ours = [line for line in lines if line.startswith("[PROFILE]")]
    assert ours and all(any(re.fullmatch(p, line) for p in NEWTON_LINES) for line in ours), ours
    assert re.search(r"REML_change=inf$", next(line for line in ours if "Newton iter 1:" in line))
    raw = [i for i, line in enumerate(lines) if line.startswith("[SMOOTH_DEBUG] Raw Hessian")]
    assert raw
    for i in raw:
        assert lines[i - 1] == ""
        assert re.fullmatch(rf"\[SMOOTH_DEBUG\] Raw Hessian at λ={LIST}:", lines[i])
        for row in (0, 1):
            assert re.fullmatch(rf"  H\[{row},0\]={F6}  H\[{row},1\]={F6}", lines[i + 1 + row])
        assert re.fullmatch(rf"\[SMOOTH_DEBUG\] Gradient: {LIST}, shape=\[2\], strides=\[1\], "
                            r"layout=CFcf \(0xf\), const ndim=1", lines[i + 3])


def test_each_iterate_reports_the_criterion_at_its_lambda(profiling, capfd, rng):
    # V of iterations after the first comes from the accepted trial, not a
    # fresh evaluation; it must still be the criterion at the printed λ.
    y, x, w, penalties = pspline_problem(rng, weighted=True)
    run_newton(y, x, w, penalties, [1.0, 1.0])
    lines = profile_lines(capfd)
    iters = [i for i, line in enumerate(lines) if line.startswith("[PROFILE] Newton iter ")]
    assert len(iters) > 3
    for i in iters:
        value = float(re.search(r"REML=(-?\d+\.\d+)", lines[i]).group(1))
        lam = [float(v) for v in lines[i + 1].split("=", 1)[1].strip("[]").split(", ")]
        # printed to 6 decimals; the two evaluations differ by rounding only (~1e-12)
        assert value == pytest.approx(reml_criterion_ref(y, x, w, lam, penalties), abs=5e-7 + 1e-9)


def log_lambdas(lines):
    return [float(re.fullmatch(rf"\[PROFILE\]   log_lambda=\[({DEBUG})\]", line).group(1))
            for line in lines if line.startswith("[PROFILE]   log_lambda=")]


def test_long_newton_step_is_capped_before_the_line_search(profiling, capfd):
    # Far below the optimum of a smooth signal the Newton step in ρ is long.
    y, x, w, penalties = pspline_problem(np.random.default_rng(1), m=1, signal=3.0, noise=0.1)
    run_newton(y, x, w, penalties, [1e-8])
    lines = profile_lines(capfd)
    header = next(line for line in lines if "Line search: step_norm" in line)
    assert header.startswith("[PROFILE]   Line search: step_norm=4.000000,")
    accepted = next(line for line in lines if "Accepted Newton step" in line)
    scale = float(accepted.rsplit("=", 1)[1])
    rho = log_lambdas(lines)
    # one smooth: the accepted move is exactly scale × 4 (scale printed to 4 decimals)
    assert rho[1] - rho[0] == pytest.approx(4.0 * scale, abs=4 * 5e-5)


def test_failed_newton_direction_falls_back_to_gradient_steps(profiling, capfd):
    # Pure noise at λ = 1e-6: the criterion is ≈ const − (rank/2)·ρ, so its
    # curvature vanishes, the Newton step points uphill, and each iteration
    # takes the first steepest-descent size, 0.01·(rank/2) = 0.04 in ρ.
    y, x, w, penalties = pspline_problem(np.random.default_rng(1), m=1, signal=0.0, noise=1.0)
    lam = run_newton(y, x, w, penalties, [1e-6])
    lines = profile_lines(capfd)
    fallback = [
        "[PROFILE]   Newton step too small (scale=0.000e0), checking gradient",
        "[PROFILE]   Newton failed, trying steepest descent",
    ]
    i = lines.index(fallback[0])
    assert lines[i:i + 2] == fallback
    assert lines[i + 2].startswith("[PROFILE]     SD scale=0.01: ") and lines[i + 2].endswith("improvement=true)")
    assert lines[i + 3].startswith("[PROFILE]   Steepest descent succeeded (scale=0.01): REML=")
    assert lines[-1] == "[PROFILE] Reached max iterations (10) without convergence"
    # the slope −4 holds to ~1e-5 at these λ, so ten steps land within 1e-5 of 0.4
    assert math.log(lam[0]) - math.log(1e-6) == pytest.approx(0.4, abs=1e-5)


def test_newton_failure_leaves_lambda_unchanged(rng):
    y, x, w, _ = pspline_problem(rng, n=60, m=1)
    with pytest.raises(ValueError) as info:
        run_newton(y, x, w, [np.ones((x.shape[1], x.shape[1] + 1))], [2.5])
    assert str(info.value) == "Invalid parameter: Penalty matrix must be square"
    np.testing.assert_array_equal(info.value.lambda_after, [2.5])


def test_optimize_restarts_reml_at_one(rng):
    y, x, w, penalties = pspline_problem(rng)
    np.testing.assert_array_equal(t.optimize(y, x, w, penalties, [100.0, 1e-3]),
                                  run_newton(y, x, w, penalties, [1.0, 1.0]))
    np.testing.assert_array_equal(t.optimize(y, x, w, penalties, [100.0, 1e-3], "REML", True),
                                  t.fellner_schall(y, x, w, penalties, [1.0, 1.0]))


@pytest.mark.parametrize("use_fs", [False, True])
def test_reml_without_penalties_gives_empty_lambda(rng, use_fs):
    y, x, w, _ = pspline_problem(rng, n=60, m=1)
    assert t.optimize(y, x, w, [], [], "REML", use_fs).shape == (0,)


# ---- Fellner-Schall --------------------------------------------------------------------

FS_LINE = re.compile(r"\[PROFILE\] FS iter (\d): smooth (\d+): λ=(\d+\.\d{6}), trace=(-?\d+\.\d{6}), "
                     r"rank=(\d+), ratio=(\d\.\d{3}), change=(\d+\.\d{6})")


@pytest.mark.parametrize("weighted", [False, True])
def test_fellner_schall_matches_replay(profiling, capfd, rng, weighted):
    y, x, w, penalties = pspline_problem(rng, weighted=weighted)
    lam = t.fellner_schall(y, x, w, penalties, [1.0, 1.0])
    expected, iterations = fellner_schall_ref(x, w, penalties, [1.0, 1.0])
    np.testing.assert_allclose(lam, expected, rtol=REPLAY_RTOL)
    lines = profile_lines(capfd)
    assert lines[0] == "[PROFILE] Starting Fellner-Schall optimization (Cholesky)"
    fs = [FS_LINE.fullmatch(line) for line in lines[1:-1]]
    assert all(fs) and len(fs) == 2 * iterations
    assert [(int(m.group(1)), int(m.group(2))) for m in fs] == [(i, j) for i in range(iterations) for j in (0, 1)]
    assert {m.group(5) for m in fs} == {"8", "7"}  # second differences of 10 and 9 columns
    if iterations == 10:
        assert lines[-1] == "[PROFILE] Fellner-Schall reached max iterations (10) without convergence"
    else:
        assert lines[-1] == f"[PROFILE] Fellner-Schall converged in {iterations} iterations"


def test_fellner_schall_trace_lines_only_in_first_iteration(monkeypatch, capfd, rng):
    monkeypatch.setenv("VORNA_PROFILE", "")
    monkeypatch.setenv("VORNA_TRACE_DEBUG", "")
    y, x, w, penalties = pspline_problem(rng)
    t.fellner_schall(y, x, w, penalties, [1.0, 1.0])
    lines = capfd.readouterr().err.splitlines()
    traces = [line for line in lines if line.startswith("[TRACE_DEBUG]")]
    fs = [line for line in lines if line.startswith("[PROFILE] FS iter")]
    assert len(traces) == 2 and len(fs) > 2
    # the trace lines come right after their FS-iteration-0 computation
    assert lines.index(traces[0]) < lines.index(fs[0]) < lines.index(traces[1]) < lines.index(fs[1])
    ridge = (math.sqrt(2) + 1) * 1e-5
    a = x.T @ x + sum(penalties)
    l_inv = np.linalg.inv(np.linalg.cholesky(a + ridge * max(1.0, np.abs(np.diag(a)).max()) * np.eye(len(a))))
    for j, (line, s) in enumerate(zip(traces, penalties)):
        match = re.fullmatch(rf"\[TRACE_DEBUG\] Smooth {j}: full_trace=(-?\d+\.\d{{6}}), "
                             rf"nonzero_trace=(-?\d+\.\d{{6}}), nonzero_cols=(\d+), p={x.shape[1]}", line)
        assert match
        rows = np.abs(s).max(axis=1) > 1e-10
        # six printed decimals on traces of size ~1: half a unit in the last place
        assert float(match.group(1)) == pytest.approx(np.trace(l_inv @ s), abs=5e-7)
        assert float(match.group(2)) == pytest.approx(np.diag(l_inv @ s)[rows].sum(), abs=5e-7)
        assert int(match.group(3)) == rows.sum()


def test_rank_zero_penalty_keeps_its_lambda(profiling, capfd, rng):
    y, x, w, penalties = pspline_problem(rng)
    penalties[1] = np.zeros_like(penalties[1])
    lam = t.fellner_schall(y, x, w, penalties, [1.0, 3.0])
    assert lam[1] == pytest.approx(3.0, rel=1e-15)  # exp(ln 3): two roundings
    for m in map(FS_LINE.fullmatch, profile_lines(capfd)[1:-1]):
        if m.group(2) == "1":
            assert (m.group(5), m.group(6), m.group(7)) == ("0", "1.000", "0.000000")


@pytest.mark.parametrize(
    "scale, start, bound, ratio",
    [(1e8, 1e4, 1e5, "5.000"), (1e-6, 1e-6, 1e-7, "0.200")],
)
def test_fellner_schall_clamps_ratio_and_log_lambda(profiling, capfd, rng, scale, start, bound, ratio):
    y, x, w, penalties = pspline_problem(rng, m=1)
    penalties = [scale * penalties[0]]
    lam = t.fellner_schall(y, x, w, penalties, [start])
    assert lam[0] == pytest.approx(bound, rel=1e-14)  # exp(ln bound): one rounding
    fs = [FS_LINE.fullmatch(line) for line in profile_lines(capfd)[1:-1]]
    assert fs[0].group(6) == ratio
    # each clamped step moves ρ by ½ ln 5 at most; the last one sits on the bound
    assert all(float(m.group(7)) <= 0.5 * math.log(5) + 5e-7 for m in fs)
    assert fs[-1].group(7) == "0.000000"


def test_fellner_schall_without_penalties(profiling, capfd, rng):
    y, x, w, _ = pspline_problem(rng, n=60, m=1)
    assert t.fellner_schall(y, x, w, [], []).shape == (0,)
    assert profile_lines(capfd)[-1] == "[PROFILE] Fellner-Schall converged in 1 iterations"


@pytest.mark.parametrize("excess, succeeds", [(5, True), (12, False)])
def test_fellner_schall_retries_with_eleven_ridges(excess, succeeds):
    # XᵀWX = I and a penalty pulling the last diagonal entry to −excess·δ,
    # δ = (√1 + 1)·1e-5: the first ridge leaves it negative, 11δ fixes 5δ but not 12δ.
    p = 4
    x, y, w = np.eye(p), np.ones(p), np.ones(p)
    delta = 2e-5
    s = np.zeros((p, p))
    s[-1, -1] = -(1.0 + excess * delta)
    if succeeds:
        np.testing.assert_array_equal(t.fellner_schall(y, x, w, [s], [1.0]), [1.0])
    else:
        with pytest.raises(ValueError) as info:
            t.fellner_schall(y, x, w, [s], [1.0])
        assert str(info.value) == "Singular matrix encountered"
        np.testing.assert_array_equal(info.value.lambda_after, [1.0])


# ---- GCV search ---------------------------------------------------------------------------


def test_gcv_flat_score_stops_at_one(rng):
    y, x, w, penalties = pspline_problem(rng, n=80, m=1)
    np.testing.assert_array_equal(t.optimize(y, x, w, [np.zeros_like(penalties[0])], [5.0], "GCV"), [1.0])


@pytest.mark.parametrize("weighted", [False, True])
def test_gcv_search_follows_the_score_slope(rng, weighted):
    y, x, w, penalties = pspline_problem(rng, n=80, m=1, weighted=weighted)
    lam = t.optimize(y, x, w, penalties, [5.0], "GCV")
    np.testing.assert_allclose(lam, [gcv_search_ref(y, x, w, penalties[0])], rtol=REPLAY_RTOL)
    # Replayed on the library's own score, every step ρ − 50·(f1 − f0) is the
    # same IEEE arithmetic, so the result is identical.
    assert lam[0] == gcv_search_ref(y, x, w, penalties[0], score=t.gcv_score)
    # The search descends: λ moves against the slope of the score at λ = 1,
    # and the final score is lower than there.
    f0 = gcv_score_ref(y, x, w, penalties[0], 1.0)
    slope = (gcv_score_ref(y, x, w, penalties[0], math.exp(0.01)) - f0) / 0.01
    assert abs(slope) > 1e-3  # a real slope, not rounding noise
    assert np.sign(math.log(lam[0])) == -np.sign(slope)
    assert gcv_score_ref(y, x, w, penalties[0], lam[0]) < f0


def test_gcv_score_failure_leaves_lambda_at_one(rng):
    y, x, w, _ = pspline_problem(rng, n=80, m=1)
    x = x.copy()
    x[:, 0] = 0.0  # with a zero penalty A has a zero row
    with pytest.raises(ValueError) as info:
        t.optimize(y, x, w, [np.zeros((x.shape[1], x.shape[1]))], [7.0], "GCV")
    assert str(info.value) == "Singular matrix encountered"
    np.testing.assert_array_equal(info.value.lambda_after, [1.0])
