"""The cubic regression and B-spline bases and their smooth constructors,
checked against SciPy splines, literal evaluations of the rules and values
known by construction."""

import re

import numpy as np
import pytest
from scipy.interpolate import BSpline, CubicSpline

import _vorna_core_testing as core
import vorna_core as vc
from shared_problems import quantile_knots

EPS = np.finfo(float).eps
MAX_K = 5000


def invalid(message):
    return pytest.raises(ValueError, match="^" + re.escape("Invalid parameter: " + message) + "$")


def bs(knots, x, full_rule=False):
    return core.bspline_basis(np.asarray(knots, float), np.asarray(x, float), full_rule)


def cr(knots, x):
    return core.cr_basis(np.asarray(knots, float), np.asarray(x, float))


def extended(knots):
    knots = list(knots)
    return np.array(knots[:1] * 3 + knots + knots[-1:] * 3)


def greville(knots):
    t = extended(knots)
    k = len(knots) + 2
    return np.array([(t[i + 1] + t[i + 2] + t[i + 3]) / 3 for i in range(k)])


# ---- B-spline basis ------------------------------------------------------------------

THIRDS = [0.0, 1 / 3, 2 / 3, 1.0]
# The evaluation point sits 2e-10 inside the boundary; a slope of at most ~10 makes
# that a ~2e-9 difference from the exact boundary value, and the curvature a ~1e-8
# difference in the extrapolated rows one unit out.
SHIFT_TOL = 1e-8


def test_bspline_values_given_for_thirds():
    phi = bs(THIRDS, [0.5, 0.0, 1.0, -1.0, 2.0])
    # 1/32 and 15/32 are exact binary fractions; the recursion rounds a few times.
    np.testing.assert_allclose(phi[0], [0, 1 / 32, 15 / 32, 15 / 32, 1 / 32, 0], atol=4 * EPS)
    np.testing.assert_allclose(phi[1], [1, 0, 0, 0, 0, 0], atol=SHIFT_TOL)
    np.testing.assert_allclose(phi[2], [0, 0, 0, 0, 0, 1], atol=SHIFT_TOL)
    np.testing.assert_allclose(phi[3], [10, -9, 0, 0, 0, 0], atol=SHIFT_TOL)
    np.testing.assert_allclose(phi[4], [0, 0, 0, 0, -9, 10], atol=SHIFT_TOL)


@pytest.mark.parametrize(
    "knots",
    [THIRDS, [-2.0, -1.5, 0.1, 0.2, 3.0], [0.0, 0.3, 0.3, 1.0], [0.0, 0.2, 0.2, 0.2, 1.0], [5.0, 9.0]],
    ids=["thirds", "uneven", "double", "triple", "no-interior"],
)
def test_bspline_matches_scipy_inside(rng, knots):
    lo, hi = knots[0], knots[-1]
    x = np.sort(rng.uniform(lo + 1e-6, hi - 1e-6, 200))
    expected = BSpline.design_matrix(x, extended(knots), 3).toarray()
    # Same piecewise polynomials by a different evaluation order; values are O(1).
    np.testing.assert_allclose(bs(knots, x), expected, rtol=0, atol=20 * EPS)


@pytest.mark.parametrize(
    "knots",
    [THIRDS, [-2.0, -1.5, 0.1, 0.2, 3.0], [0.0, 0.2, 0.2, 0.2, 1.0], [1e6, 1e6 + 1.0, 1e6 + 3.0]],
    ids=["thirds", "uneven", "triple", "offset"],
)
def test_bspline_partition_of_unity_and_lines(rng, knots):
    lo, hi = knots[0], knots[-1]
    width = hi - lo
    x = np.concatenate([rng.uniform(lo, hi, 100), [lo - 2 * width, lo - 1e-3, hi + 1e-3, hi + 2 * width]])
    phi = bs(knots, x)
    scale = np.max(np.abs(phi))  # the extrapolated rows reach ~10 here
    # Partition of unity holds inside and along the tangents (the slopes sum to 0);
    # tolerance: rounding of k terms of size `scale`.
    np.testing.assert_allclose(phi.sum(axis=1), 1.0, atol=50 * EPS * scale)
    # Greville abscissae reproduce x; inputs near an end are evaluated 2e-10 inside it.
    np.testing.assert_allclose(phi @ greville(knots), x, atol=3e-10 + 50 * EPS * scale * np.max(np.abs(x)))


