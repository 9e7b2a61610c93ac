"""PiRLS at fixed smoothing parameters and the block-wise R factor, checked
against NumPy solves of the penalized system and QR factors of the stacked rows."""

import numpy as np
import pytest
import scipy.linalg

import _vorna_core_testing as core
import vorna_core
from shared_problems import difference_penalty, ref_link_inverse, ref_mu_eta, ref_variance

EPS = np.finfo(float).eps
RIDGE = 1e-5
TOL = 1e-6  # PiRLS convergence tolerance on max |Δη| relative to max |η| (β for the Gaussian)


def ridge(xtwx, m):
    """1e-5·(1 + √m) times the largest diagonal entry of XᵀWX (1 when it is zero)."""
    scale = np.abs(np.diag(xtwx)).max(initial=0.0)
    return RIDGE * (1 + np.sqrt(m)) * (scale if scale > 0 else 1.0)


def solve_tol(a):
    """Relative error of a backward-stable solve: 10·p·ε·κ(A)."""
    return 10 * a.shape[0] * EPS * np.linalg.cond(a)


@pytest.fixture
def problem(rng):
    n, p = 120, 9
    x = np.column_stack([np.ones(n), rng.standard_normal((n, p - 1))])
    s1 = np.zeros((p, p))
    s1[1:5, 1:5] = np.diag([1.0, 2.0, 3.0, 4.0])
    s2 = np.zeros((p, p))
    s2[5:, 5:] = difference_penalty(4)
    return x, [s1, s2], [0.7, 3.5]


# ---- Gaussian: the closed form with its ridge ----------------------------------------


def test_gaussian_closed_form_with_ridge(rng, problem):
    x, penalties, lambdas = problem
    y = x @ rng.standard_normal(x.shape[1]) + 0.3 * rng.standard_normal(x.shape[0])
    fit = core.pirls(x, y, lambdas, penalties, "gaussian")
    xtx = x.T @ x
    a = xtx + sum(l * s for l, s in zip(lambdas, penalties)) + ridge(xtx, 2) * np.eye(x.shape[1])
    beta = np.linalg.solve(a, x.T @ y)
    assert fit["iterations"] == 2 and fit["converged"] is True
    err = np.abs(fit["coefficients"] - beta).max() / np.abs(beta).max()
    assert err <= solve_tol(a), f"relative error {err:.3e}"
    np.testing.assert_allclose(fit["linear_predictor"], x @ fit["coefficients"], rtol=1e-12, atol=1e-12)
    np.testing.assert_array_equal(fit["fitted_values"], fit["linear_predictor"])
    np.testing.assert_array_equal(fit["weights"], np.ones(x.shape[0]))
    assert fit["deviance"] == pytest.approx(np.sum((y - fit["fitted_values"]) ** 2), rel=1e-12)


def test_no_penalties_is_ridge_stabilized_least_squares(rng):
    n, p = 40, 4
    x = 10 * rng.standard_normal((n, p))  # scale > 1, so δ = 1e-5·max_j (XᵀX)_jj
    y = rng.standard_normal(n)
    fit = core.pirls(x, y, [], [], "gaussian")
    xtx = x.T @ x
    a = xtx + RIDGE * np.abs(np.diag(xtx)).max() * np.eye(p)
    np.testing.assert_allclose(fit["coefficients"], np.linalg.solve(a, x.T @ y), rtol=solve_tol(a))
    assert fit["iterations"] == 2


@pytest.mark.parametrize("size", [1e-6, 1.0, 1e6])
def test_ridge_scales_with_the_cross_product(rng, size):
    # The ridge follows XᵀX in every size, so β scales as 1/size exactly (up to rounding).
    x = size * rng.standard_normal((10, 2))
    y = rng.standard_normal(10)
    fit = core.pirls(x, y, [], [], "gaussian")
    a = x.T @ x + RIDGE * np.abs(np.diag(x.T @ x)).max() * np.eye(2)
    np.testing.assert_allclose(fit["coefficients"], np.linalg.solve(a, x.T @ y), rtol=solve_tol(a))


