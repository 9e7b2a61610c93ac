"""The modelling layer against independent computations: statsmodels GLM for
unpenalized models, NumPy least squares and influence matrices for Gaussian
smooths, repeated rows for weights, simulated coverage of intervals."""

import math
import re
import warnings

import numpy as np
import pytest
import statsmodels.api as sm
from scipy import optimize, stats

import vorna
from vorna import GAM, f, l, s, te
from shared_problems import central_difference

SM_LINKS = {
    "identity": sm.families.links.Identity, "log": sm.families.links.Log, "logit": sm.families.links.Logit,
    "probit": sm.families.links.Probit, "cloglog": sm.families.links.CLogLog,
    "inverse": sm.families.links.InversePower, "inverse_square": sm.families.links.InverseSquared,
    "sqrt": sm.families.links.Sqrt,
}
SM_FAMILIES = {
    "gaussian": sm.families.Gaussian, "binomial": sm.families.Binomial, "poisson": sm.families.Poisson,
    "gamma": sm.families.Gamma, "inverse_gaussian": sm.families.InverseGaussian,
}


def glm_data(rng, family, link, n=400):
    """Two numeric covariates and a 3-level factor; a response from the family
    with a mean inside its range for the link."""
    x1, x2 = rng.uniform(-1, 1, n), rng.uniform(-1, 1, n)
    g = rng.choice(["a", "b", "c"], n)
    lin = 0.4 * x1 - 0.3 * x2 + 0.2 * (g == "b") - 0.1 * (g == "c")
    weights = np.ones(n)
    if family == "gaussian":
        mu = {"identity": 1 + lin, "log": np.exp(1 + lin), "inverse": 1 / (1 + 0.3 * lin)}[link]
        y = mu + 0.1 * rng.standard_normal(n)
    elif family == "binomial":
        p = {"logit": 1 / (1 + np.exp(-lin)), "probit": 0.5 + 0.3 * lin, "cloglog": 1 - np.exp(-np.exp(lin))}[link]
        weights = rng.integers(1, 6, n).astype(float)
        y = rng.binomial(weights.astype(int), p) / weights
    elif family == "poisson":
        mu = {"log": np.exp(1 + lin), "identity": 3 + lin, "sqrt": (2 + lin) ** 2}[link]
        y = rng.poisson(mu).astype(float)
    elif family == "gamma":
        mu = {"inverse": 1 / (1 + 0.3 * lin), "log": np.exp(lin), "identity": 2 + lin}[link]
        y = rng.gamma(4.0, mu / 4.0)
    else:
        mu = {"inverse_square": 1 / np.sqrt(1 + 0.3 * lin), "log": np.exp(lin), "inverse": 1 / (1 + 0.3 * lin),
              "identity": 2 + lin}[link]
        y = rng.wald(mu, 5.0)
    return {"x1": x1, "x2": x2, "g": g}, y, weights


GLM_CASES = [("gaussian", "identity"), ("gaussian", "log"), ("binomial", "logit"), ("binomial", "probit"),
             ("binomial", "cloglog"), ("poisson", "log"), ("poisson", "sqrt"), ("gamma", "inverse"),
             ("gamma", "log"), ("inverse_gaussian", "inverse_square"), ("inverse_gaussian", "log")]


@pytest.mark.parametrize("family, link", GLM_CASES)
@pytest.mark.filterwarnings("ignore::statsmodels.tools.sm_exceptions.DomainWarning")
def test_unpenalized_model_matches_statsmodels_glm(rng, family, link):
    data, y, weights = glm_data(rng, family, link)
    model = GAM(l("x1") + l("x2") + f("g"), family=family, link=link).fit(data, y, sample_weight=weights)
    exog = np.column_stack([np.ones(len(y)), data["x1"], data["x2"], data["g"] == "b", data["g"] == "c"])
    ref = sm.GLM(y, exog.astype(float), family=SM_FAMILIES[family](SM_LINKS[link]()),
                 var_weights=weights).fit(tol=1e-13, maxiter=200, use_t=family not in ("binomial", "poisson"))
    # Both solve the same score equations to ~1e-12; the ridge of 1e-10 moves nothing at 1e-6.
    np.testing.assert_allclose(model.coef_, ref.params, rtol=1e-6, atol=1e-8)
    np.testing.assert_allclose(np.sqrt(np.diag(model.cov_)), ref.bse, rtol=1e-6)
    assert model.deviance_ == pytest.approx(ref.deviance, rel=1e-8)
    assert model.null_deviance_ == pytest.approx(ref.null_deviance, rel=1e-6)
    assert model.edf_ == pytest.approx(5.0, abs=1e-6)
    # t tests on the residual df where the scale is estimated, z tests otherwise; tiny p-values
    # carry few digits in either library.
    p_values = np.array([t.p_value for t in model.coefficient_tests()])
    testable = ref.pvalues > 1e-10
    np.testing.assert_allclose(p_values[testable], ref.pvalues[testable], rtol=1e-4)


def smooth_data(rng, n=300):
    x = rng.uniform(0, 1, n)
    return {"x": x}, np.sin(2 * np.pi * x) + 0.3 * rng.standard_normal(n)


@pytest.mark.parametrize("bs", ["cr", "bs", "ps"])
def test_tiny_lambda_is_least_squares_on_the_same_basis(rng, bs):
    data, y = smooth_data(rng)
    model = GAM(s("x", k=8, bs=bs), lam=1e-9).fit(data, y)
    x = model.model_matrix(data)
    ols, *_ = np.linalg.lstsq(x, y, rcond=None)
    np.testing.assert_allclose(model.coef_, ols, rtol=1e-5, atol=1e-6 * np.abs(ols).max())
    assert model.edf_ == pytest.approx(x.shape[1], abs=1e-4)


def test_ubre_finds_the_lower_minimum_with_a_noise_smooth_in_its_null_space():
    # s(z) is pure noise. From the start, Newton's method on UBRE settled in a local minimum with
    # λ_z ≈ 32 (EDF 7.3); UBRE is lower with s(z) all but linear. Compared by hand with the fits at
    # fixed λ on a grid, UBRE = D/n + 2·EDF/n − 1.
    rng = np.random.default_rng(5)
    n = 300
    x, z = rng.uniform(0, 1, n), rng.uniform(0, 1, n)
    rng.choice(list("abcd"), n), rng.normal(0, 0.5, n), rng.gamma(3, np.exp(np.sin(2 * np.pi * x)) / 3)
    y = rng.poisson(np.exp(np.sin(2 * np.pi * x))).astype(float)
    data, terms = {"x": x, "z": z}, s("x") + s("z")
    model = GAM(terms, family="poisson", method="UBRE").fit(data, y)

    def ubre(m):
        return m.deviance_ / n + 2 * m.edf_ / n - 1

    grid = [ubre(GAM(terms, family="poisson", lam=[lx, lz]).fit(data, y))
            for lx in (30.0, 100.0, 300.0, 1000.0) for lz in (10.0, 1e2, 1e4, 1e6, 1e8)]
    # Within the search's bound (λ_z up to ~4e6 here, EDF 1.01 against 1.00 at 1e8).
    assert ubre(model) <= min(grid) + 1e-4
    assert model.term_edf_["s(z)"] < 1.1


@pytest.mark.parametrize("bs", ["cr", "bs", "ps"])
@pytest.mark.parametrize("unit", [1e-9, 1e120, 1e-150])
def test_a_smooth_does_not_depend_on_the_units_of_its_column(rng, bs, unit):
    # The bases' guards are absolute (1e-10) and curvature penalties scale as span⁻³: unscaled,
    # x in units of 1e-9 was fitted off by 0.55 ("bs"), and 1e120 failed ("cr") or went unpenalized ("bs").
    data, y = smooth_data(rng)
    data["z"] = rng.uniform(size=len(y))
    scaled = {"x": unit * data["x"], "z": data["z"]}
    terms = s("x", bs=bs) + te("x", "z", k=4, bs=bs)
    base, model = GAM(terms).fit(data, y), GAM(terms).fit(scaled, y)
    # The same model in other units: equal up to the selection's tolerance of 1e-6 in ln λ,
    # which moves fitted values of order 1 by up to about that much.
    # The te holds s(x)'s main effect again, so how the fit splits x's effect between the two
    # terms is ill-determined and rounding moves it; their sum (the prediction) is compared.
    assert model.edf_ == pytest.approx(base.edf_, rel=1e-5)
    np.testing.assert_allclose(model.predict(scaled), base.predict(data), rtol=0, atol=1e-6)


@pytest.mark.parametrize("unit", [1e-6, 0.0101, 0.1, 1e40])
def test_a_varying_coefficient_does_not_depend_on_the_units_of_its_by_column(rng, unit):
    # Unscaled, a by column in units of 1e-6 needed coefficients of 1e6, which the fit's ridge
    # pulled in: EDF 1.0 for 9.8; at 0.0101 (a proportion) the ridge still moved the fit by 1e-4.
    z, x = rng.uniform(size=400), rng.uniform(0.5, 1.5, 400)
    y = x * np.sin(6 * z) + 0.3 * rng.standard_normal(400)
    base = GAM(s("z", by="x")).fit({"z": z, "x": x}, y)
    model = GAM(s("z", by="x")).fit({"z": z, "x": unit * x}, y)
    assert model.edf_ == pytest.approx(base.edf_, rel=1e-6)
    np.testing.assert_allclose(model.predict({"z": z, "x": unit * x}), base.predict({"z": z, "x": x}),
                               rtol=0, atol=1e-6)


def test_two_smooths_of_a_standardized_column_keep_their_own_maps(rng):
    # s() with its own knots and te() with the data's range standardize x differently; once they
    # shared the first one's map and te's basis was evaluated at the wrong inputs.
    u, z = rng.uniform(size=400), rng.uniform(size=400)
    y = np.sin(6 * u) + z * u + 0.3 * rng.standard_normal(400)
    knots, unit = np.linspace(0.05, 0.9, 6), 1e-4
    base = GAM(s("x", k=6, knots=knots) + te("x", "z", k=4)).fit({"x": u, "z": z}, y)
    scaled = GAM(s("x", k=6, knots=unit * knots) + te("x", "z", k=4)).fit({"x": unit * u, "z": z}, y)
    np.testing.assert_allclose(scaled.predict({"x": unit * u, "z": z}), base.predict({"x": u, "z": z}),
                               rtol=0, atol=1e-6)


@pytest.mark.parametrize("family, link, eta", [
    ("inverse_gaussian", "inverse_square", [0.5, 0.05, 0.01]),
    ("gamma", "inverse", [0.5, 0.05, 0.01]),
    ("gaussian", "inverse", [0.5, 0.05, -0.5]),
    ("poisson", "sqrt", [0.5, 0.05, 0.01]),
    ("poisson", "identity", [0.5, 0.05, 0.01]),
])
def test_mean_intervals_stay_within_the_links_domain(family, link, eta):
    # η ± z·se mapped end by end once gave NaN (1/√η at η < 0), an interval not holding the
    # fitted mean (1/η across the pole at 0), or a lower end above 0 (η² of a negative end).
    # Reference: g⁻¹ over a fine grid of the interval's η inside the domain.
    model = GAM(s(0), family=family, link=link)
    model.family_, model.link_ = family, link
    eta, se = np.asarray(eta), np.full(3, 0.1)
    lower, upper = eta - 1.96 * se, eta + 1.96 * se
    got = model._mean_interval(lower, upper)
    inverse = {"inverse_square": lambda t: 1 / np.sqrt(t), "inverse": lambda t: 1 / t,
               "sqrt": np.square, "identity": lambda t: t}[link]
    for i in range(3):
        grid = np.linspace(lower[i], upper[i], 200001)
        inside = grid[grid > 0] if link.startswith("inverse") else grid[grid >= 0]
        if family == "gaussian":
            inside = grid[grid != 0]
        means = inverse(inside)
        crosses_pole = link.startswith("inverse") and lower[i] <= 0 <= upper[i]
        expected_hi = np.inf if crosses_pole else means.max()
        expected_lo = -np.inf if crosses_pole and family == "gaussian" else means.min()
        # The grid's spacing (2e-6 in η) bounds how near it gets to the exact ends.
        np.testing.assert_allclose(got[i], [expected_lo, expected_hi], rtol=1e-4, atol=1e-5)
        mean = inverse(np.array([eta[i]]))[0]
        assert got[i, 0] <= mean <= got[i, 1]


OVERLAPS = [
    (s("x") + l("x"), ["s(x)", "l(x)"]),
    (s("v") + l("z"), []),
    (s("x", by="z") + l("z"), ["s(x, by=z)", "l(z)"]),
    (s("x") + s("z") + te("x", "z"), ["s(x)", "s(z)", "te(x, z)"]),
    (s("x") + s("w"), []),
    (te("x", "z"), []),
    (s("x") + f("g") + s("z", by="g"), []),
    (te("x", "c", k=6), []),
]


@pytest.mark.parametrize("terms, named", OVERLAPS, ids=[str(t) for t, _ in OVERLAPS])
def test_overlapping_terms_are_reported(rng, terms, named):
    # s(x) + l(x) and the like were fitted silently, the split between the terms held only by the
    # ridge: l(x) got a standard error of 6275 and p = 1. Reference: the rank of the model matrix
    # with unit columns (NumPy's SVD); x and w correlate at 0.995, and the te of x with a column
    # clustered in three bands has cells without data, which its penalty settles: neither overlaps.
    n = 500
    x, z = rng.uniform(size=n), rng.uniform(size=n)
    data = {"x": x, "z": z, "w": x + 0.03 * rng.standard_normal(n), "g": rng.choice(list("abc"), n),
            "c": rng.choice([0.1, 0.5, 0.9], n) + 0.01 * rng.standard_normal(n)}
    y = 2 * x + np.sin(6 * x) + z + 0.3 * rng.standard_normal(n)
    # v: a logistic model's steep region, where working weights near 0 leave directions of s(v)
    # nearly undetermined; counted against each block's own largest eigenvalue they once
    # passed for an overlap of s(v) with nothing.
    data["v"] = rng.uniform(-1, 1, n)
    binary = (rng.uniform(size=n) < 1 / (1 + np.exp(-40 * (data["v"] - 0.6)))).astype(float)
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        model = GAM(terms, family="binomial" if "v" in str(terms) else "gaussian").fit(
            data, binary if "v" in str(terms) else y)
    reported = [str(w.message) for w in caught if "overlap" in str(w.message)]
    assert reported == ([f"the terms {', '.join(named)} overlap"] if named else []) or \
        (named and reported[0].startswith(f"the terms {', '.join(named)} overlap"))
    if "c" not in str(terms) and "v" not in str(terms):
        X = model.model_matrix(data)
        X = X / np.linalg.norm(X, axis=0)
        singular = np.linalg.svd(X, compute_uv=False)
        assert (singular[-1] < 1e-3 * singular[0]) == bool(named)


