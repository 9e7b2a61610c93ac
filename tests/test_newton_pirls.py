"""Newton-PIRLS: the stand-alone Newton optimizer with line search or dogleg trust region."""
import math
import re

import numpy as np
import pytest
from scipy.optimize import minimize

import _vorna_core_testing as t

from shared_problems import block_problem as problem
from shared_problems import central_difference, profiled_reml


def run(y, x, w, rho, penalties, **config):
    return t.newton_pirls(y, x, w, np.asarray(rho, dtype=float), penalties, **config)


def grad_and_hess(y, x, w, rho, penalties):
    lam = list(np.exp(rho))
    return (t.reml_gradient_multi_qr(y, x, w, lam, penalties),
            t.reml_hessian_multi_qr(y, x, w, lam, penalties))


def criterion(y, x, w, rho, penalties):
    return t.reml_criterion(y, x, w, list(np.exp(rho)), penalties)


@pytest.fixture(autouse=True)
def quiet(monkeypatch):
    for name in ("VORNA_HESS_DEBUG", "VORNA_GRAD_DEBUG"):
        monkeypatch.delenv(name, raising=False)


# ---- Convergence -----------------------------------------------------------------------

# The line search compares reml_criterion (a 1e-5 ridge) while the direction comes from
# the gradient (a 1e-7 ridge); their stationary points differ by gradients near 2e-5 on
# these problems, so the default 1e-6 is out of reach and the tests ask for 1e-4.
GRAD_TOL = 1e-4


@pytest.mark.parametrize("trust_region", [False, True], ids=["line_search", "trust_region"])
@pytest.mark.parametrize("m, weighted", [(1, False), (2, True), (3, False)])
def test_converges_to_the_minimum_of_an_independent_criterion(m, weighted, trust_region):
    y, x, w, penalties = problem(m, weighted=weighted)
    r = run(y, x, w, np.zeros(m), penalties, grad_tol=GRAD_TOL, use_trust_region=trust_region)
    assert r["converged"], r["message"]
    assert re.fullmatch(r"Converged: gradient norm \d\.\d{6}e-\d+ < 1\.000000e-4", r["message"])
    # The C library's exp and NumPy's may differ in the last bit.
    np.testing.assert_allclose(r["lambda"], np.exp(r["log_lambda"]), rtol=4e-16)
    assert r["reml"] == criterion(y, x, w, r["log_lambda"], penalties)

    f = lambda rho: profiled_reml(rho, y, x, w, penalties)  # noqa: E731
    g = central_difference(f, r["log_lambda"], h=1e-5)
    # grad_tol plus the two criteria's ridge difference (~2e-5) plus the central
    # difference's rounding (ε·|V|/h ≈ 1e-9).
    assert np.abs(g).max() < 2 * GRAD_TOL, g
    reference = minimize(f, np.zeros(m), method="BFGS", options={"gtol": 1e-9})
    # Near the minimum V − V* ≈ ½gᵀH⁻¹g, about 1e-8 for |g| ~ 1e-4 and H ~ 1.
    assert f(r["log_lambda"]) - reference.fun < 1e-7


def test_without_penalties_converges_at_once():
    y, x, w, _ = problem(1)
    r = run(y, x, w, [], [])
    assert r["message"] == "Converged: gradient norm 0.000000e0 < 1.000000e-6"
    assert r["converged"] and r["iterations"] == 1
    assert r["log_lambda"].shape == (0,) and r["lambda"].shape == (0,)


