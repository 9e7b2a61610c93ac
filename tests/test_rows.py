"""The row passes: the sparse rows (each term's row as a few pairs in a raw
space times a fixed map) against the model matrix, and the pass sums XᵀWX,
XᵀWz, XᵀWr, η of both paths against NumPy sums over the model matrix."""

import numpy as np
import pytest

import _vorna_core_testing as core
from vorna import _engine

# The two paths sum the same products in different orders, and the sparse one
# through the map G (for cr the second derivatives F, entries of order 1/h²
# times raw values of order h²), so they agree to some hundred ulps of the
# largest entry, never exactly; 1e-12 of the largest entry leaves room for
# that and none for a wrong entry.
kSumsTolerance = 1e-12
# A cr row from the local form, Σ v·M[i], against the tabulated evaluation:
# a handful of roundings on values of order 1.
kLocalTolerance = 1e-13

N = 3000


def dense(monkeypatch):
    monkeypatch.delenv("VORNA_SPARSE_ROWS", raising=False)
    monkeypatch.setenv("VORNA_DENSE_ROWS", "1")


def sparse(monkeypatch):
    monkeypatch.delenv("VORNA_DENSE_ROWS", raising=False)
    monkeypatch.setenv("VORNA_SPARSE_ROWS", "1")


def make_data(rng, n=N, outside=False):
    """Columns: 0–2 uniform on [0, 1], 3 a factor code in 0…3, 4 a `by` value.
    With `outside`, a tenth of the rows of columns 0 and 1 lie beyond the knots."""
    data = np.column_stack([rng.uniform(size=(n, 3)), rng.integers(0, 4, n).astype(float), rng.normal(size=n)])
    if outside:
        pick = rng.uniform(size=n) < 0.1
        data[pick, 0] = rng.uniform(-0.5, 1.5, size=pick.sum())
        data[pick[::-1], 1] = rng.uniform(1.0, 1.4, size=pick.sum())
    return data


def cr(x, k):
    return ("cr", np.quantile(x, np.linspace(0.02, 0.98, k)))


def bs(x, k):
    return ("bs", np.quantile(x, np.linspace(0.02, 0.98, k - 2)))


def ps(x, k):
    return ("bs", np.linspace(x.min(), x.max(), k - 2))


def smooth(data, cols, margins, by=None, constrained=True):
    spec = ("smooth", list(cols), margins, None, by)
    if not constrained:
        return spec
    # The sum-to-zero constraint of the modelling layer: Z with C·Z = 0.
    sums = _engine.column_sums([spec], data)
    q, _ = np.linalg.qr(sums.reshape(-1, 1), mode="complete")
    return ("smooth", list(cols), margins, np.ascontiguousarray(q[:, 1:]), by)


def model(name, data):
    x = data
    return {
        "cr": [("intercept",), smooth(x, [0], [cr(x[:, 0], 10)]), smooth(x, [1], [cr(x[:, 1], 6)])],
        "bs": [("intercept",), smooth(x, [0], [bs(x[:, 0], 10)]), smooth(x, [1], [bs(x[:, 1], 5)])],
        "ps": [("intercept",), smooth(x, [0], [ps(x[:, 0], 12)]), smooth(x, [2], [ps(x[:, 2], 8)], constrained=False)],
        "cr x cr": [("intercept",), smooth(x, [0, 1], [cr(x[:, 0], 5), cr(x[:, 1], 4)])],
        "bs x cr": [("intercept",), smooth(x, [0, 1], [bs(x[:, 0], 5), cr(x[:, 1], 5)]), ("linear", 2)],
        "by": [("intercept",), smooth(x, [0], [cr(x[:, 0], 8)], by=4), smooth(x, [1], [bs(x[:, 1], 6)], by=4)],
        "factor and linear": [("intercept",), ("factor", 3, 4), ("linear", 2), smooth(x, [0], [cr(x[:, 0], 7)])],
        "cr x bs x cr": [smooth(x, [0, 1, 2], [cr(x[:, 0], 4), bs(x[:, 1], 4), cr(x[:, 2], 4)], constrained=False)],
        "one-level factor": [("intercept",), ("factor", 3, 1), smooth(x, [0], [cr(x[:, 0], 5)])],
    }[name]