def test_a_fit_without_a_scale_has_no_prediction_intervals():
    # NaN variances from a NaN scale stay NaN (only an overflowing one is infinite).
    model = GAM(f("g")).fit({"g": np.array(list("abcde"))}, [1.0, 2.0, 4.0, 3.0, 5.0])
    assert np.all(np.isnan(model.predict_link({"g": np.array(list("abc"))}, se=True)[1]))


def test_a_factor_level_of_weight_zero_leaves_the_other_coefficients_to_least_squares(rng):
    # The level's coefficient is undetermined; the ridge that pins it once joined every coefficient
    # at 1e-10 of the largest diagonal entry and pulled a slope in years from 0.049 to 0.0025.
    year = 1990 + rng.integers(0, 30, 500).astype(float)
    g = rng.choice(list("abc"), 500)
    y = 0.05 * (year - 2000) + (g == "b") + 0.3 * rng.standard_normal(500)
    weight = np.where(g == "c", 0.0, 1.0)
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        model = GAM(l("year") + f("g")).fit({"year": year, "g": g}, y, sample_weight=weight)
    kept = weight > 0
    ols = sm.OLS(y[kept], np.column_stack([np.ones(kept.sum()), year[kept], g[kept] == "b"]).astype(float)).fit()
    # The ridge now left on the others is 1e-10 of each one's own diagonal entry, amplified by the
    # conditioning of intercept and year (about 1e5): 1e-5 relative.
    np.testing.assert_allclose(model.coef_[:3], ols.params, rtol=1e-4)
    assert [str(w.message).split(" are not")[0] for w in caught] == ["the coefficients f(g)[c]"]


@pytest.mark.parametrize("family", ["gaussian", "poisson"])
@pytest.mark.parametrize("unit", [1e5, 1e9])
def test_a_smooth_does_not_depend_on_the_units_of_a_linear_column_beside_it(rng, family, unit):
    # The ridge on a smooth's coefficients was 1e-10 of the largest diagonal entry of XᵀWX over
    # the whole model: a slope column in units of 1e5 made it large enough to flatten s(x)
    # (λ 34 → 2139, EDF 9.4 → 2.9). Each penalty's ridge is now on the scale of its own block.
    data, y = smooth_data(rng)
    data["z"] = rng.normal(size=len(y))
    if family == "poisson":
        y = rng.poisson(np.exp(y)).astype(float)
    base = GAM(s("x") + l("z"), family=family).fit(data, y)
    scaled = GAM(s("x") + l("z"), family=family).fit({"x": data["x"], "z": unit * data["z"]}, y)
    # The same model in other units: equal up to the selection's tolerance (1e-6 in ln λ).
    assert scaled.edf_ == pytest.approx(base.edf_, rel=1e-6)
    np.testing.assert_allclose(scaled.predict({"x": data["x"], "z": unit * data["z"]}), base.predict(data),
                               rtol=1e-6, atol=1e-7)


@pytest.mark.parametrize("unit", [1e4, 1e6])
def test_a_smooth_does_not_depend_on_the_units_of_a_by_column_beside_it(rng, unit):
    # A varying coefficient by a column of large values has diagonal entries of XᵀWX far above
    # the weight sum; a ridge scaled by the largest entry of all flattened s(w) beside it (fitted
    # values off by 2e-2 at 1e6). Each penalty's ridge is now on its own block's scale, floored
    # at the intercept's entry.
    n = 600
    x, w, u = rng.uniform(size=n), rng.uniform(size=n), rng.uniform(1, 2, n)
    y = u * np.sin(4 * x) + np.cos(5 * w) + 0.3 * rng.standard_normal(n)
    base = GAM(s("x", by="u") + s("w")).fit({"x": x, "w": w, "u": u}, y)
    scaled = GAM(s("x", by="u") + s("w")).fit({"x": x, "w": w, "u": unit * u}, y)
    # The same model in other units: equal up to the selection's tolerance (1e-6 in ln λ).
    assert scaled.term_edf_["s(w)"] == pytest.approx(base.term_edf_["s(w)"], rel=1e-5)
    np.testing.assert_allclose(scaled.predict({"x": x, "w": w, "u": unit * u}), base.predict({"x": x, "w": w, "u": u}),
                               rtol=0, atol=1e-6)


@pytest.mark.parametrize("level", [1e4, 1e6, 1e8, 1e10])
def test_a_slope_far_from_zero_keeps_its_least_squares_value(rng, level):
    # A column with a large mean (a time stamp) nearly repeats the intercept: its cross products
    # lose (level/spread)²·1e-16 of the slope. The undetermined-pivot test once took it for a
    # collinear column (slope 0.033 for 0.81 at 1e5); beyond 1e7 nothing was left. Such a column
    # is fitted as x − c beside the intercept and mapped back. Reference: least squares on the
    # same float64 column less its midrange (an exact subtraction), mapped back alike.
    z = rng.uniform(size=300) + level
    y = 0.8 * (z - level) + 0.1 * rng.standard_normal(300)
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        model = GAM(l("z") + s("x")).fit({"z": z, "x": rng.uniform(size=300)}, y)
        plain = GAM(l("z")).fit({"z": z}, y)
    centre = 0.5 * (z.min() + z.max())
    ols = sm.OLS(y, np.column_stack([np.ones(300), z - centre])).fit()
    # Both solve well-conditioned systems (condition about 10): they agree to rounding.
    assert plain.coef_[1] == pytest.approx(ols.params[1], rel=1e-10)
    assert plain.coef_[0] == pytest.approx(ols.params[0] - centre * ols.params[1], rel=1e-10)
    np.testing.assert_allclose(np.sqrt(np.diag(plain.cov_))[1], ols.bse[1], rtol=1e-8)
    assert abs(model.coef_[1] - 0.8) < 0.05
    # η and its standard error at new rows come from the centred column as well: from the model's
    # own coefficients x·V·xᵀ cancels (level/spread)²·1e-16 of itself (84% of the se at 5e7).
    # Reference: statsmodels' prediction on the centred column; the subtraction z − centre rounds
    # to ulp(level), about level·1e-16 of the column's unit spread.
    new = np.linspace(z.min() - 0.5, z.max() + 0.5, 7)
    eta, se = plain.predict_link({"z": new}, se=True)
    reference = ols.get_prediction(np.column_stack([np.ones(7), new - centre]))
    np.testing.assert_allclose(eta, reference.predicted_mean, rtol=1e-9)
    np.testing.assert_allclose(se, reference.se_mean, rtol=1e-9 + 1e-15 * level)


def test_collinear_parametric_columns_keep_the_least_squares_inference(rng):
    # With the ridge on penalized coefficients only, an exactly collinear pair once passed Cholesky
    # on a pivot of rounding size: EDF 0, standard errors 2.6 times too small.
    z = rng.normal(size=200)
    y = z + 0.3 * rng.standard_normal(200)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", UserWarning)
        model = GAM(l("z") + l("z2")).fit({"z": z, "z2": 2 * z}, y)
    exog = np.column_stack([np.ones(200), z])
    ols = sm.OLS(y, exog).fit()
    assert model.edf_ == pytest.approx(2.0, abs=1e-5)
    assert model.scale_ == pytest.approx(ols.scale, rel=1e-6)
    se = np.sqrt(np.einsum("ij,jk,ik->i", exog, ols.cov_params(), exog))
    np.testing.assert_allclose(model.predict_link({"z": z, "z2": 2 * z}, se=True)[1], se, rtol=1e-5)


@pytest.mark.parametrize("family, link", [("gamma", "log"), ("gamma", "inverse"), ("gaussian", "log"),
                                          ("inverse_gaussian", "log")])
@pytest.mark.parametrize("unit", [1e-30, 1e30])
def test_a_fit_with_a_scale_does_not_depend_on_the_units_of_y(rng, family, link, unit):
    # An absolute floor of ε on dμ/dη once gave y in units of 1e-30 wrong working weights (EDF 10 for 8).
    data, y = smooth_data(rng)
    y = np.exp(y)
    base = GAM(s("x"), family=family, link=link).fit(data, y)
    scaled = GAM(s("x"), family=family, link=link).fit(data, unit * y)
    # The optimizers' tolerances in ln λ carry over to the EDF and the fitted means at about 1e-6.
    assert scaled.edf_ == pytest.approx(base.edf_, rel=1e-5)
    np.testing.assert_allclose(scaled.predict(data) / unit, base.predict(data), rtol=1e-6)


@pytest.mark.parametrize("shift", [1e4, 1e8])
def test_a_gaussian_fit_does_not_depend_on_the_level_of_y(rng, shift):
    # Only the intercept may move. A ridge on the unpenalized coefficients once
    # made REML see δ·β₀² and flatten the smooth (EDF 7.8 → 2.0 at a level of 1e6).
    data, y = smooth_data(rng)
    data["z"], data["g"] = rng.uniform(size=len(y)), rng.choice(["a", "b", "c"], len(y))
    terms = s("x") + l("z") + f("g")
    base, moved = GAM(terms).fit(data, y), GAM(terms).fit(data, y + shift)
    assert moved.edf_ == pytest.approx(base.edf_, rel=1e-6)
    # y + shift carries rounding of 1e-16·shift, which the fit passes on amplified by the conditioning.
    np.testing.assert_allclose(moved.predict(data) - shift, base.predict(data), rtol=0, atol=1e-7 + 1e-12 * shift)
    np.testing.assert_allclose(moved.coef_[1:], base.coef_[1:], rtol=0, atol=1e-7 + 1e-12 * shift)


@pytest.mark.parametrize("method", ["REML", "ML", "GCV"])
def test_the_smoothing_of_a_gaussian_fit_does_not_depend_on_the_units_of_y(rng, method):
    data, y = smooth_data(rng)
    fits = [GAM(s("x", k=20), method=method).fit(data, c * y) for c in (0.01, 1.0, 100.0)]
    # The optimizers stop at a relative tolerance in ln λ; the EDF follows to about 1e-6.
    assert [m.edf_ for m in fits] == pytest.approx([fits[1].edf_] * 3, rel=1e-5)
    np.testing.assert_allclose(fits[2].predict(data), 100 * fits[1].predict(data), rtol=1e-5, atol=1e-6)


@pytest.mark.parametrize("bs", ["cr", "bs", "ps"])
def test_a_huge_lambda_leaves_the_straight_line_fit(rng, bs):
    # Each basis's penalty has the straight lines as its null space: at λ → ∞ the smooth is the linear fit.
    data, y = smooth_data(rng)
    linear = GAM(l("x")).fit(data, y).predict(data)
    for k, lam in [(4, 1e10), (6, 1e10), (12, 1e10), (12, 1e16)]:
        smooth = GAM(s("x", k=k, bs=bs), lam=lam).fit(data, y).predict(data)
        # λ = 1e10 against XᵀX ~ n leaves the curvature ~1e-8 of the signal. At 1e16 a
        # Cholesky factor of XᵀX + λS lost the straight line (error 4e-3).
        np.testing.assert_allclose(smooth, linear, rtol=0, atol=1e-6)


@pytest.mark.parametrize("knots", [np.linspace(0.0, 1.0, 8), np.array([0.0, 0.1, 0.3, 0.35, 0.7, 1.0]),
                                   np.array([-2.0, 5.0]), np.linspace(1e6, 1e6 + 3.0, 5)])
def test_p_spline_penalty_is_the_difference_penalty_of_b_splines_continued_past_the_ends(rng, knots):
    from scipy.interpolate import BSpline

    from vorna.terms import _p_spline_penalty

    k = len(knots) + 2
    h0, h1 = knots[1] - knots[0], knots[-1] - knots[-2]
    continued = np.r_[knots[0] - h0 * np.arange(3, 0, -1), knots, knots[-1] + h1 * np.arange(1, 4)]
    clamped = np.r_[[knots[0]] * 3, knots, [knots[-1]] * 3]
    x = np.linspace(knots[0], knots[-1], 500)
    alpha = rng.normal(size=k)
    curve = BSpline(continued, alpha, 3)(x)
    beta = np.linalg.lstsq(BSpline.design_matrix(x, clamped, 3).toarray(), curve, rcond=None)[0]
    # Same spline in either basis: beta reproduces the curve, and the penalty of beta is ‖Δ²α‖².
    np.testing.assert_allclose(BSpline(clamped, beta, 3)(x), curve, atol=1e-9 * np.abs(curve).max())
    assert beta @ _p_spline_penalty(knots) @ beta == pytest.approx(np.sum(np.diff(alpha, 2) ** 2), rel=1e-8)


