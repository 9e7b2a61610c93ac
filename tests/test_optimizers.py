"""Smoothing-parameter optimizers: the selection criteria, Newton's method on them, Fellner-Schall and the entry."""
import math
import re

import numpy as np
import pytest
from scipy.interpolate import BSpline

import _vorna_core_testing as t

# A NumPy replay of Fellner-Schall does the same O(p³) work on p ≤ 20 in
# another summation order: they agree to ~1e-13 relative, and 1e-9 still
# catches any wrong rule (each moves λ by 1e-3 or more).
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


def profile_lines(capfd):
    return [line for line in capfd.readouterr().err.splitlines() if line.startswith("[PROFILE]")]


@pytest.fixture
def profiling(monkeypatch):
    monkeypatch.setenv("VORNA_PROFILE", "")
    monkeypatch.delenv("VORNA_GRAD_DEBUG", raising=False)
    monkeypatch.delenv("VORNA_TRACE_DEBUG", raising=False)


# ---- The selection criteria and Newton's method on them -----------------------------------


def criterion_ref(y, x, w, rho, penalties, kind):
    """The working-model criteria in dense NumPy, constants included: REML with a profiled
    scale φ = RSS/(n − r) or φ = 1, or (n/2)·log GCV; A carries the fit's ridge
    δ = 1e-5·(1 + √m)·max diag XᵀWX."""
    n, m = len(y), len(penalties)
    xtwx = x.T @ (w[:, None] * x)
    lam = np.exp(rho)
    s_lam = sum((l * s for l, s in zip(lam, penalties)), np.zeros_like(xtwx))
    delta = 1e-5 * (1 + math.sqrt(m)) * np.diag(xtwx).max()
    a = xtwx + s_lam + delta * np.eye(len(xtwx))
    beta = np.linalg.solve(a, x.T @ (w * y))
    rss = np.sum(w * (y - x @ beta) ** 2)
    if kind == "gcv":
        tau = np.trace(np.linalg.solve(a, xtwx))
        return 0.5 * n * math.log(n * rss / (n - tau) ** 2)
    if kind == "ubre":
        return 0.5 * rss + np.trace(np.linalg.solve(a, xtwx))
    dev = rss + beta @ (s_lam + delta * np.eye(len(xtwx))) @ beta
    # log|S_λ|₊ from the eigenvalues of S_λ: Σ r_j ρ_j plus a constant when the penalties act on
    # separate coefficients, and the determinant on the common range when they share them.
    ev = np.linalg.eigvalsh(s_lam)
    pos = ev[ev > 1e-9 * ev.max()]
    ell = np.sum(np.log(pos))
    if kind in ("ml", "ml_known"):
        # Marginal likelihood integrating only the penalized range U of the penalties.
        ev_sum, vec = np.linalg.eigh(sum(p / np.linalg.norm(p) for p in penalties))
        u = vec[:, ev_sum > 1e-9 * ev_sum.max()]
        logdet_range = np.linalg.slogdet(u.T @ a @ u)[1]
        return 0.5 * ((n * math.log(dev) if kind == "ml" else dev) + logdet_range - ell)
    if kind == "reml_exact":
        # Restricted likelihood with φ at its optimum D/(n − M_p).
        m_p = len(xtwx) - len(pos)
        return 0.5 * ((n - m_p) * math.log(dev) + np.linalg.slogdet(a)[1] - ell)
    ranks = [np.sum(e > 1e-10 * max(e.max(), 1.0)) for e in map(np.linalg.eigvalsh, penalties)]
    logdet = np.linalg.slogdet(a)[1]
    if kind == "reml_known":
        return 0.5 * (dev + logdet - ell)
    nu = n - sum(ranks)
    phi = rss / nu
    return 0.5 * (dev / phi + nu * math.log(2 * math.pi * phi) + logdet - ell)


def fd_gradient(f, rho, h=1e-4):
    # Central differences: truncation error ~h²·f‴ ≈ 1e-8 here, far below the tolerances used.
    return np.array([(f(rho + h * e) - f(rho - h * e)) / (2 * h) for e in np.eye(len(rho))])


KINDS = ["reml", "reml_known", "gcv"]
# Criteria of the modelling layer; the optimizer entry does not offer them.
MODEL_KINDS = ["reml_exact", "ubre", "ml", "ml_known"]


def tensor_problem(rng, n=300, k=5):
    """A tensor product of two B-spline margins: two penalties on the same coefficients."""
    a, b = rng.uniform(0, 1, n), rng.uniform(0, 1, n)
    knots = np.r_[[0.0] * 3, np.linspace(0.0, 1.0, k - 2), [1.0] * 3]
    ba, bb = (BSpline.design_matrix(v, knots, 3).toarray() for v in (a, b))
    x = np.einsum("ij,ik->ijk", ba, bb).reshape(n, k * k)
    d = difference_penalty(k)
    penalties = [np.kron(d, np.eye(k)), np.kron(np.eye(k), d)]
    y = np.sin(3 * a) * np.cos(2 * b) + 0.2 * rng.standard_normal(n)
    return y, x, rng.uniform(0.5, 2.0, n), penalties