MODELS = ["cr", "bs", "ps", "cr x cr", "bs x cr", "by", "factor and linear", "cr x bs x cr"]
FAMILIES = [("gaussian", "identity"), ("poisson", "log"), ("binomial", "logit")]


def response(rng, family, eta):
    if family == "gaussian":
        return eta + rng.normal(size=eta.size)
    if family == "poisson":
        return rng.poisson(np.exp(eta)).astype(float)
    return (rng.uniform(size=eta.size) < 1 / (1 + np.exp(-eta))).astype(float)


def reference_sums(x, beta, y, weights, offset, family):
    """η, μ, w and XᵀWX, XᵀWz, XᵀWr by NumPy from the model matrix x."""
    eta = x @ beta + offset
    mu = {"gaussian": eta, "poisson": np.exp(eta), "binomial": 1 / (1 + np.exp(-eta))}[family]
    dmu = {"gaussian": np.ones_like(eta), "poisson": mu, "binomial": mu * (1 - mu)}[family]
    variance = {"gaussian": np.ones_like(eta), "poisson": mu, "binomial": mu * (1 - mu)}[family]
    r = (y - mu) / dmu
    w = weights * dmu**2 / variance
    z = eta - offset + r
    return eta, mu, w, x.T @ (w[:, None] * x), x.T @ (w * z), x.T @ (w * r)


def relative_error(a, b):
    return np.max(np.abs(a - b)) / max(np.max(np.abs(b)), 1e-300)


@pytest.mark.parametrize("name", MODELS)
def test_sparse_rows_times_map_are_the_model_matrix(rng, name):
    data = make_data(rng, outside=True)
    terms = model(name, data)
    form = core.sparse_rows(terms, data)
    assert form is not None, "every term here has a sparse form"
    index, value, g = form
    x = _engine.model_matrix(terms, data)
    rebuilt = np.einsum("ie,iej->ij", value, g[index.astype(int)])
    error = relative_error(rebuilt, x)
    assert error < kSumsTolerance, f"{name}: relative error {error:.2e}"
    # The pairs of a row have strictly increasing indices (the accumulation relies on it).
    assert np.all(np.diff(index, axis=1) > 0)


@pytest.mark.parametrize("name", MODELS)
@pytest.mark.parametrize("family,link", FAMILIES)
def test_sparse_pass_matches_numpy_and_dense_pass(rng, monkeypatch, name, family, link):
    data = make_data(rng, outside=True)
    terms = model(name, data)
    x = _engine.model_matrix(terms, data)
    beta = rng.normal(scale=0.3, size=x.shape[1])
    eta_true = x @ beta
    eta_true *= 1.0 / max(1.0, np.max(np.abs(eta_true)))  # keep μ well inside the domain
    y = response(rng, family, eta_true)
    beta = np.linalg.lstsq(x, eta_true, rcond=None)[0]
    weights = rng.uniform(0.0, 2.0, size=N)
    weights[rng.uniform(size=N) < 0.05] = 0.0  # rows without weight add nothing
    offset = rng.normal(scale=0.1, size=N)
    expected = reference_sums(x, beta, y, weights, offset, family)
    results = {}
    for path in (dense, sparse):
        path(monkeypatch)
        out = core.row_pass(terms, data, y, weights, offset, family, link, beta, 0.0, 2)
        assert out[8], "the pass stays in the family's domain"
        for got, want, what in zip(out[:6], expected, ["eta", "mu", "w", "xtwx", "xtwz", "xtwr"]):
            error = relative_error(got, want)
            assert error < kSumsTolerance, f"{path.__name__} {what}: relative error {error:.2e}"
        results[path.__name__] = out
    # The deviance and Σwr² are summed row by row from the same η on both paths.
    d, s = results["dense"], results["sparse"]
    assert d[6] == pytest.approx(s[6], rel=kSumsTolerance)
    assert d[7] == pytest.approx(s[7], rel=kSumsTolerance)
    assert np.array_equal(s[3], s[3].T), "XᵀWX is exactly symmetric"