def test_zero_columns():
    fit = core.pirls(np.zeros((5, 0)), np.arange(5.0), [], [], "gaussian")
    assert fit["coefficients"].shape == (0,)
    assert fit["iterations"] == 1 and fit["converged"] is True
    np.testing.assert_array_equal(fit["fitted_values"], np.zeros(5))


# ---- Other families against an independent NumPy PiRLS --------------------------------


def reference_pirls(x, y, lambdas, penalties, family):
    """The same iteration written with NumPy from the formulas."""
    p = x.shape[1]
    s_lambda = sum((l * s for l, s in zip(lambdas, penalties)), np.zeros((p, p)))
    eta = {
        "binomial": lambda: np.log(np.clip(y, 0.01, 0.99) / (1 - np.clip(y, 0.01, 0.99))),
        "poisson": lambda: np.log(np.maximum(y, 0.1)),
        "gamma": lambda: 1 / np.where(y > 0, y, 0.1),
    }[family]()
    beta = np.zeros(p)
    for t in range(1, 101):
        mu, d = ref_link_inverse(family, eta), ref_mu_eta(family, eta)
        if family == "gamma":  # exact μ² weights and no guard: both would depend on the units of y
            z, w = eta + (y - mu) / d, 1 / eta**2
        else:
            z = np.where(np.abs(d) < 1e-10, eta, eta + (y - mu) / d)
            w = np.maximum(d**2 / np.maximum(ref_variance(family, mu), 1e-10), 1e-10)
        xtwx = x.T @ (w[:, None] * x)
        a = xtwx + s_lambda + ridge(xtwx, len(lambdas)) * np.eye(p)
        beta = np.linalg.solve(a, x.T @ (w * z))
        new_eta = x @ beta
        change, eta = np.abs(new_eta - eta).max(), new_eta
        if change <= TOL * np.abs(eta).max():
            break
    return beta, t


@pytest.mark.parametrize("family", ["binomial", "poisson", "gamma"])
def test_matches_numpy_iteration(rng, problem, family):
    x, penalties, lambdas = problem
    n = x.shape[0]
    eta = 0.4 * x[:, 1] - 0.3 * x[:, 6]
    y = {
        "binomial": (rng.uniform(size=n) < 1 / (1 + np.exp(-eta))).astype(float),
        "poisson": rng.poisson(np.exp(eta)).astype(float),
        "gamma": rng.gamma(2.0, 1 / (2.0 * (1.5 + 0.2 * np.tanh(eta)))),
    }[family]
    fit = core.pirls(x, y, lambdas, penalties, family)
    beta, iterations = reference_pirls(x, y, lambdas, penalties, family)
    assert fit["converged"] is True
    assert fit["iterations"] == iterations
    # Both stop within 1e-6 of the same fixed point; the last steps agree far closer.
    np.testing.assert_allclose(fit["coefficients"], beta, rtol=1e-9, atol=1e-9)


@pytest.mark.parametrize("family", ["gaussian", "binomial", "poisson", "gamma"])
def test_result_record_is_consistent(rng, problem, family):
    x, penalties, lambdas = problem
    n = x.shape[0]
    y = {
        "gaussian": rng.standard_normal(n),
        "binomial": rng.integers(0, 2, n).astype(float),
        "poisson": rng.poisson(2.0, n).astype(float),
        "gamma": rng.gamma(2.0, 0.5, n),
    }[family]
    fit = core.pirls(x, y, lambdas, penalties, family)
    assert list(fit) == [
        "coefficients", "fitted_values", "linear_predictor", "weights", "deviance",
        "iterations", "converged",
    ]
    eta = fit["linear_predictor"]
    np.testing.assert_allclose(eta, x @ fit["coefficients"], rtol=1e-12, atol=1e-12)
    np.testing.assert_array_equal(fit["fitted_values"], core.family_op("link_inverse", family, eta))
    np.testing.assert_array_equal(fit["weights"], core.family_op("working_weights", family, eta))
    assert fit["deviance"] == core.family_op("deviance", family, y, fit["fitted_values"])
    assert 1 <= fit["iterations"] <= 100


