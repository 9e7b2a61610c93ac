"""Smoothness criteria: penalty roots, REML criterion, gradients, cached Hessian, GCV."""
import re

import numpy as np
import pytest

import _vorna_core_testing as t
from shared_problems import central_difference, difference_penalty, embedded_penalties, profiled_reml

GRAD_DEBUG = "VORNA_GRAD_DEBUG"


# ---- Problems and NumPy references -------------------------------------------


def bumps(x, k):
    """k Gaussian bumps over [0, 1]: a smooth, reasonably conditioned basis."""
    centres = np.linspace(0.0, 1.0, k)
    width = 1.5 / (k - 1)
    return np.exp(-0.5 * ((x[:, None] - centres) / width) ** 2)


def problem(rng, n, m, k=6, weighted=False):
    """y, X (n × m·k), w and m second-difference penalties embedded at their blocks
    (rank k − 2, every row non-zero: both rank rules agree on them)."""
    xs = rng.uniform(size=(n, m))
    x = np.hstack([bumps(xs[:, j], k) for j in range(m)])
    penalties = embedded_penalties([difference_penalty(k)] * m)
    y = sum(np.sin(2 * np.pi * (j + 1) * xs[:, j]) for j in range(m))
    y = y + 0.3 * rng.standard_normal(n)
    w = rng.uniform(0.5, 2.0, n) if weighted else np.ones(n)
    return y, x, w, penalties


def penalized(x, w, lambdas, penalties):
    return x.T @ (w[:, None] * x) + sum(lam * s for lam, s in zip(lambdas, penalties))


def row_rank(s):
    """The criterion's rank rule, written out independently."""
    rows = np.sum(np.abs(s).sum(axis=1) > 1e-10 * max(1.0, np.abs(s).max()))
    return rows - 2 if rows >= 2 else 1


def criterion_reference(y, x, w, lambdas, penalties):
    n, m = len(y), len(lambdas)
    a = penalized(x, w, lambdas, penalties)
    a += 1e-5 * (1 + np.sqrt(m)) * max(1.0, np.abs(np.diag(a)).max()) * np.eye(len(a))
    beta = np.linalg.solve(a, x.T @ (w * y))
    rss = w @ (y - x @ beta) ** 2
    pen = sum(lam * beta @ s @ beta for lam, s in zip(lambdas, penalties))
    kept = [(row_rank(s), lam) for lam, s in zip(lambdas, penalties) if lam > 1e-10]
    r = sum(rank for rank, _ in kept)
    phi = rss / (n - r)
    log_lam = sum(rank * np.log(lam) for rank, lam in kept)
    return 0.5 * ((rss + pen) / phi + (n - r) * np.log(2 * np.pi * phi)
                  + np.linalg.slogdet(a)[1] - log_lam)


def hessian_reference(y, x, w, lambdas, penalties):
    """The cached Hessian's defining formulas, transcribed with NumPy."""
    n, m = len(y), len(lambdas)
    a = penalized(x, w, lambdas, penalties)
    a += (np.sqrt(m) + 1) * 1e-5 * max(1.0, np.abs(np.diag(a)).max()) * np.eye(len(a))
    ai = np.linalg.inv(a)
    beta = np.linalg.solve(a, x.T @ (w * y))
    rss = w @ (y - x @ beta) ** 2
    phi = rss / (n - np.trace(ai @ (x.T @ x)))  # unweighted X'X on purpose
    mats = [lam * s for lam, s in zip(lambdas, penalties)]
    wv = [ai @ mj @ beta for mj in mats]
    db = [-v for v in wv]
    v = [s @ beta for s in penalties]
    h = np.zeros((m, m))
    for i in range(m):
        for j in range(i + 1):
            psi = ai @ (mats[i] @ wv[j] + mats[j] @ wv[i]) + (db[i] if i == j else 0)
            tij = (v[i] @ psi + db[i] @ penalties[i] @ db[j]
                   + lambdas[i] * v[i] @ db[j] + lambdas[j] * v[j] @ db[i])
            if i == j:
                gi = lambdas[i] * beta @ v[i] / phi
                h[i, i] = (np.trace(mats[i] @ ai) + 2 * tij + gi) / 2
            else:
                cross = np.trace(ai @ (mats[i] @ ai).T @ mats[j].T @ ai.T)
                h[i, j] = h[j, i] = (2 * tij - cross) / 2
    return h


