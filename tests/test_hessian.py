"""The exact REML Hessian with respect to log smoothing parameters."""
import re

import numpy as np
import pytest

import _vorna_core_testing as t

from shared_problems import block_problem as problem
from shared_problems import central_difference, profiled_reml


def gradient(y, x, w, rho, penalties):
    return t.reml_gradient_multi_qr(y, x, w, list(np.exp(rho)), penalties)


def hessian(y, x, w, rho, penalties):
    return t.reml_hessian_multi_qr(y, x, w, list(np.exp(rho)), penalties)


def assert_close_relative_to_max(h, fd, tol):
    err = np.abs(h - fd).max() / np.abs(h).max()
    assert err < tol, f"relative error {err:.2e}\nH={h}\nFD={fd}"


RHO = {1: [0.3], 2: [-1.0, 2.0], 3: [-1.0, 0.5, 2.0]}


@pytest.mark.parametrize("weighted", [False, True], ids=["unit", "general"])
@pytest.mark.parametrize("m", [1, 2, 3])
def test_hessian_is_the_derivative_of_the_gradient(m, weighted):
    y, x, w, penalties = problem(m, weighted=weighted)
    rho = np.array(RHO[m])
    h = hessian(y, x, w, rho, penalties)
    fd = central_difference(lambda r: gradient(y, x, w, r, penalties), rho, h=1e-4)
    # The coefficients carry a (1 + √m)·1e-7 relative ridge that the Hessian does not
    # differentiate; measured differences stay below 2e-7 of max|H|. Truncation error of
    # the difference (h² ≈ 1e-8) and rounding (ε/h ≈ 1e-12) are far smaller.
    assert_close_relative_to_max(h, fd, 1e-5)


def test_hessian_matches_second_differences_of_an_independent_criterion():
    y, x, w, penalties = problem(2, weighted=True, seed=3)
    rho = np.array([0.5, -0.5])
    h = hessian(y, x, w, rho, penalties)
    step = 1e-3
    f = lambda r: profiled_reml(r, y, x, w, penalties)  # noqa: E731
    fd = np.empty((2, 2))
    for i, ei in enumerate(np.eye(2) * step):
        for j, ej in enumerate(np.eye(2) * step):
            fd[i, j] = (f(rho + ei + ej) - f(rho + ei - ej) - f(rho - ei + ej) + f(rho - ei - ej)) \
                / (4 * step * step)
    # Second differences: truncation h² ≈ 1e-6 relative, rounding ε·|V|/h² ≈ 2e-8, the
    # library's coefficient ridge ~1e-7; measured 6e-7.
    assert_close_relative_to_max(h, fd, 1e-5)


def test_hessian_is_exactly_symmetric_and_empty_without_penalties():
    y, x, w, penalties = problem(3, weighted=True, seed=5)
    h = hessian(y, x, w, np.array([1.0, -2.0, 0.0]), penalties)
    assert np.array_equal(h, h.T)
    assert t.reml_hessian_multi_qr(y, x, w, [], []).shape == (0, 0)


def test_uninvertible_factor_is_a_singular_matrix():
    # No data and no penalty: the factor is the zero matrix, with no scale to ridge against.
    y, x, w, _ = problem(1)
    with pytest.raises(ValueError, match="^Singular matrix encountered$"):
        t.reml_hessian_multi_qr(y, np.zeros_like(x), w, [1.0], [np.zeros((x.shape[1],) * 2)])


def test_singular_factor_hessian_is_the_derivative_of_the_gradient():
    # A zero column no penalty reaches: gradient and Hessian both use the ridged factor, so the
    # Hessian is still the derivative of the gradient (central differences, step 1e-5).
    y, x, w, penalties = problem(1)
    x = x.copy()
    x[:, 0] = 0.0
    s = penalties[0].copy()
    s[0, :] = s[:, 0] = 0.0
    rho = np.array([0.2])
    h = hessian(y, x, w, rho, [s])
    fd = central_difference(lambda r: gradient(y, x, w, r, [s]), rho, h=1e-5)[:, 0]
    assert np.all(np.isfinite(h))
    # O(h²) truncation and the coefficient ridge that only the gradient's β carries
    np.testing.assert_allclose(h[:, 0], fd, rtol=1e-4)


@pytest.mark.parametrize("lambdas, penalty, message", [
    ([1.0, 1.0], np.eye(6), "Number of lambdas must match number of penalty matrices"),
    ([1.0], np.eye(5), "Penalty matrix 0 is 5×5 but X has 6 columns"),
])
def test_inconsistent_sizes_are_dimension_mismatches(lambdas, penalty, message):
    y, x, w, _ = problem(1)
    with pytest.raises(ValueError, match="^Matrix dimension mismatch: " + message):
        t.reml_hessian_multi_qr(y, x, w, lambdas, [penalty])


# ---- Diagnostics -------------------------------------------------------------------------

