"""Smoothing-parameter optimizers: Newton REML, Fellner-Schall, the GCV search and the entry."""
import math
import re

import numpy as np
import pytest
from scipy.interpolate import BSpline

t = pytest.importorskip("_vorna_core_testing")

# NumPy replays of Fellner-Schall and the GCV search do the same O(p³) work on
# p ≤ 20 in another summation order: they agree to ~1e-13 relative, and 1e-9
# still catches any wrong rule (each moves λ by 1e-3 or more).
REPLAY_RTOL = 1e-9
# Numbers printed with six decimals: half a unit in the last place.
PRINTED_6 = 5e-7


def difference_penalty(k):
    d = np.diff(np.eye(k), 2, axis=0)
    return d.T @ d


def pspline_problem(rng, n=200, m=2, k=10, noise=0.3, weighted=False, signal=1.0):
    """m cubic B-spline smooths with second-difference penalties; smooths after
    the first drop a column so that no two blocks share an exact intercept."""
    xs = rng.uniform(0.0, 1.0, (n, m))
    knots = np.r_[[0.0] * 3, np.linspace(0.0, 1.0, k - 2), [1.0] * 3]
    blocks = [BSpline.design_matrix(xs[:, j], knots, 3).toarray()[:, :k - (j > 0)] for j in range(m)]
    x = np.hstack(blocks)
    penalties, start = [], 0
    for b in blocks:
        s = np.zeros((x.shape[1], x.shape[1]))
        s[start:start + b.shape[1], start:start + b.shape[1]] = difference_penalty(b.shape[1])
        penalties.append(s)
        start += b.shape[1]
    y = signal * sum(np.sin(2 * np.pi * (j + 1) * xs[:, j]) for j in range(m)) + noise * rng.standard_normal(n)
    return y, x, (rng.uniform(0.5, 2.0, n) if weighted else np.ones(n)), penalties


def reml_criterion_ref(y, x, w, lambdas, penalties):
    """The REML criterion (scalar ridge, row-counting rank) in NumPy."""
    a = x.T @ (w[:, None] * x) + sum(lam * s for lam, s in zip(lambdas, penalties))
    a = a + 1e-5 * (1 + math.sqrt(len(lambdas))) * max(1.0, np.abs(np.diag(a)).max()) * np.eye(len(a))
    beta = np.linalg.solve(a, x.T @ (w * y))
    rss = np.sum(w * (y - x @ beta) ** 2)
    pen = sum(lam * beta @ s @ beta for lam, s in zip(lambdas, penalties))
    ell = rank = 0.0
    for lam, s in zip(lambdas, penalties):
        if lam > 1e-10:
            rows = np.sum(np.abs(s).sum(axis=1) > 1e-10 * max(1.0, np.abs(s).max()))
            ell, rank = ell + (rows - 2) * math.log(lam), rank + rows - 2  # rows ≥ 2 here
    phi = rss / (len(y) - rank)
    return 0.5 * ((rss + pen) / phi + (len(y) - rank) * math.log(2 * math.pi * phi)
                  + np.linalg.slogdet(a)[1] - ell)


def fellner_schall_ref(x, w, penalties, lambdas):
    """Returns (λ, iterations) of a NumPy replay of the Fellner-Schall iteration."""
    ranks = [np.sum(np.linalg.eigvalsh(s) > 1e-10 * max(np.linalg.eigvalsh(s).max(), 1.0)) for s in penalties]
    xtwx = x.T @ (w[:, None] * x)
    rho = np.log(lambdas)
    for it in range(10):
        a = xtwx + sum(lam * s for lam, s in zip(np.exp(rho), penalties))
        a = a + (math.sqrt(len(penalties)) + 1) * 1e-5 * max(1.0, np.abs(np.diag(a)).max()) * np.eye(len(a))
        l_inv = np.linalg.inv(np.linalg.cholesky(a))
        ratio = np.clip([np.trace(l_inv @ s) / r for s, r in zip(penalties, ranks)], 0.2, 5.0)
        new = np.clip(rho + 0.5 * np.log(ratio), math.log(1e-7), math.log(1e5))
        if np.abs(new - rho).max() < 1e-6:
            return np.exp(new), it + 1
        rho = new
    return np.exp(rho), 10


def gcv_score_ref(y, x, w, s, lam):
    xtwx = x.T @ (w[:, None] * x)
    beta = np.linalg.solve(xtwx + lam * s, x.T @ (w * y))
    tau = np.trace(np.linalg.solve(xtwx + lam * s, xtwx))
    return len(y) * np.sum(w * (y - x @ beta) ** 2) / (len(y) - tau) ** 2


