"""The GAM class end to end: set-up, both pipelines, prediction, formulas and hostile input."""
import pickle
import threading

import numpy as np
import pytest
from scipy.interpolate import BSpline

import _vorna_core_testing as core_testing
import vorna_core as vc
from shared_problems import (central_difference, cr_penalty, criterion_ref, quantile_knots, ref_link_inverse,
                             scaled_block_penalties)


def make_data(rng, n=300, d=2, noise=0.1):
    x = rng.uniform(0.0, 1.0, size=(n, d))
    truth = np.sin(2 * np.pi * x[:, 0])
    if d > 1:
        truth = truth + (x[:, 1] - 0.5) ** 2
    y = truth + noise * rng.standard_normal(n)
    return x, y, truth


def error_text(call):
    with pytest.raises(ValueError) as info:
        call()
    return str(info.value)


def num_smooths(gam, n_rows=3):
    """The number of configured smooths, read from fit_manual's column-count message.

    With no smooths the zero-column fit succeeds (and replaces the results).
    """
    try:
        gam.fit_manual(np.zeros((n_rows, 0)), np.zeros(n_rows), "REML", None)
    except ValueError as error:
        return int(str(error).split("model has ")[1].split()[0])
    return 0


# ---- result dicts -------------------------------------------------------------


def test_fit_with_three_arguments_uses_the_cached_pipeline(rng):
    x, y, _ = make_data(rng)
    gam = vc.GAM()
    result = gam.fit(x, y, [10, 10])
    assert list(result) == ["lambda", "all_lambdas", "deviance", "fitted_values", "fitted"]
    assert result["lambda"] is result["all_lambdas"]
    assert result["fitted"] is True
    assert result["lambda"].shape == (2,) and result["fitted_values"].shape == (300,)
    # deviance is the residual sum of squares of the stored fitted values
    np.testing.assert_allclose(result["deviance"], np.sum((y - gam.get_fitted_values()) ** 2), rtol=1e-12)
    assert gam.get_design_matrix().shape == (300, 20)
    assert gam.get_lambda() == gam.get_all_lambdas()[0]


def test_fit_auto_returns_the_plain_dict(rng):
    x, y, _ = make_data(rng, d=1)
    result = vc.GAM().fit_auto(x, y, [10], "REML", None, None)
    assert list(result) == ["lambda", "deviance", "fitted_values", "fitted"]


def test_getters_return_copies(rng):
    x, y, _ = make_data(rng, d=1)
    gam = vc.GAM()
    gam.fit(x, y, [8])
    for getter in ("get_all_lambdas", "get_fitted_values", "get_coefficients", "get_design_matrix"):
        first = getattr(gam, getter)()
        first[...] = 12345.0
        assert not np.any(getattr(gam, getter)() == 12345.0)


# ---- order of checks and what failures leave behind ----------------------------


def test_k_length_mismatch_leaves_the_model_unchanged(rng):
    x, y, _ = make_data(rng, d=1)
    gam = vc.GAM()
    gam.add_cubic_spline("a", 6, 0.0, 1.0)
    for call in (lambda: gam.fit_auto(x, y, [10, 10], "REML", "cr", None), lambda: gam.fit(x, y, [10, 10])):
        assert error_text(call) == "k length (2) must match number of columns (1)"
    assert num_smooths(gam) == 1


@pytest.mark.parametrize("bs", ["tp", "BS", "Cr"])
def test_unknown_basis_leaves_no_smooths(rng, bs):
    x, y, _ = make_data(rng)
    gam = vc.GAM()
    gam.add_cubic_spline("a", 6, 0.0, 1.0)
    assert error_text(lambda: gam.fit_auto(x, y, [8, 8], "REML", bs, None)) == (
        f"Unknown basis type '{bs}'. Use 'bs' or 'cr'."
    )
    assert num_smooths(gam) == 0


def test_invalid_method_replaces_smooths_but_keeps_results(rng):
    x, y, _ = make_data(rng)
    gam = vc.GAM()
    gam.fit(x, y, [8, 8])
    before = gam.get_coefficients()
    assert error_text(lambda: gam.fit(x, y, [6, 6, 6][:2], method="reml")) == "method must be 'GCV' or 'REML'"
    np.testing.assert_array_equal(gam.get_coefficients(), before)
    assert num_smooths(gam) == 2
    # the stored coefficients no longer match the new smooths: predict refuses
    assert error_text(lambda: gam.predict(x)) == (
        "Matrix dimension mismatch: the smooths have changed since the last fit: the model matrix has 12 columns "
        "but the fit has 16 coefficients"
    )