def boundary_points(knots):
    lo, hi = knots[0], knots[-1]
    offsets = np.array([0.0, 1e-11, 1e-10, 1.5e-10, 2e-10, 3e-10, 1e-3])
    return np.concatenate([lo + offsets, lo - offsets, hi + offsets, hi - offsets, knots, [lo - 5, hi + 5]])


@pytest.mark.parametrize(
    "knots",
    [
        THIRDS,
        [0.5],
        [1.0, 1.0],
        [0.0, 0.2, 0.2, 0.2, 1.0],
        [0.0, 1e-11, 1.0],  # a spacing below the knot guard
        [1e6, 1e6 + 1.0, 1e6 + 3.0],
        [0.0, 0.8, 0.3, 1.0],  # unsorted: evaluated by the full rule
        [1.0, 0.5, 0.0],
    ],
)
def test_bspline_local_evaluation_equals_full_rule(rng, knots):
    lo, hi = min(knots), max(knots)
    x = np.concatenate([rng.uniform(lo - 1, hi + 1, 300), boundary_points(knots), [np.nan, np.inf, -np.inf]])
    local = bs(knots, x)
    np.testing.assert_array_equal(local, bs(knots, x, full_rule=True))
    finite = np.isfinite(x)
    if knots == sorted(knots):
        # At most four non-zero entries per finite input.
        assert np.all(np.count_nonzero(local[finite], axis=1) <= 4)


@pytest.mark.parametrize("seed", range(4))
def test_bspline_rows_in_batches_equal_full_rule(seed):
    # Interior rows go through the recursion four at a time: uneven knots with repeats, and a
    # number of rows that leaves a part-filled last batch, must still match the full rule bitwise.
    rng = np.random.default_rng(seed)
    knots = np.sort(np.round(rng.lognormal(size=9), 1))
    x = rng.uniform(knots[0] - 0.5, knots[-1] + 0.5, 1001 + seed)
    np.testing.assert_array_equal(bs(knots, x), bs(knots, x, full_rule=True))


@pytest.mark.parametrize("knots", [THIRDS, [-3.0, 2.0, 2.5]])
def test_bspline_inputs_near_an_end_are_moved_inside(knots):
    lo, hi = knots[0], knots[-1]
    near_lo = bs(knots, [lo - 9e-11, lo, lo + 9e-11])
    near_hi = bs(knots, [hi - 9e-11, hi, hi + 9e-11])
    np.testing.assert_array_equal(near_lo, np.repeat(bs(knots, [lo + 2e-10]), 3, axis=0))
    np.testing.assert_array_equal(near_hi, np.repeat(bs(knots, [hi - 2e-10]), 3, axis=0))


def test_bspline_empty_input():
    assert bs(THIRDS, []).shape == (0, 6)


def test_bspline_basis_needs_a_knot():
    with invalid("A B-spline basis needs at least 1 knot, got 0"):
        bs([], [0.0])


# ---- cubic regression basis ----------------------------------------------------------


@pytest.mark.parametrize(
    "knots, outside, expected_outside",
    [
        ([0.0, 1.0, 2.0, 3.0], [-1.0, 4.0], [[2, -1, 0, 0], [0, 0, -1, 2]]),
        # Chord slopes 1/(x1 − x0) = 1 on the left and 1/(x3 − x2) = 1/3 on the right.
        ([0.0, 1.0, 3.0, 6.0], [-2.0, 9.0], [[3, -2, 0, 0], [0, 0, -1, 2]]),
    ],
)
def test_cr_unit_rows_at_knots_and_chord_extrapolation(knots, outside, expected_outside):
    phi = cr(knots, knots + outside)
    # At a knot the cubic of the interval on its left is evaluated at u = h: rounding only.
    np.testing.assert_allclose(phi[:4], np.eye(4), rtol=0, atol=16 * EPS)
    # The chord values are exact in binary here.
    np.testing.assert_array_equal(phi[4:], expected_outside)