def gcv_search_ref(y, x, w, s, score=gcv_score_ref):
    rho = 0.0
    for _ in range(10):
        old = rho
        rho = old + ((score(y, x, w, s, math.exp(old + 0.01)) - score(y, x, w, s, math.exp(old))) / -0.01) * 0.5
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


# ---- The separate rules of the Newton optimizer -------------------------------------


@pytest.mark.parametrize("ginf, expected", [(0.0999, 10), (0.1, 20), (0.999, 20), (1.0, 30)])
def test_halvings_grow_with_the_gradient(ginf, expected):
    assert t.max_halvings(ginf) == expected


@pytest.mark.parametrize("last_diagonal, gradient_scale", [(5.0, 0.01), (0.0, 0.01), (-3.0, 0.01), (5.0, 100.0)])
def test_newton_step_is_the_preconditioned_solve_capped_at_four(rng, last_diagonal, gradient_scale):
    b = rng.standard_normal((3, 3))
    h = b @ b.T + np.eye(3)
    h[2, 2] = last_diagonal  # 0 and −3 take the unit preconditioner
    g = gradient_scale * rng.standard_normal(3)
    d = np.where(np.diag(h) > 1e-10, np.sqrt(np.abs(np.diag(h))), 1.0)
    expected = np.linalg.solve(h / np.outer(d, d) + 1e-7 * np.eye(3), -g / d) / d
    norm = np.linalg.norm(expected)
    direction, reported = t.newton_step(g, h)
    assert reported == min(norm, 4.0) or reported == pytest.approx(norm, rel=1e-12)  # a 3-term norm
    # 3 × 3 solves of condition below 1e3 agree to a few hundred ulps
    np.testing.assert_allclose(direction, expected * min(1.0, 4.0 / norm), rtol=1e-10, atol=1e-14)


class Trials:
    """A criterion along the step with values chosen per scale (None: failed)."""

    def __init__(self, values, default=11.0):
        self.values, self.default, self.scales = values, default, []

    def __call__(self, scale):
        self.scales.append(scale)
        return self.values.get(scale, self.default)


TRIAL = r"\[PROFILE\]     half=\d: (scale=\d\.\d{4}, REML=(\d+\.\d{6}|NaN), armijo=(true|false)|ERROR \(numerical issue\))"


@pytest.mark.parametrize(
    "values, scale, tried, last",
    [
        # a full step that passes Armijo still tries the half step, which is no lower
        ({1.0: 9.0, 0.5: 9.5}, 1.0, 2, "Best step scale: 1.0000"),
        ({1.0: 9.0, 0.5: 8.0}, 0.5, 2, "Armijo condition satisfied, accepting scale=0.5000"),
        # improvements too small for Armijo (V ≤ 10 − 0.01·a) go on
        ({1.0: 9.999, 0.5: 9.998, 0.25: 9.996}, 0.25, 3, "Armijo condition satisfied, accepting scale=0.2500"),
        ({1.0: None, 0.5: 9.0}, 0.5, 2, "Armijo condition satisfied, accepting scale=0.5000"),
        # NaN is never kept and never ends the search
        ({1.0: 9.999, 0.5: math.nan}, 1.0, 3, "Best step scale: 1.0000"),
        # nothing lower: all eleven fractions, only three reported
        ({}, 0.0, 11, None),
    ],
)
def test_line_search_rules(profiling, capfd, values, scale, tried, last):
    trials = Trials(values)
    assert t.line_search(10.0, -1.0, 10, trials) == (scale, values.get(scale, 10.0))
    assert trials.scales == [0.5**h for h in range(tried)]
    lines = profile_lines(capfd)
    assert all(re.fullmatch(TRIAL, line) for line in lines[:min(tried, 3)])
    assert lines[min(tried, 3):] == ([] if last is None else ["[PROFILE]   " + last])