def stderr_lines(capfd):
    return capfd.readouterr().err.splitlines()


# ---- Penalty square roots ----------------------------------------------------


@pytest.mark.parametrize(
    "s, kept",
    [
        (np.diag([1e-11, 1.0]), [1.0]),  # below the absolute threshold 1e-10
        (np.diag([5e-8, 1.0]), [5e-8, 1.0]),  # threshold 1e-10: survives
        (np.diag([5e-8, 1000.0]), [1000.0]),  # threshold 1e-7: dropped
        (np.zeros((3, 3)), []),
        (difference_penalty(7), None),  # rank 5
    ],
)
def test_penalty_sqrt_keeps_eigenvalues_above_threshold(s, kept):
    l = t.penalty_sqrt(s)
    eig = np.linalg.eigvalsh(s)
    expected = eig[eig > 1e-10 * max(eig.max(), 1.0)] if kept is None else np.array(kept)
    assert l.shape == (len(s), len(expected))
    # Column norms are √μ in ascending order; 1e-12 relative covers dsyev's rounding.
    np.testing.assert_allclose(np.sum(l**2, axis=0), expected, rtol=1e-12)
    if kept is None:
        # L·Lᵀ reproduces S when nothing but an exact null space is dropped; rounding only.
        np.testing.assert_allclose(l @ l.T, s, atol=1e-12 * np.abs(s).max())


def test_penalty_sqrt_rejects_non_square():
    with pytest.raises(ValueError, match=r"^Invalid parameter: Penalty matrix must be square$"):
        t.penalty_sqrt(np.zeros((2, 3)))


def test_penalty_sqrt_diagnostics_for_zero_penalty(capfd, monkeypatch):
    monkeypatch.setenv(GRAD_DEBUG, "")  # the empty string switches on too
    assert t.penalty_sqrt(np.zeros((3, 3))).shape == (3, 0)
    assert stderr_lines(capfd) == [
        "[PENALTY_SQRT_DEBUG] Matrix size: 3×3",
        "[PENALTY_SQRT_DEBUG] Max eigenvalue: 0",
        "[PENALTY_SQRT_DEBUG] Threshold: 0.0000000001",
        "[PENALTY_SQRT_DEBUG] Positive eigenvalues found: 0",
    ]


def test_penalty_sqrt_diagnostics_with_kept_eigenvalues(capfd, monkeypatch):
    monkeypatch.setenv(GRAD_DEBUG, "1")
    t.penalty_sqrt(np.diag([4.0, 9.0]))
    lines = stderr_lines(capfd)
    threshold = np.format_float_positional(1e-10 * 9.0, trim="-")
    assert lines[:6] == [
        "[PENALTY_SQRT_DEBUG] Matrix size: 2×2",
        "[PENALTY_SQRT_DEBUG] Max eigenvalue: 9",
        f"[PENALTY_SQRT_DEBUG] Threshold: {threshold}",
        "[PENALTY_SQRT_DEBUG] Positive eigenvalues found: 2",
        "[PENALTY_SQRT_DEBUG] Eigenvalues: [4.0, 9.0]",
        "[PENALTY_SQRT_DEBUG] Output L matrix shape: 2×2",
    ]
    prefix = "[PENALTY_SQRT_DEBUG] Reconstruction error ||L·L' - S||_∞ = "
    assert len(lines) == 7 and lines[6].startswith(prefix)
    assert float(lines[6][len(prefix):]) < 1e-12  # a diagonal matrix is reproduced to rounding


def test_no_diagnostics_when_switch_is_off(capfd, monkeypatch, rng):
    monkeypatch.delenv(GRAD_DEBUG, raising=False)
    y, x, w, pens = problem(rng, 50, 2)
    t.reml_gradient_multi_qr(y, x, w, [1.0, 2.0], pens)
    assert capfd.readouterr().err == ""


# ---- Rank rules ------------------------------------------------------------------