@pytest.mark.parametrize("name", ["cr", "bs x cr", "factor and linear"])
def test_pass_at_the_start_without_beta(rng, monkeypatch, name):
    data = make_data(rng)
    terms = model(name, data)
    x = _engine.model_matrix(terms, data)
    y = rng.poisson(np.exp(rng.normal(scale=0.2, size=N))).astype(float)
    sparse(monkeypatch)
    out = core.row_pass(terms, data, y, np.ones(N), np.zeros(N), "poisson", "log", None, 0.0, 1)
    mu = y + 0.1  # a Poisson fit starts from y + 0.1
    eta = np.log(mu)
    np.testing.assert_allclose(out[0], eta, rtol=1e-15)
    w = mu
    z = eta + (y - mu) / mu
    error = relative_error(out[3], x.T @ (w[:, None] * x))
    assert error < kSumsTolerance, f"relative error {error:.2e}"
    assert relative_error(out[4], x.T @ (w * z)) < kSumsTolerance


@pytest.mark.parametrize("threads", [1, 2, 3])
@pytest.mark.parametrize("path", [dense, sparse])
def test_threads_give_bitwise_identical_sums(rng, monkeypatch, threads, path):
    data = make_data(rng, n=20011)
    terms = model("bs x cr", data)
    p = _engine.model_matrix(terms, data[:5]).shape[1]
    beta = rng.normal(scale=0.1, size=p)
    y = rng.poisson(1.0, size=data.shape[0]).astype(float)
    ones, zeros = np.ones(data.shape[0]), np.zeros(data.shape[0])
    path(monkeypatch)
    one = core.row_pass(terms, data, y, ones, zeros, "poisson", "log", beta, 0.0, 1)
    many = core.row_pass(terms, data, y, ones, zeros, "poisson", "log", beta, 0.0, threads)
    for a, b in zip(one, many):
        assert np.array_equal(np.asarray(a), np.asarray(b))


@pytest.mark.parametrize("knots", [np.linspace(0, 1, 10), np.array([0.0, 0.05, 0.3, 0.31, 0.7, 1.0]),
                                   np.array([-3.0, 2.0]), np.geomspace(1, 1000, 25)])
def test_cr_local_form_reproduces_the_basis(rng, knots):
    lo, hi = knots[0], knots[-1]
    x = np.concatenate([rng.uniform(lo, hi, 400), knots, [lo - 1.0, hi + 2.0, lo - 1e-9, hi + 1e-9]])
    index, value, m, phi = core.local_form(("cr", knots), x)
    k = len(knots)
    assert m.shape == (2 * k, k)
    rebuilt = np.einsum("ie,iej->ij", value, m[index.astype(int)])
    assert np.max(np.abs(rebuilt - phi)) < kLocalTolerance
    # Of order 1 inside; beyond the ends the lines grow with the distance (here up to 2 end intervals).
    assert np.max(np.abs(rebuilt - natural_spline_rows(x, np.asarray(knots)))) < kLocalTolerance
    # Four consecutive raw functions per row.
    assert np.all(np.diff(index, axis=1) == 1)


@pytest.mark.parametrize("knots", [np.sort(np.random.default_rng(3).uniform(0, 1, 9)), np.geomspace(1e-3, 1e3, 30),
                                   np.array([0.0, 1e-6, 2e-6, 0.5, 0.5, 1.0]), 1e6 + np.linspace(0, 1, 8),
                                   np.array([-5e3, -1.0, 0.0, 1.0, 5e3])])
def test_bspline_local_form_reproduces_the_basis(rng, knots):
    # Inside the knots the rows come from each interval's B-splines as cubics in x − t_a:
    # uneven spacing (a short interval between long ones, repeated knots) and inputs far
    # from 0 must keep them to rounding of values of order 1.
    lo, hi = knots[0], knots[-1]
    x = np.concatenate([rng.uniform(lo - 0.2 * (hi - lo), hi + 0.2 * (hi - lo), 500), knots,
                        [lo + 1e-11, hi - 1e-11], rng.uniform(knots[1], knots[2], 50)])
    index, value, m, phi = core.local_form(("bs", knots), x)
    assert np.array_equal(m, np.eye(len(knots) + 2))
    rebuilt = np.zeros_like(phi)
    np.put_along_axis(rebuilt, index.astype(int), value, axis=1)
    assert np.max(np.abs(rebuilt - phi)) < kLocalTolerance