@pytest.mark.parametrize("family", ["gaussian", "poisson"])
def test_edf_and_standard_errors_match_numpy(rng, family):
    data, y = smooth_data(rng)
    if family == "poisson":
        y = rng.poisson(np.exp(1 + np.sin(2 * np.pi * data["x"]))).astype(float)
    data["z"] = rng.uniform(0, 1, len(y))
    model = GAM(s("x") + s("z", bs="ps"), family=family).fit(data, y)
    x = model.model_matrix(data)
    w = model.working_weights_
    xtwx = x.T @ (w[:, None] * x)
    a = xtwx + sum(lam * p for lam, p in zip(model.lambdas_, model.penalties_))
    influence_trace = np.trace(np.linalg.solve(a, xtwx))
    assert model.edf_ == pytest.approx(influence_trace, rel=1e-7)
    np.testing.assert_allclose(model.cov_, model.scale_ * np.linalg.inv(a), rtol=1e-6, atol=1e-12)
    new = {"x": np.linspace(0, 1, 7), "z": np.linspace(0.1, 0.9, 7)}
    eta, se = model.predict_link(new, se=True)
    xn = model.model_matrix(new)
    np.testing.assert_allclose(se, np.sqrt(np.einsum("ij,jk,ik->i", xn, model.cov_, xn)), rtol=1e-10)
    np.testing.assert_allclose(eta, xn @ model.coef_, rtol=1e-12, atol=1e-12)


@pytest.mark.parametrize("family", ["poisson", "binomial"])
def test_integer_weights_equal_repeated_rows(rng, family):
    n = 200
    x = rng.uniform(0, 1, n)
    mu = np.exp(1 + np.sin(2 * np.pi * x))
    y = rng.poisson(mu).astype(float) if family == "poisson" else rng.binomial(1, 1 / (1 + 1 / mu)).astype(float)
    reps = rng.integers(1, 4, n)
    weighted = GAM(s("x"), family=family).fit({"x": x}, y, sample_weight=reps)
    repeated = GAM(s("x"), family=family).fit({"x": np.repeat(x, reps)}, np.repeat(y, reps))
    # With a known scale the criterion and the fit see only Σ w_i·(row terms). The centring
    # constraint (column sums of the basis) differs between the two, so compare what does not
    # depend on the parametrization: the fitted function and its EDF.
    grid = {"x": np.linspace(0, 1, 40)}
    np.testing.assert_allclose(weighted.predict(grid), repeated.predict(grid), rtol=1e-6)
    assert weighted.edf_ == pytest.approx(repeated.edf_, rel=1e-6)
    assert weighted.deviance_ == pytest.approx(repeated.deviance_, rel=1e-8)


@pytest.mark.parametrize("method", ["REML", "GCV"])
def test_offset_equals_fitting_the_shifted_response(rng, method):
    data, y = smooth_data(rng)
    offset = rng.normal(0, 2, len(y))
    with_offset = GAM(s("x"), method=method).fit(data, y, offset=offset)
    shifted = GAM(s("x"), method=method).fit(data, y - offset)
    np.testing.assert_allclose(with_offset.coef_, shifted.coef_, rtol=1e-7, atol=1e-9)
    np.testing.assert_allclose(with_offset.lambdas_, shifted.lambdas_, rtol=1e-6)
    np.testing.assert_allclose(with_offset.predict(data, offset=offset), shifted.predict(data) + offset, atol=1e-9)


def test_poisson_offset_is_an_exposure(rng):
    n = 500
    x = rng.uniform(0, 1, n)
    exposure = rng.uniform(1, 10, n)
    y = rng.poisson(exposure * np.exp(np.sin(2 * np.pi * x))).astype(float)
    model = GAM(s("x"), family="poisson").fit({"x": x}, y, offset=np.log(exposure))
    grid = {"x": np.linspace(0.05, 0.95, 50)}
    # The rate at unit exposure recovers exp(sin) (error well inside the noise of 500 counts).
    assert np.max(np.abs(np.log(model.predict(grid)) - np.sin(2 * np.pi * grid["x"]))) < 0.25


@pytest.mark.parametrize("family", ["gaussian", "poisson"])
def test_interval_coverage_by_simulation(family):
    rng = np.random.default_rng(20261209)
    n, sims = 200, 200
    grid = {"x": np.linspace(0.02, 0.98, 25)}
    truth_eta = np.sin(2 * np.pi * grid["x"])
    covered = []
    for _ in range(sims):
        x = rng.uniform(0, 1, n)
        if family == "gaussian":
            y = np.sin(2 * np.pi * x) + 0.4 * rng.standard_normal(n)
            truth = truth_eta
        else:
            y = rng.poisson(np.exp(1 + np.sin(2 * np.pi * x))).astype(float)
            truth = np.exp(1 + truth_eta)
        ci = GAM(s("x"), family=family).fit({"x": x}, y).confidence_interval(grid)
        covered.append((ci[:, 0] <= truth) & (truth <= ci[:, 1]))
    coverage = np.mean(covered)
    # Averaged over x, Bayesian intervals have close to nominal coverage (Nychka 1988).
    assert 0.90 <= coverage <= 0.99, coverage


def test_smooths_are_centred_and_the_intercept_is_the_mean(rng):
    n = 400
    data = {"x": rng.uniform(0, 1, n), "z": rng.uniform(0, 1, n), "w": rng.uniform(0, 1, n)}
    y = np.sin(2 * np.pi * data["x"]) + data["z"] ** 2 + data["x"] * data["w"] + 0.2 * rng.standard_normal(n)
    model = GAM(s("x") + s("z", bs="bs") + te("x", "w")).fit(data, y)
    effects = model.partial_effects(data)
    for label in ["s(x)", "s(z)", "te(x, w)"]:
        assert abs(effects[label].sum()) < 1e-9 * n * np.abs(effects[label]).max()
    assert model.coef_[0] == pytest.approx(y.mean(), rel=1e-9)
    np.testing.assert_allclose(sum(effects.values()), model.predict(data), atol=1e-10)


def test_partial_effect_standard_errors_match_numpy(rng):
    data, y = smooth_data(rng)
    data["g"] = rng.choice(["u", "v"], len(y))
    model = GAM(s("x") + f("g")).fit(data, y)
    effects = model.partial_effects(data, se=True)
    x = model.model_matrix(data)
    sl = model.term_slices_["s(x)"]
    xs, v = x[:, sl], model.cov_[sl, sl]
    np.testing.assert_allclose(effects["s(x)"][0], xs @ model.coef_[sl], atol=1e-12)
    np.testing.assert_allclose(effects["s(x)"][1], np.sqrt(np.einsum("ij,jk,ik->i", xs, v, xs)), rtol=1e-10)


@pytest.mark.parametrize("rows, same_x, refused", [(1, False, True), (2, True, True), (2, False, False)])
def test_a_by_level_whose_rows_share_one_point_is_refused(rng, rows, same_x, refused):
    # Centred over rows at one point, the level's smooth is 0 there: its columns were rounding
    # (1e-17) and its coefficients were fitted to it (1e15), so predict() and fitted_values_
    # parted by 0.2 at those rows.
    n = 400
    x = rng.uniform(size=n)
    g = np.array(["a"] * n, dtype=object)
    g[:rows] = "b"
    if same_x:
        x[:rows] = 0.5
    y = np.sin(3 * x) + 0.3 * rng.standard_normal(n)
    data = {"x": x, "g": g}
    if refused:
        with pytest.raises(ValueError, match="level 'b' of g share a single value of x"):
            GAM(s("x", k=5, by="g")).fit(data, y)
        return
    model = GAM(s("x", k=5, by="g")).fit(data, y)
    np.testing.assert_allclose(model.predict(data), model.fitted_values_, rtol=0, atol=1e-12)
    np.testing.assert_allclose(model.model_matrix(data) @ model.coef_, model.fitted_values_, rtol=0, atol=1e-12)


def test_factor_by_gives_one_smooth_per_level(rng):
    n = 600
    g = rng.choice(["lo", "hi"], n)
    x = rng.uniform(0, 1, n)
    truth = np.where(g == "hi", np.sin(2 * np.pi * x), x - 0.5) + (g == "hi") * 1.0
    y = truth + 0.2 * rng.standard_normal(n)
    model = GAM(s("x", by="g") + f("g")).fit({"x": x, "g": g}, y)
    assert set(model.term_edf_) == {"Intercept", "s(x, by=g):g=hi", "s(x, by=g):g=lo", "f(g)"}
    assert model.term_edf_["s(x, by=g):g=lo"] < 2.5 < model.term_edf_["s(x, by=g):g=hi"]
    assert np.sqrt(np.mean((model.predict({"x": x, "g": g}) - truth) ** 2)) < 0.06


def test_numeric_by_is_a_varying_coefficient(rng):
    n = 800
    x, z = rng.uniform(0, 1, n), rng.normal(size=n)
    y = z * np.sin(2 * np.pi * x) + 0.2 * rng.standard_normal(n)
    model = GAM(s("x", by="z")).fit({"x": x, "z": z}, y)
    grid = {"x": np.linspace(0.05, 0.95, 20), "z": np.ones(20)}
    assert np.max(np.abs(model.predict(grid) - np.sin(2 * np.pi * grid["x"]))) < 0.15


def test_tensor_product_separates_scales(rng):
    # One margin in metres, one in kilometres: the fit must not depend on the units.
    n = 500
    a, b = rng.uniform(0, 1, n), rng.uniform(0, 1, n)
    y = np.sin(3 * a) * np.cos(3 * b) + 0.1 * rng.standard_normal(n)
    m1 = GAM(te("a", "b")).fit({"a": a, "b": b}, y)
    m2 = GAM(te("a", "b")).fit({"a": a * 1000.0, "b": b}, y)
    np.testing.assert_allclose(m1.fitted_values_, m2.fitted_values_, rtol=1e-6, atol=1e-8)
    assert len(m1.lambdas_) == 2


@pytest.mark.parametrize("family", ["gaussian", "poisson", "binomial", "gamma"])
def test_mixed_model_recovers_the_truth(rng, family):
    n = 2000
    d = {"x": rng.uniform(0, 1, n), "z": rng.uniform(0, 1, n), "g": rng.choice(list("abc"), n),
         "u": rng.normal(size=n)}
    eta = 0.5 * np.sin(2 * np.pi * d["x"]) + 0.5 * (d["z"] - 0.5) ** 2 + 0.3 * (d["g"] == "b") + 0.2 * d["u"]
    if family == "gaussian":
        mu, y = eta, eta + 0.3 * rng.standard_normal(n)
    elif family == "poisson":
        mu = np.exp(1 + eta)
        y = rng.poisson(mu).astype(float)
    elif family == "binomial":
        mu = 1 / (1 + np.exp(-eta))
        y = rng.binomial(1, mu).astype(float)
    else:
        mu = np.exp(eta)
        y = rng.gamma(5.0, mu / 5.0)
    link = "log" if family == "gamma" else None
    model = GAM(s("x") + s("z") + f("g") + l("u"), family=family, link=link).fit(d, y)
    assert model.converged_
    rmse = np.sqrt(np.mean((model.predict(d) - mu) ** 2))
    assert rmse < 0.1 * np.std(mu) + 0.02, rmse


# ---- bad input -------------------------------------------------------------------

@pytest.fixture
def fitted(rng):
    data, y = smooth_data(rng, n=100)
    data["g"] = rng.choice(["a", "b"], 100)
    return GAM(s("x") + f("g")).fit(data, y), data, y


@pytest.mark.parametrize(
    "change, message",
    [
        (lambda m, d, y: m.fit({"x": d["x"]}, y), "unknown column 'g'"),
        (lambda m, d, y: m.fit(d, y, sample_weight=-np.ones(100)), r"sample_weight\[0\] = -1"),
        (lambda m, d, y: m.fit(d, y, sample_weight=np.r_[np.ones(99), np.nan]), r"sample_weight\[99\] = nan"),
        (lambda m, d, y: m.fit(d, y, offset=np.r_[np.inf, np.zeros(99)]), r"offset\[0\] = inf"),
        (lambda m, d, y: m.fit(d, np.r_[y[:-1], np.nan]), "y has a missing"),
        (lambda m, d, y: m.fit({**d, "x": np.r_[np.nan, d["x"][1:]]}, y), "column 'x' has a missing .* row 0"),
        (lambda m, d, y: m.fit(d, y[:50]), "one value per row"),
        (lambda m, d, y: m.set_params_for_test(link="logit").fit(d, y), "does not admit the link 'logit'"),
        (lambda m, d, y: m.set_params_for_test(family="poisson").fit(d, y - 10), "poisson family needs y >= 0"),
        (lambda m, d, y: m.set_params_for_test(method="reml").fit(d, y), "method must be one of"),
        (lambda m, d, y: m.set_params_for_test(method="UBRE").fit(d, y), "UBRE' needs a known scale"),
        (lambda m, d, y: m.fit(d, y * 1e200), "^the deviance of the fit overflows"),
        (lambda m, d, y: m.fit(d, y, offset=np.full(100, 1e300)), "^the deviance of the fit overflows"),
        (lambda m, d, y: m.set_params_for_test(terms=l("x")).fit({"x": d["x"] * 1e160}, y),
         r"l\(x\): the column's values reach 9.97e\+159, whose squares overflow"),
        (lambda m, d, y: m.set_params_for_test(terms=s("x") + f("id")).fit(
            {"x": d["x"], "id": np.arange(100).astype(str)}, y), "^100 observations leave no residual degrees of"),
        (lambda m, d, y: m.set_params_for_test(terms=s("x", k=500)).fit(d, y), "needs at least 500 distinct"),
    ],
)
def test_bad_fit_input_is_refused_and_changes_nothing(fitted, change, message):
    model, data, y = fitted
    before = model.coef_.copy()

    def set_params_for_test(**kw):
        for key, value in kw.items():
            setattr(model, key, value)
        return model

    model.set_params_for_test = set_params_for_test
    with pytest.raises(ValueError, match=message):
        change(model, data, y)
    np.testing.assert_array_equal(model.coef_, before)


@pytest.mark.parametrize("rows, terms", [(2, None), (3, l("x") + l("z")), (40, f("level"))])
def test_a_fit_without_residual_degrees_of_freedom_reports_no_scale_and_no_tests(rng, rows, terms):
    # Once RSS/(n − EDF) divided rounding by rounding (scale 5e-9) and a NaN standard error
    # counted as zero (p = 0): a saturated fit says nothing about significance.
    data = {"x": rng.uniform(size=rows), "z": rng.uniform(size=rows), "level": np.arange(rows).astype(str)}
    y = rng.normal(size=rows)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", UserWarning)  # two rows for three coefficients: not identifiable
        model = GAM(terms).fit({k: data[k] for k in ("x", "z")} if terms is None else data, y)
    assert np.isnan(model.scale_)
    assert all(np.isnan(t.p_value) for t in model.coefficient_tests())
    assert "nan" in str(model.summary())


