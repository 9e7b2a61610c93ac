"""The penalty builder, through the public compute_penalty_matrix and the test
module: checked against NumPy computations of DᵀB⁻¹D, an independent quadrature
of SciPy B-spline second derivatives, and properties known by construction."""

import re

import numpy as np
import pytest
from scipy.interpolate import BSpline

import _vorna_core_testing as core
import vorna_core as vc
from shared_problems import cr_penalty, cr_second_differences

EPS = np.finfo(float).eps
PREFIX = "Failed to compute penalty: Invalid parameter: "
MAX_K = 5000


def penalty(basis_type, k, knots):
    return vc.compute_penalty_matrix(basis_type, k, np.asarray(knots, dtype=float))


def failure(message):
    return pytest.raises(ValueError, match="^" + re.escape(PREFIX + message) + "$")


def rel_err(a, b):
    return np.max(np.abs(a - b)) / np.max(np.abs(b))


# ---- errors and their order ----------------------------------------------------------


@pytest.mark.parametrize("name", ["CR", "Cubic", "bs", "", "cr ", "thin plate"])
def test_unknown_names_are_repeated(name):
    with failure(f"Unknown basis type: {name}"):
        penalty(name, 5, np.linspace(0, 1, 5))


@pytest.mark.parametrize("name", ["cr", "cubic_regression"])
def test_cr_knot_count_is_checked_before_k(name):
    for k, n in [(5, 4), (3, 4), (10**6, 4), (0, 1)]:
        with failure(f"Number of knots ({n}) must equal number of basis functions ({k}) for cr splines"):
            penalty(name, k, np.arange(float(n)))


@pytest.mark.parametrize("k", [0, 4, 10**6])
def test_cubic_needs_two_knots_before_any_k_check(k):
    for knots in ([], [1.0]):
        with failure("Need at least 2 knots for penalty matrix"):
            penalty("cubic", k, knots)


@pytest.mark.parametrize(
    "basis_type, k, message",
    [
        ("cr", 3, "Cubic regression spline penalty requires k >= 4 basis functions, got 3"),
        ("cr", 0, "Cubic regression spline penalty requires k >= 4 basis functions, got 0"),
        ("cubic", 3, "Cubic B-spline penalty requires k >= 4 basis functions, got 3"),
        ("cubic", 0, "Cubic B-spline penalty requires k >= 4 basis functions, got 0"),
    ],
)
def test_small_k_is_rejected(basis_type, k, message):
    knots = np.arange(float(k)) if basis_type == "cr" else [0.0, 1.0]
    with failure(message):
        penalty(basis_type, k, knots)


@pytest.mark.parametrize("basis_type", ["cr", "cubic", "tps", "thin_plate"])
def test_huge_k_is_a_clean_error(basis_type):
    k = 10**6
    knots = np.arange(float(k)) if basis_type == "cr" else [0.0, 1.0]
    with failure(f"Number of basis functions ({k}) exceeds the supported maximum of {MAX_K}"):
        penalty(basis_type, k, knots)


@pytest.mark.parametrize(
    "knots, shown",
    [([np.nan, 1.0], "NaN and 1.0"), ([0.0, np.inf], "0.0 and inf"), ([-1e308, 1e308], "-1e308 and 1e308")],
)
def test_cubic_rejects_a_non_finite_grid(knots, shown):
    message = f"Cubic B-spline penalty needs finite first and last knots with a finite spread, got {shown}"
    with failure(message):
        penalty("cubic", 6, knots)


def test_strided_knots_are_refused_and_a_copy_works():
    base = np.linspace(0.0, 1.0, 10)
    with pytest.raises(TypeError, match="^The given array is not contiguous$"):
        vc.compute_penalty_matrix("cr", 5, base[::2])
    s = vc.compute_penalty_matrix("cr", 5, np.ascontiguousarray(base[::2]))
    np.testing.assert_array_equal(s, penalty("cr", 5, base[::2].copy()))


def test_negative_num_basis_overflows():
    with pytest.raises(OverflowError, match="^argument 'num_basis': can't convert negative int to unsigned$"):
        vc.compute_penalty_matrix("tps", -1, np.zeros(2))


# ---- C. thin-plate placeholder ---------------------------------------------------------