@pytest.mark.parametrize(
    "values, accepted",
    [({0.01: 9.0}, 0.01), ({0.01: 10.5, 0.001: None, 0.0001: 9.0}, 0.0001), ({0.01: 10.0, 0.001: math.nan}, None)],
)
def test_steepest_descent_sizes_in_order(profiling, capfd, values, accepted):
    trials = Trials(values, default=10.0)  # the current value: not an improvement
    assert t.steepest_descent(10.0, trials) == accepted
    tried = trials.scales
    assert tried == [0.01, 0.001, 0.0001][:len(tried)] and tried[-1] == (accepted or 0.0001)
    lines = profile_lines(capfd)
    for line, size in zip(lines, tried):
        outcome = "REML computation failed" if values.get(size, 10.0) is None else (
            rf"REML=(\d+\.\d{{6}}|NaN) \(current=10\.000000, improvement={str(values.get(size, 10.0) < 10.0).lower()}\)")
        assert re.fullmatch(rf"\[PROFILE\]     SD scale={size}: " + outcome, line)
    assert lines[len(tried):] == ([f"[PROFILE]   Steepest descent succeeded (scale={accepted}): REML=9.000000"]
                                  if accepted else ["[PROFILE]   Steepest descent failed at all scales"])


# ---- Newton REML on the real criterion ---------------------------------------------------

F2, F4, F6 = r"\d+\.\d{2}", r"\d\.\d{4}", r"-?\d+\.\d{6}"
SCI = r"(-?\d\.\d+e-?\d+|inf)"
DEBUG = r"-?(\d+\.\d+|\d(\.\d+)?e-?\d+)"
LIST = rf"\[{DEBUG}(, {DEBUG})*\]"
NEWTON_LINES = [
    rf"Pre-computed (sqrt_penalties|X'WX and X'Wy): {F2}ms",
    rf"    Gradient: {F2}ms, Hessian: {F2}ms",
    rf"  Hessian diag range: \[{F6}, {F6}\], condition: {F2}",
    rf"  (Preconditioner: |(lambda|log_lambda|gradient)=){LIST}",
    rf"Newton iter \d+: grad_L2={F6}, grad_Linf={F6}, REML={F6}, REML_change={SCI}",
    rf"  Line search: step_norm={F6}, current_REML={F6}, max_half=(10|20|30)",
    rf"    grad·step={SCI} \(expect decrease\)",
    rf"    half=[012]: scale={F4}, REML={F6}, armijo=(true|false)",
    rf"  (Best step scale: {F4}|Armijo condition satisfied, accepting scale={F4}|Accepted Newton step, scale={F4})",
    rf"    Line search: {F2}ms",
    rf"Converged after \d+ iterations \((gradient criterion: {F6} < 0\.05|REML change: {SCI} < 1e-5)\)",
]


def test_newton_diagnostic_lines(monkeypatch, capfd, rng):
    monkeypatch.setenv("VORNA_PROFILE", "1")
    monkeypatch.setenv("VORNA_GRAD_DEBUG", "")
    t.newton_reml(*pspline_problem(rng), [1.0, 1.0])
    lines = capfd.readouterr().err.splitlines()
    ours = [line[len("[PROFILE] "):] for line in lines if line.startswith("[PROFILE]")]
    unmatched = [line for line in ours if not any(re.fullmatch(p, line) for p in NEWTON_LINES)]
    assert ours and not unmatched
    assert next(line for line in ours if line.startswith("Newton iter 1:")).endswith("REML_change=inf")
    raw = [i for i, line in enumerate(lines) if line.startswith("[SMOOTH_DEBUG] Raw Hessian")]
    assert len(raw) == sum(line.startswith("Newton iter") for line in ours)
    for i in raw:
        assert lines[i - 1] == "" and re.fullmatch(rf"\[SMOOTH_DEBUG\] Raw Hessian at λ={LIST}:", lines[i])
        for row in (0, 1):
            assert re.fullmatch(rf"  H\[{row},0\]={F6}  H\[{row},1\]={F6}", lines[i + 1 + row])
        assert re.fullmatch(rf"\[SMOOTH_DEBUG\] Gradient: {LIST}, shape=\[2\], strides=\[1\], "
                            r"layout=CFcf \(0xf\), const ndim=1", lines[i + 3])