@pytest.mark.parametrize("rate", [1e-6, 1e-9, 1e-12])
def test_rare_event_proportions_fit_to_the_score_root_without_a_separation_warning(rate):
    # (1 − y)·log((1 − y)/(1 − μ)) taken as the log of a quotient next to 1 kept only about ε of
    # a term of the size of μ: PiRLS ran to its cap 1e-3 short at 1e-12, and μ of 1e-12 fitting
    # y of 1e-12 was reported as separable classes.
    rng = np.random.default_rng(1)
    x = rng.uniform(-1, 1, 400)
    y = rate * np.exp(1.5 * x + 0.3 * rng.standard_normal(400))
    design = np.column_stack([np.ones_like(x), x])
    beta = np.array([np.log(y.mean()), 0.0])
    for _ in range(60):  # Newton on the logit score Xᵀ(y − μ), which needs no deviance
        mu = 1 / (1 + np.exp(-design @ beta))
        beta += np.linalg.solve(design.T @ (design * (mu * (1 - mu))[:, None]), design.T @ (y - mu))
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        model = GAM(l("x"), family="binomial").fit({"x": x}, y)
    assert model.converged_
    # The root is well conditioned (relative score 1e-15 at it): both agree to a few ε of the slope.
    np.testing.assert_allclose(model.coef_, beta, rtol=1e-9)


def test_a_selection_on_separable_classes_stops_once_pirls_cannot_converge(rng):
    # The classes separate along a straight line, which no penalty holds back: η runs off to
    # infinity at every λ. The search once ran 50 passes of 100 PiRLS steps each (20 s for 150 rows).
    x = rng.uniform(-1, 1, size=(150, 2))
    y = (x[:, 0] + 0.3 * x[:, 1] > 0).astype(float)
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        model = GAM(s(0) + s(1), family="binomial").fit(x, y)
    messages = [str(w.message) for w in caught]
    stopped = [m for m in messages if m.startswith("the smoothing-parameter search stopped after")]
    assert stopped and int(stopped[0].split()[5]) < 50, messages
    assert any("numerically 0 or 1" in m for m in messages)
    assert np.all((model.predict(x) > 0.5) == (y == 1))


@pytest.mark.parametrize("columns, terms, named", [
    (lambda x: {"a": np.full_like(x, 3.0), "x": x}, l("a") + s("x"), "Intercept, l(a)"),
    (lambda x: {"a": x, "b": x, "x": x}, l("a") + l("b"), "l(a), l(b)"),
    (lambda x: {"g": np.where(x > 0.5, "u", "v"), "a": (x > 0.5).astype(float), "x": x}, f("g") + l("a"), "l(a)"),
    (lambda x: {"a": x, "x": x}, l("a") + s("x"), None),
])
def test_collinear_parametric_columns_are_reported(rng, columns, terms, named):
    x = rng.uniform(size=200)
    y = np.sin(6 * x) + 0.3 * rng.standard_normal(200)
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        GAM(terms).fit(columns(x), y)
    reported = [str(w.message) for w in caught if "not identifiable" in str(w.message)]
    if named is None:  # the linear term takes the straight line, which the ridge on the smooth holds at 0
        assert not reported
    else:
        assert len(reported) == 1 and named in reported[0]


def test_standard_errors_far_beyond_the_data_do_not_collapse_to_zero(rng):
    # x·V·xᵀ overflows far out along the linear extrapolation; its NaN was once clamped to 0,
    # a zero-width interval at 1e155.
    data, y = smooth_data(rng)
    model = GAM(s("x")).fit(data, y)
    near, far = (model.predict_link({"x": np.array([v])}, se=True)[1][0] for v in (1e100, 1e155))
    assert near == pytest.approx(1e100 * model.predict_link({"x": np.array([1e3])}, se=True)[1][0] / 1e3, rel=1e-3)
    assert far == np.inf


@pytest.mark.parametrize("family", ["poisson", "binomial"])
def test_a_response_of_all_zeros_has_no_deviance_to_explain(rng, family):
    # Both deviances are of rounding size (1e-15); their ratio once read as 42% explained.
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        model = GAM(s(0), family=family).fit(rng.uniform(size=(200, 1)), np.zeros(200))
    assert np.isnan(model.deviance_explained_)


@pytest.mark.parametrize("terms", [s(0) + s(1), l(0)])
@pytest.mark.parametrize("lam", [None, 1.0])
@pytest.mark.parametrize("family, link, value, offset", [
    ("poisson", "log", 0.0, False), ("poisson", "log", 0.0, True), ("binomial", "logit", 0.0, False),
    ("binomial", "logit", 0.0, True), ("binomial", "probit", 1.0, False), ("binomial", "cloglog", 1.0, True),
    ("poisson", "identity", 0.0, False), ("poisson", "sqrt", 0.0, False)])
def test_a_response_on_a_bound_of_the_mean_is_fitted_in_the_limit_and_reported_so(rng, family, link, value, offset,
                                                                                   lam, terms):
    # The fit's means run off towards the bound, where both its deviance and the null model's
    # tend to 0. Counts all 0 ran PiRLS to its cap and the null model's own PiRLS too: converged_
    # False, null_deviance_ NaN and three ConvergenceWarnings for a fit that was right. (The first
    # fix settled identity-link steps cut back short of η = 0, and then failed on their Xβ.)
    x = rng.uniform(size=(300, 2))
    y = np.full(300, value)
    kw = {"offset": rng.normal(size=300)} if offset else {}
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        model = GAM(terms, family=family, link=link, lam=None if terms == l(0) else lam).fit(x, y, **kw)
    # One class is still reported as such (numerically 0 or 1 fitted probabilities); nothing else.
    assert [str(w.message) for w in caught if "numerically 0 or 1" not in str(w.message)] == []
    assert model.converged_ and model.null_deviance_ == 0.0
    assert 0.0 <= model.deviance_ <= 1e-10 * 300  # the rounding of the deviance at a bound, per row
    np.testing.assert_allclose(model.predict(x, **kw), y, atol=1e-8)


def test_counts_all_zero_beside_an_offset_have_a_null_deviance_where_the_link_bounds_eta(rng):
    # With the sqrt link the null model μ = (β₀ + offset)² needs β₀ + offset > 0 on every row, so
    # its deviance 2Σμ is at least 2Σ(offset − min offset)², not 0 (the first fix said 0, and then
    # warned that the fit was worse than the null model when it was better).
    x, off = rng.uniform(size=(200, 1)), rng.uniform(-0.3, 0.3, 200)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", vorna.ConvergenceWarning)  # the fit presses against the edge
        model = GAM(s(0), family="poisson", link="sqrt").fit(x, np.zeros(200), offset=off)
    least = 2 * np.sum((off - off.min()) ** 2)
    assert np.isnan(model.null_deviance_) or model.null_deviance_ >= least * (1 - 1e-9)
    assert model.deviance_ > 0.0


@pytest.mark.parametrize("where", ["X", "y", "sample_weight", "offset", "column", "score y", "predict X"])
def test_a_masked_entry_is_refused_and_an_unmasked_masked_array_is_its_data(rng, where):
    # np.asarray drops the mask, so the values under it (often a sentinel such as -999) were fitted as data.
    x, y = rng.uniform(size=(100, 2)), rng.normal(size=100)
    ones, zeros = np.ones(100), np.zeros(100)

    def masked(a, hide=True):
        mask = np.zeros(a.shape, bool)
        mask.flat[7] = hide
        return np.ma.masked_array(a, mask=mask)

    def call(hide):
        args = {"X": x, "y": y, "sample_weight": ones, "offset": zeros}
        if where in args:
            args[where] = masked(args[where], hide)
        data = {"a": masked(x[:, 0], hide), "b": x[:, 1]} if where == "column" else args["X"]
        model = GAM(s(0) + s(1) if where != "column" else s("a") + s("b")).fit(
            data, args["y"], sample_weight=args["sample_weight"], offset=args["offset"])
        if where == "score y":
            return model.score(x, masked(y, hide))
        return model.predict(masked(x, hide) if where == "predict X" else data)

    name = {"column": "X['a']", "score y": "y", "predict X": "X"}.get(where, where)
    with pytest.raises(ValueError, match=re.escape(f"{name} is a masked array with masked entries")):
        call(True)
    plain = GAM(s(0) + s(1)).fit(x, y)
    expected = plain.score(x, y) if where == "score y" else plain.predict(x)
    np.testing.assert_array_equal(call(False), expected)


def test_unseen_factor_level_at_prediction(fitted):
    model, data, _ = fitted
    with pytest.raises(ValueError, match="level 'z' at row 1, which was not seen"):
        model.predict({"x": np.array([0.1, 0.2]), "g": np.array(["a", "z"])})


@pytest.mark.parametrize("bad", [lambda: s("x", k=3), lambda: s("x", bs="tp"), lambda: te("x"),
                                 lambda: te("a", "b", k=(5, 5, 5))])
def test_bad_term_arguments(bad):
    with pytest.raises(ValueError):
        bad()


def test_unfitted_model_refuses_to_predict():
    with pytest.raises(vorna.NotFittedError, match="not fitted"):
        GAM(s("x")).predict({"x": np.zeros(3)})


def test_numpy_input_uses_column_positions(rng):
    x = rng.uniform(0, 1, (300, 2))
    y = np.sin(2 * np.pi * x[:, 0]) + x[:, 1] + 0.1 * rng.standard_normal(300)
    model = GAM(s(0) + l(1)).fit(x, y)
    assert model.n_features_in_ == 2 and not hasattr(model, "feature_names_in_")
    with pytest.raises(ValueError, match="columns are referred to by position"):
        GAM(s("x")).fit(x, y)


def test_convergence_warning_and_flag(rng):
    data, _ = smooth_data(rng)
    y = rng.poisson(np.exp(2 + np.sin(2 * np.pi * data["x"]))).astype(float)
    with pytest.warns(vorna.ConvergenceWarning, match="PiRLS did not converge"):
        model = GAM(s("x"), family="poisson", lam=1.0, max_iter=1).fit(data, y)
    assert model.converged_ is False
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        assert GAM(s("x"), family="poisson").fit(data, y).converged_


def test_gcv_choice_minimizes_the_gcv_score(rng):
    data, y = smooth_data(rng)
    model = GAM(s("x"), method="GCV").fit(data, y)
    x = model.model_matrix(data)
    pen = model.penalties_[0]

    def gcv(lam):
        a = x.T @ x + lam * pen
        hat_trace = np.trace(np.linalg.solve(a, x.T @ x))
        resid = y - x @ np.linalg.solve(a, x.T @ y)
        return len(y) * resid @ resid / (len(y) - hat_trace) ** 2

    best = model.lambdas_[0]
    assert gcv(best) <= min(gcv(best * 1.05), gcv(best / 1.05))
    assert model.score_ == pytest.approx(gcv(best), rel=1e-6)


def test_reml_score_is_the_gaussian_restricted_likelihood(rng):
    data, y = smooth_data(rng)
    model = GAM(s("x")).fit(data, y)
    x = model.model_matrix(data)
    n, p = x.shape
    lam, pen = model.lambdas_[0], model.penalties_[0]
    s_lam = lam * pen
    a = x.T @ x + s_lam
    beta = np.linalg.solve(a, x.T @ y)
    phi = model.scale_
    ev = np.linalg.eigvalsh(s_lam)
    pos = ev[ev > 1e-9 * ev.max()]
    d_p = np.sum((y - x @ beta) ** 2) + beta @ s_lam @ beta
    m_p = p - len(pos)
    # −log of the restricted likelihood with an improper flat prior on the null space.
    ref = (d_p / (2 * phi) + (n - m_p) / 2 * math.log(2 * math.pi * phi) + 0.5 * np.linalg.slogdet(a)[1]
           - 0.5 * np.sum(np.log(pos)))
    assert model.score_ == pytest.approx(ref, rel=1e-8)


@pytest.mark.parametrize("family", ["gaussian", "poisson"])
def test_reml_optimum_below_the_search_range_is_reached(family):
    # Coarse te(z, w, by=x) margins fit best with λ about e⁻¹¹ of where their penalties balance the
    # data, below the search range's lower end, where the search once stopped, reported convergence
    # and gave fitted values 5% off. REML rises without bound as λ → 0, so its optimum is interior:
    # the gradient of an independent criterion (profiled REML on the working model, log|S_λ|₊ from
    # eigenvalues) vanishes at the λ chosen. It was 2.3 at the range's end (the Gaussian case; the
    # Poisson one checks its working model likewise); the fit's ridge and the differences' error
    # move it by far less than the tolerance.
    rng = np.random.default_rng(17)
    n = 1500
    x, z = rng.uniform(size=n), rng.uniform(size=n)
    data = {"x": x, "z": z, "w": z**2 + x}
    eta = np.sin(2 * np.pi * x) + np.cos(3 * z) + x * z
    y = eta + 0.3 * rng.standard_normal(n) if family == "gaussian" else rng.poisson(np.exp(eta)).astype(float)
    model = GAM(te("z", "w", by="x", k=4), family=family, n_threads=1).fit(data, y)
    X = model.model_matrix(data)
    if family == "gaussian":
        w, z_work, known_scale = np.ones(n), y, False
    else:  # the working model at the fit
        mu = model.fitted_values_
        w, z_work, known_scale = mu, np.log(mu) + (y - mu) / mu, True

    def reml(rho):
        s_lam = sum(np.exp(r) * pen for r, pen in zip(rho, model.penalties_))
        a = X.T @ (w[:, None] * X) + s_lam
        beta = np.linalg.solve(a, X.T @ (w * z_work))
        d_p = w @ (z_work - X @ beta) ** 2 + beta @ s_lam @ beta
        ev = np.linalg.eigvalsh(s_lam)
        pos = ev[ev > 1e-9 * ev.max()]
        phi = 1.0 if known_scale else d_p / (n - (len(beta) - len(pos)))
        return d_p / (2 * phi) + (n - len(beta) + len(pos)) / 2 * math.log(phi) + 0.5 * (
            np.linalg.slogdet(a)[1] - np.sum(np.log(pos)))

    assert model.converged_
    gradient = central_difference(reml, np.log(model.lambdas_))
    assert np.max(np.abs(gradient)) < 1e-2, (model.lambdas_, gradient)


