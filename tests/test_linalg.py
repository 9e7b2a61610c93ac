"""The dense linear algebra layer: the square solvers, the products and the
LAPACK wrappers, checked against NumPy/SciPy and answers known by construction."""

import numpy as np
import pytest
import scipy.linalg

import _vorna_core_testing as core

EPS = np.finfo(float).eps
# Order at which solve/determinant/inverse switch from elimination to LAPACK LU.
LAPACK_ORDER = 1000
SINGULAR = "Singular matrix encountered"
SQUARE_RHS = "Matrix dimension mismatch: Matrix must be square and match RHS"
SQUARE = "Matrix dimension mismatch: Matrix must be square"


def backward_stable_tol(a):
    """Relative forward-error bound of a backward-stable dense solve: a small
    multiple of n·ε·κ(A) (the factor 10 covers the constant of the bound)."""
    return 10 * a.shape[0] * EPS * np.linalg.cond(a)


def well_conditioned(rng, n):
    """I + G/(3√n): eigenvalues in the disk |z − 1| ≤ 1/3, so κ stays near 2 and
    log|det| stays O(1) at any order."""
    return np.eye(n) + rng.standard_normal((n, n)) / (3 * np.sqrt(n))


def sum_bound(a_abs, b_abs, k):
    """Element-wise bound on the rounding error of ordered sums of k products:
    k·ε·(|A|·|B|) (the classic γ_k bound)."""
    return k * EPS * (a_abs @ b_abs) + np.finfo(float).tiny


# ---- solve ----------------------------------------------------------------------


def test_solve_swaps_rows():
    x = core.solve(np.array([[0.0, 1.0], [1.0, 0.0]]), np.array([2.0, 3.0]))
    np.testing.assert_array_equal(x, [3.0, 2.0])


def test_solve_singular():
    with pytest.raises(ValueError, match=f"^{SINGULAR}$"):
        core.solve(np.array([[1.0, 2.0], [2.0, 4.0]]), np.array([1.0, 1.0]))


@pytest.mark.parametrize(
    "a, b",
    [(np.ones((2, 3)), np.ones(2)), (np.eye(2), np.ones(3)), (np.ones((3, 2)), np.ones(3))],
    ids=["not-square", "rhs-too-long", "tall"],
)
def test_solve_dimension_mismatch(a, b):
    with pytest.raises(ValueError, match=f"^{SQUARE_RHS}$"):
        core.solve(a, b)


def test_solve_empty():
    assert core.solve(np.zeros((0, 0)), np.zeros(0)).shape == (0,)


def test_solve_pivot_threshold_is_absolute():
    # A pivot of exactly 1e-14 is accepted; one just below is not.
    assert core.solve(np.array([[1e-14]]), np.array([1.0]))[0] == pytest.approx(1e14, rel=EPS)
    with pytest.raises(ValueError, match=SINGULAR):
        core.solve(np.array([[9.9e-15]]), np.array([1.0]))
    # The threshold does not scale with A: a tiny but well-conditioned system fails.
    with pytest.raises(ValueError, match=SINGULAR):
        core.solve(1e-15 * np.eye(3), np.ones(3))


@pytest.mark.parametrize("n", [1, 7, 60])
def test_solve_matches_numpy(rng, n):
    a = well_conditioned(rng, n)
    b = rng.standard_normal(n)
    x = core.solve(a, b)
    expected = np.linalg.solve(a, b)
    err = np.linalg.norm(x - expected) / np.linalg.norm(expected)
    assert err <= backward_stable_tol(a), f"relative error {err:.3e}"


# ---- determinant ------------------------------------------------------------------


@pytest.mark.parametrize(
    "a, expected",
    [
        ([[0.0, 1.0], [1.0, 0.0]], -1.0),  # one row exchange
        ([[1.0, 2.0], [2.0, 4.0]], 0.0),  # singular: a value, not an error
        ([[1e-16, 0.0], [0.0, 1.0]], 0.0),  # first pivot below 1e-15 although det = 1e-16
        ([[2.0, 0.0], [0.0, 3.0]], 6.0),
    ],
)
def test_determinant_examples(a, expected):
    assert core.determinant(np.array(a)) == expected