NUMBER = r"-?\d+\.\d{6}"
BLOCK = [
    r"",
    r"\[HESS_CORRECTED\] H\[(\d+),(\d+)\]:",
    rf"  Term 1 \(∂²tr/∂ρⱼ∂ρᵢ\): ({NUMBER})",
    rf"    - 1a \(cross\): ({NUMBER})",
    rf"    - 1b \(diagonal\): ({NUMBER})",
    rf"  Term 2 \(∂²\(P/φ\)/∂ρⱼ∂ρᵢ\): ({NUMBER})",
    rf"    - 2a \(d2P/φ\): ({NUMBER})",
    rf"    - 2b \(cross dP·dφ/φ²\): ({NUMBER})",
    rf"    - 2c \(P·dφ²/φ³\): ({NUMBER})",
    rf"    - 2d \(P·d2φ/φ²\): ({NUMBER})",
    rf"    - d2rss: ({NUMBER})",
    rf"    - d2P: ({NUMBER})",
    rf"    - d2phi: ({NUMBER})",
    rf"  Term 3 \(∂/∂ρⱼ\[\(n-r\)·dφ/φ\]\): ({NUMBER})",
    rf"    - 3a \(\(n-r\)·d2φ/φ\): ({NUMBER})",
    rf"    - 3b \(-\(n-r\)·dφ²/φ²\): ({NUMBER})",
    rf"  TOTAL: ({NUMBER})",
]


def blocks(lines):
    """Each element block as (i, j, [numbers in order]), checked line by line."""
    found = []
    for start, line in enumerate(lines):
        if not line.startswith("[HESS_CORRECTED] H["):
            continue
        numbers = []
        for pattern, text in zip(BLOCK, lines[start - 1:start - 1 + len(BLOCK)]):
            match = re.fullmatch(pattern, text)
            assert match, f"{text!r} does not match {pattern!r}"
            numbers.extend(match.groups())
        found.append((int(numbers[0]), int(numbers[1]), [float(v) for v in numbers[2:]]))
    return found


@pytest.fixture
def hess_debug(monkeypatch):
    monkeypatch.setenv("VORNA_HESS_DEBUG", "")
    monkeypatch.delenv("VORNA_GRAD_DEBUG", raising=False)


@pytest.mark.parametrize("m, pairs", [
    (1, [(0, 0)]),
    (3, [(0, 0), (0, 1), (1, 1), (2, 2)]),
])
def test_breakdown_blocks_for_diagonal_and_first_off_diagonal(m, pairs, hess_debug, capfd):
    y, x, w, penalties = problem(m)
    h = hessian(y, x, w, np.array(RHO[m]), penalties)
    lines = capfd.readouterr().err.split("\n")
    found = blocks(lines)
    assert [(i, j) for i, j, _ in found] == pairs
    # Printed with six decimals: sums of printed parts may be off by a few 5e-7 roundings.
    rounding = 2e-6
    for i, j, v in found:
        term1, a1, b1, term2, a2, b2, c2, d2, _, _, _, term3, a3, b3, total = v
        assert total == pytest.approx(h[i, j], abs=5e-7)
        assert term1 == pytest.approx(a1 + b1, abs=rounding)
        assert term2 == pytest.approx(a2 + b2 + c2 + d2, abs=rounding)
        assert term3 == pytest.approx(a3 + b3, abs=rounding)
        assert total == pytest.approx(term1 + term2 + term3, abs=rounding)
        if i != j:
            assert b1 == 0.0


def test_breakdown_header_and_final_matrix(hess_debug, capfd):
    y, x, w, penalties = problem(2)
    h = hessian(y, x, w, np.array(RHO[2]), penalties)
    lines = capfd.readouterr().err.split("\n")
    assert lines[:3] == [
        "",
        "[HESS_CORRECTED] Starting CORRECTED Hessian computation (matching gradient)",
        "[HESS_CORRECTED] n=80, p=12, m=2",
    ]
    assert re.fullmatch(rf"\[HESS_CORRECTED\] RSS={NUMBER}, phi={NUMBER}, P={NUMBER}", lines[3])
    assert lines[4] == "[HESS_CORRECTED] total_rank=8, n-r=72.000000"
    final = lines.index("[HESS_CORRECTED] Final Hessian:")
    assert lines[final - 1] == ""
    rows = lines[final + 1:final + 3]
    assert lines[final + 3:] == [""]  # the trailing newline of the last row
    for i, row in enumerate(rows):
        assert re.fullmatch(r"  \[(.{10} ){2}\]", row), row
        values = [float(row[3 + 11 * k:13 + 11 * k]) for k in range(2)]
        np.testing.assert_allclose(values, h[i], atol=5e-7)  # six printed decimals


def test_stacked_factor_prints_nothing_but_roots_still_do(monkeypatch, capfd):
    monkeypatch.delenv("VORNA_HESS_DEBUG", raising=False)
    monkeypatch.delenv("VORNA_GRAD_DEBUG", raising=False)
    y, x, w, penalties = problem(2)
    hessian(y, x, w, np.array(RHO[2]), penalties)
    assert capfd.readouterr().err == ""
    monkeypatch.setenv("VORNA_GRAD_DEBUG", "1")
    hessian(y, x, w, np.array(RHO[2]), penalties)
    err = capfd.readouterr().err
    assert err.count("[PENALTY_SQRT_DEBUG] Matrix size: 12×12") == 2
    assert err.count("[PHI_DEBUG]") == 1  # the coefficients are those of the gradient
    assert "[Z_BUILD_DEBUG]" not in err and "[QR_DEBUG]" not in err
    assert "[HESS_CORRECTED]" not in err
