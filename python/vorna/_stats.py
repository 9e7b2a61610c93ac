"""Tail probabilities of the reference distributions used by the tests of a
fitted model (normal, Student t, chi-squared, F), so that inference needs no
dependency beyond NumPy.

The incomplete beta and gamma functions follow the classical expansions:
the continued fraction for I_x(a, b) evaluated by the modified Lentz method
(Lentz 1976; Thompson & Barnett 1986), and the series / continued fraction
pair for the regularized gamma functions (Abramowitz & Stegun 6.5.29, 6.5.31).
"""

from __future__ import annotations

import math

_TINY = 1e-300
_EPS = 1e-15
_MAX_TERMS = 10_000


def _beta_fraction(a: float, b: float, x: float) -> float:
    # Continued fraction of I_x(a, b)·B(a, b)·x^(−a)·(1 − x)^(−b)·a.
    c, d = 1.0, 1.0 - (a + b) * x / (a + 1.0)
    d = 1.0 / (d if abs(d) > _TINY else _TINY)
    h = d
    for m in range(1, _MAX_TERMS):
        for numerator in (
            m * (b - m) * x / ((a + 2 * m - 1) * (a + 2 * m)),
            -(a + m) * (a + b + m) * x / ((a + 2 * m) * (a + 2 * m + 1)),
        ):
            d = 1.0 + numerator * d
            d = 1.0 / (d if abs(d) > _TINY else _TINY)
            c = 1.0 + numerator / c
            c = c if abs(c) > _TINY else _TINY
            h *= d * c
        if abs(d * c - 1.0) < _EPS:
            break
    return h


def betainc(a: float, b: float, x: float) -> float:
    """The regularized incomplete beta function I_x(a, b) for a, b > 0."""
    if x <= 0.0:
        return 0.0
    if x >= 1.0:
        return 1.0
    log_front = a * math.log(x) + b * math.log1p(-x) - (math.lgamma(a) + math.lgamma(b) - math.lgamma(a + b))
    # The fraction converges fast for x < (a + 1)/(a + b + 2); use the symmetry otherwise.
    if x < (a + 1.0) / (a + b + 2.0):
        return math.exp(log_front) * _beta_fraction(a, b, x) / a
    return 1.0 - math.exp(log_front) * _beta_fraction(b, a, 1.0 - x) / b


def gammaincc(a: float, x: float) -> float:
    """The regularized upper incomplete gamma function Q(a, x) for a > 0."""
    if x <= 0.0:
        return 1.0
    log_front = a * math.log(x) - x - math.lgamma(a)
    if x < a + 1.0:
        term = total = 1.0 / a
        for n in range(1, _MAX_TERMS):
            term *= x / (a + n)
            total += term
            if abs(term) < abs(total) * _EPS:
                break
        return max(0.0, 1.0 - total * math.exp(log_front))
    b = x + 1.0 - a
    c, d = 1.0 / _TINY, 1.0 / b
    h = d
    for n in range(1, _MAX_TERMS):
        an = -n * (n - a)
        b += 2.0
        d = an * d + b
        d = 1.0 / (d if abs(d) > _TINY else _TINY)
        c = b + an / c
        c = c if abs(c) > _TINY else _TINY
        h *= d * c
        if abs(d * c - 1.0) < _EPS:
            break
    return math.exp(log_front) * h


def norm_sf(z: float) -> float:
    """P(Z > z) for a standard normal Z."""
    return 0.5 * math.erfc(z / math.sqrt(2.0))


def norm_ppf(p: float) -> float:
    """The standard normal quantile, by Newton's method on norm_sf (0 < p < 1)."""
    if not 0.0 < p < 1.0:
        raise ValueError("p must lie strictly between 0 and 1")
    z = 0.0
    for _ in range(100):
        step = (1.0 - norm_sf(z) - p) / (math.exp(-0.5 * z * z) / math.sqrt(2.0 * math.pi))
        z -= step
        if abs(step) < 1e-14 * (1.0 + abs(z)):
            break
    return z


def t_sf(t: float, df: float) -> float:
    """P(T > t) for Student's t with df degrees of freedom."""
    if not math.isfinite(df) or df > 1e7:
        return norm_sf(t)
    tail = 0.5 * betainc(0.5 * df, 0.5, df / (df + t * t))
    return tail if t > 0 else 1.0 - tail


def chi2_sf(x: float, df: float) -> float:
    """P(X > x) for chi-squared with df degrees of freedom."""
    return gammaincc(0.5 * df, 0.5 * x)


def f_sf(x: float, df1: float, df2: float) -> float:
    """P(F > x) for the F distribution with (df1, df2) degrees of freedom."""
    if x <= 0.0:
        return 1.0
    return betainc(0.5 * df2, 0.5 * df1, df2 / (df2 + df1 * x))