def test_poisson_all_zero_response_stays_defined(problem):
    x, penalties, lambdas = problem
    fit = core.pirls(x, np.zeros(x.shape[0]), lambdas, penalties, "poisson")
    # Starts at η = log 0.1 and is driven downward; weights never fall below the floor.
    assert np.all(fit["linear_predictor"] < np.log(0.1))
    assert np.all(fit["weights"] >= 1e-10)
    assert np.all(np.isfinite(fit["coefficients"]))
    assert fit["deviance"] == pytest.approx(2 * np.maximum(fit["fitted_values"], 1e-10).sum(), rel=1e-12)


def test_not_converging_is_not_an_error():
    # Separable 0/1 data on badly scaled columns: the coefficients keep growing.
    x = np.linspace(-3, 3, 20)
    design = 100 * np.column_stack([np.ones(20), x, x**2])
    fit = core.pirls(design, (x > 0).astype(float), [], [], "binomial")
    assert fit["iterations"] == 100 and fit["converged"] is False


def test_singular_system_propagates_from_solve():
    # λS cancels the ridge exactly: A = 0 + (−2e-5) + 1e-5·(1 + √1)·1 = 0.
    with pytest.raises(ValueError, match="^Singular matrix encountered$"):
        core.pirls(np.zeros((5, 1)), np.ones(5), [-2e-5], [np.eye(1)], "gaussian")


# ---- argument checks, in order ----------------------------------------------------------


def test_row_count_mismatch_is_checked_first(problem):
    x, penalties, lambdas = problem
    with pytest.raises(ValueError, match="^Matrix dimension mismatch: X has 10 rows but y has 9 elements$"):
        # the λ/S count and the penalty shapes are wrong as well
        core.pirls(x[:10], np.ones(9), [1.0, 2.0, 3.0], [np.eye(2)], "gaussian")


def test_lambda_count_is_checked_before_penalty_shapes(problem):
    x, _, _ = problem
    with pytest.raises(
        ValueError,
        match="^Matrix dimension mismatch: Number of lambdas must match number of penalty matrices$",
    ):
        core.pirls(x, np.ones(x.shape[0]), [1.0, 2.0], [np.eye(2)], "gaussian")


@pytest.mark.parametrize("shape", [(9, 8), (8, 9), (3, 3)])
def test_penalty_not_p_by_p(problem, shape):
    x, penalties, _ = problem
    with pytest.raises(ValueError, match=rf"^Matrix dimension mismatch: Penalty matrix 1 is {shape[0]} x {shape[1]} but X has 9 columns$"):
        core.pirls(x, np.ones(x.shape[0]), [1.0, 1.0], [penalties[0], np.zeros(shape)], "gaussian")


# ---- block-wise R factor ----------------------------------------------------------------


def stacked_gram(x, w, lambdas, roots):
    """XᵀWX + Σ λ_j L_j L_jᵀ."""
    return x.T @ (w[:, None] * x) + sum(l * root @ root.T for l, root in zip(lambdas, roots))


def assert_factor_of(r, target, rows):
    p = target.shape[0]
    assert r.shape == (p, p)
    np.testing.assert_array_equal(np.tril(r, -1), 0.0)
    # Householder QR residual: a small multiple of (rows·ε)·‖target‖.
    tol = 10 * rows * EPS * np.abs(target).max()
    err = np.abs(r.T @ r - target).max()
    assert err <= tol, f"‖RᵀR − target‖max = {err:.3e} (tol {tol:.3e})"