@pytest.mark.parametrize("kind, knots", [("bs", np.linspace(0, 1, 8)), ("bs", np.geomspace(1e-3, 1e3, 30)),
                                         ("bs", np.array([0.0, 1e-6, 2e-6, 0.5, 0.5, 1.0])),
                                         ("bs", 1e6 + np.linspace(0, 1, 8)), ("cr", np.linspace(0, 1, 8)),
                                         ("cr", np.geomspace(1e-3, 1e3, 20)), ("cr", 1e6 + np.linspace(0, 1, 8))])
def test_curve_from_cubics_is_the_basis_times_beta(rng, kind, knots):
    # Fitted values and the last pass's η: each smooth's curve from its cubics per interval,
    # inside the knots, along the end tangents beyond them, at the ends and at the knots.
    # References: the dense B-spline rule, SciPy's natural spline.
    lo, hi = knots[0], knots[-1]
    x = np.concatenate([rng.uniform(lo - 0.3 * (hi - lo), hi + 0.3 * (hi - lo), 2000), knots,
                        [lo + 1e-11, hi - 1e-11, lo - 1e-11, hi + 1e-11]])
    beta = rng.normal(size=len(knots) + (2 if kind == "bs" else 0))
    phi = core.local_form(("bs", knots), x)[3] if kind == "bs" else natural_spline_rows(x, knots)
    # Sums of four products, from cubics whose coefficients (times powers of the interval width)
    # are of the order of the values: a few ulps of each row's Σ|φ_i β_i| (beyond the ends the
    # values grow with the distance, to 1e6 for the shortest end intervals here).
    scale = np.abs(phi) @ np.abs(beta)
    assert np.all(np.abs(core.spline_curve((kind, knots), beta, x) - phi @ beta) <= 1e-13 * scale)
    assert np.all(np.isnan(core.spline_curve((kind, knots), beta, np.array([np.nan, np.inf, -np.inf]))))


@pytest.mark.parametrize("kind,x,finite", [("cr", np.nan, False), ("cr", np.inf, False), ("cr", -np.inf, False),
                                           ("bs", np.nan, False), ("bs", np.inf, False), ("bs", -np.inf, False)])
def test_local_form_non_finite_input_as_the_basis(kind, x, finite):
    """A non-finite input gives a non-finite value exactly where the basis row
    has a non-finite entry (here: always)."""
    knots = np.linspace(0, 1, 6)
    _, value, _, phi = core.local_form((kind, knots), np.array([x]))
    assert np.all(np.isfinite(phi)) == finite
    assert np.all(np.isfinite(value)) == finite


@pytest.mark.parametrize("basis", [("cr", np.array([0.0, 0.5, 0.5, 1.0])), ("cr", np.array([1.0, 0.0, 2.0])),
                                   ("bs", np.array([0.0, 0.6, 0.4, 1.0])), ("bs", np.array([0.0, 0.5, 0.5 + 1e-12, 1.0])),
                                   ("bs", np.array([0.3])), ("bs", np.array([0.0, 0.0]))])
def test_bases_without_local_form(basis):
    _, _, m, _ = core.local_form(basis, np.array([0.25]))
    assert m.shape == (0, 0)


def unsorted_bspline_model(data):
    return [("intercept",), smooth(data, [0], [("bs", np.array([0.0, 0.7, 0.3, 1.0]))]),
            smooth(data, [1], [cr(data[:, 1], 6)])]


def oversized_model(data):
    # 2·12 · 2·12 raw functions for the tensor product alone, above the raw-width cap.
    return [smooth(data, [0, 1], [cr(data[:, 0], 12), cr(data[:, 1], 12)])]


@pytest.mark.parametrize("build", [unsorted_bspline_model, oversized_model])
def test_fallback_to_dense_rows_agrees(rng, monkeypatch, build):
    data = make_data(rng, n=1500)
    terms = build(data)
    assert core.sparse_rows(terms, data) is None
    x = _engine.model_matrix(terms, data)
    beta = rng.normal(scale=0.1, size=x.shape[1])
    y = rng.normal(size=data.shape[0])
    ones, zeros = np.ones(data.shape[0]), np.zeros(data.shape[0])
    sparse(monkeypatch)  # asks for the sparse path, which these models do not have
    out = core.row_pass(terms, data, y, ones, zeros, "gaussian", "identity", beta, 0.0, 2)
    expected = reference_sums(x, beta, y, ones, zeros, "gaussian")
    assert relative_error(out[3], expected[3]) < kSumsTolerance
    assert relative_error(out[4], expected[4]) < kSumsTolerance