@pytest.mark.parametrize(
    "knots", [[0.0, 1.0, 2.0, 3.0], [-1.0, -0.2, 0.5, 0.6, 2.0, 7.0], list(np.linspace(0, 1, 12))]
)
def test_cr_matches_scipy_natural_spline(rng, knots):
    x = rng.uniform(knots[0], knots[-1], 300)
    expected = np.column_stack(
        [CubicSpline(knots, np.eye(len(knots))[i], bc_type="natural")(x) for i in range(len(knots))]
    )
    # Two solvers of the same small tridiagonal system; κ stays below ~50 for these spacings.
    np.testing.assert_allclose(cr(knots, x), expected, rtol=0, atol=1e-13)


def test_cr_partition_of_unity_and_lines(rng):
    knots = np.cumsum(rng.uniform(0.1, 1.0, 9))
    x = np.concatenate([rng.uniform(knots[0], knots[-1], 200), knots])
    phi = cr(knots, x)
    scale = np.max(np.abs(x))
    # Interpolating constants and lines is exact up to rounding of k-term sums.
    np.testing.assert_allclose(phi.sum(axis=1), 1.0, atol=100 * EPS)
    np.testing.assert_allclose(phi @ knots, x, atol=100 * EPS * scale)


@pytest.mark.parametrize(
    "knots",
    [
        [0.0, 1.0, 2.0, 3.0],
        [-1.0, -0.2, 0.5, 0.6, 2.0, 7.0],
        [3.0, 2.0, 1.0, 0.0],  # decreasing: the literal rule, linear scan
        [0.0, 1.0, 1.0, 2.0],  # a zero spacing: non-finite values
        [2.0, 2.0, 2.0, 2.0],
    ],
)
def test_cr_table_and_bisection_equal_the_literal_rule(rng, knots):
    lo, hi = min(knots), max(knots)
    x = np.concatenate([rng.uniform(lo - 1, hi + 1, 100), knots, [np.nan, np.inf, -np.inf]])
    with np.errstate(all="ignore"):
        np.testing.assert_array_equal(cr(knots, x), core.cr_basis_reference(np.array(knots), x))


def test_cr_empty_input_and_knot_count():
    assert cr([0.0, 1.0, 2.0, 3.0], []).shape == (0, 4)
    with invalid("A cubic regression spline basis needs at least 2 knots, got 1"):
        cr([0.0], [0.5])


# ---- smooth constructors -------------------------------------------------------------


def test_cubic_regression_smooth():
    x = np.array([-0.5, 0.1, 0.9, 1.5])
    knots, penalty, lam, name, values = core.cubic_regression_smooth("x3", 5, 0.0, 1.0, x)
    np.testing.assert_array_equal(knots, [0.0, 0.25, 0.5, 0.75, 1.0])
    assert (penalty.shape, lam, name) == ((5, 5), 1.0, "x3")
    np.testing.assert_array_equal(values, cr(knots, x))


@pytest.mark.parametrize("k", [0, 1, 3])
def test_cubic_regression_smooth_rejects_small_k(k):
    with invalid(f"Cubic regression spline penalty requires k >= 4 basis functions, got {k}"):
        core.cubic_regression_smooth("x0", k, 0.0, 1.0)


@pytest.mark.parametrize(
    "lo, hi", [(1.0, 0.0), (2.0, 2.0), (np.inf, -np.inf)], ids=["reversed", "point", "empty"]
)
def test_cubic_regression_smooth_degenerate_ranges_do_not_fail(lo, hi):
    x = np.array([-1.0, 0.0, 0.5, 1.0, 2.0, np.nan])
    knots, penalty, _, _, values = core.cubic_regression_smooth("x0", 5, lo, hi, x)
    with np.errstate(all="ignore"):
        np.testing.assert_array_equal(values, core.cr_basis_reference(knots, x))
    if lo == 1.0:
        # Reversed knots stay finite: every input is extrapolated along a chord.
        assert np.isfinite(values[:-1]).all() and np.isfinite(penalty).all()


