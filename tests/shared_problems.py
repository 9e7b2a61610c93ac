"""Problems and NumPy references shared by several test modules.

Everything here is written from the formulas with NumPy alone, so that a test
can compare the library with it; none of it calls vorna_core.
"""
import math

import numpy as np

# ---- Penalties -----------------------------------------------------------------------------


def difference_penalty(k, order=2):
    """DᵀD for the order-th differences of k coefficients (rank k − order)."""
    d = np.diff(np.eye(k), order, axis=0)
    return d.T @ d


def embedded_penalties(blocks):
    """Each square block placed at its own diagonal position of a p × p zero matrix,
    p the sum of the block sizes: one penalty per block, in order."""
    p = sum(len(b) for b in blocks)
    penalties, start = [], 0
    for b in blocks:
        s = np.zeros((p, p))
        s[start:start + len(b), start:start + len(b)] = b
        penalties.append(s)
        start += len(b)
    return penalties


def cr_second_differences(knots):
    """D, (k − 2) × k: the second divided differences of a natural cubic spline at the knots."""
    k = len(knots)
    h = np.diff(knots)
    d = np.zeros((k - 2, k))
    for i in range(k - 2):
        d[i, i:i + 3] = 1 / h[i], -1 / h[i] - 1 / h[i + 1], 1 / h[i + 1]
    return d


def cr_penalty(knots):
    """The cubic regression spline penalty DᵀB⁻¹D (∫f″² of the natural spline through the
    coefficients), B the tridiagonal matrix of the spacings, by a dense NumPy solve."""
    k = len(knots)
    h = np.diff(knots)
    d = cr_second_differences(knots)
    b = np.zeros((k - 2, k - 2))
    for i in range(k - 2):
        b[i, i] = (h[i] + h[i + 1]) / 3
        if i + 1 < k - 2:
            b[i, i + 1] = b[i + 1, i] = h[i + 1] / 6
    return d.T @ np.linalg.solve(b, d)


def scaled_block_penalties(design, raw):
    """The penalties of a fit: raw penalty j, for the j-th block of columns B_j of the
    design (in order, each as wide as its penalty), times ‖B_j‖∞²/‖S_j‖∞, embedded."""
    scaled, start = [], 0
    for s in raw:
        block = design[:, start:start + len(s)]
        scaled.append(s * np.abs(block).sum(axis=1).max() ** 2 / np.abs(s).sum(axis=1).max())
        start += len(s)
    return embedded_penalties(scaled)


def block_problem(m, k=6, n=80, seed=0, weighted=False):
    """y, X, w and m second-difference penalties, each on its own block of k columns."""
    rng = np.random.default_rng(seed)
    p = m * k
    x = rng.normal(size=(n, p))
    y = x @ rng.normal(size=p) + rng.normal(size=n)
    w = rng.uniform(0.5, 2.0, size=n) if weighted else np.ones(n)
    return y, x, w, embedded_penalties([difference_penalty(k)] * m)


# ---- Knots ---------------------------------------------------------------------------------


def quantile_knots(column, k):
    """The k − 2 interior knots a B-spline smooth places from a data column: linear
    quantiles b/(k − 1) of the sorted column, then moved 1e-6 of its range inside
    the ends where they fall on or beyond them, and put in order (a mass of data at an
    end can leave quantiles closer to it than that)."""
    s = np.sort(column)
    n = len(s)
    knots = []
    for b in range(1, k - 1):
        pos = (b / (k - 1)) * (n - 1)
        idx = int(np.floor(pos))
        f = pos - idx
        knots.append(s[n - 1] if idx >= n - 1 else (1 - f) * s[idx] + f * s[idx + 1])
    eps = (s[-1] - s[0]) * 1e-6
    knots = [s[0] + eps if t <= s[0] else t for t in knots]
    return np.sort([s[-1] - eps if t >= s[-1] else t for t in knots])


# ---- The four families ----------------------------------------------------------------------


def ref_link_inverse(family, eta):
    """μ(η) with the guards of the families: logit and log clamped at 20, 1/η set
    to 1e10 where |η| < 1e-10."""
    if family == "gaussian":
        return eta
    if family == "binomial":
        return 1.0 / (1.0 + np.exp(-np.clip(eta, -20, 20)))
    if family == "poisson":
        return np.exp(np.minimum(eta, 20))
    with np.errstate(divide="ignore"):
        return np.where(np.abs(eta) < 1e-10, 1e10, 1.0 / eta)


def ref_mu_eta(family, eta):
    """dμ/dη, without the clamps of the inverse link (but binomial μ is the clamped one)."""
    if family == "gaussian":
        return np.ones_like(eta)
    if family == "binomial":
        mu = ref_link_inverse(family, eta)
        return mu * (1 - mu)
    if family == "poisson":
        return np.exp(eta)
    return -1.0 / eta**2


