"""vorna: generalized additive models with exact REML smoothing selection on a C++ core.

>>> from vorna import GAM, s, te, f, l
>>> model = GAM(s("age") + te("lat", "lon") + f("region"), family="poisson").fit(df, df["count"])
"""

from .model import GAM, CoefficientTest, ConvergenceWarning, SmoothTest
from .terms import Term, TermList, f, intercept, l, s, te

__all__ = ["GAM", "CoefficientTest", "ConvergenceWarning", "SmoothTest", "Term", "TermList", "f", "intercept", "l",
           "s", "te"]