def test_rank_rules_disagree_on_zero_penalty(rng):
    zero = np.zeros((4, 4))
    assert t.criterion_rank(zero) == 1
    assert t.penalty_sqrt(zero).shape == (4, 0)
    y, x, w, _ = problem(rng, 30, 1, k=4)
    _, ranks, _ = t.stacked_factor(x, w, [2.0], [zero])
    assert ranks == [0]
    # The criterion still counts rank 1 and log λ for it: its reference uses the row rule.
    # Same data, different solvers: 1e-10 relative.
    assert t.reml_criterion(y, x, w, [2.0], [zero]) == pytest.approx(
        criterion_reference(y, x, w, [2.0], [zero]), rel=1e-10)
    # Without a root the gradient has neither a trace nor a coefficient term for it.
    assert t.reml_gradient_multi_qr(y, x, w, [2.0], [zero])[0] == 0.0


@pytest.mark.parametrize("k", [3, 6, 10])
def test_rank_rules_agree_on_second_difference_penalty(k):
    s = difference_penalty(k)
    assert t.criterion_rank(s) == k - 2 == t.penalty_sqrt(s).shape[1]


# ---- Criterion, stacked factor, coefficients -------------------------------------


@pytest.mark.parametrize("weighted", [False, True])
@pytest.mark.parametrize("lambdas", [[0.5], [1e-11, 3.0], [2.0, 0.1, 40.0]])
def test_criterion_matches_reference(rng, weighted, lambdas):
    y, x, w, pens = problem(rng, 120, len(lambdas), weighted=weighted)
    v = t.reml_criterion(y, x, w, lambdas, pens)
    # Elimination vs LAPACK on A_δ of condition ≲ 1e4 here: ~cond·ε ≈ 1e-12 relative.
    assert v == pytest.approx(criterion_reference(y, x, w, lambdas, pens), rel=1e-10)
    cached = t.reml_criterion(y, x, w, lambdas, pens, x.T @ (w[:, None] * x), x.T @ (w * y))
    assert cached == pytest.approx(v, rel=1e-12)  # only the cross products' summation order differs


@pytest.mark.parametrize("weighted", [False, True])
def test_stacked_factor_reproduces_penalized_cross_product(rng, weighted):
    y, x, w, pens = problem(rng, 80, 2, weighted=weighted)
    lambdas = [0.7, 12.0]
    r, ranks, roots = t.stacked_factor(x, w, lambdas, pens)
    assert ranks == [4, 4]
    assert np.array_equal(r, np.triu(r))
    expected = penalized(x, w, lambdas, pens)
    # A Householder QR reproduces ZᵀZ to a few ulps of its largest entry.
    np.testing.assert_allclose(r.T @ r, expected, atol=1e-12 * np.abs(expected).max())
    r_again, _, _ = t.stacked_factor(x, w, lambdas, pens, roots)
    np.testing.assert_array_equal(r_again, r)  # given roots are used as they are


def test_penalized_coefficients_use_per_entry_ridge(rng):
    y, x, w, pens = problem(rng, 90, 2, weighted=True)
    lambdas = [0.3, 5.0]
    fit = t.penalized_coefficients(y, x, w, lambdas, pens, 8)
    a = penalized(x, w, lambdas, pens)
    a += np.diag((1 + np.sqrt(2)) * 1e-7 * np.maximum(np.abs(np.diag(a)), 1.0))
    beta = np.linalg.solve(a, x.T @ (w * y))
    e = y - x @ beta
    # Two solvers on a matrix of condition ≲ 1e4: β to ~cond·ε ≈ 1e-12 relative.
    np.testing.assert_allclose(fit["beta"], beta, rtol=1e-10, atol=1e-12)
    assert fit["rss"] == pytest.approx(w @ e**2, rel=1e-10)
    assert fit["phi"] == pytest.approx(w @ e**2 / (90 - 8), rel=1e-10)
    assert fit["penalty"] == pytest.approx(
        sum(lam * beta @ s @ beta for lam, s in zip(lambdas, pens)), rel=1e-10)
    # XᵀWe comes from p × p products (XᵀWy − XᵀWX·β); cancellation against XᵀWy bounds the error.
    np.testing.assert_allclose(fit["xtwe"], x.T @ (w * e), atol=1e-10 * np.abs(x.T @ (w * y)).max())


# ---- Gradient ------------------------------------------------------------------------