def ref_variance(family, mu):
    return {"gaussian": np.ones_like(mu), "binomial": mu * (1 - mu), "poisson": mu, "gamma": mu**2}[family]


def ref_working_weights(family, eta):
    """(dμ/dη)²/V(μ), the variance and the result floored at 1e-10."""
    mu = ref_link_inverse(family, eta)
    d = ref_mu_eta(family, eta)
    return np.maximum(d**2 / np.maximum(ref_variance(family, mu), 1e-10), 1e-10)


# ---- Smoothness criteria --------------------------------------------------------------------


def profiled_reml(rho, y, x, w, penalties):
    """The REML criterion with the scale profiled out, φ = RSS/(n − Σ rank S_j), at
    λ = exp(ρ): no ridge, ranks from the eigenvalues. It is what the library's REML
    gradient and Hessian differentiate."""
    lam = np.exp(rho)
    n = len(y)
    a = x.T @ (w[:, None] * x) + sum(l * s for l, s in zip(lam, penalties))
    beta = np.linalg.solve(a, x.T @ (w * y))
    e = y - x @ beta
    rss = w @ (e * e)
    pen = sum(l * beta @ s @ beta for l, s in zip(lam, penalties))
    ranks = [np.linalg.matrix_rank(s) for s in penalties]
    dof = n - sum(ranks)
    phi = rss / dof
    return 0.5 * ((rss + pen) / phi + dof * np.log(2 * np.pi * phi) + np.linalg.slogdet(a)[1]
                  - sum(r * rh for r, rh in zip(ranks, rho)))


def criterion_ref(y, x, w, rho, penalties, kind):
    """The smoothing-parameter selection criteria of the working model in dense NumPy,
    constants included: REML with a profiled scale φ = RSS/(n − r) or φ = 1, or
    (n/2)·log GCV, and so on; A carries the fit's ridge δ = 1e-5·(1 + √m)·max diag XᵀWX."""
    n, m = len(y), len(penalties)
    xtwx = x.T @ (w[:, None] * x)
    lam = np.exp(rho)
    s_lam = sum((l * s for l, s in zip(lam, penalties)), np.zeros_like(xtwx))
    delta = 1e-5 * (1 + math.sqrt(m)) * np.diag(xtwx).max()
    a = xtwx + s_lam + delta * np.eye(len(xtwx))
    beta = np.linalg.solve(a, x.T @ (w * y))
    rss = np.sum(w * (y - x @ beta) ** 2)
    if kind == "gcv":
        tau = np.trace(np.linalg.solve(a, xtwx))
        return 0.5 * n * math.log(n * rss / (n - tau) ** 2)
    if kind == "ubre":
        return 0.5 * rss + np.trace(np.linalg.solve(a, xtwx))
    dev = rss + beta @ (s_lam + delta * np.eye(len(xtwx))) @ beta
    # log|S_λ|₊ from the eigenvalues of S_λ: Σ r_j ρ_j plus a constant when the penalties act on
    # separate coefficients, and the determinant on the common range when they share them.
    ev = np.linalg.eigvalsh(s_lam)
    pos = ev[ev > 1e-9 * ev.max()]
    ell = np.sum(np.log(pos))
    if kind in ("ml", "ml_known"):
        # Marginal likelihood integrating only the penalized range U of the penalties.
        ev_sum, vec = np.linalg.eigh(sum(p / np.linalg.norm(p) for p in penalties))
        u = vec[:, ev_sum > 1e-9 * ev_sum.max()]
        logdet_range = np.linalg.slogdet(u.T @ a @ u)[1]
        return 0.5 * ((n * math.log(dev) if kind == "ml" else dev) + logdet_range - ell)
    if kind == "reml_exact":
        # Restricted likelihood with φ at its optimum D/(n − M_p).
        m_p = len(xtwx) - len(pos)
        return 0.5 * ((n - m_p) * math.log(dev) + np.linalg.slogdet(a)[1] - ell)
    ranks = [np.sum(e > 1e-10 * max(e.max(), 1.0)) for e in map(np.linalg.eigvalsh, penalties)]
    logdet = np.linalg.slogdet(a)[1]
    if kind == "reml_known":
        return 0.5 * (dev + logdet - ell)
    nu = n - sum(ranks)
    phi = rss / nu
    return 0.5 * (dev / phi + nu * math.log(2 * math.pi * phi) + logdet - ell)


def central_difference(f, rho, h=1e-4):
    """∂f/∂ρ_j by central differences, one column per j (a vector for scalar f).
    Truncation error ~h²·f‴/6, rounding ~ε·|f|/h."""
    rho = np.asarray(rho, dtype=float)
    return np.array([(np.asarray(f(rho + h * e)) - np.asarray(f(rho - h * e))) / (2 * h)
                     for e in np.eye(len(rho))]).T