@pytest.mark.parametrize("name", ["tps", "thin_plate"])
@pytest.mark.parametrize("k", [0, 1, 2, 4, 7])
@pytest.mark.parametrize("knots", [[], [np.nan], np.arange(9.0)])
def test_thin_plate_diagonal_ignores_knots(name, k, knots):
    expected = np.diag([0.0 if i < 2 else 1.0 for i in range(k)]).reshape(k, k)
    np.testing.assert_array_equal(penalty(name, k, knots), expected)


# ---- A. cubic regression spline penalty ----------------------------------------------


@pytest.mark.parametrize("k", [4, 5, 9, 30])
def test_cr_matches_dense_solve(rng, k):
    x = np.cumsum(rng.uniform(0.2, 2.0, k)) - 3.0
    s = penalty("cr", k, x)
    # Both are backward-stable solves of a diagonally dominant tridiagonal
    # system (κ(B) <= 3·max h/min h = 30); 100·ε covers k-term sums at k = 30.
    assert rel_err(s, cr_penalty(x)) < 100 * EPS * 30


def test_cr_properties_on_integer_knots():
    x = np.arange(5.0)
    s = penalty("cr", 5, x)
    scale = np.max(np.abs(s))
    # Dᵀ(B⁻¹D) is symmetric in exact arithmetic; the product rounds each entry on its own.
    assert np.max(np.abs(s - s.T)) < 10 * EPS * scale
    # D annihilates constants and straight lines exactly; what is left is rounding of k-term sums.
    assert np.max(np.abs(s @ np.ones(5))) < 20 * EPS * scale
    assert np.max(np.abs(s @ x)) < 20 * EPS * scale * 4
    eig = np.linalg.eigvalsh(s)
    # Rank k − 2; the two null eigenvalues are rounding (far below 1e-10 relative).
    assert np.sum(eig > 1e-10 * scale) == 3
    assert eig.min() > -1e-12 * scale


def test_cr_accepts_decreasing_knots():
    x = np.arange(5.0)[::-1].copy()
    s = penalty("cr", 5, x)
    # Negative spacings negate D and B: B⁻¹D is unchanged and S = DᵀB⁻¹D changes sign
    # (the reversed order of the knots is invisible: the penalty on 0..4 is centrosymmetric).
    assert rel_err(s, -penalty("cr", 5, np.arange(5.0))[::-1, ::-1]) < 100 * EPS


@pytest.mark.parametrize(
    "x", [[0.0, 1.0, 1.0, 2.0, 3.0, 4.0], [0.0, 0.0, 1.0, 2.0, 3.0, 4.0], [0.0, 1.0, 2.0, 3.0, 4.0, 4.0]]
)
def test_cr_coinciding_knots_follow_the_dense_product(x):
    """A zero spacing gives non-finite entries; their pattern is that of the
    literal dense product Dᵀ(B⁻¹D), including 0·NaN = NaN outside D's band
    (with a zero spacing at either end, the only source of NaN)."""
    x = np.array(x)
    with np.errstate(all="ignore"):
        expected = literal_cr_penalty(x)
    s = penalty("cr", len(x), x)
    np.testing.assert_array_equal(np.isnan(s), np.isnan(expected))
    np.testing.assert_array_equal(np.isinf(s), np.isinf(expected))
    assert not np.isfinite(s).all()


def literal_cr_penalty(x):
    """Thomas algorithm on all columns, then every product D[r][i]·M[r][j] summed."""
    k = len(x)
    h = np.diff(x)
    d = cr_second_differences(x)
    diag = (h[:-1] + h[1:]) / 3
    off = h[1:-1] / 6
    w = d.copy()
    cp = np.zeros(k - 3)
    cp[0] = off[0] / diag[0]
    w[0] /= diag[0]
    for i in range(1, k - 2):
        denom = diag[i] - off[i - 1] * cp[i - 1]
        if i < k - 3:
            cp[i] = off[i] / denom
        w[i] = (w[i] - off[i - 1] * w[i - 1]) / denom
    for i in range(k - 4, -1, -1):
        w[i] -= cp[i] * w[i + 1]
    return (d[:, :, None] * w[:, None, :]).sum(axis=0)


# ---- B. cubic B-spline penalty ---------------------------------------------------------