def test_determinant_empty_is_one():
    assert core.determinant(np.zeros((0, 0))) == 1.0


def test_determinant_not_square():
    with pytest.raises(ValueError, match=f"^{SQUARE}$"):
        core.determinant(np.ones((2, 3)))


@pytest.mark.parametrize("n", [1, 5, 80])
def test_determinant_matches_numpy(rng, n):
    a = well_conditioned(rng, n)
    # First-order perturbation: |δdet/det| ≤ n·κ·(backward error n·ε).
    tol = 10 * n * n * EPS * np.linalg.cond(a)
    expected = np.linalg.det(a)
    assert core.determinant(a) == pytest.approx(expected, rel=tol)


# ---- inverse ------------------------------------------------------------------------


def test_inverse_diagonal():
    np.testing.assert_array_equal(
        core.inverse(np.array([[2.0, 0.0], [0.0, 4.0]])), [[0.5, 0.0], [0.0, 0.25]]
    )


def test_inverse_singular():
    with pytest.raises(ValueError, match=f"^{SINGULAR}$"):
        core.inverse(np.array([[1.0, 2.0], [2.0, 4.0]]))


def test_inverse_not_square():
    with pytest.raises(ValueError, match=f"^{SQUARE}$"):
        core.inverse(np.ones((3, 2)))


def test_inverse_empty():
    assert core.inverse(np.zeros((0, 0))).shape == (0, 0)


def test_inverse_pivot_threshold():
    assert core.inverse(np.array([[1e-14]]))[0, 0] == pytest.approx(1e14, rel=EPS)
    with pytest.raises(ValueError, match=SINGULAR):
        core.inverse(np.array([[9.9e-15]]))


@pytest.mark.parametrize("n", [3, 40])
def test_inverse_matches_numpy(rng, n):
    a = well_conditioned(rng, n)
    inv = core.inverse(a)
    expected = np.linalg.inv(a)
    err = np.linalg.norm(inv - expected) / np.linalg.norm(expected)
    assert err <= backward_stable_tol(a), f"relative error {err:.3e}"


# ---- the switch to LAPACK at order 1000 ------------------------------------------------


def test_identity_of_order_1000_takes_lapack_and_is_exact():
    eye = np.eye(LAPACK_ORDER)
    b = np.arange(LAPACK_ORDER, dtype=float)
    np.testing.assert_array_equal(core.solve(eye, b), b)
    assert core.determinant(eye) == 1.0
    np.testing.assert_array_equal(core.inverse(eye), eye)


def test_lapack_path_determinant_of_singular_is_zero():
    a = np.eye(LAPACK_ORDER)
    a[-1, -1] = 0.0  # dgetrf reports a zero pivot (INFO > 0): the determinant is 0
    assert core.determinant(a) == 0.0


def test_lapack_path_solve_and_inverse_of_singular_fail():
    a = np.eye(LAPACK_ORDER)
    a[-1, -1] = 0.0
    with pytest.raises(ValueError, match=f"^{SINGULAR}$"):
        core.solve(a, np.ones(LAPACK_ORDER))
    with pytest.raises(ValueError, match=f"^{SINGULAR}$"):
        core.inverse(a)


def test_lapack_path_determinant_sign_counts_exchanges():
    # A cyclic shift of 1000 rows is an odd permutation (999 transpositions).
    p = np.roll(np.eye(LAPACK_ORDER), 1, axis=0)
    assert core.determinant(p) == -1.0
    assert core.determinant(-np.eye(LAPACK_ORDER)) == 1.0