def test_method_is_checked_before_rows_in_the_plain_pipeline(rng):
    gam = vc.GAM()
    gam.add_cubic_spline("a", 6, 0.0, 1.0)
    assert error_text(lambda: gam.fit_manual(np.zeros((5, 1)), np.zeros(4), "reml", None)) == (
        "method must be 'GCV' or 'REML'"
    )
    assert error_text(lambda: gam.fit_manual(np.zeros((5, 1)), np.zeros(4), "REML", None)) == (
        "Matrix dimension mismatch: X has 5 rows but y has 4 elements"
    )


def test_add_cubic_spline_and_fit_manual(rng):
    gam = vc.GAM()
    gam.add_cubic_spline("a", 10, 0.0, 1.0)
    gam.add_cubic_spline("b", 8, -1.0, 2.0)
    x, y, truth = make_data(rng)
    assert error_text(lambda: gam.fit_manual(x[:, :1], y, "REML", None)) == (
        "Matrix dimension mismatch: X has 1 columns but model has 2 smooth terms"
    )
    result = gam.fit_manual(x, y, "REML", None)
    # Each block is the cubic B-spline basis on k − 2 knots spread evenly over the given range
    # (the data lie inside it): SciPy's evaluation, to rounding of O(1) values.
    design = gam.get_design_matrix()
    for j, (k, lo, hi, start) in enumerate([(10, 0.0, 1.0, 0), (8, -1.0, 2.0, 10)]):
        knots = np.linspace(lo, hi, k - 2)
        expected = BSpline.design_matrix(x[:, j], np.r_[[lo] * 3, knots, [hi] * 3], 3).toarray()
        np.testing.assert_allclose(design[:, start:start + k], expected, rtol=0, atol=1e-14)
    assert design.shape == (300, 18) and result["lambda"].shape == (2,)
    np.testing.assert_allclose(result["fitted_values"], design @ gam.get_coefficients(), rtol=1e-12, atol=1e-12)
    # 300 observations with noise 0.1: a sound fit is within a few hundredths of the truth
    assert np.sqrt(np.mean((result["fitted_values"] - truth) ** 2)) < 0.05


@pytest.mark.parametrize(
    "num_basis, message",
    [
        (0, "A B-spline smooth requires k >= 2 basis functions, got 0"),
        (1, "A B-spline smooth requires k >= 2 basis functions, got 1"),
        (2, "Need at least 2 knots for penalty matrix"),
        (3, "Need at least 2 knots for penalty matrix"),
    ],
)
def test_add_cubic_spline_rejects_too_few_basis_functions(num_basis, message):
    gam = vc.GAM()
    assert error_text(lambda: gam.add_cubic_spline("a", num_basis, 0.0, 1.0)) == "Invalid parameter: " + message
    assert num_smooths(gam) == 0


def test_gcv_chooses_every_smooth(rng):
    x, y, truth = make_data(rng, n=400, noise=0.3)
    gam = vc.GAM()
    result = gam.fit(x, y, [8, 8], method="GCV", bs="cr")
    # Every λ sits where the GCV score of the fit's penalties (cubic regression penalties on
    # knots spread evenly over each column, scaled to their blocks) is stationary.
    design = gam.get_design_matrix()
    raw = [cr_penalty(np.linspace(x[:, j].min(), x[:, j].max(), 8)) for j in range(2)]
    penalties = scaled_block_penalties(design, raw)
    g = central_difference(lambda r: criterion_ref(y, design, np.ones(len(y)), r, penalties, "gcv"),
                           np.log(result["lambda"]))
    assert np.abs(g).max() < 1e-5, g  # the optimizer's 1e-6 plus the difference quotient's error
    assert np.sqrt(np.mean((result["fitted_values"] - truth) ** 2)) < 0.1


# ---- starting values -------------------------------------------------------------


def test_plain_pipeline_with_max_iter_zero_uses_lambda_point_one(rng):
    x, y, _ = make_data(rng)
    result = vc.GAM().fit_auto(x, y, [8, 9], "REML", "cr", 0)
    np.testing.assert_array_equal(result["lambda"], [0.1, 0.1])


def test_cached_pipeline_starting_lambda(rng):
    x, y, _ = make_data(rng)
    k = [7, 9]
    gam = vc.GAM()
    result = gam.fit(x, y, k, max_iter=0)
    design = gam.get_design_matrix()
    raw = vc.compute_penalty_matrix("cubic", k[0], quantile_knots(x[:, 0], k[0]))
    first = scaled_block_penalties(design[:, :k[0]], [raw])[0]
    total = np.sum((y - y.mean()) ** 2)
    guess = len(y) * (total / len(y)) * np.linalg.norm(first) / (np.linalg.norm(x) ** 2 + 1e-10)
    expected = min(max(guess, 1e-6), 1e6)
    # the Frobenius norms are summed in a different order here than in the library
    np.testing.assert_allclose(result["lambda"], [expected, expected], rtol=1e-12)