@pytest.mark.parametrize("kind", KINDS + MODEL_KINDS)
@pytest.mark.parametrize("problem", ["separate", "weighted", "tensor"])
def test_criterion_value_gradient_and_hessian(rng, kind, problem):
    if problem == "tensor":
        y, x, w, penalties = tensor_problem(rng)
        if kind == "reml":
            pytest.skip("the profiled criterion of the optimizer entry treats penalties as separate")
    else:
        y, x, w, penalties = pspline_problem(rng, m=2, weighted=problem == "weighted")
    rho, other = np.array([0.5, 2.0]), np.array([-1.0, 3.5])
    value, gradient, hessian = t.selection_criterion(y, x, w, penalties, rho, kind, rho)
    # The reported value drops constants: differences between points must match the reference.
    assert value - t.selection_criterion(y, x, w, penalties, other, kind, rho)[0] == pytest.approx(
        criterion_ref(y, x, w, rho, penalties, kind) - criterion_ref(y, x, w, other, penalties, kind), rel=1e-7)
    np.testing.assert_allclose(gradient, fd_gradient(lambda r: criterion_ref(y, x, w, r, penalties, kind), rho),
                               atol=1e-6 * max(1.0, np.abs(gradient).max()))
    fd_hessian = np.array([(t.selection_criterion(y, x, w, penalties, rho + 1e-5 * e, kind, rho)[1]
                            - t.selection_criterion(y, x, w, penalties, rho - 1e-5 * e, kind, rho)[1]) / 2e-5
                           for e in np.eye(2)])
    np.testing.assert_allclose(hessian, fd_hessian, atol=1e-6 * np.abs(hessian).max())
    assert np.array_equal(hessian, hessian.T)


@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("m", [1, 3])
def test_newton_ends_at_a_stationary_point(rng, kind, m):
    y, x, w, penalties = pspline_problem(rng, n=300, m=m, weighted=True)
    method, known = ("GCV", False) if kind == "gcv" else ("REML", kind == "reml_known")
    lam, converged, iterations, gradient = t.optimize(y, x, w, penalties, [1.0] * m, method, False, known)
    assert converged and iterations < 30 and gradient < 1e-6
    g = fd_gradient(lambda r: criterion_ref(y, x, w, r, penalties, kind), np.log(lam))
    assert np.abs(g).max() < 1e-5  # the optimizer's 1e-6 plus the difference quotient's error


@pytest.mark.parametrize("m", [1, 2])
def test_gcv_minimum_matches_a_fine_grid(rng, m):
    y, x, w, penalties = pspline_problem(rng, n=150, m=m)
    lam = t.optimize(y, x, w, penalties, [1.0] * m, "GCV")[0]

    def score(r):
        return criterion_ref(y, x, w, np.atleast_1d(r), penalties, "gcv")

    coarse = np.arange(-12.0, 12.0, 0.25)
    grids = np.meshgrid(*[coarse] * m, indexing="ij")
    values = np.vectorize(lambda *r: score(np.array(r)))(*grids)
    centre = np.array([g.flat[np.argmin(values)] for g in grids])
    fine = np.arange(-0.5, 0.5, 0.01)
    grids = np.meshgrid(*[fine] * m, indexing="ij")
    values = np.vectorize(lambda *r: score(centre + np.array(r)))(*grids)
    best = centre + np.array([g.flat[np.argmin(values)] for g in grids])
    # within a factor 1.05 of the grid's argmin (grid step 1.01)
    np.testing.assert_array_less(np.abs(np.log(lam) - best), math.log(1.05))


def test_reml_is_invariant_to_the_units_of_y(rng):
    y, x, w, penalties = pspline_problem(rng, m=2)
    base = t.optimize(y, x, w, penalties, [1.0, 1.0])[0]
    for c in [1e-6, 1e6]:
        np.testing.assert_allclose(t.optimize(c * y, x, w, penalties, [1.0, 1.0])[0], base, rtol=1e-6)
        # weights in other units: λ scales with them (the working model of a Gamma fit)
        np.testing.assert_allclose(t.optimize(y / c, x, c**2 * w, penalties, [1.0, 1.0])[0], c**2 * base, rtol=1e-6)


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
        ("profiled, no residual df", "Invalid parameter: 5 observations leave no residual degrees of freedom "
         "for penalties of total rank 8", [7.0]),
    ],
)
def test_entry_failures(rng, case, message, left):
    y, x, w, penalties = pspline_problem(rng, n=80)
    if case == "three lambdas":
        args = (y, x, w, penalties, [0.5, 2.0, 3.0])
    else:
        args = (y[:5], x[:5, :10], w[:5], [penalties[0][:10, :10]], [7.0])
    with pytest.raises(ValueError) as info:
        t.optimize(*args)
    assert str(info.value) == message
    np.testing.assert_array_equal(info.value.lambda_after, left)


@pytest.mark.parametrize("method, use_fs", [("REML", False), ("REML", True), ("GCV", False)])
def test_no_penalties_give_an_empty_lambda(rng, method, use_fs):
    y, x, w, _ = pspline_problem(rng, n=60, m=1)
    assert t.optimize(y, x, w, [], [], method, use_fs)[0].shape == (0,)


def test_cold_start_ignores_the_record_and_warm_start_uses_it(rng):
    y, x, w, penalties = pspline_problem(rng)
    cold = [t.optimize(y, x, w, penalties, start, "REML")[0] for start in ([100.0, 1e-3], [1.0, 1.0])]
    assert cold[0].tolist() == cold[1].tolist()
    # a warm start at the optimum stops at once
    _, converged, iterations, _ = t.optimize(y, x, w, penalties, cold[0], "REML", False, False, True)
    assert converged and iterations == 1
    assert (t.optimize(y, x, w, penalties, [1.0, 1.0], "REML", True)[0].tolist()
            == t.fellner_schall(y, x, w, penalties, [1.0, 1.0]).tolist())