@pytest.mark.parametrize("weighted", [False, True])
@pytest.mark.parametrize("m", [1, 2, 3])
def test_gradient_matches_finite_difference_of_criterion(rng, m, weighted):
    y, x, w, pens = problem(rng, 200, m, weighted=weighted)
    lambdas = list(np.exp(rng.uniform(-1.0, 2.0, m)))
    g = t.reml_gradient_multi_qr(y, x, w, lambdas, pens)
    rho = np.log(lambdas)
    fd = central_difference(lambda r: t.reml_criterion(y, x, w, list(np.exp(r)), pens), rho)
    # The criterion carries a 1e-5·(1 + √m)·max A_kk ridge, the gradient 1e-7 per entry: the
    # ridge moves the slope of log det by about δ·tr(A⁻²λS), up to ~3e-3 on these problems
    # (cond(A) ≲ 1e4). The tight check of the gradient's own target follows below.
    np.testing.assert_allclose(g, fd, atol=1e-2, rtol=1e-3)
    exact = central_difference(lambda r: profiled_reml(r, y, x, w, pens), rho)
    # Against the unridged criterion only the 1e-7 coefficient ridge and the O(h²) = 1e-8
    # truncation remain (measured ≤ 2e-5).
    np.testing.assert_allclose(g, exact, atol=1e-4, rtol=1e-5)


def test_gradient_with_given_roots_and_without_penalties(rng):
    y, x, w, pens = problem(rng, 60, 2)
    roots = [t.penalty_sqrt(s) for s in pens]
    np.testing.assert_array_equal(t.reml_gradient_multi_qr(y, x, w, [1.0, 3.0], pens, roots),
                                  t.reml_gradient_multi_qr(y, x, w, [1.0, 3.0], pens))
    assert t.reml_gradient_multi_qr(y, x, w, [], []).shape == (0,)


def test_gradient_reports_failed_triangular_solve():
    # No data and no penalty: the stacked factor is the zero matrix, which has no scale to
    # ridge against, and the first triangular solve meets its zero diagonal.
    x, y, w = np.zeros((40, 3)), np.ones(40), np.ones(40)
    with pytest.raises(ValueError, match=r"^Invalid parameter: Triangular solve failed: .*\b1\b"):
        t.reml_gradient_multi_qr(y, x, w, [1.0], [np.zeros((3, 3))])


def test_gradient_of_a_singular_factor_uses_the_coefficient_ridge(rng):
    # An all-zero column that no penalty touches leaves R singular. The gradient is then taken
    # with the coefficient solve's ridge (1 + √m)·1e-7·max(A_kk, 1) added to A, and must equal
    # the derivative of that ridged criterion computed independently.
    y, x, w, (s6,) = problem(rng, 40, 1)
    x = np.hstack([x, np.zeros((40, 1))])
    s = np.zeros((7, 7))
    s[:6, :6] = s6
    lam = 1.3
    g = t.reml_gradient_multi_qr(y, x, w, [lam], [s])
    assert np.all(np.isfinite(g))
    a = x.T @ (w[:, None] * x) + lam * s
    ridged = a + np.diag(2 * 1e-7 * np.maximum(np.abs(np.diag(a)), 1.0))
    inv = np.linalg.inv(ridged)
    beta = inv @ (x.T @ (w * y))
    e = y - x @ beta
    n, r = len(y), 4
    rss, pen = np.sum(w * e * e), lam * beta @ s @ beta
    phi = rss / (n - r)
    d_beta = -inv @ (lam * s @ beta)
    d_rss = -2 * (x.T @ (w * e)) @ d_beta
    d_pen = lam * beta @ s @ beta + 2 * lam * (s @ beta) @ d_beta
    trace = lam * np.trace(inv @ s)
    expected = 0.5 * (trace - r + (d_rss + d_pen) / phi - (rss + pen) / phi**2 * d_rss / (n - r)
                      + (n - r) / phi * d_rss / (n - r))
    # the ridge's own scale uses column norms of R instead of diag(A): equal up to rounding here
    np.testing.assert_allclose(g, [expected], rtol=1e-6)


@pytest.mark.parametrize(
    "change, message",
    [
        (lambda a: a.update(y=a["y"][:-1]), "X has 30 rows but y has 29 elements"),
        (lambda a: a.update(w=a["w"][:-1]), "X has 30 rows but w has 29 elements"),
        (lambda a: a.update(lambdas=[1.0, 2.0]), "Number of lambdas must match number of penalty"),
        (lambda a: a.update(penalties=[np.eye(5)]), "Penalty matrix 0 is 5×5 but X has 6 columns"),
    ],
)
def test_inconsistent_sizes_are_rejected(rng, change, message):
    y, x, w, pens = problem(rng, 30, 1)
    args = dict(y=y, x=x, w=w, lambdas=[1.0], penalties=pens)
    change(args)
    for f in (t.reml_criterion, t.reml_gradient_multi_qr):
        with pytest.raises(ValueError, match="^Matrix dimension mismatch: " + re.escape(message)):
            f(**args)