def test_constant_response_clamps_the_starting_lambda(rng):
    x, _, _ = make_data(rng)
    result = vc.GAM().fit(x, np.full(len(x), 3.0), [6, 6], max_iter=0)
    np.testing.assert_array_equal(result["lambda"], [1e-6, 1e-6])


# ---- prediction and fit quality ----------------------------------------------------


@pytest.mark.parametrize("family", ["gaussian", "binomial", "poisson", "gamma"])
def test_predict_is_the_inverse_link_of_the_linear_predictor(rng, family):
    x = rng.uniform(0, 1, size=(200, 2))
    eta = 0.5 + 0.3 * np.sin(2 * np.pi * x[:, 0])
    mu = ref_link_inverse(family, eta)
    y = {
        "gaussian": lambda: mu + 0.1 * rng.standard_normal(200),
        "binomial": lambda: (rng.uniform(size=200) < mu).astype(float),
        "poisson": lambda: rng.poisson(mu).astype(float),
        "gamma": lambda: rng.gamma(10.0, mu / 10.0),
    }[family]()
    gam = vc.GAM(family)
    gam.fit(x, y, [6, 6])
    x_new = rng.uniform(-0.2, 1.2, size=(50, 2))  # includes extrapolation
    expected_eta = gam.get_design_matrix()[:3] @ gam.get_coefficients()
    np.testing.assert_allclose(gam.predict(x[:3]), ref_link_inverse(family, expected_eta), rtol=1e-12)
    assert np.all(np.isfinite(gam.predict(x_new)))


@pytest.mark.parametrize("family", ["gaussian", "binomial", "poisson", "gamma"])
def test_fit_recovers_a_known_mean(rng, family):
    n = 2000
    x = rng.uniform(0, 1, size=(n, 1))
    f = np.sin(2 * np.pi * x[:, 0])
    if family == "gaussian":
        mu, y = f, f + 0.2 * rng.standard_normal(n)
    elif family == "binomial":
        mu = 1 / (1 + np.exp(-2 * f))
        y = (rng.uniform(size=n) < mu).astype(float)
    elif family == "poisson":
        mu = np.exp(1 + f)
        y = rng.poisson(mu).astype(float)
    else:
        mu = 1 / (0.5 + 0.2 * f)
        y = rng.gamma(20.0, mu / 20.0)
    gam = vc.GAM(family)
    gam.fit(x, y, [10])
    grid = np.linspace(0.05, 0.95, 50)[:, None]
    truth = {"gaussian": lambda g: np.sin(2 * np.pi * g),
             "binomial": lambda g: 1 / (1 + np.exp(-2 * np.sin(2 * np.pi * g))),
             "poisson": lambda g: np.exp(1 + np.sin(2 * np.pi * g)),
             "gamma": lambda g: 1 / (0.5 + 0.2 * np.sin(2 * np.pi * g))}[family](grid[:, 0])
    rel = np.sqrt(np.mean((gam.predict(grid) - truth) ** 2)) / np.sqrt(np.mean(truth**2))
    # n = 2000 noisy observations: a sound fit is within a few percent of the truth
    assert rel < 0.1


def test_predict_column_mismatch(rng):
    x, y, _ = make_data(rng)
    gam = vc.GAM()
    gam.fit(x, y, [6, 6])
    assert error_text(lambda: gam.predict(x[:, :1])) == (
        "Matrix dimension mismatch: X has 1 columns but model has 2 smooth terms"
    )


# ---- formulas -----------------------------------------------------------------------


def test_fit_formula_with_swapped_columns(rng):
    x, y, _ = make_data(rng)
    x[:, 1] = 3.0 + 2.0 * x[:, 1]
    swapped = vc.GAM()
    swapped.fit_formula(x, y, "s(1, k=8) + s(0, k=8)", "REML", None)
    straight = vc.GAM()
    straight.fit_formula(x, y, "s(0, k=8) + s(1, k=8)", "REML", None)
    assert swapped.get_design_matrix().shape == (300, 16)
    # knots placed from column 1 (range [3, 5]) put all of column 0 below them: every row is the
    # tangent extrapolation at the left boundary, where only the first four B-splines live
    first_block = swapped.get_design_matrix()[:, :8]
    assert np.all(first_block[:, 4:] == 0.0)
    assert not np.allclose(first_block, straight.get_design_matrix()[:, :8])


