"""The diagnostic module functions: argument rules, results and error prefixes."""
import numpy as np
import pytest

import vorna_core as vc


def problem(rng, n=120, m=2, k=6, weights=False):
    """Hat-function blocks; every block after the first drops its first column so that the
    constant appears once and X'WX + S is non-singular."""
    x = rng.uniform(0.0, 1.0, size=(n, m))
    knots = np.linspace(0.0, 1.0, k)
    blocks = []
    for j in range(m):
        hats = np.clip(1.0 - np.abs(x[:, [j]] - knots) * (k - 1), 0.0, None)
        blocks.append(hats if j == 0 else hats[:, 1:])
    X = np.hstack(blocks)
    p = X.shape[1]
    penalties, offset = [], 0
    for block in blocks:
        width = block.shape[1]
        d = np.diff(np.eye(width), 2, axis=0)
        s = np.zeros((p, p))
        s[offset:offset + width, offset:offset + width] = d.T @ d
        penalties.append(s)
        offset += width
    y = np.sin(3 * x[:, 0]) + 0.1 * rng.standard_normal(n)
    w = rng.uniform(0.5, 2.0, n) if weights else np.ones(n)
    return y, X, w, penalties


def test_gradient_and_hessian_shapes(rng):
    y, X, w, penalties = problem(rng, m=3)
    g = vc.reml_gradient_multi_qr_py(y, X, w, [1.0, 2.0, 0.5], penalties)
    h = vc.reml_hessian_multi_qr_py(y=y, x=X, w=w, lambdas=[1.0, 2.0, 0.5], penalties=penalties)
    assert g.shape == (3,) and h.shape == (3, 3)
    np.testing.assert_array_equal(h, h.T)


def test_hessian_is_the_derivative_of_the_public_gradient(rng):
    y, X, w, penalties = problem(rng, weights=True)
    rho = np.array([0.3, -0.4])
    h = vc.reml_hessian_multi_qr_py(y, X, w, np.exp(rho), penalties)
    step = 1e-5
    for j in range(2):
        e = np.zeros(2)
        e[j] = step
        fd = (vc.reml_gradient_multi_qr_py(y, X, w, np.exp(rho + e), penalties)
              - vc.reml_gradient_multi_qr_py(y, X, w, np.exp(rho - e), penalties)) / (2 * step)
        # central difference: O(step²) truncation plus the coefficients' 1e-7 ridge, which the
        # Hessian does not differentiate
        np.testing.assert_allclose(h[:, j], fd, rtol=1e-5, atol=1e-5 * np.max(np.abs(h)))


@pytest.mark.parametrize(
    "call, prefix",
    [
        (lambda y, X, w, S: vc.reml_gradient_multi_qr_py(y, X, w, [1.0], S), "Gradient computation failed: "),
        (lambda y, X, w, S: vc.reml_hessian_multi_qr_py(y, X, w, [1.0], S), "Hessian computation failed: "),
        (lambda y, X, w, S: vc.newton_pirls_py(y, X, w, np.zeros(1), S, None, None, None),
         "Newton-PIRLS optimization failed: "),
    ],
)
def test_failures_carry_their_prefix(rng, call, prefix):
    y, X, w, penalties = problem(rng)
    with pytest.raises(ValueError) as info:
        call(y, X, w, penalties)  # one lambda for two penalties
    assert str(info.value).startswith(prefix + "Matrix dimension mismatch: ")


def test_size_mismatch_is_an_error_not_a_crash(rng):
    y, X, w, penalties = problem(rng)
    with pytest.raises(ValueError, match="^Gradient computation failed: Matrix dimension mismatch: "):
        vc.reml_gradient_multi_qr_py(y[:-1], X, w, [1.0, 1.0], penalties)
    with pytest.raises(ValueError, match="^Hessian computation failed: Matrix dimension mismatch: "):
        vc.reml_hessian_multi_qr_py(y, X, w[:5], [1.0, 1.0], penalties)
    with pytest.raises(ValueError, match="^Gradient computation failed: "):
        vc.reml_gradient_multi_qr_py(y, X, w, [1.0, 1.0], [penalties[0], penalties[1][:3, :3]])


def test_newton_pirls_defaults_and_result_tuple(rng, capfd):
    y, X, w, penalties = problem(rng)
    log_lambda, lam, reml, iterations, converged, message = vc.newton_pirls_py(
        y, X, w, np.zeros(2), penalties, None, None, None)
    assert capfd.readouterr().err == ""  # verbose defaults to off
    assert log_lambda.shape == (2,) and lam.shape == (2,)
    np.testing.assert_allclose(lam, np.exp(log_lambda), rtol=1e-15)  # exp of the same doubles
    assert isinstance(reml, float) and isinstance(iterations, int)
    assert isinstance(converged, bool) and isinstance(message, str)
    assert 1 <= iterations <= 100


def test_newton_pirls_without_penalties_converges_at_once(rng):
    y, X, w, _ = problem(rng)
    result = vc.newton_pirls_py(y, X, w, np.zeros(0), [], None, None, np.bool_(False))
    assert result[3:] == (1, True, "Converged: gradient norm 0.000000e0 < 1.000000e-6")
    assert result[0].shape == (0,)


def test_newton_pirls_max_iter_one_stops_after_the_gradient(rng, capfd):
    y, X, w, penalties = problem(rng)
    result = vc.newton_pirls_py(y, X, w, np.array([0.5, -0.5]), penalties, 1, 1e-12, True)
    assert result[3:5] == (1, False)
    assert result[5] == "Max iterations (1) reached"
    np.testing.assert_array_equal(result[0], [0.5, -0.5])
    err = capfd.readouterr().err
    assert err.startswith("Newton-PIRLS Optimization\n========================\nInitial ρ: [0.5, -0.5], shape=[2]")
    assert "Descent check" not in err  # no Hessian, no direction


def test_evaluate_gradient_uses_the_first_columns(rng):
    x = rng.uniform(0.0, 1.0, size=(100, 3))
    y = np.sin(4 * x[:, 0]) + 0.1 * rng.standard_normal(100)
    g = vc.evaluate_gradient(x, y, [1.0], [6])
    assert g.shape == (1,)
    # the same cubic regression smooth built by hand: knots evenly spaced over column 0
    knots = np.linspace(x[:, 0].min(), x[:, 0].max(), 6)
    s = vc.compute_penalty_matrix("cr", 6, knots)
    import _vorna_core_testing as t

    basis = t.cr_basis(knots, x[:, 0])
    expected = vc.reml_gradient_multi_qr_py(y, basis, np.ones(100), [1.0], [s])
    np.testing.assert_array_equal(g, expected)


@pytest.mark.parametrize(
    "k_values, message",
    [
        ([6, 6, 6, 6], "k_values has 4 entries but x has only 3 columns"),
        ([3], "Invalid parameter: "),
    ],
)
def test_evaluate_gradient_rejections(rng, k_values, message):
    x = rng.uniform(size=(50, 3))
    with pytest.raises(ValueError) as info:
        vc.evaluate_gradient(x, x[:, 0], [1.0] * len(k_values), k_values)
    assert str(info.value).startswith(message)
