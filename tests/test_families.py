"""The four families: every formula against a NumPy reference, every guard at
its clamp, and the NaN rule of the clamps (a NaN operand yields the bound)."""

import math

import numpy as np
import pytest

import _vorna_core_testing as core
from shared_problems import ref_link_inverse, ref_mu_eta, ref_variance, ref_working_weights

FAMILIES = ["gaussian", "binomial", "poisson", "gamma"]
# libm and NumPy's vectorized exp/log may differ by a few ulp; each formula
# chains at most a handful of such operations.
FORMULA_RTOL = 1e-14
NAN = np.array([np.nan])


def op(name, family, *vectors):
    return core.family_op(name, family, *[np.asarray(v, dtype=float) for v in vectors])


ETA_GRID = np.array([-30.0, -20.5, -3.0, -0.5, 0.25, 1.0, 4.0, 19.0, 22.0])
MU_GRID = np.array([1e-12, 0.1, 0.3, 0.5, 0.9, 2.0, 40.0])


@pytest.mark.parametrize(
    "name, grid, reference",
    [
        ("link_inverse", ETA_GRID, ref_link_inverse),
        ("mu_eta", ETA_GRID, ref_mu_eta),
        ("variance", MU_GRID, ref_variance),
        ("working_weights", ETA_GRID, ref_working_weights),
    ],
    ids=["link_inverse", "mu_eta", "variance", "working_weights"],
)
@pytest.mark.parametrize("family", FAMILIES)
def test_formulas_match_reference(family, name, grid, reference):
    np.testing.assert_allclose(op(name, family, grid), reference(family, grid), rtol=FORMULA_RTOL)


def test_gaussian_is_the_identity():
    y = np.array([-3.0, 0.0, 2.5])
    np.testing.assert_array_equal(op("initial_eta", "gaussian", y), y)
    np.testing.assert_array_equal(op("link_inverse", "gaussian", y), y)
    np.testing.assert_array_equal(op("working_weights", "gaussian", y), [1.0, 1.0, 1.0])
    np.testing.assert_array_equal(op("working_response", "gaussian", y, y + 1, y + 3), y + 2)


# ---- starting values ------------------------------------------------------------------


def test_binomial_start_clamps():
    eta = op("initial_eta", "binomial", [0.0, 1.0, 0.5, -3.0, 7.0])
    lo, hi = math.log(0.01 / 0.99), math.log(0.99 / 0.01)
    np.testing.assert_allclose(eta, [lo, hi, 0.0, lo, hi], rtol=FORMULA_RTOL)
    assert lo == pytest.approx(-4.59511985, abs=1e-8)


def test_poisson_and_gamma_start_floors():
    np.testing.assert_allclose(
        op("initial_eta", "poisson", [0.0, -2.0, 3.0]),
        [math.log(0.1), math.log(0.1), math.log(3.0)],
        rtol=FORMULA_RTOL,
    )
    np.testing.assert_allclose(
        op("initial_eta", "gamma", [0.0, -5.0, 4.0]), [10.0, 10.0, 0.25], rtol=FORMULA_RTOL
    )


@pytest.mark.parametrize(
    "family, expected",
    [
        ("binomial", math.log(0.01 / 0.99)),  # min(max(NaN, 0.01), 0.99) = 0.01
        ("poisson", math.log(0.1)),
        ("gamma", 10.0),
    ],
)
def test_start_of_nan_takes_the_bound(family, expected):
    assert op("initial_eta", family, NAN)[0] == pytest.approx(expected, rel=FORMULA_RTOL)


# ---- inverse links and their guards ------------------------------------------------------


def test_binomial_link_clamps_at_20():
    mu = op("link_inverse", "binomial", [50.0, 20.0, -50.0, -20.0])
    assert mu[0] == mu[1] == 1.0 / (1.0 + math.exp(-20.0))
    assert mu[2] == mu[3] == 1.0 / (1.0 + math.exp(20.0))
    assert 0.0 < mu[2] < 2.1e-9 and 1.0 - mu[0] < 2.1e-9


def test_poisson_link_clamps_above_only():
    mu = op("link_inverse", "poisson", [30.0, 20.0, -800.0])
    assert mu[0] == mu[1] == math.exp(20.0)
    assert mu[2] == 0.0  # no lower clamp: exp underflows


def test_gamma_link_near_zero_and_negative():
    mu = op("link_inverse", "gamma", [0.0, 5e-11, -5e-11, -2.0, 1e-10])
    np.testing.assert_array_equal(mu[:4], [1e10, 1e10, 1e10, -0.5])
    assert mu[4] == 1.0 / 1e-10  # |η| = 1e-10 is not below the floor


@pytest.mark.parametrize(
    "family, expected",
    [
        ("binomial", 1.0 / (1.0 + math.exp(20.0))),  # NaN clamps to −20 first
        ("poisson", math.exp(20.0)),
    ],
)
def test_link_of_nan_takes_the_bound(family, expected):
    assert op("link_inverse", family, NAN)[0] == expected


def test_gamma_link_of_nan_stays_nan():
    assert np.isnan(op("link_inverse", "gamma", NAN)[0])  # no clamp in this formula


# ---- derivatives and weights --------------------------------------------------------------


def test_mu_eta_drops_the_link_clamps():
    assert op("mu_eta", "poisson", [30.0])[0] == pytest.approx(math.exp(30.0), rel=FORMULA_RTOL)
    assert op("mu_eta", "gamma", [0.0])[0] == -math.inf
    mu = 1.0 / (1.0 + math.exp(-20.0))
    assert op("mu_eta", "binomial", [40.0])[0] == mu * (1 - mu)