@pytest.mark.parametrize(
    "formula, message",
    [
        ("s(0, k=8) + s(2, k=8)", "Column index 2 in the formula is out of range: x has 2 columns"),
        ("s(0, k=1) + s(1, k=8)", "Invalid k value 1 for column 0: a smooth needs k >= 2"),
        ("s(0, k=0) + s(1, k=8)", "Invalid k value 0 for column 0: a smooth needs k >= 2"),
        ("s(0, k=8) + s(1)", "Invalid smooth term: 's(1)'. Expected format: s(col, k=value)"),
    ],
)
def test_fit_formula_rejects_before_changing_the_model(rng, formula, message):
    x, y, _ = make_data(rng)
    gam = vc.GAM()
    gam.add_cubic_spline("a", 6, 0.0, 1.0)
    assert error_text(lambda: gam.fit_formula(x, y, formula, "REML", None)) == message
    assert num_smooths(gam) == 1


def test_fit_formula_needs_one_term_per_column(rng):
    x, y, _ = make_data(rng)
    assert error_text(lambda: vc.GAM().fit_formula(x, y, "s(0, k=8)", "REML", None)) == (
        "Matrix dimension mismatch: X has 2 columns but model has 1 smooth terms"
    )


# ---- hostile input ---------------------------------------------------------------------


NOT_FINITE = "Invalid parameter: {} contains NaN or infinite values"


@pytest.mark.parametrize(
    "where, value, bs, message",
    [
        # B-spline knots are placed from the data before the data are checked
        ("x", np.nan, "bs", "Invalid parameter: Cannot place B-spline knots: the data column contains NaN"),
        ("x", np.nan, "cr", NOT_FINITE.format("x")),
        *[("x", np.inf, bs, NOT_FINITE.format("x")) for bs in ("bs", "cr")],
        *[("y", v, bs, NOT_FINITE.format("y")) for v in (np.nan, -np.inf) for bs in ("bs", "cr")],
    ],
)
def test_non_finite_data_is_rejected(rng, where, value, bs, message):
    x, y, _ = make_data(rng)
    (x if where == "x" else y)[5] = value
    assert error_text(lambda: vc.GAM().fit_auto(x, y, [6, 6], "REML", bs, None)) == message


def test_non_finite_prediction_input_is_rejected(rng):
    x, y, _ = make_data(rng)
    gam = vc.GAM()
    gam.fit(x, y, [6, 6])
    x[0, 0] = np.nan
    assert error_text(lambda: gam.predict(x)) == NOT_FINITE.format("x")


@pytest.mark.parametrize(
    "bs, message",
    [
        ("bs", "Invalid parameter: Cannot place B-spline knots: the data column is empty"),
        ("cr", "Invalid parameter: no observations: x and y have zero rows"),
    ],
)
def test_zero_rows_is_a_clear_error(bs, message):
    assert error_text(lambda: vc.GAM().fit_auto(np.zeros((0, 1)), np.zeros(0), [6], "REML", bs, None)) == message


def awkward_columns(rng, n=200):
    """A constant column, a column of three values under 12 basis functions, and a plain one."""
    x = np.column_stack([np.full(n, 2.0), rng.integers(0, 3, n).astype(float), rng.uniform(size=n)])
    return x, x[:, 2] + 0.1 * rng.standard_normal(n)


def test_awkward_columns_fit_with_b_splines(rng):
    # The constant column's knots all sit on the one value, and its basis functions are all
    # zero there (a column the penalty cannot reach); the fit still finds the linear signal.
    x, y = awkward_columns(rng)
    result = vc.GAM().fit_auto(x, y, [6, 12, 8], "REML", "bs", None)
    # 200 observations with noise 0.1 around a line: within a few hundredths of it
    assert np.sqrt(np.mean((result["fitted_values"] - x[:, 2]) ** 2)) < 0.05


@pytest.mark.parametrize("family", ["gaussian", "poisson"])
def test_awkward_columns_are_refused_with_cubic_regression_splines(rng, family):
    # The constant column gives coinciding knots and a NaN penalty; the fits failed on it later,
    # with LAPACK's eigenvalue error or a NaN linear predictor rather than a word on the column.
    x, y = awkward_columns(rng)
    with pytest.raises(ValueError, match=r"^Invalid parameter: column 0 of x holds the single value .*needs a range of values; drop the column"):
        vc.GAM(family).fit_auto(x, np.abs(y), [6, 12, 8], "REML", "cr", None)


