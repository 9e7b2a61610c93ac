"""Smoothing-parameter optimizers: the selection criteria, Newton's method on them, Fellner-Schall and the entry."""
import math
import re

import numpy as np
import pytest
from scipy.interpolate import BSpline

import _vorna_core_testing as t
from shared_problems import central_difference, criterion_ref, difference_penalty, embedded_penalties

# A NumPy replay of Fellner-Schall does the same O(p³) work on p ≤ 20 in
# another summation order: they agree to ~1e-13 relative, and 1e-9 still
# catches any wrong rule (each moves λ by 1e-3 or more).
REPLAY_RTOL = 1e-9
# Numbers printed with six decimals: half a unit in the last place.
PRINTED_6 = 5e-7


def pspline_problem(rng, n=200, m=2, k=10, noise=0.3, weighted=False, signal=1.0):
    """m cubic B-spline smooths with second-difference penalties; smooths after
    the first drop a column so that no two blocks share an exact intercept."""
    xs = rng.uniform(0.0, 1.0, (n, m))
    knots = np.r_[[0.0] * 3, np.linspace(0.0, 1.0, k - 2), [1.0] * 3]
    blocks = [BSpline.design_matrix(xs[:, j], knots, 3).toarray()[:, :k - (j > 0)] for j in range(m)]
    x = np.hstack(blocks)
    penalties = embedded_penalties([difference_penalty(b.shape[1]) for b in blocks])
    y = signal * sum(np.sin(2 * np.pi * (j + 1) * xs[:, j]) for j in range(m)) + noise * rng.standard_normal(n)
    return y, x, (rng.uniform(0.5, 2.0, n) if weighted else np.ones(n)), penalties


def fellner_schall_ref(x, w, penalties, lambdas):
    """Returns (λ, iterations) of a NumPy replay of the Fellner-Schall iteration; a
    penalty of rank 0 has ratio 1 and keeps its λ."""
    ranks = [np.sum(np.linalg.eigvalsh(s) > 1e-10 * max(np.linalg.eigvalsh(s).max(), 1.0)) for s in penalties]
    xtwx = x.T @ (w[:, None] * x)
    rho = np.log(lambdas)
    for it in range(10):
        a = xtwx + sum(lam * s for lam, s in zip(np.exp(rho), penalties))
        a = a + (math.sqrt(len(penalties)) + 1) * 1e-5 * max(1.0, np.abs(np.diag(a)).max()) * np.eye(len(a))
        l_inv = np.linalg.inv(np.linalg.cholesky(a))
        ratio = np.clip([np.trace(l_inv @ s) / r if r else 1.0 for s, r in zip(penalties, ranks)], 0.2, 5.0)
        new = np.clip(rho + 0.5 * np.log(ratio), math.log(1e-7), math.log(1e5))
        if np.abs(new - rho).max() < 1e-6:
            return np.exp(new), it + 1
        rho = new
    return np.exp(rho), 10