def test_elimination_at_999_agrees_with_lapack_at_1000(rng):
    """The same system solved by both paths: order 999 by elimination, and
    embedded as blockdiag(A, 1) at order 1000 by LAPACK. Both are backward
    stable, so each lies within n·ε·κ of the exact solution and they agree to
    twice that."""
    n = LAPACK_ORDER - 1
    a = well_conditioned(rng, n)
    b = rng.standard_normal(n)
    big = np.eye(n + 1)
    big[:n, :n] = a
    big_b = np.append(b, 2.0)
    tol = 2 * backward_stable_tol(a)

    x_elim = core.solve(a, b)
    x_lapack = core.solve(big, big_b)
    assert x_lapack[-1] == 2.0
    err = np.linalg.norm(x_elim - x_lapack[:n]) / np.linalg.norm(x_lapack[:n])
    assert err <= tol, f"solve paths differ by {err:.3e} (tol {tol:.3e})"

    inv_elim = core.inverse(a)
    inv_lapack = core.inverse(big)[:n, :n]
    err = np.linalg.norm(inv_elim - inv_lapack) / np.linalg.norm(inv_lapack)
    assert err <= tol, f"inverse paths differ by {err:.3e} (tol {tol:.3e})"

    det_tol = 10 * n * n * EPS * np.linalg.cond(a)
    assert core.determinant(a) == pytest.approx(core.determinant(big), rel=det_tol)
    assert core.determinant(a) == pytest.approx(np.linalg.det(a), rel=det_tol)


# ---- weighted cross products --------------------------------------------------------


@pytest.mark.parametrize(
    "n, p, unit",
    # below and above the work at which the Gram matrix goes to BLAS; more rows than one
    # buffered block of √W·X (2048); unit weights, which take the unweighted product
    [(5, 3, False), (400, 25, False), (5000, 7, False), (400, 25, True)],
    ids=["loops", "blas", "blocks", "unit"],
)
def test_weighted_cross_products_match_plain_sums(rng, n, p, unit):
    x = rng.standard_normal((n, p))
    w = np.ones(n) if unit else rng.uniform(0.1, 3.0, n)
    y = rng.standard_normal(n)
    xtwx = core.weighted_gram(x, w)
    expected = x.T @ (w[:, None] * x)
    # each term carries the rounding of √w twice: 3 more ε per product.
    bound = sum_bound(np.abs(x).T, w[:, None] * np.abs(x), n + 3)
    assert np.all(np.abs(xtwx - expected) <= bound), np.abs(xtwx - expected).max()
    np.testing.assert_array_equal(xtwx, xtwx.T)

    xtwy = core.weighted_xty(x, w, y)
    bound = sum_bound(np.abs(x).T, np.abs(w * y), n + 3)
    assert np.all(np.abs(xtwy - x.T @ (w * y)) <= bound)


def test_weighted_cross_products_read_only_n_weights(rng):
    x = rng.standard_normal((6, 2))
    w = np.append(rng.uniform(0.5, 1.0, 6), [np.nan, -1.0])
    y = np.append(rng.standard_normal(6), np.nan)
    # the first six weights and responses alone: (n + 3)·ε-sized sums as above
    bound = sum_bound(np.abs(x).T, w[:6, None] * np.abs(x), 9)
    assert np.all(np.abs(core.weighted_gram(x, w) - x.T @ (w[:6, None] * x)) <= bound)
    bound = sum_bound(np.abs(x).T, np.abs(w[:6] * y[:6]), 9)
    assert np.all(np.abs(core.weighted_xty(x, w, y) - x.T @ (w[:6] * y[:6])) <= bound)


def test_negative_weight_gives_nan_not_error(rng):
    x = rng.standard_normal((6, 2))
    w = np.ones(6)
    w[3] = -1.0
    assert np.all(np.isnan(core.weighted_gram(x, w)))
    assert np.all(np.isnan(core.weighted_xty(x, w, np.ones(6))))


# ---- dense products -------------------------------------------------------------------

# Sizes below and above the point where products switch to BLAS.
PRODUCT_SIZES = [(3, 4, 2), (70, 50, 40)]