def test_bspline_smooth_from_range():
    x = np.array([-1.0, 0.25, 0.5, 2.0])
    knots, penalty, lam, name, values = core.bspline_smooth_from_range("z", 6, 0.0, 1.0, x)
    np.testing.assert_array_equal(knots, np.arange(4) * (1.0 / 3))
    np.testing.assert_array_equal(penalty, vc.compute_penalty_matrix("cubic", 6, knots))
    assert (lam, name) == (1.0, "z")
    np.testing.assert_array_equal(values, bs(knots, x))


@pytest.mark.parametrize(
    "k, message",
    [
        (0, "A B-spline smooth requires k >= 2 basis functions, got 0"),
        (1, "A B-spline smooth requires k >= 2 basis functions, got 1"),
        (2, "Need at least 2 knots for penalty matrix"),
        (3, "Need at least 2 knots for penalty matrix"),
    ],
)
def test_bspline_smooths_reject_small_k(k, message):
    with invalid(message):
        core.bspline_smooth_from_range("z", k, 0.0, 1.0)
    with invalid(message):
        core.bspline_smooth_from_data("z", k, np.arange(10.0))


def test_bspline_smooth_from_data_quantiles():
    column = np.arange(1.0, 12.0)
    x = np.array([1.0, 11.0])
    knots, _, _, _, values = core.bspline_smooth_from_data("x0", 5, column[::-1].copy(), x)
    np.testing.assert_array_equal(knots, [3.5, 6.0, 8.5])
    # 1 and 11 lie outside [3.5, 8.5]: tangent extrapolation, which still reproduces lines.
    # The tangents are taken 2e-10 inside the ends: a few 1e-9 off at 2.5 units out.
    np.testing.assert_allclose(values @ greville(knots), [1.0, 11.0], atol=1e-8)
    # The slopes sum to 0 up to rounding of terms of size ~1.
    np.testing.assert_allclose(values.sum(axis=1), 1.0, atol=1e-12)


def test_bspline_knots_are_linear_quantiles(rng):
    column = rng.normal(size=37)
    k = 8
    knots = core.bspline_smooth_from_data("x0", k, column, np.zeros(1))[0]
    expected = np.quantile(column, np.arange(1, k - 1) / (k - 1))
    # NumPy interpolates with a different formula: a few ulps of the data range.
    np.testing.assert_allclose(knots, expected, rtol=0, atol=8 * EPS * np.ptp(column))


def _columns_for_selection(rng, n):
    return {
        "uniform": rng.uniform(size=n),
        "heavy tails": rng.lognormal(sigma=12.0, size=n),  # most values crowd one end bucket
        "geometric": 2.0 ** -np.arange(n, dtype=float),  # every level sheds a single bucket
        "ties": rng.integers(0, 5, size=n).astype(float),
        "infinite end": np.append(rng.normal(size=n - 1), np.inf),  # a range no bucket width divides
        "signed zeros": np.where(rng.uniform(size=n) < 0.5, -0.0, 0.0) + (rng.uniform(size=n) < 0.1),
    }


@pytest.mark.parametrize("n", [2049, 60001])
@pytest.mark.parametrize("name", ["uniform", "heavy tails", "geometric", "ties", "infinite end", "signed zeros"])
def test_bspline_knots_of_long_columns_are_the_sorted_quantiles(rng, n, name):
    # Long columns take the bucketed selection; the knots must be exactly those read off a full sort.
    column = _columns_for_selection(rng, n)[name]
    rng.shuffle(column)
    k = 12
    with np.errstate(invalid="ignore"):
        expected = quantile_knots(column, k)
    knots = core.bspline_smooth_from_data("x0", k, column, np.zeros(1))[0]
    np.testing.assert_array_equal(knots, expected)


