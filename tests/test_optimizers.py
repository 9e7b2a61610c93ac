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


def gcv_search_ref(y, x, w, s):
    rho = 0.0
    for _ in range(10):
        old = rho
        f0 = gcv_score_ref(y, x, w, s, math.exp(old))
        f1 = gcv_score_ref(y, x, w, s, math.exp(old + 0.01))
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