def test_ml_score_is_the_gaussian_marginal_likelihood(rng):
    data, y = smooth_data(rng)
    model = GAM(s("x"), method="ML").fit(data, y)
    x = model.model_matrix(data)
    n = len(y)
    s_lam = model.lambdas_[0] * model.penalties_[0]
    a = x.T @ x + s_lam
    beta = np.linalg.solve(a, x.T @ y)
    ev, vec = np.linalg.eigh(s_lam)
    keep = ev > 1e-9 * ev.max()
    u = vec[:, keep]
    phi = model.scale_
    d_p = np.sum((y - x @ beta) ** 2) + beta @ s_lam @ beta
    # Unpenalized coefficients fixed; the penalized range integrated out (Laplace, exact here).
    ref = (d_p / (2 * phi) + n / 2 * math.log(2 * math.pi * phi) + 0.5 * np.linalg.slogdet(u.T @ a @ u)[1]
           - 0.5 * np.sum(np.log(ev[keep])))
    assert model.score_ == pytest.approx(ref, rel=1e-8)

    def profiled(lam):  # the same with φ at its optimum D/n
        a = x.T @ x + lam * model.penalties_[0]
        b = np.linalg.solve(a, x.T @ y)
        d = np.sum((y - x @ b) ** 2) + lam * b @ model.penalties_[0] @ b
        return 0.5 * (n * math.log(d) + np.linalg.slogdet(u.T @ a @ u)[1]) - 0.5 * keep.sum() * math.log(lam)

    best = model.lambdas_[0]
    assert profiled(best) <= min(profiled(best * 1.02), profiled(best / 1.02))


def test_dataframe_input_and_default_terms(rng):
    pd = pytest.importorskip("pandas")
    n = 300
    df = pd.DataFrame({"x": rng.uniform(size=n), "g": pd.Categorical(rng.choice(["a", "b"], n)),
                       "k": rng.integers(0, 3, n)})
    y = np.sin(6 * df["x"].to_numpy()) + (df["g"] == "b").to_numpy() + 0.1 * rng.standard_normal(n)
    model = GAM(s("x") + f("g") + f("k")).fit(df, y)
    assert list(model.feature_names_in_) == ["x", "g", "k"]
    assert model.coef_names_[-3:] == ["f(g)[b]", "f(k)[1]", "f(k)[2]"]
    as_dict = GAM(s("x") + f("g") + f("k")).fit({c: df[c].to_numpy() for c in df}, y)
    np.testing.assert_allclose(model.predict(df), as_dict.predict(df), rtol=1e-12)
    default = GAM().fit(df[["x"]], y)
    assert default.coef_names_[0] == "Intercept" and default.term_slices_["s(x)"].stop == len(default.coef_)


@pytest.mark.parametrize("values", ["continuous", "ties", "wide"])
def test_knots_are_quantiles_of_the_distinct_values(rng, values):
    x = {"continuous": rng.normal(size=3001), "ties": rng.integers(0, 40, 3001).astype(float),
         "wide": np.exp(rng.normal(scale=8, size=3001))}[values]
    model = GAM(s(0, k=12) + s(1, k=9, bs="bs")).fit(np.column_stack([x, x[::-1]]), rng.normal(size=x.size))
    distinct = np.unique(x)
    for term, k in ((0, 12), (1, 7)):  # cr: k knots; bs: k − 2
        knots = model.blocks_[term + 1].spec[2][0][1]
        # np.quantile's rule, without its partition of the data: equal up to an ulp.
        np.testing.assert_array_max_ulp(knots, np.quantile(distinct, np.linspace(0, 1, k)), maxulp=1)


@pytest.mark.parametrize("terms", [s("x", k=8), te("x", "z", k=(6, 4))], ids=["s", "te"])
def test_cr_predictions_beyond_the_data_continue_the_natural_spline(rng, terms):
    # Beyond its end knots a cr curve once went on along the end interval's chord: a kink at
    # the data's range (slope 0.76 inside, 0.11 outside). The reference: SciPy's natural
    # spline through the curve's values at the knots, continued along its end tangents.
    from scipy.interpolate import CubicSpline
    n = 400
    data = {"x": rng.uniform(0, 3, n), "z": rng.uniform(size=n)}
    y = np.sin(2 * data["x"]) * (1 + data["z"]) + 0.1 * rng.standard_normal(n)
    model = GAM(terms).fit(data, y)
    knots = model.blocks_[1].spec[2][0][1]
    curve = lambda x: model.predict({"x": x, "z": np.full(len(x), 0.4)})  # noqa: E731
    spline = CubicSpline(knots, curve(knots), bc_type="natural")
    beyond = np.array([knots[0] - 2.0, knots[0] - 0.1, knots[-1] + 0.1, knots[-1] + 2.0])
    ends = np.where(beyond < knots[0], knots[0], knots[-1])
    expected = spline(ends) + (beyond - ends) * spline(ends, 1)
    # The spline through the knot values is the curve itself: rounding of values of order 1.
    np.testing.assert_allclose(curve(beyond), expected, rtol=0, atol=1e-9)


@pytest.mark.parametrize("n", [3000, 250_000])  # the larger starts from a fit on a sample
@pytest.mark.parametrize("family", ["poisson", "binomial"])
def test_closing_quantities_of_a_selected_fit_match_scipy(rng, family, n):
    # After selection these come from the fit's last pass (a PiRLS step of the
    # selection itself, or of a final PiRLS) rather than a pass of their own;
    # checked here against the fitted means directly.
    from scipy import special

    x = rng.uniform(size=(n, 2))
    eta = np.sin(4 * x[:, 0]) - x[:, 1]
    trials = rng.integers(1, 6, n).astype(float)
    if family == "poisson":
        y = rng.poisson(np.exp(eta)).astype(float)
        model = GAM(s(0) + s(1), family=family).fit(x, y)
    else:
        y = rng.binomial(trials.astype(int), special.expit(eta)) / trials
        model = GAM(s(0) + s(1), family=family).fit(x, y, sample_weight=trials)
    mu = model.predict(x)
    np.testing.assert_allclose(model.fitted_values_, mu, rtol=1e-12)
    # β is the penalized fit at the reported λ: the score Xᵀ(prior weight·(y − μ)) of
    # both canonical links equals (S_λ + Δ)β, Δ the fit's ridge (on the penalized
    # coefficients 1e-10 of the largest diagonal entry of XᵀWX over them and the
    # intercept, none on the intercept). A β left from a step at another λ, even one only 1e-6 away in
    # ln λ, misses by about 1e-6 of |S_λβ|.
    X = model.model_matrix(x)
    prior = np.ones(n) if family == "poisson" else trials
    score = X.T @ (prior * (y - mu))
    diagonal = np.einsum("ij,i,ij->j", X, model.working_weights_, X)
    block = np.any(sum(model.penalties_) != 0, axis=1)
    ridge = 1e-10 * max(diagonal[block].max(), diagonal[0]) * block
    penalized = sum(lam * pen for lam, pen in zip(model.lambdas_, model.penalties_)) @ model.coef_
    penalized += ridge * model.coef_
    assert np.max(np.abs(score - penalized)) <= 1e-9 * np.max(np.abs(penalized))
    if family == "poisson":
        loglik = stats.poisson.logpmf(y, mu).sum()
        null = 2 * np.sum(special.xlogy(y, y / y.mean()) - (y - y.mean()))
    else:
        successes = np.rint(y * trials)
        loglik = stats.binom.logpmf(successes, trials, mu).sum()
        p0 = np.sum(successes) / trials.sum()
        null = 2 * np.sum(special.xlogy(successes, successes / (trials * p0))
                          + special.xlogy(trials - successes, (trials - successes) / (trials * (1 - p0))))
    # Sums of terms of order 1: agreement to rounding.
    np.testing.assert_allclose(-0.5 * (model.aic_ - 2 * model.edf_), loglik, rtol=1e-10)
    np.testing.assert_allclose(model.null_deviance_, null, rtol=1e-10)


def test_a_halved_last_step_does_not_end_the_fit():
    # An ill-posed model (the tensor product holds s(0)'s main effect again) whose selection
    # ends on PiRLS steps cut back by step halving: a halved step is short because it was
    # cut, not because β is near the fit, so it must not end the fit. β must then solve the
    # penalized score equation of the Gamma identity-link fit, Σ x_i (y_i − μ_i)/μ_i² = (S_λ + δI)β
    # (δ the fit's ridge), to well within the 2e-6 a fit ended on the halved step misses by.
    rng = np.random.default_rng(1)
    x = rng.uniform(size=(5000, 3))
    mu = 3 + np.sin(2 * np.pi * x[:, 0]) + 0.5 * x[:, 1] ** 2 + 0.3 * np.cos(3 * x[:, 2])
    y = rng.gamma(2.0, mu / 2.0)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", vorna.ConvergenceWarning)
        model = GAM([s(0, k=20), s(1), te(0, 2, k=5)], family="gamma", link="identity").fit(x, y)
    X = model.model_matrix(x)
    fitted = X @ model.coef_
    score = X.T @ ((y - fitted) / fitted ** 2)
    ridge = 1e-10 * np.max(np.einsum("ij,i,ij->j", X, 1 / fitted ** 2, X))
    penalized = sum(lam * pen for lam, pen in zip(model.lambdas_, model.penalties_)) @ model.coef_
    penalized += ridge * np.any(sum(model.penalties_) != 0, axis=1) * model.coef_
    assert np.max(np.abs(score - penalized)) <= 5e-7 * np.max(np.abs(penalized))


def test_a_mean_that_underflows_keeps_the_deviance_finite():
    # One row with y = 1 and offset −725 has a mean near 1e-315 at the fit: y·log(y/μ) overflows
    # in its quotient, and the fit broke off. Reference: Newton's method in NumPy on the same
    # model matrix and penalty, with the deviance as y·(log y − η) − (y − μ), finite for any η.
    rng = np.random.default_rng(0)
    n = 2000
    x = rng.uniform(0, 1, (n, 1))
    y = rng.poisson(np.exp(np.sin(2 * np.pi * x[:, 0]))).astype(float)
    offset = np.zeros(n)
    offset[17], y[17] = -725.0, 1.0
    model = GAM(s(0), family="poisson", lam=1.0).fit(x, y, offset=offset)
    X = model.model_matrix(x)
    S = sum(model.penalties_)

    def deviance(b):
        eta = X @ b + offset
        return 2 * np.sum(np.where(y > 0, y * (np.log(np.where(y > 0, y, 1.0)) - eta), 0.0) - (y - np.exp(eta)))

    b = np.zeros(X.shape[1])
    for _ in range(100):
        mu = np.exp(X @ b + offset)
        step = np.linalg.solve(2 * X.T @ (mu[:, None] * X) + 2 * S, 2 * X.T @ (y - mu) - 2 * S @ b)
        t = 1.0
        while deviance(b + t * step) + (b + t * step) @ S @ (b + t * step) > deviance(b) + b @ S @ b and t > 1e-12:
            t /= 2
        b = b + t * step
        if np.max(np.abs(t * step)) < 1e-13:
            break
    assert model.converged_ and np.isfinite(model.deviance_)
    # Both solve the same smooth convex problem; the fit stops at a relative change of η of 1e-9.
    np.testing.assert_allclose(model.coef_, b, rtol=0, atol=1e-6 * np.abs(b).max())
    np.testing.assert_allclose(model.deviance_, deviance(b), rtol=1e-8)


@pytest.mark.parametrize("seed, lam", [(1, 1.0), (2, 1.0), (3, 1.0), (1, None), (9, None)])
def test_identity_link_gamma_fits_with_means_near_zero(seed, lam):
    # Means close to 0 where the first full PiRLS step leaves the gamma family's range and is
    # blended with the start; later steps then have to be halved towards that blended η, not
    # towards the β the blend came from, whose own Xβ is out of range (these fits failed with
    # "no PiRLS step keeps the fitted means inside ..."). Reference: the penalized deviance at
    # the fit's λ minimized by SciPy's trust-region Newton method with the exact Hessian.
    rng = np.random.default_rng(seed)
    x = rng.uniform(size=(300, 2))
    y = rng.gamma(2.0, (0.05 + 2 * x[:, 0] ** 3 + 0.5 * x[:, 1]) / 2.0)
    model = GAM(s(0) + s(1), family="gamma", link="identity", lam=lam).fit(x, y)
    X = model.model_matrix(x)
    S = sum(lam_j * pen for lam_j, pen in zip(model.lambdas_, model.penalties_))

    def objective(b):
        mu = X @ b
        return np.inf if np.any(mu <= 0) else 2 * np.sum(np.log(mu / y) + y / mu - 1) + b @ S @ b

    def gradient(b):
        mu = X @ b
        return X.T @ (2 / mu - 2 * y / mu ** 2) + 2 * S @ b

    def hessian(b):
        mu = X @ b
        return X.T @ (X * (4 * y / mu ** 3 - 2 / mu ** 2)[:, None]) + 2 * S

    start = np.linalg.lstsq(X, np.full(len(y), y.mean()), rcond=None)[0]
    ref = optimize.minimize(objective, start, jac=gradient, hess=hessian, method="trust-exact",
                            options={"gtol": 1e-9})
    assert model.converged_ and np.all(model.fitted_values_ > 0)
    # The fit stops at a relative change of η of 1e-9; the objective is stationary there.
    np.testing.assert_allclose(objective(model.coef_), ref.fun, rtol=1e-9)
    np.testing.assert_allclose(model.coef_, ref.x, rtol=0, atol=1e-4 * np.abs(ref.x).max())


