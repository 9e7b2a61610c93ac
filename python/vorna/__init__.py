"""vorna: generalized additive models with exact REML smoothing selection on a C++ core.

>>> from vorna import GAM, s, te, f, l
>>> model = GAM(s("age") + te("lat", "lon") + f("region"), family="poisson").fit(df, df["count"])
"""

from .estimators import GammaGAM, LinearGAM, LogisticGAM, PoissonGAM
from .formula import FormulaError, parse_formula
from .model import GAM, CoefficientTest, ConvergenceWarning, NotFittedError, SmoothTest
from .summary import Summary
from .terms import Term, TermList, f, intercept, l, s, te, ti

__version__ = "0.1.0"

__all__ = ["GAM", "CoefficientTest", "ConvergenceWarning", "FormulaError", "GammaGAM", "LinearGAM", "LogisticGAM",
           "NotFittedError", "PoissonGAM", "SmoothTest", "Summary", "Term", "TermList", "f", "intercept", "l", "parse_formula", "s",
           "te", "ti"]