def test_choice_of_path_by_cost(rng):
    data = make_data(rng, n=200)
    cheap = model("cr", data)
    # Smooths pay off on long ranges of rows, not on a handful; linear terms alone never.
    assert core.sparse_pays_off(cheap, data.shape[1], 100_000)
    assert not core.sparse_pays_off(cheap, data.shape[1], 10)
    assert not core.sparse_pays_off([("intercept",), ("linear", 0), ("linear", 1)], data.shape[1], 100_000)


def pass_error(monkeypatch, path, terms, data):
    n = data.shape[0]
    path(monkeypatch)
    with pytest.raises(ValueError) as info:
        core.row_pass(terms, data, np.zeros(n), np.ones(n), np.zeros(n), "gaussian", "identity", np.zeros(
            _engine.model_matrix(terms, data[:1]).shape[1]), 0.0, 2)
    return str(info.value)


@pytest.mark.parametrize("name", ["factor and linear", "cr x cr", "by"])
def test_errors_are_the_dense_path_errors(rng, monkeypatch, name):
    data = make_data(rng, n=2500)
    terms = model(name, data)
    # A non-finite entry in row 1800 and, for the factor, a bad code in a later
    # row of the same block (partitions of 157 rows), which the block's fill
    # meets first on both paths.
    data[1800, 4 if name == "by" else (2 if name == "factor and linear" else 1)] = np.nan
    if name == "factor and linear":
        data[1850, 3] = 7.0
    messages = {path.__name__: pass_error(monkeypatch, path, terms, data) for path in (dense, sparse)}
    assert messages["dense"] == messages["sparse"]
    expected = "row 1850 holds a factor level code" if name == "factor and linear" else "non-finite entry in row 1800"
    assert expected in messages["sparse"]


def test_infinite_bspline_input_is_an_error_on_both_paths(rng, monkeypatch):
    data = make_data(rng, n=500)
    terms = model("bs", data)
    data[321, 0] = np.inf
    messages = {path.__name__: pass_error(monkeypatch, path, terms, data) for path in (dense, sparse)}
    assert messages["dense"] == messages["sparse"]
    assert "non-finite entry in row 321" in messages["sparse"]


@pytest.mark.parametrize("name", MODELS)
def test_column_sums_by_sparse_rows_equal_the_model_matrix_sums(rng, name):
    # The set-up's column sums (for the sum-to-zero constraints) take the sparse form where it exists.
    data = make_data(rng, outside=True)
    terms = model(name, data)
    reference = _engine.model_matrix(terms, data).sum(axis=0)
    sums = _engine.column_sums(terms, data)
    assert relative_error(sums, reference) < kSumsTolerance
    # The rows' partitions are added in a fixed order whatever the thread count.
    for threads in (2, 3, 0):
        assert np.array_equal(_engine.column_sums(terms, data, threads), sums)


def test_column_sums_error_names_the_first_bad_row_with_threads(rng):
    data = make_data(rng, n=20000)
    data[[7000, 15000], 3] = 9.0  # factor codes outside the four levels
    for threads in (1, 4):
        with pytest.raises(ValueError, match="7000"):
            _engine.column_sums([("intercept",), ("factor", 3, 4)], data, threads)


def natural_spline_rows(x, knots):
    """The modelling layer's cr basis from SciPy: cardinal natural cubic splines
    through the knots, continued beyond the end knots along their tangents there."""
    from scipy.interpolate import CubicSpline

    k = len(knots)
    spline = CubicSpline(knots, np.eye(k), bc_type="natural")
    rows = spline(np.clip(x, knots[0], knots[-1]))
    for end, beyond in ((knots[0], x < knots[0]), (knots[-1], x > knots[-1])):
        rows[beyond] = spline(end) + (x[beyond] - end)[:, None] * spline(end, 1)
    return rows


