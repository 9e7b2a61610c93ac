"""Smooths described by a formula, and manual smooths added one at a time."""
import numpy as np

import vorna_core

rng = np.random.default_rng(2)
x = rng.uniform(0.0, 1.0, size=(500, 2))
y = np.sin(2 * np.pi * x[:, 0]) + 0.5 * x[:, 1] + 0.1 * rng.standard_normal(500)

# One term per column of x: s(column, k=basis dimension).
by_formula = vorna_core.GAM()
print("formula:", by_formula.fit_formula(x, y, "s(0, k=12) + s(1, k=5)", "REML", None)["lambda"])

# The same model built by hand: B-spline smooths over fixed ranges, then fit_manual.
by_hand = vorna_core.GAM()
by_hand.add_cubic_spline("x0", 12, 0.0, 1.0)
by_hand.add_cubic_spline("x1", 5, 0.0, 1.0)
print("manual: ", by_hand.fit_manual(x, y, "REML", None)["lambda"])
print("largest difference of the fitted values:",
      np.max(np.abs(by_formula.get_fitted_values() - by_hand.get_fitted_values())))