@pytest.mark.parametrize("values, row", [([1e308, 1e308, -1.0], None), ([1.0, np.nan, np.inf], 1),
                                         ([np.inf, -np.inf], 0), ([], None), ([2.0, 3.0, -np.inf], 2)])
def test_first_non_finite_value_even_where_the_sum_overflows(values, row):
    # The data checks look for the row only when the column's sum is not finite: finite values
    # whose sum overflows must not be reported, and the first bad row must be.
    from vorna._data import first_non_finite

    assert first_non_finite(np.asarray(values, dtype=np.float64)) == row


@pytest.mark.parametrize("bad, kind", [(np.nan, "missing value"), (np.inf, r"infinite value \(\+inf"),
                                       (-np.inf, r"infinite value \(-inf")])
@pytest.mark.parametrize("basis", ["cr", "bs"])
def test_a_bad_value_in_a_smooth_column_of_an_array_is_found_by_its_row(rng, bad, kind, basis):
    # A smooth's column is checked from the ends of its sorted copy; the error still names the first bad row.
    x = rng.uniform(size=(300, 2))
    x[[71, 200], 1] = bad
    with pytest.raises(ValueError, match=f"column 1 has an? {kind}.* at row 71"):
        GAM(s(0, bs=basis) + s(1, bs=basis)).fit(x, rng.normal(size=300))


def test_a_fit_pressed_against_the_edge_of_the_range_is_not_reported_converged_short_of_its_optimum():
    # Poisson with the identity link whose best fit puts some means at 0+: PiRLS steps leave the
    # range and are cut, and the cut steps creep along its edge. A cut step is short because it
    # was cut; this fit once stopped on one, "converged" at a deviance 2.5 above the optimum.
    # Reference: the deviance minimized by SciPy's SLSQP under Xβ >= 1e-12.
    rng = np.random.default_rng(8)
    x = rng.uniform(0, 1, (400, 2))
    y = rng.poisson(0.05 + 2 * x[:, 0] + 0.5 * x[:, 1]).astype(float)
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        try:
            model = GAM(l(0) + l(1), family="poisson", link="identity").fit(x, y)
        except ValueError as err:
            # PiRLS can end its creep at the cap on an iterate whose own means leave the range:
            # that is refused (it was once returned, with negative means).
            assert "fitted means outside the poisson family's range" in str(err)
            return
    assert np.all(model.fitted_values_ > 0)
    X = model.model_matrix(x)

    def deviance(b):
        mu = X @ b
        if np.any(mu <= 0):
            return 1e300
        return 2 * np.sum(np.where(y > 0, y * np.log(np.where(y > 0, y, 1.0) / mu), 0.0) - (y - mu))

    ref = optimize.minimize(deviance, model.coef_, jac=lambda b: X.T @ (2 * (1 - y / (X @ b))), method="SLSQP",
                            constraints=[{"type": "ineq", "fun": lambda b: X @ b - 1e-12, "jac": lambda b: X}],
                            options={"ftol": 1e-12, "maxiter": 1000})
    assert ref.success and model.deviance_ >= ref.fun - 1e-6 * ref.fun
    if model.converged_:
        assert model.deviance_ <= ref.fun * (1 + 1e-8)
    else:
        assert any(issubclass(w.category, vorna.ConvergenceWarning) for w in caught)


@pytest.mark.parametrize("link, seed, lam", [("sqrt", 10, None), ("sqrt", 25, 1.0), ("identity", 1, None),
                                             ("identity", 2, None)])
def test_fits_pressed_against_the_edge_report_their_own_likelihood(link, seed, lam):
    # Sparse counts whose fit puts some means at 0 failed outright when no iterate had yet been
    # whole (every step from the data's own start left the range); a fit stopped at the edge
    # during the selection reported a log-likelihood of 0. Reference: SciPy at the fitted means.
    rng = np.random.default_rng(seed)
    x = rng.uniform(0, 1, 60)
    y = rng.poisson(0.02 + 0.2 * x).astype(float)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        model = GAM(s(0, k=6), family="poisson", link=link, lam=lam).fit(x[:, None], y)
    assert np.all(model.fitted_values_ > 0)
    # A sum of 60 terms of order 1: agreement to rounding.
    assert model.log_likelihood_ == pytest.approx(stats.poisson.logpmf(y, model.fitted_values_).sum(), rel=1e-10)


def test_a_log_link_fit_with_wide_offsets_reaches_the_optimum():
    # Offsets of sd 5 that the data's own start η = log y cannot see: the unchecked first step
    # from it once landed where 100 checked steps could not return (deviance 4835.824 for
    # 4835.813, and 66176 for 3641 on other data). The fit now starts from the constant model
    # plus the offset. Reference: SciPy's BFGS on the (convex) weighted Gamma deviance.
    rng = np.random.default_rng(1)
    n = 300
    z, off = rng.standard_normal(n), rng.normal(0, 5, n)
    w = np.where(rng.uniform(size=n) < 0.3, 0.0, rng.uniform(0.5, 2, n))
    y = rng.gamma(2, 0.5, n)

    def deviance(b):
        eta = off + b[0] + b[1] * z
        return np.sum(w * 2 * (-np.log(y) + eta + y * np.exp(-eta) - 1))

    ref = optimize.minimize(deviance, [0.0, 0.0], method="BFGS")
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        model = GAM(l("z"), family="gamma", link="log").fit({"z": z}, y, sample_weight=w, offset=off)
    assert model.converged_ and deviance(model.coef_) == pytest.approx(ref.fun, rel=1e-8)
    null = optimize.minimize_scalar(lambda b: deviance([b, 0.0]), bracket=(-2, 2), tol=1e-13)
    assert model.null_deviance_ == pytest.approx(null.fun, rel=1e-9)
    assert not any("null model" in str(c.message) for c in caught)


def test_a_null_model_beyond_pirls_has_no_deviance():
    # Gamma means b + offset with offsets of sd 5 stay positive only for b above 15, far from the
    # data's level: PiRLS for the intercept-with-offset model ends at the edge of the range, and the
    # fit says that the null deviance is not known rather than report one short of its minimum.
    rng = np.random.default_rng(1)
    z, off = rng.standard_normal(300), rng.normal(0, 5, 300)
    y = rng.gamma(2, 0.5, 300)
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        model = GAM(l("z"), family="gamma", link="identity").fit({"z": z}, y, offset=off)
    assert np.isnan(model.null_deviance_) and any("null model" in str(c.message) for c in caught)


def test_pirls_does_not_settle_where_the_deviance_is_flat():
    # Without an intercept there is no constant model to start from; the first step from log y
    # went to slope 171 (the optimum is 9.85), where every μ ≫ y and the inverse-Gaussian deviance
    # equals its limit Σ 1/y to working precision. The unchanged deviance was taken for
    # convergence after 3 iterations. Reference: SciPy's bounded minimization from a grid.
    rng = np.random.default_rng(40)
    x, off = rng.uniform(0.5, 2, 300), rng.normal(0, 3.0, 300)
    y = rng.wald(np.exp(0.5 * x), 4.0)

    def deviance(b):
        mu = np.exp(b * x + off)
        return float(np.sum((y - mu) ** 2 / (mu ** 2 * y)))

    model = GAM(l("x"), family="inverse_gaussian", link="log", fit_intercept=False).fit({"x": x}, y, offset=off)
    grid = np.linspace(-20, 20, 4001)
    with np.errstate(over="ignore", divide="ignore", invalid="ignore"):
        start = grid[np.nanargmin([deviance(b) for b in grid])]
    best = optimize.minimize_scalar(deviance, bounds=(start - 0.02, start + 0.02), method="bounded",
                                    options={"xatol": 1e-12})
    # The deviance is flat to 1e-16 within 1e-8 of the minimum, so the slope agrees to about that.
    assert model.converged_ and model.coef_[0] == pytest.approx(best.x, rel=1e-7)
    assert model.deviance_ == pytest.approx(best.fun, rel=1e-12)


UNIT_DEVIANCES = {
    "gaussian": lambda y, mu: (y - mu) ** 2,
    "poisson": lambda y, mu: 2 * (np.where(y > 0, y * np.log(np.where(y > 0, y, 1) / mu), 0.0) - (y - mu)),
    "gamma": lambda y, mu: 2 * (-np.log(y / mu) + (y - mu) / mu),
    "inverse_gaussian": lambda y, mu: (y - mu) ** 2 / (mu ** 2 * y),
}


@pytest.mark.parametrize("family", list(UNIT_DEVIANCES))
def test_log_link_fits_with_wide_offsets_reach_their_minimum(family):
    # Offsets of sd 3 that the response knows nothing of. The first PiRLS step from the constant
    # model at log ȳ overshot; for the inverse Gaussian into μ ≫ y, where the deviance tends to
    # Σ 1/y and is flat in working precision, and both the null model (257.66 for 254.29) and the
    # model (256.49 for 253.38) stopped there reported converged. Reference: SciPy's minimization of
    # the deviance, over a grid and then bounded for the intercept alone, by Nelder-Mead from that
    # intercept for the model (a fit may find a lower minimum, never a higher one).
    rng = np.random.default_rng(46)
    n = 300
    x, off = rng.uniform(-1, 1, n), rng.normal(0, 3.0, n)
    mean = np.exp(0.5 * x + 0.5)
    y = {"gaussian": mean + 0.3 * rng.standard_normal(n), "poisson": rng.poisson(mean).astype(float),
         "gamma": rng.gamma(4.0, mean / 4.0), "inverse_gaussian": rng.wald(mean, 4.0)}[family]
    unit = UNIT_DEVIANCES[family]

    def deviance(b):
        return float(np.sum(unit(y, np.exp(b[0] + b[1] * x + off))))

    with warnings.catch_warnings():
        warnings.simplefilter("error")
        model = GAM(l("x"), family=family, link="log").fit({"x": x}, y, offset=off)
    grid = np.linspace(-30, 30, 6001)
    with np.errstate(over="ignore", divide="ignore", invalid="ignore"):
        start = grid[np.nanargmin([deviance([b, 0.0]) for b in grid])]
    null = optimize.minimize_scalar(lambda b: deviance([b, 0.0]), bounds=(start - 0.02, start + 0.02),
                                    method="bounded", options={"xatol": 1e-12})
    assert model.null_deviance_ == pytest.approx(null.fun, rel=1e-9)
    fit = optimize.minimize(deviance, [null.x, 0.0], method="Nelder-Mead",
                            options={"xatol": 1e-10, "fatol": 1e-12, "maxiter": 5000})
    assert model.converged_ and model.deviance_ <= fit.fun * (1 + 1e-9)
    assert model.deviance_ == pytest.approx(deviance(model.coef_), rel=1e-10)


def test_a_fit_worse_than_the_constant_model_is_not_reported_converged():
    # A Gaussian inverse-link fit of a response of both signs ran off to η ~ 1e33 and reported
    # success with a deviance above the intercept-only model's.
    rng = np.random.default_rng(1)
    x = rng.uniform(0, 1, 100)
    rng.standard_normal(100)
    y = rng.standard_normal(100) * 1e10
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        model = GAM(l("x"), family="gaussian", link="inverse").fit({"x": x}, y)
    assert any(issubclass(c.category, vorna.ConvergenceWarning) and "exceeds that of the intercept alone"
               in str(c.message) for c in caught)
    assert not model.converged_ and model.deviance_ > model.null_deviance_


def test_the_null_deviance_with_offsets_is_the_intercept_models_minimum():
    # The intercept-with-offset model's PiRLS ran out of iterations far from its minimum and its
    # deviance was reported as the null deviance (110819 for 19399: 0.67 explained for -0.89).
    # Reference: SciPy's scalar minimization of the Gamma deviance over the intercept.
    rng = np.random.default_rng(5)
    n = 2000
    x, off = rng.uniform(-1, 1, n), rng.normal(0, 3.0, n)
    y = rng.gamma(2.0, np.exp(0.5 * x + 0.5) / 2.0)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        model = GAM(l("x"), family="gamma", link="log").fit({"x": x}, y, offset=off)

    def deviance(b):
        mu = np.exp(b + off)
        return float(np.sum(2 * (-np.log(y / mu) + (y - mu) / mu)))

    best = optimize.minimize_scalar(deviance, bracket=(-2, 2), tol=1e-13)
    assert model.null_deviance_ == pytest.approx(best.fun, rel=1e-9)


def test_a_summary_of_a_fit_without_an_edf_has_no_tests():
    # y of order 1e-291 underflows the Gamma variance and leaves the EDF NaN; the smooth test then
    # raised "cannot convert float NaN to integer" from the summary.
    rng = np.random.default_rng(0)
    x = rng.uniform(size=(50, 1))
    y = np.exp(np.sin(3 * x[:, 0])) * 1e-291 * rng.gamma(5, 0.2, 50)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        model = GAM(s(0, k=5), family="gamma", link="identity").fit(x, y)
    if np.isfinite(model.edf_):
        pytest.skip("this platform's arithmetic kept the EDF")
    assert "s(0)" in str(model.summary())
    assert all(math.isnan(t.p_value) for t in model.smooth_tests())


def test_a_fit_ending_outside_the_range_is_refused():
    # Identity-link Poisson without an intercept, one row at x < 0: no slope keeps every mean
    # positive but 0. PiRLS ended at its cap on an iterate with negative means, which was
    # returned (a fitted mean of -0.0185 at a row of weight 0.85, beside a warning only).
    x = np.array([0.41, 0.77, 0.41, 0.30, 0.77, 0.41, 0.41, 0.30, -0.026, 0.41])
    y = np.array([0.0, 0.0, 2.0, 1.0, 1.0, 1.0, 0.0, 0.0, 0.0, 1.0])
    w = np.array([1.0, 0.0, 0.85, 0.61, 1.45, 1.44, 0.58, 1.49, 0.85, 0.0])
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            model = GAM(l("x"), family="poisson", link="identity", fit_intercept=False).fit({"x": x}, y,
                                                                                           sample_weight=w)
    except ValueError as err:
        assert "outside the poisson family's range" in str(err) or "no PiRLS step" in str(err)
        return
    assert np.all(model.fitted_values_[w > 0] > 0)