@pytest.mark.parametrize("lo, hi", [(-1.7e308, 1.7e308), (0.0, 1e-110)])
def test_columns_whose_cr_penalty_overflows_are_refused_by_name(rng, lo, hi):
    # The penalty scales as the knot spacing to the power −3: it once failed as LAPACK's
    # "Eigenvalue decomposition failed" (1e-110 wide, or wider than the largest double).
    x = np.column_stack([np.r_[lo, hi, rng.uniform(lo / 2, hi / 2, 48)], rng.uniform(size=50)])
    with pytest.raises(ValueError, match="column 0 of x spans .*penalty overflows at this scale; rescale the column"):
        vc.GAM().fit(x, rng.normal(size=50), [6, 6], "REML", "cr")


def test_large_k_is_handled(rng):
    # More basis functions than LAPACK's switch-over order (1000), and than observations.
    x, y, _ = make_data(rng, n=100, d=1)
    k = 1100
    gam = vc.GAM()
    result = gam.fit(x, y, [k], max_iter=0)
    design, beta = gam.get_design_matrix(), gam.get_coefficients()
    assert design.shape == (100, k)
    # The fit sums each row's four non-zero products, NumPy the whole row: a few ulps of the terms.
    terms = np.abs(design) @ np.abs(beta)
    np.testing.assert_allclose(result["fitted_values"], design @ beta, rtol=0, atol=1e-14 * terms.max())
    # β solves the penalized normal equations at the starting λ, written out here: the penalty
    # scaled by ‖B‖∞²/‖S‖∞ and PiRLS's ridge δ = 1e-5·(1 + √1)·max diag XᵀX, which pulls the
    # coefficients towards the mean of y (the fit is made to y − ȳ; the B-splines sum to 1).
    raw = vc.compute_penalty_matrix("cubic", k, quantile_knots(x[:, 0], k))
    penalty = scaled_block_penalties(design, [raw])[0]
    lam, delta = result["lambda"][0], 2e-5 * np.max(np.sum(design**2, axis=0))
    residual = design.T @ (design @ beta) + lam * (penalty @ beta) + delta * (beta - y.mean()) - design.T @ y
    # A backward-stable solve leaves ‖r‖ ≲ p·ε·‖A‖‖β‖ ≈ 2e-13 of the scale below (measured
    # 5e-18); leaving out the ridge alone would leave 2e-10.
    scale = (np.sum(design**2) + lam * np.linalg.norm(penalty)) * np.linalg.norm(beta)
    assert np.linalg.norm(residual) < 1e-12 * scale


def test_strided_and_fortran_inputs_match_contiguous(rng):
    x, y, _ = make_data(rng)
    reference = vc.GAM().fit(x, y, [7, 7])["fitted_values"]
    fortran = vc.GAM().fit(np.asfortranarray(x), y, [7, 7])["fitted_values"]
    wide = np.zeros((x.shape[0] * 2, 4))
    wide[::2, ::2] = x
    y_wide = np.repeat(y, 2)
    strided = vc.GAM().fit(wide[::2, ::2], y_wide[::2], [7, 7])["fitted_values"]
    np.testing.assert_array_equal(fortran, reference)
    np.testing.assert_array_equal(strided, reference)


def test_profile_lines_of_the_cached_pipeline(rng, monkeypatch, capfd):
    x, y, _ = make_data(rng)
    monkeypatch.setenv("VORNA_PROFILE", "")
    vc.GAM().fit(x, y, [6, 6])
    err = capfd.readouterr().err
    labels = ["Basis evaluation", "Penalty computation", "Total cache build", "PiRLS iterations", "REML optimization"]
    found = [line.split(":")[0][len("[PROFILE] "):] for line in err.splitlines()
             if any(line.startswith(f"[PROFILE] {label}:") for label in labels)]
    assert found == labels
    for line in err.splitlines():
        if any(line.startswith(f"[PROFILE] {label}:") for label in labels):
            assert line.endswith("ms") and "." in line.split(": ")[1]
    monkeypatch.delenv("VORNA_PROFILE")
    vc.GAM().fit(x, y, [6, 6])
    assert capfd.readouterr().err == ""


def test_predict_refuses_after_the_smooths_changed_with_the_same_size(rng):
    x, y, _ = make_data(rng)
    gam = vc.GAM()
    gam.fit(x, y, [6, 8])
    with pytest.raises(ValueError, match="^method must be 'GCV' or 'REML'$"):
        gam.fit(x * 2.0, y, [8, 6], method="bad")  # new smooths, same total size, no new fit
    assert error_text(lambda: gam.predict(x)) == (
        "Invalid parameter: the smooths have changed since the last successful fit; fit the model again before "
        "predicting"
    )
    gam.fit(x, y, [6, 8])
    # the same arithmetic on the same rows: only the order of the products may differ
    np.testing.assert_allclose(gam.predict(x), gam.get_fitted_values(), rtol=1e-12, atol=1e-12)


