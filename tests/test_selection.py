"""Smoothing-parameter selection through the public fits: units, families, domains, warnings."""
import warnings

import numpy as np
import pytest

import vorna_core as vc
from shared_problems import (central_difference, cr_penalty, criterion_ref, ref_link_inverse, ref_mu_eta,
                             ref_variance, scaled_block_penalties)

N = 2000


def sine_data(d, seed=0):
    rng = np.random.default_rng(seed)
    x = rng.uniform(size=(N, d))
    mean = np.exp(0.4 * np.sin(2 * np.pi * x[:, 0]) + (0.3 * x[:, 1] if d > 1 else 0.0))
    return rng, x, mean


@pytest.mark.parametrize("family", ["gaussian", "gamma"])
@pytest.mark.parametrize("d", [1, 3])
@pytest.mark.parametrize("bs", ["cr", "bs"])
@pytest.mark.parametrize("method", ["REML", "GCV"])
def test_lambda_follows_the_units_of_y(family, d, bs, method):
    rng, x, mean = sine_data(d)
    y = mean + rng.normal(0, 0.3, N) if family == "gaussian" else rng.gamma(5.0, mean / 5.0)
    # Gaussian λ is free of units. The Gamma inverse link puts 1/c on η and c² on the
    # working weights, so the same fit in other units has λ·c² (and means ·c).
    power = 0 if family == "gaussian" else 2
    base = vc.GAM(family)
    lam = base.fit(x, y, [10] * d, method=method, bs=bs)["lambda"]
    for c in [1e-6, 1e-3, 1e3, 1e6]:
        model = vc.GAM(family)
        scaled = model.fit(x, c * y, [10] * d, method=method, bs=bs)
        # 1e-6 for one smooth. With three, x1 enters (almost) linearly and x2 not at all: their
        # criterion is flat for large λ, and the outer loop's 1e-6 tolerance on log λ between
        # passes leaves the fixed point a little less sharp.
        np.testing.assert_allclose(scaled["lambda"], lam * c**power, rtol=1e-6 if d == 1 else 1e-5)
        np.testing.assert_allclose(model.predict(x[:50]), c * base.predict(x[:50]), rtol=1e-6 if d == 1 else 1e-5)


@pytest.mark.parametrize("family", ["poisson", "binomial", "gamma"])
def test_non_gaussian_lambda_is_the_reml_optimum_of_the_working_model(family):
    rng, x, mean = sine_data(2, seed=3)
    y = {"poisson": lambda: rng.poisson(mean), "binomial": lambda: rng.binomial(1, mean / (1 + mean)),
         "gamma": lambda: rng.gamma(5.0, mean / 5.0)}[family]().astype(float)
    model = vc.GAM(family)
    with warnings.catch_warnings():
        warnings.simplefilter("error")  # an ordinary fit converges
        lam = model.fit(x, y, [10, 10], bs="cr")["lambda"]
    design = model.get_design_matrix()
    eta = design @ model.get_coefficients()
    # The working model at the fit, written from the link functions directly.
    mu, d = ref_link_inverse(family, eta), ref_mu_eta(family, eta)
    z, w = eta + (y - mu) / d, d**2 / ref_variance(family, mu)
    kind = "reml" if family == "gamma" else "reml_known"
    # the fit's penalties: cubic regression penalties on knots spread evenly over each column
    penalties = scaled_block_penalties(design, [cr_penalty(np.linspace(c.min(), c.max(), 10)) for c in x.T])
    g = central_difference(lambda r: criterion_ref(z, design, w, r, penalties, kind), np.log(lam))
    # The outer loop stops once log λ moves by < 1e-6 per pass; PiRLS leaves η within 1e-6.
    assert abs(g[0]) < 1e-3, g
    # x1 enters linearly: the criterion keeps falling, ever more slowly, as its smooth is
    # penalized towards its null space; the search stops at the edge of its range there.
    assert -1e-2 < g[1] <= 1e-6, g


@pytest.mark.parametrize("family, bad, rule", [
    ("binomial", 2.0, "0 <= y <= 1"), ("binomial", -0.5, "0 <= y <= 1"),
    ("poisson", -1.0, "y >= 0"), ("gamma", 0.0, "y > 0"), ("gamma", -3.0, "y > 0"),
])
def test_response_outside_the_family_domain_is_refused(family, bad, rule):
    rng, x, _ = sine_data(1)
    y = np.full(N, 0.5)
    y[7] = bad
    model = vc.GAM(family)
    for fit in (lambda: model.fit(x, y, [8]), lambda: model.fit_auto(x, y, [8], "REML", "cr", 10)):
        with pytest.raises(ValueError) as info:
            fit()
        assert str(info.value) == f"Invalid parameter: the {family} family needs {rule}, but y[7] = {bad:g}"
    # nothing was fitted
    with pytest.raises(ValueError, match="^Model not fitted yet$"):
        model.get_coefficients()


def test_gamma_means_stay_positive_on_data_that_pushed_them_negative():
    # Six decades of response: an unguarded inverse-link fit overshoots below zero.
    rng = np.random.default_rng(5)
    x = rng.uniform(size=(500, 1))
    y = np.exp(rng.normal(0.0, 3.0, 500))
    model = vc.GAM("gamma")
    result = model.fit(x, y, [10], bs="cr")
    assert np.all(result["fitted_values"] > 0)
    assert np.all(model.predict(np.linspace(0, 1, 200)[:, None]) > 0)


def test_a_convergence_warning_only_when_a_cap_is_reached():
    rng, x, mean = sine_data(2, seed=1)
    y = rng.poisson(mean).astype(float)
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        vc.GAM("poisson").fit(x, y, [10, 10])
    with pytest.warns(vc.ConvergenceWarning, match="passes of PiRLS and smoothing-parameter selection"):
        result = vc.GAM("poisson").fit(x, y, [10, 10], max_iter=1)
    assert result["fitted"] is True  # the fit is stored all the same
    assert issubclass(vc.ConvergenceWarning, UserWarning)