@pytest.mark.parametrize(
    "column, expected",
    [([0.0] * 9 + [1.0], [1e-6] * 3), ([0.0] + [1.0] * 9, [1.0 - 1e-6] * 3), ([4.0] * 6, [4.0] * 3)],
    ids=["low", "high", "constant"],
)
def test_bspline_knots_are_moved_inside_the_data(column, expected):
    knots, penalty, _, _, values = core.bspline_smooth_from_data("x0", 5, np.array(column), np.array(column))
    np.testing.assert_array_equal(knots, expected)
    if column[0] == column[-1]:
        # All knots coincide: no interval to integrate over and no live B-spline.
        np.testing.assert_array_equal(penalty, np.zeros((5, 5)))
        np.testing.assert_array_equal(values, np.zeros((6, 5)))


def test_bspline_knots_pushed_past_a_quantile_are_put_in_order():
    # The two lowest quantiles sit on the minimum and move to 0 + 1e-6, above the third: in
    # order again, they make a basis whose functions sum to 1 between the first and last knot,
    # and a penalty over that span.
    column = np.array([0.0, 0.0, 0.0, 5e-8, 1.0])
    x = np.linspace(5e-8, 1e-6, 9)
    knots, penalty, _, _, values = core.bspline_smooth_from_data("x0", 5, column, x)
    np.testing.assert_array_equal(knots, [5e-8, 1e-6, 1e-6])
    np.testing.assert_array_equal(values, bs(knots, x, full_rule=True))
    np.testing.assert_allclose(values.sum(axis=1), 1.0, rtol=0, atol=1e-12)
    assert np.abs(penalty).max() > 0


@pytest.mark.parametrize(
    "column, message",
    [
        (np.zeros(0), "Cannot place B-spline knots: the data column is empty"),
        (np.array([1.0, np.nan, 2.0]), "Cannot place B-spline knots: the data column contains NaN"),
    ],
)
def test_bspline_smooth_from_data_rejects_columns(column, message):
    with invalid(message):
        core.bspline_smooth_from_data("x0", 6, column)


@pytest.mark.parametrize("k", [MAX_K + 1, 10**6, 2**64 - 1])
def test_smooths_refuse_huge_k(k):
    message = f"Number of basis functions ({k}) exceeds the supported maximum of {MAX_K}"
    with invalid(message):
        core.cubic_regression_smooth("x0", k, 0.0, 1.0)
    with invalid(message):
        core.bspline_smooth_from_range("x0", k, 0.0, 1.0)
    with invalid(message):
        core.bspline_smooth_from_data("x0", k, np.arange(5.0))


@pytest.mark.parametrize("k", [4, 7, 50])
@pytest.mark.parametrize("seed", [0, 1])
def test_quantile_knots_on_large_columns_with_ties(k, seed):
    # Knot placement reads only a few order statistics; they must be the sorted column's.
    rng = np.random.default_rng(seed)
    column = np.round(rng.normal(size=20001), 2)  # many ties
    knots = core.bspline_smooth_from_data("x0", k, column, np.zeros(1))[0]
    np.testing.assert_array_equal(knots, quantile_knots(column, k))


@pytest.mark.parametrize("offset", [0.0, 3e6, 1.7e9])
def test_bspline_rows_at_and_beyond_the_top_knot_for_large_inputs(offset):
    # Beyond 2^21 the doubles next to hi are further apart than the 2e-10 shift; the point
    # of evaluation must still fall inside the last interval, not on the empty closed one.
    knots = offset + np.array([0.0, 1.0, 2.0, 3.0])
    x = offset + np.array([-1.0, 0.0, 1.5, 3.0, 4.0])
    rows = core.bspline_basis(knots, x)
    # partition of unity holds inside and along the tangents outside
    np.testing.assert_allclose(rows.sum(axis=1), 1.0, atol=1e-6)
    reference = core.bspline_basis(knots - offset, x - offset)
    # the inputs are exact in both frames; only the position of the shifted end point differs
    np.testing.assert_allclose(rows, reference, atol=1e-5)