@pytest.mark.parametrize("max_iter", [1, 2, 3])
def test_iteration_limit_and_hessians_computed(max_iter, monkeypatch, capfd):
    y, x, w, penalties = problem(2)
    rho0 = np.array([0.5, -0.5])
    monkeypatch.setenv("VORNA_HESS_DEBUG", "")
    r = run(y, x, w, rho0, penalties, max_iter=max_iter)
    err = capfd.readouterr().err
    # One Hessian per iteration that goes on to a step; the last one stops after its gradient.
    assert err.count("Starting CORRECTED Hessian") == max_iter - 1
    assert "Newton-PIRLS" not in err  # no trace unless verbose
    assert r["message"] == f"Max iterations ({max_iter}) reached"
    assert not r["converged"] and r["iterations"] == max_iter
    if max_iter == 1:
        np.testing.assert_array_equal(r["log_lambda"], rho0)
        assert r["reml"] == criterion(y, x, w, rho0, penalties)


def test_mismatched_penalty_count():
    y, x, w, penalties = problem(2)
    with pytest.raises(ValueError, match=re.escape(
            "Matrix dimension mismatch: Number of penalties (2) must match log_lambda (1)")):
        run(y, x, w, [0.0], penalties)


def test_unsolvable_newton_system_is_singular():
    # A zero penalty makes the gradient and the Hessian exactly zero; with grad_tol 0 the
    # optimizer goes on to a Newton system that not even the ridge (0·1e-6) can fix.
    y, x, w, penalties = problem(1)
    with pytest.raises(ValueError, match="^Singular matrix encountered$"):
        run(y, x, w, [0.0], [np.zeros_like(penalties[0])], grad_tol=0.0)


# ---- Newton direction --------------------------------------------------------------------

def test_newton_direction_and_its_ridged_retry():
    g = np.array([1.0, 2.0])
    h = np.array([[2.0, 0.5], [0.5, 1.0]])
    # A well-conditioned 2 × 2 solve: a few ulps.
    np.testing.assert_allclose(t.newton_direction(h, g), np.linalg.solve(h, -g), rtol=1e-14)
    h = np.ones((2, 2))  # singular: retried with H + 1e-6·max|H_ii|·I
    expected = np.linalg.solve(h + 1e-6 * np.eye(2), -g)
    # Condition number ~2e6: the two elimination orders agree to ~1e-10 relative.
    np.testing.assert_allclose(t.newton_direction(h, g), expected, rtol=1e-8)
    with pytest.raises(ValueError, match="^Singular matrix encountered$"):
        t.newton_direction(np.zeros((2, 2)), g)


# ---- Line search ---------------------------------------------------------------------------

def first_decrease(y, x, w, rho, direction, penalties):
    """The backtracking rule: the first α in 1, 1/2, 1/4, … at which the criterion falls."""
    v = criterion(y, x, w, rho, penalties)
    alpha = 1.0
    while criterion(y, x, w, rho + alpha * direction, penalties) >= v:
        alpha *= 0.5
        assert alpha > 1e-10, "no decrease along the direction"
    return alpha


def test_ascent_direction_is_replaced_by_steepest_descent():
    y, x, w, penalties = problem(1)
    rho0 = np.array([3.0])
    g, h = grad_and_hess(y, x, w, rho0, penalties)
    assert g @ np.linalg.solve(h, -g) > 0  # the Newton direction climbs here
    alpha = first_decrease(y, x, w, rho0, -g, penalties)
    r = run(y, x, w, rho0, penalties, max_iter=2)
    # The step α·(−g) with a power-of-two α: only the gradient's own rounding differs.
    np.testing.assert_allclose(r["log_lambda"], rho0 - alpha * g, rtol=1e-13)


def test_only_the_first_five_trials_are_traced(capfd):
    # From ρ = −9 the Newton step overshoots by hundreds of units in ρ; halving takes
    # eight trials to come back to where the criterion is lower.
    y, x, w, penalties = problem(1)
    run(y, x, w, [-9.0], penalties, max_iter=2, verbose=True)
    first = capfd.readouterr().err.split("\nIteration 2")[0]
    assert len(re.findall(r"^    step=", first, re.M)) == 5
    assert "  Accepted step: 7.812500e-3\n" in first