def test_a_model_too_large_for_memory_is_refused_before_allocating(rng):
    x = rng.uniform(size=(10, 1000))
    message = error_text(lambda: vc.GAM().fit(x, x[:, 0], [4] * 1000, max_iter=0))
    assert message.startswith("Invalid parameter: the model needs about ") and "GiB" in message


def test_conversion_passes_foreign_exceptions_through():
    class Boom(Exception):
        pass

    class BadCount:
        def __index__(self):
            raise Boom("from __index__")

    with pytest.raises(Boom, match="^from __index__$"):
        vc.GAM().fit(np.zeros((3, 1)), np.zeros(3), [BadCount()])


def test_smoothing_parameters_do_not_depend_on_rounding_noise(rng):
    # Three uncentred smooths share the constant, so XᵀX + ΣλS is singular; below the block-wise
    # switch the gradient must still be a derivative, not noise: a relative 1e-15 change of y
    # may move λ only in the last digits.
    n = 500
    x = rng.uniform(size=(n, 3))
    y = np.sin(2 * np.pi * x[:, 0]) + (x[:, 1] - 0.5) ** 2 + np.exp(-4 * x[:, 2]) + 0.2 * rng.standard_normal(n)
    first = vc.GAM().fit(x, y, [10, 10, 10])["lambda"]
    second = vc.GAM().fit(x, y * (1 + 1e-15), [10, 10, 10])["lambda"]
    np.testing.assert_allclose(second, first, rtol=1e-6)


# ---- Gaussian B-spline fits without a stored model matrix ----------------------------------


def full_rule_design(x, ks):
    """The model matrix by the full B-spline recursion at the fit's quantile knots, block by block."""
    return np.hstack([core_testing.bspline_basis(quantile_knots(x[:, j], k), x[:, j].copy(), True)
                      for j, k in enumerate(ks)])


@pytest.mark.parametrize("method, noise, shift", [
    ("REML", 0.1, 0.0), ("GCV", 0.1, 0.0),
    # A cubic truth the splines hold exactly, with noise 1e-7: residual sums far below those at
    # the selection's anchor (the constant fit).
    ("REML", 1e-7, 0.0),
    ("REML", 0.1, 1e4),  # a mean far from 0
])
def test_gaussian_fit_from_rows_matches_the_dense_pipeline(rng, method, noise, shift):
    # fit() sums the Gaussian cross products row by row and never holds the model matrix;
    # fit_formula() runs the plain pipeline on a dense one, with the same knots.
    x, y, _ = make_data(rng, n=4000, d=3, noise=noise)
    if noise < 1e-3:
        y = x[:, 0] ** 2 + x[:, 1] - x[:, 2] ** 3 + noise * rng.standard_normal(len(y))
    y = y + shift
    by_rows, dense = vc.GAM(), vc.GAM()
    got = by_rows.fit(x, y, [8, 10, 6], method=method)
    want = dense.fit_formula(x, y, "s(0, k=8) + s(1, k=10) + s(2, k=6)", method, None)
    design = by_rows.get_design_matrix()
    np.testing.assert_array_equal(design, full_rule_design(x, [8, 10, 6]))
    np.testing.assert_array_equal(design, dense.get_design_matrix())
    # Both searches stop within their gradient tolerance of the same optimum, from sums that
    # agree to rounding: λ to ~1e-6 relative, and the fits to a small fraction of the noise.
    np.testing.assert_allclose(got["lambda"], want["lambda"], rtol=1e-5)
    np.testing.assert_allclose(got["fitted_values"], want["fitted_values"], rtol=0, atol=0.05 * noise)
    # β solves the penalized normal equations at the reported λ, written out in NumPy.
    raw = [vc.compute_penalty_matrix("cubic", k, quantile_knots(x[:, j], k)) for j, k in enumerate([8, 10, 6])]
    penalties = scaled_block_penalties(design, raw)
    beta = by_rows.get_coefficients()
    gram = design.T @ design
    delta = 1e-5 * (1 + np.sqrt(3)) * np.max(np.diag(gram))
    a = gram + sum(lam * s for lam, s in zip(got["lambda"], penalties)) + delta * np.eye(len(beta))
    # The ridge pulls towards the mean of y, carried by the first smooth (its B-splines sum to 1).
    level = np.r_[np.full(8, y.mean()), np.zeros(len(beta) - 8)]
    # A backward-stable solve: residual of order ε·‖A‖‖β‖.
    residual = a @ beta - design.T @ y - delta * level
    assert np.abs(residual).max() < 1e-11 * np.abs(a).max() * np.abs(beta).max()
    np.testing.assert_allclose(got["fitted_values"], design @ beta, rtol=0, atol=1e-14 * np.abs(y).max())