@pytest.mark.parametrize("weighted", [False, True])
def test_newton_optimum_is_stationary(profiling, capfd, rng, weighted):
    y, x, w, penalties = pspline_problem(rng, weighted=weighted)
    lam = t.newton_reml(y, x, w, penalties, [1.0, 1.0])
    # Central differences (step 1e-4, truncation ~1e-8) of the NumPy criterion.
    # The optimizer stops on its own gradient (< 0.05, or 10 iterations), which
    # differs from this derivative only through ridges and rank conventions.
    for j in range(2):
        step = np.eye(2)[j] * 1e-4
        slope = (reml_criterion_ref(y, x, w, lam * np.exp(step), penalties)
                 - reml_criterion_ref(y, x, w, lam / np.exp(step), penalties)) / 2e-4
        assert abs(slope) < 0.1, (j, slope)
    # Every iterate's V (after the first: the accepted trial's value, not a
    # fresh evaluation) is the criterion at the λ printed with it.
    lines = profile_lines(capfd)
    for i in (i for i, line in enumerate(lines) if line.startswith("[PROFILE] Newton iter ")):
        at = [float(v) for v in lines[i + 1].split("=", 1)[1].strip("[]").split(", ")]
        reported = float(re.search(r"REML=(-?\d+\.\d+)", lines[i]).group(1))
        assert reported == pytest.approx(reml_criterion_ref(y, x, w, at, penalties), abs=PRINTED_6 + 1e-9)


def test_long_newton_step_is_capped_before_the_line_search(profiling, capfd):
    # Far below the optimum of a smooth signal the Newton step in ρ is long.
    y, x, w, penalties = pspline_problem(np.random.default_rng(1), m=1, signal=3.0, noise=0.1)
    t.newton_reml(y, x, w, penalties, [1e-8])
    lines = profile_lines(capfd)
    assert next(line for line in lines if "step_norm" in line).startswith("[PROFILE]   Line search: step_norm=4.000000,")
    scale = float(next(line for line in lines if "Accepted Newton step" in line).rsplit("=", 1)[1])
    rho = [float(line.split("=")[1].strip("[]")) for line in lines if line.startswith("[PROFILE]   log_lambda=")]
    # one smooth: the move is 4 × scale, the scale printed to four decimals
    assert rho[1] - rho[0] == pytest.approx(4.0 * scale, abs=4 * 5e-5)


def test_failed_newton_direction_falls_back_to_gradient_steps(profiling, capfd):
    # Pure noise at λ = 1e-6: V ≈ const − (rank/2)·ρ with rank 8 has no
    # curvature, so the Newton step points uphill and every iteration takes the
    # first steepest-descent size, a move of 0.01 × 4 in ρ, until the limit.
    y, x, w, penalties = pspline_problem(np.random.default_rng(1), m=1, signal=0.0, noise=1.0)
    lam = t.newton_reml(y, x, w, penalties, [1e-6])
    lines = profile_lines(capfd)
    i = lines.index("[PROFILE]   Newton step too small (scale=0.000e0), checking gradient")
    assert lines[i + 1] == "[PROFILE]   Newton failed, trying steepest descent"
    assert lines[i + 2].startswith("[PROFILE]     SD scale=0.01: ") and lines[i + 2].endswith("improvement=true)")
    assert lines[i + 3].startswith("[PROFILE]   Steepest descent succeeded (scale=0.01): REML=")
    assert lines[-1] == "[PROFILE] Reached max iterations (10) without convergence"
    assert math.log(lam[0] / 1e-6) == pytest.approx(0.4, abs=1e-5)  # the slope is −4 to ~1e-5


def test_relative_change_test_waits_for_the_third_iteration(profiling, capfd):
    # Pure noise far above the optimum: V is already flat to 1e-5 in iteration 2.
    y, x, w, penalties = pspline_problem(np.random.default_rng(1), m=1, signal=0.0, noise=1.0)
    t.newton_reml(y, x, w, penalties, [1e3])
    lines = profile_lines(capfd)
    changes = [float(line.rsplit("=", 1)[1]) for line in lines if line.startswith("[PROFILE] Newton iter ")]
    assert changes[0] == math.inf and changes[1] < 1e-5 and len(changes) == 3
    assert re.fullmatch(r"\[PROFILE\] Converged after 3 iterations \(REML change: \d\.\d\de-\d+ < 1e-5\)", lines[-1])


@pytest.mark.parametrize("optimizer", ["newton_reml", "fellner_schall"])
@pytest.mark.parametrize(
    "broken, message",
    [
        ("w", "Matrix dimension mismatch: X has 60 rows but w has 59 elements"),
        ("lambda", "Matrix dimension mismatch: Number of penalties must match number of lambdas"),
        ("shape", "Matrix dimension mismatch: Penalty matrix 0 is not 10×10"),
        ("square", "Invalid parameter: Penalty matrix must be square"),
    ],
)
def test_failure_leaves_lambda_unchanged(rng, optimizer, broken, message):
    y, x, w, penalties = pspline_problem(rng, n=60, m=1)
    lam = [2.0, 3.0] if broken == "lambda" else [2.0]
    w = w[:-1] if broken == "w" else w
    penalties = {"shape": [difference_penalty(12)], "square": [np.ones((10, 11))]}.get(broken, penalties)
    with pytest.raises(ValueError) as info:
        getattr(t, optimizer)(y, x, w, penalties, lam)
    assert str(info.value) == message
    np.testing.assert_array_equal(info.value.lambda_after, lam)