def test_exhausted_search_still_moves_by_the_last_step():
    y, x, w, penalties = problem(1)
    rho0 = np.array([-9.0])
    g, h = grad_and_hess(y, x, w, rho0, penalties)
    r = run(y, x, w, rho0, penalties, max_iter=2, max_line_search=3)
    # Three rejected trials leave α = 0.5³; ρ moves by α·p_N regardless.
    np.testing.assert_allclose(r["log_lambda"], rho0 + 0.125 * np.linalg.solve(h, -g),
                               rtol=1e-12)  # a 1 × 1 solve: rounding only


def test_step_below_min_step_stops_the_search():
    y, x, w, penalties = problem(1)
    r = run(y, x, w, [0.0], penalties, max_line_search=0, min_step=2.0)
    assert r["message"] == "Line search failed: step size 1.000000e0 < 2.000000e0"
    assert not r["converged"] and r["iterations"] == 1
    assert r["log_lambda"].tolist() == [0.0]


# ---- Trust region --------------------------------------------------------------------------

@pytest.mark.parametrize("ratio, step_norm, expected", [
    (0.1, 1.0, 0.5),               # poor model: shrink to a quarter
    (-3.0, 0.3, 0.5),
    (0.25, 2.0, 2.0),              # the shrink threshold is strict
    (0.5, 2.0, 2.0),               # fair model: keep
    (0.9, 2.0, 4.0),               # good model on the boundary: double
    (0.9, 2.0 + 5e-7, 4.0),        # within 1e-6 of the boundary
    (0.9, 1.0, 2.0),               # good model inside: keep
    (0.75, 2.0, 2.0),              # the growth threshold is strict
    (math.nan, 2.0, 2.0),          # NaN compares false everywhere
])
def test_radius_rules(ratio, step_norm, expected):
    assert t.updated_radius(ratio, step_norm, 2.0, 10.0) == expected


def test_radius_growth_is_capped():
    assert t.updated_radius(0.9, 8.0, 8.0, 10.0) == 10.0


# Stiff in the first coordinate: the Cauchy point (length 0.25) falls well short of
# the Newton step (length 2.0).
H_PD = np.array([[10.0, 0.5], [0.5, 0.5]])
G = np.array([1.0, 1.0])


def test_newton_step_inside_the_region():
    newton = np.linalg.solve(H_PD, -G)
    step, kind, _ = t.trust_region_step(G, H_PD, newton, True, 10.0)
    assert kind == "newton"
    np.testing.assert_array_equal(step, newton)


def test_dogleg_meets_the_boundary_on_the_segment():
    newton = np.linalg.solve(H_PD, -G)
    radius = 1.0
    cauchy = -(G @ G) / (G @ H_PD @ G) * G
    assert np.linalg.norm(cauchy) < radius < np.linalg.norm(newton)
    step, kind, beta = t.trust_region_step(G, H_PD, newton, True, radius)
    assert kind == "dogleg"
    e = newton - cauchy
    roots = np.roots([e @ e, 2 * cauchy @ e, cauchy @ cauchy - radius ** 2])
    # Quadratic roots in closed form vs companion eigenvalues: ~1e-15 relative.
    assert beta == pytest.approx(roots.real.max(), rel=1e-12)
    np.testing.assert_allclose(step, cauchy + beta * e, rtol=1e-12)
    assert np.linalg.norm(step) == pytest.approx(radius, rel=1e-12)


def test_cauchy_point_is_scaled_to_the_boundary_without_curvature():
    # This used to come back as a dogleg: the computed ‖p_C‖ fell an ulp short of Δ.
    h = -np.eye(2)  # negative curvature: the Cauchy step runs to the boundary
    newton = np.linalg.solve(h, -G)
    step, kind, _ = t.trust_region_step(G, h, newton, True, 0.5)
    assert kind == "scaled_cauchy"
    np.testing.assert_allclose(step, -0.5 * G / np.linalg.norm(G), rtol=1e-14)  # a few ulps