def grid(lo, hi, k):
    delta = (hi - lo) * 0.001
    a, b = lo - delta, hi + delta
    dx = (b - a) / (k - 3)
    start = a - 3 * dx
    step = ((b + 3 * dx) - start) / (k + 3)
    return start + np.arange(k + 4) * step


def scipy_penalty(lo, hi, k):
    """∫_lo^hi B″_i B″_j by SciPy B-splines on the same grid; the integrand is
    piecewise quadratic, so 3 Gauss points per piece are exact."""
    t = grid(lo, hi, k)
    cuts = np.unique(np.clip(t, lo, hi))
    nodes, weights = np.polynomial.legendre.leggauss(3)
    mid, half = (cuts[1:] + cuts[:-1]) / 2, np.diff(cuts) / 2
    xs = (mid[:, None] + half[:, None] * nodes).ravel()
    ws = (half[:, None] * weights).ravel()
    elements = [BSpline.basis_element(t[i : i + 5], extrapolate=False) for i in range(k)]
    second = np.array([b.derivative(2)(xs) for b in elements])
    second = np.nan_to_num(second)  # outside its support a basis element reports NaN
    return (second * ws) @ second.T


@pytest.mark.parametrize("lo, hi, k", [(0.0, 1.0, 4), (0.0, 1.0, 6), (-3.0, 7.5, 12), (100.0, 100.5, 20)])
def test_cubic_matches_scipy_quadrature(lo, hi, k):
    s = penalty("cubic", k, [lo, 0.3, hi])
    # Both integrate the same piecewise quadratic exactly; differences are rounding, amplified by
    # the 1/step² scale of B″ (relative 1e-9 is far above it, far below any modelling error).
    assert rel_err(s, scipy_penalty(lo, hi, k)) < 1e-9


# A range of 20 ulps at 1e6: intervals a few ulps long, so quadrature points round
# onto the right end of their interval, where the next interval's B-splines live.
ULP_RANGE = [1e6, 1e6 + 20 * np.spacing(1e6)]


@pytest.mark.parametrize(
    "knots, k",
    [([0.0, 1.0], 6), ([0.0, 1.0], 4), ([-2.0, 5.0], 17), (ULP_RANGE, 6), (ULP_RANGE, 8), ([3.0, -1.0], 6)],
)
def test_cubic_banded_equals_sum_over_all_pairs(knots, k):
    knots = np.array(knots)
    np.testing.assert_array_equal(penalty("cubic", k, knots), core.cubic_penalty_all_pairs(k, knots))


def test_cubic_structure():
    k = 6
    s = penalty("cubic", k, [0.0, 1.0])
    np.testing.assert_array_equal(s, s.T)
    i, j = np.indices(s.shape)
    assert np.all(s[np.abs(i - j) > 3] == 0.0)
    scale = np.max(np.abs(s))
    # PSD up to rounding of the quadrature sums.
    assert np.linalg.eigvalsh(s).min() > -1e-12 * scale
    t = grid(0.0, 1.0, k)
    constant = np.ones(k)
    linear = (t[1:k + 1] + t[2:k + 2] + t[3:k + 3]) / 3  # Greville abscissae: Σ g_i B_i(x) = x
    for c in (constant, linear):
        # B″ of a constant or a line is zero; only rounding of ~40 quadrature terms remains.
        assert np.max(np.abs(s @ c)) < 1e-12 * scale * np.max(np.abs(c)) * k


def test_cubic_reads_only_first_and_last_knot():
    np.testing.assert_array_equal(penalty("cubic", 7, [0.0, 0.5, 1.0]), penalty("cubic", 7, [0.0, 1.0]))
    np.testing.assert_array_equal(penalty("cubic", 7, [0.0, 9.0, -4.0, 1.0]), penalty("cubic", 7, [0.0, 1.0]))


@pytest.mark.parametrize("knots", [[1.0, 0.0], [2.0, 2.0], [5.0, 3.0, -1.0]])
def test_cubic_without_increasing_range_is_zero(knots):
    np.testing.assert_array_equal(penalty("cubic", 6, knots), np.zeros((6, 6)))


def test_cr_penalty_is_the_smooth_penalty():
    knots = np.array([0.0, 0.25, 0.5, 0.75, 1.0])
    _, smooth_penalty, _, _, _ = core.cubic_regression_smooth("x0", 5, 0.0, 1.0)
    np.testing.assert_array_equal(penalty("cr", 5, knots), smooth_penalty)