# ---- Fellner-Schall ------------------------------------------------------------------------

FS_LINE = re.compile(r"\[PROFILE\] FS iter (\d): smooth (\d): λ=(\d+\.\d{6}), trace=(-?\d+\.\d{6}), "
                     r"rank=(\d+), ratio=(\d\.\d{3}), change=(\d+\.\d{6})")


@pytest.mark.parametrize("weighted", [False, True])
def test_fellner_schall_matches_replay(monkeypatch, capfd, rng, weighted):
    monkeypatch.setenv("VORNA_PROFILE", "")
    monkeypatch.setenv("VORNA_TRACE_DEBUG", "")
    y, x, w, penalties = pspline_problem(rng, weighted=weighted)
    lam = t.fellner_schall(y, x, w, penalties, [1.0, 1.0])
    expected, iterations = fellner_schall_ref(x, w, penalties, [1.0, 1.0])
    np.testing.assert_allclose(lam, expected, rtol=REPLAY_RTOL)
    lines = capfd.readouterr().err.splitlines()
    assert lines[0] == "[PROFILE] Starting Fellner-Schall optimization (Cholesky)"
    assert lines[-1] == (f"[PROFILE] Fellner-Schall converged in {iterations} iterations" if iterations < 10
                         else "[PROFILE] Fellner-Schall reached max iterations (10) without convergence")
    # iteration 0 writes a trace line before each FS line; later iterations only FS lines
    traces, fs = lines[1:5:2], [FS_LINE.fullmatch(line) for line in lines[2:5:2] + lines[5:-1]]
    assert all(fs) and [(int(m[1]), int(m[2])) for m in fs] == [(i, j) for i in range(iterations) for j in (0, 1)]
    assert [m[5] for m in fs[:2]] == ["8", "7"]  # second differences of 10 and 9 columns
    a = x.T @ (w[:, None] * x) + sum(penalties)
    l_inv = np.linalg.inv(np.linalg.cholesky(a + (math.sqrt(2) + 1) * 1e-5 * np.abs(np.diag(a)).max() * np.eye(len(a))))
    for j, (line, s) in enumerate(zip(traces, penalties)):
        m = re.fullmatch(rf"\[TRACE_DEBUG\] Smooth {j}: full_trace=(\S+), nonzero_trace=(\S+), "
                         rf"nonzero_cols=(\d+), p={x.shape[1]}", line)
        rows = np.abs(s).max(axis=1) > 1e-10
        assert float(m[1]) == pytest.approx(np.trace(l_inv @ s), abs=PRINTED_6)
        assert float(m[2]) == pytest.approx(np.diag(l_inv @ s)[rows].sum(), abs=PRINTED_6)
        assert int(m[3]) == rows.sum()


def test_rank_zero_penalty_keeps_its_lambda(profiling, capfd, rng):
    y, x, w, penalties = pspline_problem(rng)
    lam = t.fellner_schall(y, x, w, [penalties[0], np.zeros_like(penalties[1])], [1.0, 3.0])
    assert lam[1] == pytest.approx(3.0, rel=1e-15)  # exp(ln 3): two roundings
    for m in map(FS_LINE.fullmatch, profile_lines(capfd)[1:-1]):
        assert m[2] == "0" or m.group(5, 6, 7) == ("0", "1.000", "0.000000")


@pytest.mark.parametrize("scale, start, bound, ratio", [(1e8, 1e4, 1e5, "5.000"), (1e-6, 1e-6, 1e-7, "0.200")])
def test_fellner_schall_clamps_ratio_and_log_lambda(profiling, capfd, rng, scale, start, bound, ratio):
    y, x, w, penalties = pspline_problem(rng, m=1)
    lam = t.fellner_schall(y, x, w, [scale * penalties[0]], [start])
    assert lam[0] == pytest.approx(bound, rel=1e-14)  # exp(ln bound): a rounding or two
    fs = [FS_LINE.fullmatch(line) for line in profile_lines(capfd)[1:-1]]
    assert fs[0][6] == ratio and fs[-1][7] == "0.000000"
    assert all(float(m[7]) <= 0.5 * math.log(5) + PRINTED_6 for m in fs)