def test_not_descent_takes_the_unscaled_cauchy_point_inside():
    newton = -np.linalg.solve(H_PD, -G)  # pointing uphill
    step, kind, _ = t.trust_region_step(G, H_PD, newton, False, 100.0)
    assert kind == "cauchy_not_descent"
    np.testing.assert_allclose(step, -(G @ G) / (G @ H_PD @ G) * G, rtol=1e-14)  # a few ulps


def stationary_point(y, x, w, penalties, rho):
    """Plain Newton on the library's gradient and Hessian, to a root of the gradient."""
    for _ in range(30):
        g, h = grad_and_hess(y, x, w, rho, penalties)
        rho = rho - np.linalg.solve(h, g)
    return rho


def test_rejections_shrink_the_radius_eightfold_until_too_small():
    # At a root of the gradient every predicted reduction is below 1e-10, so the ratio
    # counts as 0: Δ → 0.25Δ, and the rejected (zero) step halves it once more. From
    # Δ = 1, nine rejections reach 8⁻⁹ ≈ 7.45e-9, the first radius below 1e-8.
    y, x, w, penalties = problem(1)
    rho = stationary_point(y, x, w, penalties, np.array([0.0]))
    r = run(y, x, w, rho, penalties, use_trust_region=True, grad_tol=0.0)
    prefix = "Trust region too small: Δ="
    assert r["message"].startswith(prefix)
    # printed with seven significant digits
    assert float(r["message"][len(prefix):]) == pytest.approx(8.0 ** -9, rel=1e-6)
    assert r["iterations"] == 9 and not r["converged"]
    np.testing.assert_array_equal(r["log_lambda"], rho)


def test_accepted_boundary_steps_grow_the_radius_up_to_its_cap():
    # Far below the optimum the criterion is nearly linear in ρ: the Cauchy point on
    # the boundary predicts the reduction well (ratio near 1), so Δ doubles up to 1.5.
    y, x, w, penalties = problem(1)
    r = run(y, x, w, [-9.0], penalties, use_trust_region=True, initial_radius=0.5,
            max_radius=1.5, max_iter=5)
    assert r["iterations"] == 5 and r["message"] == "Max iterations (5) reached"
    # Four accepted steps, each of the length of the radius it was taken with: 0.5, 1.0,
    # 1.5, 1.5 (without the cap 0.5 + 1 + 2 + 4, without growth 4 · 0.5).
    assert r["log_lambda"][0] == pytest.approx(-9.0 + 4.5, abs=1e-12)  # sums of exact steps


def test_ascent_direction_takes_the_cauchy_step():
    y, x, w, penalties = problem(1)
    g, h = grad_and_hess(y, x, w, np.array([3.0]), penalties)
    # The Newton step climbs here, with H < 0 and g > 0 ...
    assert g @ np.linalg.solve(h, -g) > 0 and h[0, 0] < 0 < g[0]
    r = run(y, x, w, [3.0], penalties, use_trust_region=True, max_iter=2)
    # ... so the Cauchy step runs to the boundary Δ = 1 against g (the Newton step
    # −g/H would move ρ up).
    assert r["log_lambda"][0] == pytest.approx(2.0, abs=1e-12)


# ---- Trace ---------------------------------------------------------------------------------