# ---- The selection criteria and Newton's method on them -----------------------------------


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
    else:
        y, x, w, penalties = pspline_problem(rng, m=2, weighted=problem == "weighted")
    rho, other = np.array([0.5, 2.0]), np.array([-1.0, 3.5])
    value, gradient, hessian = t.selection_criterion(y, x, w, penalties, rho, kind, rho)
    # The reported value drops constants: differences between points must match the reference.
    assert value - t.selection_criterion(y, x, w, penalties, other, kind, rho)[0] == pytest.approx(
        criterion_ref(y, x, w, rho, penalties, kind) - criterion_ref(y, x, w, other, penalties, kind), rel=1e-7)
    np.testing.assert_allclose(gradient, central_difference(lambda r: criterion_ref(y, x, w, r, penalties, kind), rho),
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
    g = central_difference(lambda r: criterion_ref(y, x, w, r, penalties, kind), np.log(lam))
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
def test_fellner_schall_matches_replay(rng, weighted):
    y, x, w, penalties = pspline_problem(rng, weighted=weighted)
    lam = t.fellner_schall(y, x, w, penalties, [1.0, 1.0])
    np.testing.assert_allclose(lam, fellner_schall_ref(x, w, penalties, [1.0, 1.0])[0], rtol=REPLAY_RTOL)


def test_fellner_schall_profile_and_trace_lines(monkeypatch, capfd, rng):
    monkeypatch.setenv("VORNA_PROFILE", "")
    monkeypatch.setenv("VORNA_TRACE_DEBUG", "")
    monkeypatch.delenv("VORNA_GRAD_DEBUG", raising=False)
    y, x, w, penalties = pspline_problem(rng, weighted=True)
    lam = t.fellner_schall(y, x, w, penalties, [1.0, 1.0])
    _, iterations = fellner_schall_ref(x, w, penalties, [1.0, 1.0])
    lines = capfd.readouterr().err.splitlines()
    assert lines[0] == "[PROFILE] Starting Fellner-Schall optimization (Cholesky)"
    assert lines[-1] == (f"[PROFILE] Fellner-Schall converged in {iterations} iterations" if iterations < 10
                         else "[PROFILE] Fellner-Schall reached max iterations (10) without convergence")
    # iteration 0 writes a trace line before each FS line; later iterations only FS lines
    traces, fs = lines[1:5:2], [FS_LINE.fullmatch(line) for line in lines[2:5:2] + lines[5:-1]]
    assert all(fs) and [(int(m[1]), int(m[2])) for m in fs] == [(i, j) for i in range(iterations) for j in (0, 1)]
    assert [m[5] for m in fs[:2]] == ["8", "7"]  # second differences of 10 and 9 columns
    assert [float(m[3]) for m in fs[:2]] == [1.0, 1.0]  # the λ the first iteration starts from
    # the last iteration's changes lead from its λ to the returned one
    printed = np.array([[float(m[3]), float(m[7])] for m in fs[-2:]])
    # λ ≈ 3 and the change printed with six decimals: 5e-7 each, relative 2e-7 for ln λ
    np.testing.assert_allclose(np.abs(np.log(lam) - np.log(printed[:, 0])), printed[:, 1], atol=1e-6)
    a = x.T @ (w[:, None] * x) + sum(penalties)
    l_inv = np.linalg.inv(np.linalg.cholesky(a + (math.sqrt(2) + 1) * 1e-5 * np.abs(np.diag(a)).max() * np.eye(len(a))))
    for j, (line, s) in enumerate(zip(traces, penalties)):
        m = re.fullmatch(rf"\[TRACE_DEBUG\] Smooth {j}: full_trace=(\S+), nonzero_trace=(\S+), "
                         rf"nonzero_cols=(\d+), p={x.shape[1]}", line)
        rows = np.abs(s).max(axis=1) > 1e-10
        assert float(m[1]) == pytest.approx(np.trace(l_inv @ s), abs=PRINTED_6)
        assert float(m[2]) == pytest.approx(np.diag(l_inv @ s)[rows].sum(), abs=PRINTED_6)
        assert int(m[3]) == rows.sum()


def test_rank_zero_penalty_keeps_its_lambda(rng):
    y, x, w, penalties = pspline_problem(rng)
    both = [penalties[0], np.zeros_like(penalties[1])]
    lam = t.fellner_schall(y, x, w, both, [1.0, 3.0])
    assert lam[1] == pytest.approx(3.0, rel=1e-15)  # exp(ln 3): two roundings
    # the other penalty is balanced as usual (with the ridge of two penalties)
    np.testing.assert_allclose(lam, fellner_schall_ref(x, w, both, [1.0, 3.0])[0], rtol=REPLAY_RTOL)


@pytest.mark.parametrize(
    "scale, start, expected",
    [
        (1e8, 1.0, 5.0**5),  # trace/rank above 5 at each of the ten steps: λ·(√5)¹⁰
        (1e-6, 1.0, 5.0**-5),  # below 0.2 at each step: λ·(√0.2)¹⁰
        (1e8, 1e4, 1e5),  # log λ stops at ln 1e5 ...
        (1e-6, 1e-6, 1e-7),  # ... and at ln 1e-7
    ],
    ids=["ratio-5", "ratio-0.2", "lambda-1e5", "lambda-1e-7"],
)
def test_fellner_schall_clamps_ratio_and_log_lambda(rng, scale, start, expected):
    y, x, w, penalties = pspline_problem(rng, m=1)
    lam = t.fellner_schall(y, x, w, [scale * penalties[0]], [start])
    # exp of ln λ₀ plus ten clamped steps (or of a clamped ln λ): a few roundings
    assert lam[0] == pytest.approx(expected, rel=1e-13)


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