@pytest.mark.parametrize("n", [2500, 1000, 1001, 7])
def test_blockwise_factor_with_penalty_rows(rng, n):
    p = 12
    x = rng.standard_normal((n, p))
    w = rng.uniform(0.2, 2.0, n)
    roots = [rng.standard_normal((p, 4)), rng.standard_normal((p, 3))]
    lambdas = [0.5, 8.0]
    r = core.blockwise_r_factor(x, w, lambdas, roots)
    assert_factor_of(r, stacked_gram(x, w, lambdas, roots), n + 7)
    # R of a full-rank stack is unique up to row signs: compare with one QR of all rows.
    stack = np.vstack([np.sqrt(l) * root.T for l, root in zip(lambdas, roots)] + [np.sqrt(w)[:, None] * x])
    expected = scipy.linalg.qr(stack, mode="r")[0][:p]
    signs = np.sign(np.diag(r)) * np.sign(np.diag(expected))
    np.testing.assert_allclose(signs[:, None] * r, expected, atol=10 * (n + 7) * EPS * np.abs(expected).max())


def test_blockwise_factor_without_penalty_rows(rng):
    n, p = 2500, 6
    x = rng.standard_normal((n, p))
    w = rng.uniform(0.2, 2.0, n)
    assert_factor_of(core.blockwise_r_factor(x, w, [], []), x.T @ (w[:, None] * x), n)


def test_blockwise_first_block_narrower_than_p(rng):
    # 3 data rows, no penalty rows: R holds 3 rows of the factor and zeros below.
    x = rng.standard_normal((3, 5))
    w = np.ones(3)
    r = core.blockwise_r_factor(x, w, [], [])
    np.testing.assert_array_equal(r[3:], 0.0)
    assert_factor_of(r, x.T @ x, 3)


def test_blockwise_only_paired_roots_contribute(rng):
    n, p = 50, 5
    x = rng.standard_normal((n, p))
    w = np.ones(n)
    root_a, root_b = rng.standard_normal((p, 2)), rng.standard_normal((p, 2))
    target = x.T @ x + 2.0 * root_a @ root_a.T
    # an extra root without a λ, and an extra λ without a root, change nothing
    assert_factor_of(core.blockwise_r_factor(x, w, [2.0], [root_a, root_b]), target, n + 4)
    assert_factor_of(core.blockwise_r_factor(x, w, [2.0, 5.0], [root_a]), target, n + 2)


def test_blockwise_no_data_rows_uses_penalty_rows_alone(rng):
    p = 4
    root = rng.standard_normal((p, 6))
    r = core.blockwise_r_factor(np.zeros((0, p)), np.zeros(0), [3.0], [root])
    assert_factor_of(r, 3.0 * root @ root.T, 6)


def test_blockwise_no_rows_at_all():
    with pytest.raises(ValueError, match="^Invalid parameter: No blocks processed$"):
        core.blockwise_r_factor(np.zeros((0, 3)), np.zeros(0), [], [])
    with pytest.raises(ValueError, match="^Invalid parameter: No blocks processed$"):
        core.blockwise_r_factor(np.zeros((0, 3)), np.zeros(0), [1.0], [np.zeros((3, 0))])


def test_blockwise_rejects_roots_of_the_wrong_height(rng):
    with pytest.raises(ValueError, match="Penalty root 0 has 2 rows but X has 3 columns"):
        core.blockwise_r_factor(np.ones((4, 3)), np.ones(4), [1.0], [np.ones((2, 2))])