SCI = r"-?\d\.\d+e-?\d+"
FIX = r"-?\d+\.\d+"
ARRAY = r"\[[^\]]*\], shape=\[\d+\], strides=\[1\], layout=CFcf \(0xf\), const ndim=1"
ITERATION_LINES = [
    r"",
    rf"Iteration \d+: max\|grad\| = {SCI}",
    rf"  Descent check \(g'·Δρ\): {SCI} \(should be < 0\)",
    r"  WARNING: Not a descent direction, using steepest descent",
    rf"  Line search: REML_current = -?\d+\.\d{{6}}",
    rf"    step=\d\.\d{{3}}e-?\d+: REML=-?\d+\.\d{{6}}, Δ={SCI}",
    r"    step=\d\.\d{3}e-?\d+: FAILED \(.*\)",
    rf"  Accepted step: \d\.\d{{6}}e-?\d+",
    rf"  Line search failed, returning step=\d\.\d{{6}}e-?\d+",
    rf"  Line search result: step = \d\.\d{{6}}e-?\d+",
    rf"  Trust region: Newton step not descent \(g'·Δρ={SCI}\), using Cauchy",
    rf"  Trust region: Using Newton step \(norm={SCI} ≤ Δ={SCI}\)",
    r"  Trust region: Using scaled Cauchy point",
    rf"  Trust region: Dogleg interpolation \(β={FIX}\)",
    rf"  Trust region: actual={SCI}, predicted={SCI}, ρ={SCI}",
    rf"  Trust region: ACCEPT \(ρ={FIX} > η={FIX}\)",
    rf"  Trust region: REJECT \(ρ={FIX} ≤ η={FIX}\)",
    rf"  New trust radius: Δ={SCI}",
    rf"  Step norm: \d\.\d{{6}}e-?\d+",
    rf"  New ρ: {ARRAY}",
]


@pytest.mark.parametrize("trust_region", [False, True])
def test_trace_lines(trust_region, capfd):
    y, x, w, penalties = problem(2)
    r = run(y, x, w, [0.0, 0.0], penalties, grad_tol=GRAD_TOL, verbose=True,
            use_trust_region=trust_region)
    lines = capfd.readouterr().err.split("\n")
    assert lines[:4] == [
        "Newton-PIRLS Optimization",
        "========================",
        "Initial ρ: [0.0, 0.0], shape=[2], strides=[1], layout=CFcf (0xf), const ndim=1",
        "Using trust region method (Δ=1.000)" if trust_region else "Using line search",
    ]
    body, tail = lines[4:-7], lines[-7:]
    for line in body:
        assert any(re.fullmatch(p, line) for p in ITERATION_LINES), line
    assert sum(line.startswith("Iteration ") for line in body) == r["iterations"]
    assert tail[:2] == ["", r["message"]]
    final_rho = re.fullmatch(r"Final ρ: \[(.*)\], shape=\[2\], strides=\[1\], "
                             r"layout=CFcf \(0xf\), const ndim=1", tail[2])
    # Shortest round-trip digits: the printed values read back exactly.
    assert [float(v) for v in final_rho.group(1).split(", ")] == r["log_lambda"].tolist()
    final_lambda = re.fullmatch(r"Final λ: \[(.*)\]", tail[3])
    assert [float(v) for v in final_lambda.group(1).split(", ")] == r["lambda"].tolist()
    assert tail[4] == f"Final REML: {r['reml']:.6f}"
    assert tail[5:] == [f"Iterations: {r['iterations']}", ""]


@pytest.mark.parametrize("max_iter", [10**6, 2**63 - 1])
@pytest.mark.parametrize("trust_region", [False, True])
def test_a_run_without_progress_stops_before_its_cap(max_iter, trust_region):
    # A tolerance below what rounding lets the gradient reach: the run must stop
    # on its own instead of spending the cap at one point.
    rng = np.random.default_rng(3)
    n = 200
    x = rng.uniform(size=(n, 10))
    s = np.eye(10)
    s[0, 0] = 0.0
    result = t.newton_pirls(rng.normal(size=n), x, np.ones(n), np.array([0.0]), [s], max_iter=max_iter,
                            grad_tol=1e-30, use_trust_region=trust_region)
    assert not result["converged"] and result["iterations"] < 1000, result
    # the line search stops on the stalled criterion, the trust region once its radius is spent
    expected = ("Trust region too small: Δ=" if trust_region
                else "No progress: the criterion fell by less than 1.0e-12 of its size in 20 iterations")
    assert result["message"].startswith(expected), result["message"]