@pytest.mark.parametrize("fit", [
    lambda g, x, y: g.fit(x, y, [10, 10]),
    lambda g, x, y: g.fit(x, y, [10, 10], bs="cr"),
    lambda g, x, y: g.fit_auto(x, y, [10, 10], "REML", None, None),
    lambda g, x, y: g.fit_formula(x, y, "s(0, k=10) + s(1, k=10)", "GCV", None),
])
def test_a_gaussian_fit_does_not_depend_on_the_level_of_y(fit):
    # The fit's ridge pulled every coefficient, and with them the level of y, towards 0: at a
    # level of 50 with noise 1 the predictions moved by 0.63 (RMSE against the truth 0.31, not 0.24).
    rng = np.random.default_rng(0)
    x = rng.uniform(0, 1, (200, 2))
    truth = 5 * np.sin(6 * x[:, 0]) + np.cos(3 * x[:, 1])
    y = truth + rng.standard_normal(200)
    low, high = vc.GAM(), vc.GAM()
    fit(low, x, y)
    fit(high, x, y + 50)
    # The same centred data up to the rounding of y + 50.
    np.testing.assert_allclose(high.predict(x) - 50, low.predict(x), rtol=0, atol=1e-9)
    np.testing.assert_allclose(high.get_fitted_values() - 50, low.get_fitted_values(), rtol=0, atol=1e-9)
    np.testing.assert_allclose(high.get_design_matrix() @ high.get_coefficients(), high.get_fitted_values(),
                               rtol=0, atol=1e-12)


@pytest.mark.parametrize("first", ["constant", "varying"])
def test_a_smooth_of_a_constant_column_does_not_carry_the_level(first):
    # The level ȳ went to the first smooth's coefficients: for a smooth of a constant column,
    # whose columns are 0, the fitted values got it and predictions did not (4.92 against 0).
    # Then it went nowhere, and the ridge pulled it in (10⁴ missed by 2.2). It now goes to the
    # first smooth whose columns sum to 1.
    rng = np.random.default_rng(1)
    x = np.column_stack([np.full(200, 3.0), rng.uniform(size=200)])
    if first == "varying":
        x = x[:, ::-1].copy()
    y = 1e4 + np.sin(6 * x[:, 1] if first == "constant" else 6 * x[:, 0]) + rng.standard_normal(200)
    gam = vc.GAM()
    gam.fit(x, y, [6, 6], bs="bs")
    fitted = np.asarray(gam.get_fitted_values())
    # 1e4 + terms of order 1: rounding of 1e4·1e-16 amplified by the fit's conditioning.
    np.testing.assert_allclose(gam.predict(x), fitted, rtol=0, atol=1e-8)
    np.testing.assert_allclose(gam.get_design_matrix() @ gam.get_coefficients(), fitted, rtol=0, atol=1e-8)
    assert np.sum((y - fitted) ** 2) < np.sum((y - y.mean()) ** 2)


def test_the_model_matrix_made_later_belongs_to_the_fit(rng):
    x, y, _ = make_data(rng, n=3000, d=2)
    gam = vc.GAM()
    gam.fit(x, y, [7, 9])
    # The smooth list changes after the fit; the matrix is still that of the fitted smooths.
    gam.add_cubic_spline("extra", 6, 0.0, 1.0)
    copied = pickle.loads(pickle.dumps(gam))
    np.testing.assert_array_equal(gam.get_design_matrix(), full_rule_design(x, [7, 9]))
    np.testing.assert_array_equal(copied.get_design_matrix(), gam.get_design_matrix())


def test_threads_asking_for_the_model_matrix_at_once_get_one_matrix(rng):
    x, y, _ = make_data(rng, n=200_000, d=3)
    gam = vc.GAM()
    gam.fit(x, y, [10, 10, 10])
    barrier = threading.Barrier(4)
    got = [None] * 4

    def read(i):
        barrier.wait()
        got[i] = gam.get_design_matrix()

    workers = [threading.Thread(target=read, args=(i,)) for i in range(4)]
    for w in workers:
        w.start()
    for w in workers:
        w.join()
    for matrix in got:
        np.testing.assert_array_equal(matrix, got[0])
    # The first rows checked against the recursion at the fit's knots (those of all 200 000 rows).
    knots = [quantile_knots(x[:, j], 10) for j in range(3)]
    np.testing.assert_array_equal(
        got[0][:2000], np.hstack([core_testing.bspline_basis(knots[j], x[:2000, j].copy(), True) for j in range(3)]))