@pytest.mark.parametrize("m, k, n", PRODUCT_SIZES, ids=["loops", "blas"])
@pytest.mark.parametrize("a_t, b_t", [(False, False), (True, False), (False, True), (True, True)])
def test_products_match_numpy(rng, m, k, n, a_t, b_t):
    """a_t/b_t hand the operand over as a transposed (column-major) view."""

    def as_operand(mat, transposed):
        return np.ascontiguousarray(mat.T) if transposed else mat

    a = rng.standard_normal((m, k))
    b = rng.standard_normal((k, n))
    c = rng.standard_normal((m, n))
    v = rng.standard_normal(k)
    u = rng.standard_normal(m)

    got = core.product("matmul", as_operand(a, a_t), as_operand(b, b_t), a_t, b_t)
    assert np.all(np.abs(got - a @ b) <= sum_bound(np.abs(a), np.abs(b), k))

    got = core.product("matmul_tn", as_operand(a, a_t), as_operand(c, b_t), a_t, b_t)
    assert np.all(np.abs(got - a.T @ c) <= sum_bound(np.abs(a).T, np.abs(c), m))

    got = core.product("gram", as_operand(a, a_t), None, a_t)
    assert np.all(np.abs(got - a.T @ a) <= sum_bound(np.abs(a).T, np.abs(a), m))
    np.testing.assert_array_equal(got, got.T)

    got = core.product("matvec", as_operand(a, a_t), v, a_t)
    assert np.all(np.abs(got - a @ v) <= sum_bound(np.abs(a), np.abs(v), k))

    got = core.product("matvec_t", as_operand(a, a_t), u, a_t)
    assert np.all(np.abs(got - a.T @ u) <= sum_bound(np.abs(a).T, np.abs(u), m))

    np.testing.assert_array_equal(core.product("transpose", as_operand(a, a_t), None, a_t), a.T)


def test_products_of_empty_operands():
    assert core.product("matmul", np.zeros((3, 0)), np.zeros((0, 2))).tolist() == [[0.0] * 2] * 3
    assert core.product("gram", np.zeros((0, 3))).tolist() == [[0.0] * 3] * 3
    assert core.product("matvec_t", np.zeros((0, 2)), np.zeros(0)).tolist() == [0.0, 0.0]


# ---- LAPACK wrappers ----------------------------------------------------------------


@pytest.mark.parametrize("m, n", [(9, 4), (4, 9), (6, 6), (300, 40), (40, 300), (0, 3), (3, 0)])
def test_qr_r_reproduces_gram(rng, m, n):
    a = rng.standard_normal((m, n))
    r = core.qr_r(a)
    k = min(m, n)
    assert r.shape == (k, n)
    np.testing.assert_array_equal(np.tril(r, -1), 0.0)
    # Residual of a Householder QR: a small multiple of m·ε·‖A‖².
    tol = 10 * max(m, 1) * EPS * np.linalg.norm(a) ** 2
    assert np.all(np.abs(r.T @ r - a.T @ a) <= tol)
    if k:
        # R is unique up to the signs of its rows (A has full rank).
        expected = scipy.linalg.qr(a, mode="r")[0][:k]
        signs = np.sign(np.diag(r)) * np.sign(np.diag(expected))
        np.testing.assert_allclose(signs[:, None] * r, expected, atol=tol)


def spd(rng, n):
    g = rng.standard_normal((n, n))
    return g @ g.T + n * np.eye(n)


def test_cholesky_upper_and_lower(rng):
    a = spd(rng, 7)
    tol = 10 * 7 * EPS * np.abs(a).max()
    # Each reads only its own triangle: garbage in the other one changes nothing.
    upper_input = np.triu(a) + np.tril(np.full((7, 7), 1e3), -1)
    lower_input = np.tril(a) + np.triu(np.full((7, 7), 1e3), 1)
    r = core.cholesky(upper_input, True)
    lo = core.cholesky(lower_input, False)
    np.testing.assert_array_equal(np.tril(r, -1), 0.0)
    np.testing.assert_array_equal(np.triu(lo, 1), 0.0)
    assert np.abs(r.T @ r - a).max() <= tol
    assert np.abs(lo @ lo.T - a).max() <= tol
    np.testing.assert_allclose(lo, np.linalg.cholesky(a), atol=tol)