def test_binomial_start_far_from_the_optimum_still_reaches_the_penalized_mle():
    # Extrapolated B-spline columns (values up to ~4) and the logit start at ±4.6 make the plain
    # iteration oscillate with growing amplitude; step halving keeps the penalized deviance falling.
    rng = np.random.default_rng(20261208)
    n = 2000
    x = rng.uniform(0, 1, size=(n, 1))
    mu = 1 / (1 + np.exp(-2 * np.sin(2 * np.pi * x[:, 0])))
    y = (rng.uniform(size=n) < mu).astype(float)
    gam = vorna_core.GAM("binomial")
    gam.fit(x, y, [10], max_iter=0)
    X = gam.get_design_matrix()
    s = difference_penalty(10)
    fit = core.pirls(X, y, [1.0], [s], "binomial")
    assert fit["converged"]
    # Independent Newton iteration from β = 0 on the same penalized likelihood (with PiRLS's ridge).
    beta = np.zeros(10)
    for _ in range(50):
        m = 1 / (1 + np.exp(-(X @ beta)))
        w = m * (1 - m)
        gram = X.T @ (w[:, None] * X)
        ridge = 1e-5 * 2 * max(1.0, np.max(np.diag(gram)))
        beta = np.linalg.solve(gram + s + ridge * np.eye(10), gram @ beta + X.T @ (y - m))
    # both solve the same stationarity condition; PiRLS stops once steps fall below 1e-6
    np.testing.assert_allclose(fit["coefficients"], beta, atol=1e-5)


def test_gamma_means_stay_positive(rng, problem):
    # Responses spanning six decades: the first unguarded step of the inverse link goes
    # negative on such data; the fit must halve back into the domain and still converge.
    x, penalties, lambdas = problem
    y = np.exp(rng.normal(0.0, 3.0, size=x.shape[0]))
    fit = core.pirls(x, y, [1e-3 * lam for lam in lambdas], penalties, "gamma")
    assert np.all(fit["linear_predictor"] > 0) and np.all(fit["fitted_values"] > 0)
    assert fit["converged"] is True


def test_gamma_response_below_zero_never_gives_negative_means(rng, problem):
    # A fit refuses such y beforehand; PiRLS itself must still return valid means. With five
    # negative responses the guarded iteration finds them and converges ...
    x, penalties, lambdas = problem
    y = rng.gamma(2.0, 1.0, size=x.shape[0])
    y[:5] = -0.5
    fit = core.pirls(x, y, lambdas, penalties, "gamma")
    assert fit["converged"] is True
    assert np.all(fit["linear_predictor"] > 0) and np.all(fit["fitted_values"] > 0)
    np.testing.assert_array_equal(fit["fitted_values"], 1 / fit["linear_predictor"])
    # ... with half of them negative no valid means are found, and it says so
    y[:60] = -0.5
    with pytest.raises(ValueError, match=r"^Optimization failed: PiRLS found no coefficients with valid gamma "
                                         r"means: the linear predictor at row \d+ is -\d+\.\d+$"):
        core.pirls(x, y, lambdas, penalties, "gamma")


@pytest.mark.parametrize(
    "family, x, y, lam",
    [
        # an iterate reaches the clamped part of the link, where no fraction of a step can lower
        # the clamped deviance: the plain iteration still converges and must be what is returned
        ("poisson", [0.3, 0.44, 0.44, 0.56, 0.69, 0.82], [0.0, 11816.0, 0.0, 5633.0, 59851087.0, 0.0], 1e-3),
        # an ordinary overshoot in the second step, after which the plain iteration settles
        ("binomial", [0.09, 0.11, 0.16, 0.24, 0.39, 0.43, 0.48, 0.58, 0.73, 0.8],
         [0, 1, 0, 0, 0, 1, 0, 0, 1, 1], 1e-4),
    ],
)
def test_a_converging_plain_iteration_is_returned_unchanged(family, x, y, lam):
    x, y = np.array(x), np.array(y, dtype=float)
    _, s, _, _, basis = core.bspline_smooth_from_range("x", 4, 0.0, 1.0, x)
    fit = core.pirls(basis, y, [lam], [s], family)
    beta, iterations = reference_pirls(basis, y, [lam], [s], family)
    assert fit["converged"] is True
    assert fit["iterations"] == iterations
    np.testing.assert_allclose(fit["coefficients"], beta, rtol=1e-9, atol=1e-9)