def test_poisson_weight_grows_past_the_clamp():
    # exp(2η)/exp(min(η, 20)) = exp(30) at η = 25, not exp(25).
    w = op("working_weights", "poisson", [25.0, 3.0])
    assert w[0] == pytest.approx(math.exp(30.0), rel=FORMULA_RTOL)
    assert w[1] == pytest.approx(math.exp(3.0), rel=FORMULA_RTOL)


def test_weights_are_floored():
    assert op("working_weights", "poisson", [-40.0])[0] == 1e-10
    w = op("working_weights", "binomial", [25.0])[0]
    mu = 1.0 / (1.0 + math.exp(-20.0))
    assert w == pytest.approx(mu * (1 - mu), rel=FORMULA_RTOL)  # ≈ 2.1e-9: above the floor


def test_gamma_weight_is_mu_squared():
    eta = np.array([0.5, 2.0, -4.0])
    np.testing.assert_allclose(op("working_weights", "gamma", eta), 1.0 / eta**2, rtol=FORMULA_RTOL)


@pytest.mark.parametrize("family", ["poisson", "gamma"])
def test_weight_of_nan_is_the_floor(family):
    # d² is NaN, so max(NaN, 1e-10) = 1e-10.
    assert op("working_weights", family, NAN)[0] == 1e-10


def test_binomial_weight_of_nan_is_taken_at_the_clamp():
    # The inverse link clamps NaN to −20 before μ is formed, so d = μ(1 − μ) is finite.
    mu = 1.0 / (1.0 + math.exp(20.0))
    assert op("working_weights", "binomial", NAN)[0] == pytest.approx(mu * (1 - mu), rel=FORMULA_RTOL)


def test_gaussian_weight_of_nan_is_one():
    assert op("working_weights", "gaussian", NAN)[0] == 1.0


# ---- working response -------------------------------------------------------------------


def test_working_response_where_derivative_vanishes():
    # Poisson at η = −30: dμ/dη = e^−30 < 1e-10, so z = η whatever y is.
    eta = np.array([-30.0, -30.0])
    mu = op("link_inverse", "poisson", eta)
    np.testing.assert_array_equal(op("working_response", "poisson", eta, mu, [0.0, 5.0]), eta)


def test_binomial_working_response_at_the_clamp_is_not_floored():
    eta = np.array([20.0])
    mu = op("link_inverse", "binomial", eta)
    d = mu[0] * (1 - mu[0])
    z = op("working_response", "binomial", eta, mu, [0.0])[0]
    assert z == pytest.approx(20.0 + (0.0 - mu[0]) / d, rel=FORMULA_RTOL)
    assert z < -1e8


@pytest.mark.parametrize("family", FAMILIES)
def test_working_response_formula(family, rng):
    eta = rng.uniform(-2, 2, 20) + (3.0 if family == "gamma" else 0.0)
    mu = op("link_inverse", family, eta)
    y = rng.uniform(0.1, 0.9, 20)
    expected = eta + (y - mu) / ref_mu_eta(family, eta)
    np.testing.assert_allclose(
        op("working_response", family, eta, mu, y), expected, rtol=FORMULA_RTOL, atol=1e-14
    )


# ---- deviance -----------------------------------------------------------------------------


@pytest.mark.parametrize(
    "family, y, mu, expected",
    [
        ("binomial", [0.0, 1.0], [0.5, 0.5], 4 * math.log(2)),
        ("gaussian", [-1.0, 1.0], [-1.0, 0.0], 1.0),
        ("poisson", [0.0], [2.0], 4.0),
        ("poisson", [-1.0], [2.0], 4.0),  # y ≤ 0 gives 2μ′
        ("binomial", [-0.5, 1.5], [0.3, 0.3], 0.0),  # outside [0, 1] contributes nothing
        ("binomial", [0.25], [0.5], 2 * (0.25 * math.log(0.5) + 0.75 * math.log(1.5))),
        ("poisson", [3.0], [2.0], 2 * (3 * math.log(1.5) - 1.0)),
        ("gamma", [2.0], [4.0], 2 * ((2.0 - 4.0) / 4.0 - math.log(0.5))),
    ],
)
def test_deviance_examples(family, y, mu, expected):
    assert op("deviance", family, y, mu) == pytest.approx(expected, rel=FORMULA_RTOL, abs=1e-15)


def test_deviance_floors_mu():
    # μ′ = max(μ, 1e-10): a zero or NaN mean is replaced by the floor.
    assert op("deviance", "poisson", [0.0, 0.0], [0.0, np.nan]) == pytest.approx(4e-10, rel=1e-12)
    assert op("deviance", "binomial", [1.0], [0.0]) == pytest.approx(
        2 * math.log(1e10), rel=FORMULA_RTOL
    )
    assert op("deviance", "gaussian", [1.0], [-1.0]) == 4.0  # the Gaussian is not floored


def test_gamma_deviance_of_nonpositive_y_is_not_finite():
    assert not math.isfinite(op("deviance", "gamma", [0.0], [1.0]))
    assert math.isnan(op("deviance", "gamma", [-1.0], [1.0]))


def test_deviance_reads_only_len_y_means():
    assert op("deviance", "poisson", [0.0], [2.0, np.nan, 7.0]) == 4.0


def test_deviance_is_an_ordered_sum(rng):
    y = rng.uniform(0.5, 5, 50)
    mu = rng.uniform(0.5, 5, 50)
    terms = (y - mu) ** 2
    total = 0.0
    for t in terms:
        total += t
    assert op("deviance", "gaussian", y, mu) == total


def test_unknown_family_is_rejected():
    with pytest.raises(ValueError, match="unknown family 'Gaussian'"):
        op("link_inverse", "Gaussian", [0.0])