def test_cholesky_not_positive_definite_names_the_minor():
    a = np.diag([1.0, 2.0, -1.0, 4.0])
    for upper in (True, False):
        with pytest.raises(
            ValueError,
            match=r"^Linear algebra error: LapackComputationalFailure \{ return_code: 3 \}$",
        ):
            core.cholesky(a, upper)


def test_cholesky_not_square():
    with pytest.raises(ValueError, match="^Linear algebra error: NotSquare$"):
        core.cholesky(np.ones((2, 3)), True)


@pytest.mark.parametrize("upper", [True, False])
@pytest.mark.parametrize("transpose", [True, False])
def test_triangular_solve(rng, upper, transpose):
    n = 6
    t = rng.standard_normal((n, n)) + 4 * np.eye(n)
    t = np.triu(t) if upper else np.tril(t)
    garbage = t + (np.tril if upper else np.triu)(np.full((n, n), 7.0), -1 if upper else 1)
    b = rng.standard_normal((n, 3))
    x = core.triangular_solve(garbage, upper, transpose, b)
    op = t.T if transpose else t
    expected = scipy.linalg.solve_triangular(t, b, lower=not upper, trans=1 if transpose else 0)
    np.testing.assert_allclose(x, expected, rtol=backward_stable_tol(op))
    assert np.abs(op @ x - b).max() <= 10 * n * EPS * np.abs(op).max() * np.abs(x).max()


def test_triangular_solve_zero_diagonal_names_the_entry():
    t = np.triu(np.ones((4, 4)))
    t[1, 1] = 0.0
    with pytest.raises(ValueError, match=r"LapackComputationalFailure \{ return_code: 2 \}"):
        core.triangular_solve(t, True, False, np.ones((4, 1)))


def test_symmetric_eigen(rng):
    n = 8
    s = spd(rng, n) - 10 * np.eye(n)  # indefinite
    values, vectors = core.symmetric_eigen(np.triu(s) + np.tril(np.full((n, n), 5.0), -1))
    tol = 10 * n * EPS * np.abs(s).max()
    np.testing.assert_allclose(values, np.linalg.eigvalsh(s), atol=tol)
    assert np.all(np.diff(values) > 0)
    assert np.abs(s @ vectors - vectors * values).max() <= tol
    assert np.abs(vectors.T @ vectors - np.eye(n)).max() <= 10 * n * EPS


def test_lu_factor_solve_and_inverse(rng):
    n = 9
    a = well_conditioned(rng, n)
    lu, ipiv = core.lu_factor(a)
    lower = np.tril(lu, -1) + np.eye(n)
    upper = np.triu(lu)
    permuted = a.copy()
    for i, p in enumerate(ipiv.astype(int) - 1):  # LAPACK's 1-based row exchanges
        permuted[[i, p]] = permuted[[p, i]]
    assert np.abs(lower @ upper - permuted).max() <= 10 * n * EPS * np.abs(a).max()

    tol = backward_stable_tol(a)
    b = rng.standard_normal((n, 4))
    np.testing.assert_allclose(core.lu_solve(a, b), np.linalg.solve(a, b), rtol=tol, atol=tol)
    np.testing.assert_allclose(core.lu_inverse(a), np.linalg.inv(a), rtol=tol, atol=tol)


def test_lu_singular_reports_info():
    a = np.array([[1.0, 2.0], [2.0, 4.0]])
    with pytest.raises(ValueError, match=r"LapackComputationalFailure \{ return_code: 2 \}"):
        core.lu_inverse(a)