@pytest.mark.parametrize("case", ["inside", "beyond both ends", "ties at the knots", "three rows", "no rows"])
def test_column_sums_of_sorted_values_equal_the_basis_sums(rng, case):
    # The set-up of a plain cr smooth takes its column sums from the column sorted for its
    # knots, as sums of powers per interval instead of a pass over the rows.
    knots = np.array([0.0, 0.1, 0.25, 0.3, 0.55, 0.7, 0.9, 1.0])
    x = {"inside": rng.uniform(size=5000),
         "beyond both ends": rng.uniform(-0.6, 1.7, size=5000),
         "ties at the knots": np.concatenate([np.repeat(knots, 50), np.round(rng.uniform(size=500), 1)]),
         "three rows": np.array([-0.2, 0.3, 1.4]),
         "no rows": np.empty(0)}[case]
    sums = _engine.sorted_column_sums(knots, np.sort(x))
    # n values of order 1 (order 1 times the distance beyond the ends) summed in different
    # orders: 1e-12 of the largest sum is far above their rounding and far below any wrong term.
    reference = natural_spline_rows(x, knots).sum(axis=0)
    assert np.max(np.abs(sums - reference)) <= 1e-12 * max(1.0, np.abs(reference).max())
    by_rows = _engine.column_sums([("smooth", [0], [("cr", knots)], None, None)], x.reshape(-1, 1))
    assert np.max(np.abs(sums - by_rows)) <= 1e-12 * max(1.0, np.abs(reference).max())


@pytest.mark.parametrize("values", [np.array([0.5, 0.2, 0.9]), np.array([0.1, np.nan, 0.9]),
                                    np.array([0.1, 0.5, np.inf])])
def test_column_sums_of_sorted_values_refuse_unsorted_or_non_finite_values(values):
    with pytest.raises(ValueError, match="finite and in ascending order"):
        _engine.sorted_column_sums(np.linspace(0, 1, 5), values)


