"""Quick start: a GAM with a smooth, a spatial surface, a factor and a linear term.

Run:  python examples/quickstart.py [picture.png]
With matplotlib installed it also draws each term's partial effect with its 95% band
(into quickstart.png, or the file named on the command line).
"""
import sys

import numpy as np

from vorna import GAM
from vorna.datasets import simulate

df = simulate(n=2000)
model = GAM("y ~ s(age) + te(lat, lon) + f(region) + l(dose)").fit(df)
print(model.summary())
print(f"RMSE against the true mean: {np.sqrt(np.mean((model.predict(df) - df['truth']) ** 2)):.4f} "
      "(noise standard deviation 0.4)")

try:
    import matplotlib

    matplotlib.use("Agg")
except ImportError:
    print("matplotlib is not installed: skipping the plot")
else:
    from vorna.plot import plot_terms

    out = sys.argv[1] if len(sys.argv) > 1 else "quickstart.png"
    plot_terms(model, df, ncols=4).savefig(out, dpi=80)
    print("wrote", out)
