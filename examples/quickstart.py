"""Quick start: inspect the raw penalty of a cubic regression spline basis."""
import numpy as np

import vorna_core

knots = np.linspace(0.0, 1.0, 5)
penalty = vorna_core.compute_penalty_matrix("cr", 5, knots)
np.set_printoptions(precision=3, suppress=True)
print("cubic regression spline penalty for knots", knots)
print(penalty)
print("penalty of a straight line (should be ~0):", penalty @ knots)