# A search over one smooth of 400 functions may stop short of its tolerance; not the point here.
@pytest.mark.filterwarnings("ignore::vorna_core.ConvergenceWarning")
def test_a_fit_by_rows_is_not_refused_for_the_matrix_it_does_not_make():
    # 8·10⁶ rows × 400 columns: a 25.6 GB model matrix, more than a 24 GB machine has, which the
    # Gaussian B-spline fit never makes (its data are 128 MB). Asking for that matrix, directly or
    # through a pickle, is what would need it: a clear error instead of an exhausted machine.
    import os

    n, k = 8_000_000, 400
    if os.sysconf("SC_PHYS_PAGES") * os.sysconf("SC_PAGE_SIZE") >= 2 * n * k * 8:
        pytest.skip("this machine has room for the model matrix and its copy")
    if "asan" in os.environ.get("LD_PRELOAD", ""):
        pytest.skip("10⁷ rows take minutes under the sanitizers")
    rng = np.random.default_rng(3)
    x = rng.uniform(size=(n, 1))
    y = np.sin(2 * np.pi * x[:, 0]) + 0.1 * rng.standard_normal(n)
    gam = vc.GAM()
    gam.fit(x, y, [k])
    np.testing.assert_allclose(gam.predict(x[:100]), gam.get_fitted_values()[:100], rtol=0, atol=1e-12)
    for ask in (gam.get_design_matrix, lambda: pickle.dumps(gam)):
        with pytest.raises(ValueError, match="model matrix .* more than the .* GiB of memory"):
            ask()
    assert gam.get_coefficients().shape == (k,)  # the model is still there


@pytest.mark.parametrize("zero_share", [0.3, 0.5])
def test_knots_of_a_covariate_with_a_mass_at_its_minimum_give_a_basis(zero_share):
    # Half the values at 0, the rest spread over 10⁻⁴ … 10⁴: the quantile knots next to the mass
    # lie closer to 0 than 1e-6 of the range, which the knots at 0 are moved to. Kept in order,
    # they are a B-spline basis, whose functions sum to 1 between the first and last knot
    # (a consequence of the definition); out of order every function was 0 and the covariate dropped out.
    rng = np.random.default_rng(1)
    n = 4000
    z = np.where(rng.uniform(size=n) < zero_share, 0.0, rng.lognormal(-2.0, 3.0, size=n))
    x = np.column_stack([rng.uniform(size=n), z])
    gam = vc.GAM()
    gam.fit(x, np.sin(2 * np.pi * x[:, 0]) + np.log1p(z) + 0.1 * rng.standard_normal(n), [8, 8], max_iter=0)
    knots = quantile_knots(z, 8)
    block = gam.get_design_matrix()[:, 8:]
    np.testing.assert_array_equal(block, core_testing.bspline_basis(knots, z.copy(), True))
    inside = (z >= knots[0]) & (z <= knots[-1])
    np.testing.assert_allclose(block[inside].sum(axis=1), 1.0, rtol=0, atol=1e-12)


@pytest.mark.parametrize("family, mean", [("gaussian", 0.0), ("poisson", 1.0)])
@pytest.mark.parametrize("method", ["fit", "fit_auto_optimized"])
def test_a_fit_without_smooths_is_the_empty_model(family, mean, method):
    # x with no columns: the Gaussian fit summed by rows took the level's smooth from an empty
    # list and crashed the interpreter. In a child process, so that a crash fails only this test.
    from subprocesses import run_python
    code = f"""
import numpy as np, vorna_core as vc
y = np.abs(np.random.default_rng(0).normal(size=80))
gam = vc.GAM({family!r})
result = gam.{method}(np.zeros((80, 0)), y, []{', "REML"' if method != "fit" else ""})
print(result["lambda"], result["deviance"], float(np.sum((y - {mean}) ** 2)))
print(np.asarray(gam.get_fitted_values()).tolist() == [{mean}] * 80, gam.predict(np.zeros((3, 0))).tolist())
"""
    done = run_python(["-c", code], text=True)
    assert done.returncode == 0, done.stderr[-2000:]
    first, second = done.stdout.splitlines()
    lam, deviance, expected = first.split(maxsplit=1)[0], *map(float, first.split()[1:])
    assert lam == "[]" and deviance == pytest.approx(expected, rel=1e-12)
    assert second == f"True {[float(mean)] * 3}"
