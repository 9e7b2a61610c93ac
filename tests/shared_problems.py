"""Problems shared by the tests of the exact Hessian and of Newton-PIRLS."""
import numpy as np


def block_problem(m, k=6, n=80, seed=0, weighted=False):
    """y, X, w and m second-difference penalties, each on its own block of k columns."""
    rng = np.random.default_rng(seed)
    p = m * k
    x = rng.normal(size=(n, p))
    y = x @ rng.normal(size=p) + rng.normal(size=n)
    w = rng.uniform(0.5, 2.0, size=n) if weighted else np.ones(n)
    d = np.diff(np.eye(k), 2, axis=0)
    penalties = []
    for j in range(m):
        s = np.zeros((p, p))
        s[j * k:(j + 1) * k, j * k:(j + 1) * k] = d.T @ d
        penalties.append(s)
    return y, x, w, penalties