def test_stacked_factor_diagnostic_lines(capfd, monkeypatch):
    x = np.array([[1.0, 0.5], [1.0, 1.5], [1.0, 2.0], [1.0, 3.5], [1.0, 4.0]])
    y = np.array([1.0, 2.0, 2.5, 4.5, 4.0])
    w = np.ones(5)
    s = np.diag([4.0, 0.0])
    monkeypatch.setenv(GRAD_DEBUG, "")
    t.reml_gradient_multi_qr(y, x, w, [2.5], [s])
    lines = [l for l in stderr_lines(capfd) if not l.startswith("[PENALTY_SQRT_DEBUG]")]
    d = np.diag(x.T @ x + 2.5 * s)
    a = x.T @ x + 2.5 * s
    a += np.diag((1 + 1) * 1e-7 * np.maximum(np.abs(np.diag(a)), 1.0))
    beta = np.linalg.solve(a, x.T @ y)
    rss = np.sum((y - x @ beta) ** 2)
    assert lines[:4] == [
        "[Z_BUILD_DEBUG] Building Z matrix:",
        "[Z_BUILD_DEBUG]   n = 5, p = 2",
        "[Z_BUILD_DEBUG]   L0 shape: 2×1, λ0 = 2.500000",
        "[Z_BUILD_DEBUG]   Total Z rows: 6",
    ]
    # L0 = ±(2, 0)ᵀ (the eigenvector's sign is LAPACK's), so Z[5, 0] = ±√2.5·2.
    assert re.fullmatch(r"\[Z_BUILD_DEBUG\]   After adding L0 \(rows 5 to 5\), first value: "
                        r"-?3\.162278", lines[4])
    assert lines[5:] == [
        "[QR_DEBUG] Z dimensions: 6×2",
        "[QR_DEBUG] R dimensions: 2×2",
        "[QR_DEBUG] total_rows=6, n=5, p=2",
        f"[QR_DEBUG] R'R diagonal: [{d[0]:.6f}, {d[1]:.6f}, ..., {d[1]:.6f}]",
        f"[PHI_DEBUG] n=5, total_rank=1, rss={rss:.6f}, phi={rss / 4:.6f}",
    ]


def test_criterion_when_the_determinant_overflows(rng):
    # 400 coefficients with diagonal entries ~1e3: det(A) is far beyond the largest double,
    # but log det(A) is an ordinary number; the criterion must stay finite.
    n, p = 1200, 400
    x = rng.normal(size=(n, p)) * 2.0
    y = x[:, 0] + rng.normal(size=n)
    w = np.ones(n)
    s = np.eye(p)
    value = t.reml_criterion(y, x, w, [1.0], [s])
    expected = criterion_reference(y, x, w, [1.0], [s])
    assert np.isfinite(value)
    # slogdet and the library's pivot logs sum hundreds of terms in different orders
    np.testing.assert_allclose(value, expected, rtol=1e-10)


@pytest.mark.parametrize("c", [0.0, 1e-3, 0.5])
def test_criterion_when_the_determinant_is_subnormal(c):
    # A_δ = XᵀX + 1e-5·I with 64 pivots of 1e-5: det(A_δ) lies at or below the subnormal range,
    # where log(det) loses digits or is −∞; the criterion must use the true log-determinant.
    p = 65
    x = np.zeros((p, p))
    x[0, p - 1] = np.sqrt(c)
    y = np.linspace(-1.0, 1.0, p)
    w = np.ones(p)
    value = t.reml_criterion(y, x, w, [], [])
    a = x.T @ x + 1e-5 * np.eye(p)
    beta = np.linalg.solve(a, x.T @ y)
    rss = np.sum((y - x @ beta) ** 2)
    phi = rss / p
    expected = 0.5 * (rss / phi + p * np.log(2 * np.pi * phi) + np.linalg.slogdet(a)[1])
    # a sum of 65 logarithms against slogdet's; both exact to a few ulps of ~750
    np.testing.assert_allclose(value, expected, rtol=1e-12)