@pytest.mark.parametrize("excess, succeeds", [(0.5, True), (10.5, True), (11.5, False)])
def test_fellner_schall_retries_with_eleven_ridges(excess, succeeds):
    # XᵀWX = I and a penalty pulling the last diagonal entry down to −excess·δ,
    # δ = (√1 + 1)·1e-5: one ridge lifts −0.5δ; the retry's 11δ in all lifts
    # −10.5δ but not −11.5δ.
    s = np.zeros((4, 4))
    s[3, 3] = -(1.0 + excess * 2e-5)
    args = (np.ones(4), np.eye(4), np.ones(4), [s], [1.0])
    if succeeds:
        assert t.fellner_schall(*args).tolist() == [1.0]  # a rank-0 penalty
    else:
        with pytest.raises(ValueError, match="^Singular matrix encountered$"):
            t.fellner_schall(*args)


# ---- The optimizer entry and the GCV search -------------------------------------------------


@pytest.mark.parametrize(
    "case, message, left",
    [
        ("three lambdas", "Matrix dimension mismatch: Number of penalties must match number of lambdas", [0.5, 2, 3]),
        ("gcv, two smooths", "Multiple smooths not yet properly implemented for GCV", [1.0, 1.0]),
        ("gcv, singular", "Singular matrix encountered", [1.0]),
    ],
)
def test_entry_failures(rng, case, message, left):
    y, x, w, penalties = pspline_problem(rng, n=80)
    if case == "three lambdas":
        args = (penalties, [0.5, 2.0, 3.0])
    elif case == "gcv, two smooths":
        args = (penalties, [0.5, 2.0], "GCV")
    else:  # a zero column and a zero penalty leave A with a zero row
        x[:, 0] = 0.0
        args = ([np.zeros_like(penalties[0])], [7.0], "GCV")
    with pytest.raises(ValueError) as info:
        t.optimize(y, x, w, *args)
    assert str(info.value) == message
    np.testing.assert_array_equal(info.value.lambda_after, left)


@pytest.mark.parametrize(
    "method, use_fs, last",
    [
        ("REML", False, "[PROFILE] Converged after 1 iterations (gradient criterion: 0.000000 < 0.05)"),
        ("REML", True, "[PROFILE] Fellner-Schall converged in 1 iterations"),
        ("GCV", False, None),
    ],
)
def test_no_penalties_give_an_empty_lambda(profiling, capfd, rng, method, use_fs, last):
    y, x, w, _ = pspline_problem(rng, n=60, m=1)
    assert t.optimize(y, x, w, [], [], method, use_fs).shape == (0,)
    assert (profile_lines(capfd) or [None])[-1] == last


def test_optimize_restarts_reml_at_one(rng):
    y, x, w, penalties = pspline_problem(rng)
    for use_fs, optimizer in [(False, t.newton_reml), (True, t.fellner_schall)]:
        assert (t.optimize(y, x, w, penalties, [100.0, 1e-3], "REML", use_fs).tolist()
                == optimizer(y, x, w, penalties, [1.0, 1.0]).tolist())


def test_gcv_flat_score_stops_at_one(rng):
    y, x, w, penalties = pspline_problem(rng, n=80, m=1)
    assert t.optimize(y, x, w, [np.zeros_like(penalties[0])], [5.0], "GCV").tolist() == [1.0]


@pytest.mark.parametrize("weighted", [False, True])
def test_gcv_search_follows_the_score_slope(rng, weighted):
    y, x, w, penalties = pspline_problem(rng, n=80, m=1, weighted=weighted)
    lam = t.optimize(y, x, w, penalties, [5.0], "GCV")
    np.testing.assert_allclose(lam, [gcv_search_ref(y, x, w, penalties[0])], rtol=REPLAY_RTOL)
    # On the library's own score every step ρ − 50·(f1 − f0) is the same IEEE
    # arithmetic, so the replay is exact.
    assert lam[0] == gcv_search_ref(y, x, w, penalties[0], score=t.gcv_score)
    # the search moved against the slope at λ = 1 and lowered the score
    f0 = gcv_score_ref(y, x, w, penalties[0], 1.0)
    slope = (gcv_score_ref(y, x, w, penalties[0], math.exp(0.01)) - f0) / 0.01
    assert abs(slope) > 1e-3 and np.sign(math.log(lam[0])) == -np.sign(slope)
    assert gcv_score_ref(y, x, w, penalties[0], lam[0]) < f0