@pytest.mark.parametrize("seed, lam", [(6, 1.0), (12, 100.0)])
def test_a_sqrt_link_fit_at_the_edge_of_the_range_returns_with_a_warning(seed, lam):
    # Sparse counts whose penalized fit puts some means at 0: every step from near there crossed
    # η = 0, and the fit failed ("no PiRLS step keeps the fitted means inside the range"). It now
    # stops there and says so. Reference: the penalized deviance minimized by SciPy's SLSQP under
    # Xβ >= 0; the stopped fit is short of it (by 3% for these data), hence the warning.
    rng = np.random.default_rng(seed)
    x = rng.uniform(0, 1, 40)
    y = rng.poisson(0.02 + 0.2 * x).astype(float)
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        model = GAM(s(0, k=5), family="poisson", link="sqrt", lam=lam).fit(x[:, None], y)
    assert any("edge of the poisson family's range" in str(w.message) for w in caught) and not model.converged_
    X, S = model.model_matrix(x[:, None]), lam * model.penalties_[0]

    def objective(b):
        mu = (X @ b) ** 2
        dev = 2 * np.sum(np.where(y > 0, y * np.log(np.where(y > 0, y, 1.0) / np.maximum(mu, 1e-300)), 0.0) - (y - mu))
        return dev + b @ S @ b

    ref = optimize.minimize(objective, model.coef_, method="SLSQP", constraints=[{"type": "ineq", "fun": lambda b: X @ b}],
                            options={"ftol": 1e-14, "maxiter": 2000})
    assert np.all(model.fitted_values_ >= 0) and np.all(np.isfinite(model.fitted_values_))
    assert ref.fun * (1 - 1e-9) <= objective(model.coef_) <= 1.05 * ref.fun


@pytest.mark.parametrize("family", ["gaussian", "gamma", "inverse_gaussian"])
def test_log_likelihood_with_precision_weights(family):
    # Prior weights are precisions: row i has scale φ/w_i. The log-likelihood is taken at
    # φ = deviance/n (its maximum in φ, approximately for the Gamma), and so it is that of the weighted
    # densities (SciPy) at that φ, and unchanged when every weight is multiplied by 10
    # (the fit is unchanged; φ only takes up the factor). Before, deviance/Σw was used.
    rng = np.random.default_rng(2)
    n = 600
    x = rng.uniform(size=n)
    w = rng.integers(1, 5, n).astype(float)
    mean = np.exp(0.5 * np.sin(2 * np.pi * x) + 1.0)
    if family == "gamma":
        y = rng.gamma(3 * w, mean / (3 * w))
    elif family == "inverse_gaussian":
        y = rng.wald(mean, 4 * w)
    else:
        y = mean + rng.standard_normal(n) / np.sqrt(w)
    fit = GAM(s(0, k=6), family=family, link="log" if family != "gaussian" else "identity")
    model = fit.fit(x[:, None], y, sample_weight=w)
    mu, phi = model.fitted_values_, model.deviance_ / n
    if family == "gamma":
        density = stats.gamma.logpdf(y, w / phi, scale=mu * phi / w)
    elif family == "inverse_gaussian":
        density = stats.invgauss.logpdf(y, mu * phi / w, scale=w / phi)
    else:
        density = stats.norm.logpdf(y, mu, np.sqrt(phi / w))
    # Sums of 600 terms of order 1: agreement to rounding.
    np.testing.assert_allclose(model.log_likelihood_, density.sum(), rtol=1e-10)
    tenfold = fit.fit(x[:, None], y, sample_weight=10 * w)
    np.testing.assert_allclose(tenfold.log_likelihood_, model.log_likelihood_, rtol=1e-8)


def test_without_an_intercept_the_first_factor_codes_every_level():
    # With treatment coding and no intercept the reference level's mean was held at 0: residual
    # SS 3550 against 22.1, and no warning. Model formulas code every level of the first factor
    # then, and the model spans the same functions as with an intercept. Reference: statsmodels
    # OLS on u and the full dummies of g.
    rng = np.random.default_rng(2)
    n = 300
    g, u, x = rng.choice(["a", "b", "c"], n), rng.normal(size=n), rng.uniform(size=n)
    y = 5 + np.select([g == "b", g == "c"], [1.0, -2.0], 0.0) + 0.7 * u + np.sin(6 * x) + 0.3 * rng.normal(size=n)
    data = {"u": u, "g": g, "x": x}
    model = GAM(l("u") + f("g"), fit_intercept=False).fit(data, y)
    dummies = np.column_stack([u] + [(g == level).astype(float) for level in "abc"])
    ols = sm.OLS(y, dummies).fit()
    assert model.coef_names_ == ["l(u)", "f(g)[a]", "f(g)[b]", "f(g)[c]"]
    np.testing.assert_allclose(model.coef_, ols.params, rtol=1e-10)
    np.testing.assert_allclose(np.sqrt(np.diag(model.cov_)), ols.bse, rtol=1e-10)
    # Only the first factor: a second keeps its reference level (the first carries the level).
    two = GAM(f("g") + f("h"), fit_intercept=False).fit({**data, "h": np.where(u > 0, "p", "q")}, y)
    assert two.coef_names_ == ["f(g)[a]", "f(g)[b]", "f(g)[c]", "f(h)[q]"]
    # A smooth beside it: the fit of the same functions as with an intercept (to where the two
    # λ searches, 1e-6 apart in log λ at most, stop).
    with_intercept = GAM(s("x") + f("g")).fit(data, y)
    without = GAM(s("x") + f("g"), fit_intercept=False).fit(data, y)
    np.testing.assert_allclose(without.fitted_values_, with_intercept.fitted_values_, rtol=1e-7)
    new = {"x": np.linspace(0, 1, 7), "g": np.array(list("abcabca"))}
    np.testing.assert_allclose(without.predict(new), with_intercept.predict(new), rtol=1e-7)
    # fit_intercept=False drops a formula's intercept as "- 1" does.
    assert GAM("l(u) + f(g)", fit_intercept=False).fit(data, y).coef_names_ == model.coef_names_


def test_a_level_of_zero_weight_without_an_intercept_is_the_only_one_undetermined():
    # Fitted as intercept plus treatment coding, the reference level's rows carrying no weight left
    # the intercept undetermined, and its EDF was shared out over every level: [0.5, 0.83, 0.86,
    # 0.82] and all four levels named as not identifiable. Reference: statsmodels WLS on the rows
    # of positive weight for the determined coefficients.
    rng = np.random.default_rng(1)
    n = 300
    g, u = rng.choice(list("abcd"), n), rng.normal(size=n)
    y = 0.5 * (g == "b") + 0.3 * u + rng.normal(size=n)
    w = np.where(g == "a", 0.0, 1.0)
    with pytest.warns(UserWarning, match=r"the coefficients f\(g\)\[a\] are not identifiable"):
        model = GAM("f(g) + l(u) - 1").fit({"g": g, "u": u}, y, sample_weight=w)
    np.testing.assert_allclose(model.edf_per_coef_, [0, 1, 1, 1, 1], atol=1e-6)
    kept = w > 0
    design = np.column_stack([(g == level).astype(float) for level in "bcd"] + [u])[kept]
    ols = sm.OLS(y[kept], design).fit()
    np.testing.assert_allclose(model.coef_[1:], ols.params, rtol=1e-9)
    # The fit's ridge leaves the dead level an EDF of order 1e-7, which the scale's residual
    # degrees of freedom see.
    np.testing.assert_allclose(np.sqrt(np.diag(model.cov_))[1:], ols.bse, rtol=1e-6)


def test_a_categorical_column_of_numbers_predicts_as_its_numbers():
    # Set up, a pandas categorical is a factor; a model fitted on the plain numbers reads the same
    # numbers held as a categorical (after astype("category")) at prediction.
    pd = pytest.importorskip("pandas")
    rng = np.random.default_rng(2)
    frame = pd.DataFrame({"x": rng.uniform(size=200), "k": rng.choice([1, 2, 3], 200)})
    y = frame.x + 0.2 * frame.k + 0.1 * rng.normal(size=200)
    model = GAM(l("x") + l("k")).fit(frame, y)
    np.testing.assert_array_equal(model.predict(frame.astype({"k": "category"})), model.predict(frame))
    with pytest.raises(ValueError, match="column 'k' is categorical; use f"):
        GAM(l("x") + l("k")).fit(frame.astype({"k": "category"}), y)


@pytest.mark.parametrize("family, level, offset_sd", [("gaussian", 1e7, 0.0), ("gamma", 0.0, 3.0),
                                                      ("inverse_gaussian", 0.0, 3.0)])
def test_a_model_without_an_intercept_fits_as_the_same_model_with_one(family, level, offset_sd):
    # The full first factor spans the constant, but the fit had no intercept to start PiRLS from
    # at the constant model or to centre l() columns beside: a Gamma fit with offsets of sd 3 ended
    # at deviance 29500 for 2386, an inverse-Gaussian one failed, and a slope beside x + 1e7 came
    # out as 3.5e-5 for 0.69. Reference: the same model with an intercept and treatment coding.
    rng = np.random.default_rng(3)
    n = 400
    g, x, off = rng.choice(["a", "b", "c"], n), level + rng.normal(size=n), rng.normal(0, offset_sd, n)
    mean = np.exp(0.3 * (g == "b") - 0.2 * (g == "c") + 0.3 * (x - level))
    y = {"gaussian": lambda: mean + 0.1 * rng.normal(size=n), "gamma": lambda: rng.gamma(4.0, mean / 4.0),
         "inverse_gaussian": lambda: rng.wald(mean, 10.0)}[family]()
    data, link = {"g": g, "x": x}, "identity" if family == "gaussian" else "log"
    ref = GAM("f(g) + l(x)", family=family, link=link).fit(data, y, offset=off)
    model = GAM("f(g) + l(x) - 1", family=family, link=link).fit(data, y, offset=off)
    assert model.converged_ and model.deviance_ == pytest.approx(ref.deviance_, rel=1e-10)
    assert model.coef_[-1] == pytest.approx(ref.coef_[-1], rel=1e-8)
    np.testing.assert_allclose(model.coef_[:3], ref.coef_[0] + np.r_[0.0, ref.coef_[1:3]], rtol=1e-8, atol=1e-8)
    np.testing.assert_allclose(model.edf_per_coef_, 1.0, atol=1e-6)


@pytest.mark.parametrize("family, value", [("poisson", 0.0), ("binomial", 1.0)])
def test_a_factor_level_whose_optimum_is_at_infinity_converges(family, value):
    # Every response of level d is 0 (or 1): its coefficient heads for ∓∞ while the deviance
    # is already flat, which settles the fit. Reference: statsmodels' GLM deviance.
    rng = np.random.default_rng(0)
    n = 400
    g, x = rng.choice(list("abcd"), n), rng.uniform(-1, 1, n)
    y = (rng.poisson(np.exp(0.3 + 0.5 * x)) if family == "poisson" else rng.uniform(size=n) < 0.5).astype(float)
    y[g == "d"] = value
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", vorna.ConvergenceWarning)  # "probabilities numerically 0 or 1"
        model = GAM("l(x) + f(g)", family=family).fit({"g": g, "x": x}, y)
    design = np.column_stack([np.ones(n), x] + [(g == k).astype(float) for k in "bcd"])
    sm_family = sm.families.Poisson() if family == "poisson" else sm.families.Binomial()
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        ref = sm.GLM(y, design, family=sm_family).fit(maxiter=200)
    assert model.converged_ and model.n_iter_ < 60
    assert model.deviance_ == pytest.approx(ref.deviance, rel=1e-8)


@pytest.mark.parametrize("family, mean, draw", [
    ("poisson", np.exp, lambda rng, mu: rng.poisson(mu).astype(float)),
    ("gamma", lambda e: np.exp(0.3 * e), lambda rng, mu: rng.gamma(5.0, mu / 5.0)),
    ("inverse_gaussian", lambda e: np.exp(0.3 * e), lambda rng, mu: rng.wald(mu, 20.0)),
    ("gaussian", lambda e: np.exp(0.3 * e), lambda rng, mu: mu + 0.1 * rng.standard_normal(len(mu))),
])
def test_a_constant_added_to_a_log_link_offset_changes_nothing(family, mean, draw):
    # The intercept absorbs a constant offset (exposure in other units), so the model is the same
    # for every constant. The fit started from weights that scale with exp(c), the smoothing
    # parameter's search window was centred on them, and λ went to the window's edge: 3.18e4 for
    # 307 at exposures ×10⁴ (Poisson), EDF 4.1 for 11.7 at c = +10 (Gaussian, log link).
    rng = np.random.default_rng(0)
    n = 2000
    x, g = np.round(rng.uniform(size=n), 3), rng.choice(["a", "b", "c"], n)
    y = draw(rng, mean(np.sin(6 * x) + 0.4 * (g == "b")))
    fits = [GAM(s("x") + f("g"), family=family).fit({"x": x, "g": g}, y, offset=np.full(n, c))
            for c in (0.0, -10.0, 10.0)]
    for fit in fits[1:]:
        # The λ searches stop within 1e-6 of each other in log λ.
        assert fit.lambdas_ == pytest.approx(fits[0].lambdas_, rel=1e-5)
        np.testing.assert_allclose(fit.fitted_values_, fits[0].fitted_values_, rtol=1e-6)