def _columns_to_sort(rng, n):
    return {
        "uniform": rng.uniform(size=n),
        "ties": rng.integers(0, 5, size=n).astype(float),
        "one value": np.full(n, 3.0),
        "non-finite": np.where(rng.uniform(size=n) < 0.01, np.array([np.nan, np.inf, -np.inf])[rng.integers(0, 3, n)],
                               rng.normal(size=n)),
        "no finite sample": np.where(np.arange(n) % (n // 1024) == 0, np.nan, rng.normal(size=n)),
        "sample all equal, rest not": np.where(np.arange(n) % (n // 1024) == 0, 1.0, rng.normal(size=n)),
        "signed zeros": np.where(rng.uniform(size=n) < 0.5, -0.0, 0.0) + (rng.uniform(size=n) < 0.1),
        "descending": np.linspace(1.0, 0.0, n),
    }


@pytest.mark.parametrize("threads", [2, 0])
@pytest.mark.parametrize("layout", ["contiguous", "a column of a C-ordered array", "reversed",
                                    "a field of a packed record array"])
@pytest.mark.parametrize("name", sorted(_columns_to_sort(np.random.default_rng(0), 2**17)))
def test_a_column_sorted_on_two_threads_equals_numpy_sort(rng, threads, layout, name):
    # Long columns are split at a pivot and their parts sorted on two threads; whatever the
    # pivot (a value that most rows share, or none from the sample), the result is np.sort's.
    from vorna._data import SPLIT_SORT_ROWS, sorted_column

    column = _columns_to_sort(rng, SPLIT_SORT_ROWS + 7)[name]
    packed = np.zeros(len(column), dtype=[("flag", "i1"), ("x", "f8")])  # fields at offsets 0 and 1
    packed["x"] = column
    values = {"contiguous": column, "reversed": column[::-1],
              "a column of a C-ordered array": np.column_stack([column, column])[:, 1],
              "a field of a packed record array": packed["x"]}[layout]
    assert layout != "a field of a packed record array" or not values.flags.aligned
    ordered = sorted_column(values, threads)
    np.testing.assert_array_equal(ordered, np.sort(values))  # equal_nan; −0 == 0
    # The input is left as it was.
    np.testing.assert_array_equal(values, column[::-1] if layout == "reversed" else column)


@pytest.mark.parametrize("pivot", [-np.inf, 0.0, 0.5, np.inf, np.nan])
def test_split_below_puts_exactly_the_values_below_the_pivot_first(rng, pivot):
    values = np.append(rng.uniform(-1, 1, size=999), [np.nan, 0.0, -0.0, np.inf])[::-1]
    split, below = _engine.split_below(values, pivot)
    with np.errstate(invalid="ignore"):
        is_below = values < pivot
    assert below == np.count_nonzero(is_below)
    np.testing.assert_array_equal(np.sort(split[:below]), np.sort(values[is_below]))
    np.testing.assert_array_equal(np.sort(split[below:]), np.sort(values[~is_below]))


def test_knots_and_fit_do_not_depend_on_the_order_of_signed_zeros(rng):
    # -0 and 0 are equal, so which one a sort puts first differs between one thread and two;
    # a knot at zero must come out the same (as +0) either way.
    from vorna import GAM, s
    from vorna._data import SPLIT_SORT_ROWS

    n = SPLIT_SORT_ROWS + 1000
    x = np.where(rng.uniform(size=n) < 0.5, -0.0, 0.0) + np.round(rng.uniform(-1, 1, size=n), 1)
    y = np.sin(3 * x) + 0.1 * rng.standard_normal(n)
    fits = [GAM(s(0, k=9), n_threads=t).fit(x.reshape(-1, 1), y) for t in (1, 2)]
    knots = [f.blocks_[1].spec[2][0][1] for f in fits]
    assert knots[0].tobytes() == knots[1].tobytes()
    assert np.count_nonzero(knots[0] == 0.0) == 1 and not np.any(np.signbit(knots[0][knots[0] == 0.0]))
    assert fits[0].coef_.tobytes() == fits[1].coef_.tobytes()


@pytest.mark.parametrize("family", ["gaussian", "poisson"])
@pytest.mark.parametrize("terms", ["plain", "user knots inside the data", "by and tensor"])
def test_per_row_linear_predictor_is_the_model_matrix_times_beta(rng, monkeypatch, family, terms):
    # The last pass of a fit (no cross products) forms x_iβ from each term's curve rather than
    # its sparse rows where every term allows (intercept, linear, factor, one-margin smooths,
    # also beyond user knots); with `by` or a tensor product it takes the rows.
    from vorna import GAM, f, l, s, te

    sparse(monkeypatch)
    n = 3000
    x = np.column_stack([rng.uniform(size=n), rng.uniform(size=n), rng.integers(0, 3, n).astype(float),
                         rng.normal(size=n)])
    eta = np.sin(4 * x[:, 0]) + 0.5 * x[:, 1] + 0.3 * x[:, 2] + 0.2 * x[:, 3]
    y = eta + 0.3 * rng.normal(size=n) if family == "gaussian" else rng.poisson(np.exp(eta)).astype(float)
    model = {"plain": s(0) + s(1, bs="bs") + f(2) + l(3),
             "user knots inside the data": s(0, k=6, knots=np.linspace(0.2, 0.8, 6)) + s(1, bs="bs", k=6,
                                                                                         knots=[0.3, 0.5, 0.7, 0.9]),
             "by and tensor": s(0, by=2) + te(0, 1, k=4)}[terms]
    fitted = GAM(model, family=family, lam=1.0).fit(x, y)
    reference = fitted.model_matrix(x) @ fitted.coef_
    # Sums of some twenty products of order-1 values: a few ulps of the largest |η|.
    np.testing.assert_allclose(fitted.linear_predictor_, reference, rtol=0,
                               atol=1e-13 * np.abs(reference).max())


def test_response_check_names_the_first_bad_row_with_threads(rng):
    # The rows' moments are taken over the fixed partitions on several threads; the error is
    # still the first bad row's (7000, not the later 15000), whichever thread saw it.
    from vorna import GAM, s

    n = 20000
    x, y = rng.uniform(size=(n, 1)), rng.poisson(2.0, n).astype(float)
    y[[15000, 7000]] = -1.0
    for threads in (1, 2, 4):
        with pytest.raises(ValueError, match=r"y\[7000\] = -1"):
            GAM(s(0), family="poisson", n_threads=threads).fit(x, y)