@pytest.mark.parametrize("offset", [-1.18, 1.18])
def test_a_constant_offset_does_not_move_an_inverse_link_fit_across_its_pole(offset):
    # The constant-model start put η at g(ȳ) + c: at c = -1.18 below the pole η = 0, which PiRLS
    # cannot cross, so the fit and its null model slid to μ → 0 (deviance Σy², flat there) and
    # reported convergence. The start is now the constant model's own level, g(ȳ) less the mean
    # offset, where that fits better. Reference: statsmodels GLM from the intercept model.
    rng = np.random.default_rng(0)
    n = 500
    x = rng.uniform(0, 1, n)
    y = 1.0 / (0.7 + 0.3 * np.sin(3 * x)) + rng.normal(0, 0.2, n)
    off = np.full(n, offset)
    model = GAM(l("x"), family="gaussian", link="inverse").fit({"x": x}, y, offset=off)
    ref = sm.GLM(y, np.column_stack([np.ones(n), x]), family=sm.families.Gaussian(sm.families.links.InversePower()),
                 offset=off).fit(start_params=[1 / y.mean() - offset, 0.0], tol=1e-13, maxiter=300)
    assert model.converged_ and model.deviance_ == pytest.approx(ref.deviance, rel=1e-9)
    assert model.null_deviance_ == pytest.approx(np.sum((y - y.mean()) ** 2), rel=1e-9)


def _input_model(rng):
    x, y = rng.uniform(size=(80, 2)), rng.normal(size=80)
    return x, y, GAM(s(0) + s(1)).fit(x, y)


@pytest.mark.parametrize("holder", [lambda v: v.astype(object), lambda v: v.astype(str),
                                    lambda v: v.astype(str).astype(object)])
def test_numbers_held_as_objects_or_text_read_alike_everywhere(rng, holder):
    # Object y fitted but score() and residuals() refused it; NumPy text was refused where object
    # text was read; sample_weight and offset refused what y took.
    x, y, model = _input_model(rng)
    w, off = rng.uniform(0.5, 2, 80), rng.normal(size=80) * 0.1
    reference = GAM(s(0) + s(1)).fit(x, y, sample_weight=w, offset=off)
    held = GAM(s(0) + s(1)).fit(x, holder(y), sample_weight=holder(w), offset=holder(off).reshape(-1, 1))
    np.testing.assert_array_equal(held.coef_, reference.coef_)
    assert model.score(x, holder(y)) == model.score(x, y)
    np.testing.assert_array_equal(model.residuals(x, holder(y)), model.residuals(x, y))
    column = GAM(s("a") + s("b")).fit({"a": holder(x[:, 0]), "b": x[:, 1]}, y)
    np.testing.assert_array_equal(column.coef_, model.coef_)


@pytest.mark.parametrize("data, message", [
    ({"a": np.array(["0_5"] * 80, dtype=object)}, r"column 'a' holds '0_5' at row 0, which is no plain number"),
    ({"a": np.array([0.5] * 6 + [10**400] + [0.5] * 73, dtype=object)},
     r"column 'a': int too large to convert to float"),
    ({"a": np.arange("2020-01-01", 80, dtype="datetime64[D]")}, r"column 'a' holds dates or times"),
    ({"a": np.zeros(80, dtype=[("u", float), ("v", float)])}, r"column 'a' is not numeric"),
])
def test_columns_that_are_no_numbers_are_refused_by_name(data, message):
    with pytest.raises(ValueError, match=message):
        GAM(s("a")).fit(data, np.zeros(80))


def test_a_missing_object_or_time_is_named_as_missing_with_its_row(rng):
    pd = pytest.importorskip("pandas")
    y = rng.normal(size=80)
    column = np.array(rng.uniform(size=80), dtype=object)
    column[6] = pd.NA
    with pytest.raises(ValueError, match=r"column 'a' has a missing value \(NaN\) at row 6"):
        GAM(s("a")).fit({"a": column}, y)
    for levels in (np.array(["2020-01-01", "2021-01-01"] * 40, dtype="datetime64[D]"),
                   np.array([1 + 1j, 2 + 0j] * 40)):
        levels[3] = np.array("NaT", dtype=levels.dtype) if levels.dtype.kind == "M" else complex("nan")
        with pytest.raises(ValueError, match=r"column 'g' has a missing value at row 3"):
            GAM(f("g")).fit({"g": levels}, y)


@pytest.mark.parametrize("call, error, message", [
    (lambda m, x, y: GAM(s(0)).fit((v for v in x), y), ValueError, "X must be 2-D .*got generator"),
    (lambda m, x, y: GAM(s(0)).fit(x, (v for v in y)), ValueError, "y must be an array-like of numbers, got generator"),
    (lambda m, x, y: GAM(s(0)).fit(np.zeros(80, dtype=[("u", float), ("v", float)]), y), ValueError,
     "X is a structured array"),
    (lambda m, x, y: m.confidence_interval(x, level="0.95"), TypeError, "level must be a number"),
    (lambda m, x, y: m.confidence_interval(x, level=np.array("0.95")), TypeError, "level must be a number"),
    (lambda m, x, y: m.confidence_interval(x, level=np.complex128(0.9 + 0.5j)), TypeError, "level must be a number"),
    (lambda m, x, y: m.confidence_interval(x, level=10**5000), ValueError, "strictly between 0 and 1, got a.*int"),
    (lambda m, x, y: m.confidence_interval(x, level=np.timedelta64(1)), TypeError, "level must be a number"),
    (lambda m, x, y: m.predict(x, offset=np.where(np.arange(80) == 5, np.nan, 0.0)), ValueError,
     r"offset\[5\] = nan"),
    (lambda m, x, y: vorna.LogisticGAM(s(0)).fit(x, np.array([1, "a"] * 40, dtype=object)), ValueError,
     "y mixes labels that cannot be ordered"),
])
def test_unusual_arguments_get_a_message_that_names_them(rng, call, error, message):
    x, y, model = _input_model(rng)
    with pytest.raises(error, match=message):
        call(model, x, y)


def test_partial_effects_and_plots_read_a_categorical_of_numbers_as_prediction_does(rng):
    pd = pytest.importorskip("pandas")
    x, y = rng.uniform(size=80), rng.normal(size=80)
    model = GAM(s("a")).fit({"a": x}, y)
    as_category = pd.DataFrame({"a": pd.Categorical(x)})
    np.testing.assert_array_equal(model.partial_effect("s(a)", as_category), model.partial_effect("s(a)", {"a": x}))


def test_a_warm_start_is_not_taken_from_a_sample_without_events(monkeypatch):
    # 200 000 rows are fitted from a fit on every 8th row first. Here no event falls in that
    # sample, whose fit (counts all 0) runs off to the bound: a start from its β and λ settled the
    # full fit's λ search at 0.04 where the cold fit finds 1e8 (edf 9.1 against 3).
    rng = np.random.default_rng(5)
    n = 200_000
    x = rng.uniform(size=(n, 2))
    y = np.zeros(n)
    events = np.arange(1, n, 8)[::500]
    y[events] = rng.poisson(3, events.size) + 1
    warm = GAM(s(0, k=8) + s(1, k=8), family="poisson").fit(x, y)
    monkeypatch.setenv("VORNA_COLD_START", "1")
    cold = GAM(s(0, k=8) + s(1, k=8), family="poisson").fit(x, y)
    # Both searches end at the same optimum, to their tolerance on log λ.
    np.testing.assert_allclose(np.log(warm.lambdas_), np.log(cold.lambdas_), atol=0.1)
    assert warm.edf_ == pytest.approx(cold.edf_, abs=0.01)


@pytest.mark.parametrize("y, mu", [(0.0, 1e-12), (1.0, 1 - 1e-12), (0.3, 0.7), (2e-12, 1e-12), (1e-9, 1.1e-9),
                                   (1 - 2e-12, 1 - 1e-12), (1 - 1e-9, 1 - 1.1e-9), (0.5, 0.6), (1.0, 1e-12),
                                   (1e-18, 0.5), (1e-300, 0.5), (1e-20, 1e-3)])
def test_binomial_unit_deviance_keeps_its_digits_for_rare_and_certain_events(y, mu):
    # Reference in 50 digits from the same two doubles. y·log(y/μ) and (1 − y)·log((1 − y)/(1 − μ))
    # from the quotients kept only their absolute rounding where the quotient is next to 1; the
    # first cure, log1p of the difference over the mean everywhere, gave 0 where y is far below μ
    # (the quotient's difference from 1 rounds to -1).
    from decimal import Decimal, getcontext
    getcontext().prec = 50
    dy, dm = Decimal(y), Decimal(mu)
    exact = Decimal(0)
    if dy > 0:
        exact += dy * (dy / dm).ln()
    if dy < 1:
        exact += (1 - dy) * ((1 - dy) / (1 - dm)).ln()
    residual = vorna._engine.deviance_residuals("binomial", "logit", np.array([y]), np.array([mu]), np.ones(1))[0]
    assert residual**2 == pytest.approx(float(2 * exact), rel=1e-13, abs=0)  # a few roundings of log1p and a quotient


@pytest.mark.parametrize("level", [np.float32(0.75), np.array(0.75), __import__("fractions").Fraction(3, 4),
                                   __import__("decimal").Decimal("0.75")])
def test_an_interval_level_is_any_real_number(rng, level):
    x, y, model = _input_model(rng)
    np.testing.assert_array_equal(model.confidence_interval(x, level=level), model.confidence_interval(x, level=0.75))


def test_text_labels_in_a_smooth_are_told_to_use_a_factor():
    # "north_east" once read as a number in the wrong notation rather than as a label.
    with pytest.raises(ValueError, match=r"column 'region' is not numeric .*use f\('region'\)"):
        GAM(s("region")).fit({"region": np.array(["north_east", "south_west"] * 40, dtype=object)}, np.zeros(80))


def test_a_converged_fit_carries_no_warnings_of_earlier_lambda_searches():
    # Each selection pass searches λ afresh on its working model; the warnings of searches that a
    # later pass superseded were kept, beside converged_ True (rare events with trial counts, probit).
    rng = np.random.default_rng(224837424)
    n = 94
    data = {"x1": rng.uniform(0, 1, n), "x2": rng.uniform(-2, 3, n), "z": rng.normal(0, 1, n),
            "g": rng.choice(np.array(["a", "b", "c", "d"]), n), "h": rng.choice(np.array(["p", "q", "r"]), n),
            "dose": rng.normal(0, 1, n)}
    signal = (np.sin(2 * np.pi * data["x1"]) * 0.6 + 0.15 * data["x2"] + 0.2 * (data["g"] == "b")
              + 0.3 * data["dose"] - 0.2 * (data["h"] == "q") * data["x1"])
    rng.integers(1, 30, n)  # a draw of the generator that found the case, kept for the stream that follows
    offset = rng.uniform(-0.3, 0.3, n)
    exponent = 10.58570457315258
    trials = 10 ** (exponent + rng.uniform(-1, 2, n))
    y = np.minimum(rng.poisson(trials * 10**-exponent * np.exp(0.8 * signal)) / trials, 1.0)
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        model = GAM(s("x1", k=5) + f("g") + l("dose"), family="binomial", link="probit").fit(
            data, y, sample_weight=trials, offset=offset)
    assert model.converged_
    assert not [w for w in caught if "smoothing-parameter search" in str(w.message)]


def test_a_lambda_search_that_stalls_leaves_the_fit_not_converged():
    # Its warning was given beside converged_ True (ML, nearly noise-free data: a flat criterion).
    rng = np.random.default_rng(194)
    n = int(rng.integers(25, 120))
    x = rng.uniform(size=(n, 3))
    y = rng.normal(0, 1.5) * np.sin(3 * x[:, 0]) + rng.normal(0, 1) * x[:, 1]
    y = y + rng.normal(0, 10 ** rng.uniform(-6, 0), n)
    terms = s(0, k=int(rng.integers(4, 12))) + s(1, k=6) + s(2, k=5)
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        model = GAM(terms, method="ML").fit(x, y)
    stalled = [w for w in caught if "smoothing-parameter search stopped" in str(w.message)]
    assert stalled and not model.converged_


@pytest.mark.parametrize("seed", [1, 3])
def test_a_lambda_search_stopped_at_its_criterions_rounding_is_converged(seed):
    # Counts of 1e10 make a REML criterion of 2e10, which rounds in steps of 4e-6: no step lowers
    # it once the search is within 1e-2 of the optimum in ln λ, where the gradient is still of the
    # order of 1e-3. That stop was a ConvergenceWarning (and, briefly, converged_ False).
    rng = np.random.default_rng(seed)
    x1, x2 = rng.uniform(0, 1, 300), rng.uniform(0, 1, 300)
    y = rng.poisson(1e10 * np.exp(np.sin(2 * np.pi * x1) + 0.5 * x2**2 + rng.normal(0, 0.1, 300))).astype(float)
    data = {"x1": x1, "x2": x2}
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        model = GAM(s("x1", k=10) + s("x2", k=10), family="poisson").fit(data, y)
    assert model.converged_
    # Optimal to the criterion's resolution: refits at fixed λ a step of 0.05 away in each ln λ
    # (which a gradient of 1e-3 and curvature 4 puts 5e-3 above the optimum) score no lower.
    best = model.score_
    for j in range(2):
        for step in (-0.05, 0.05):
            lam = np.array(model.lambdas_, dtype=float)
            lam[j] *= np.exp(step)
            assert GAM(s("x1", k=10) + s("x2", k=10), family="poisson", lam=lam).fit(data, y).score_ >= best - 1e-3


def test_a_lambda_search_stuck_far_from_its_optimum_is_not_hidden_by_a_huge_criterion():
    # Gross outliers make the working model's criterion enormous (1e15 and up), whose rounding once
    # passed for the search's stopping point: a search stuck 5 units of ln λ from the optimum (the
    # criterion 400 above it) was reported converged, silently.
    rng = np.random.default_rng(1)
    data = {"x1": rng.uniform(0, 1, 200), "dose": rng.normal(0, 1, 200)}
    y = rng.poisson(1e6 * np.exp(3 * np.sin(2 * np.pi * data["x1"]) + 0.2 * data["dose"]
                                 + 12.0 * (rng.random(200) < 0.03))).astype(float)
    terms = s("x1", k=5) + l("dose")
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        model = GAM(terms, family="poisson").fit(data, y)
    # The criterion still falls well beyond its rounding at a smaller λ (fixed-λ refits):
    lower = GAM(terms, family="poisson", lam=model.lambdas_ * np.exp(-5.0)).fit(data, y).score_
    assert lower < model.score_ - 100
    assert not model.converged_
    assert any("smoothing-parameter search stopped" in str(w.message) for w in caught)
