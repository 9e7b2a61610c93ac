"""Simulated data sets with a known truth, for examples and experiments."""

from __future__ import annotations

from typing import Any

import numpy as np


def simulate(n: int = 2000, seed: int = 0, as_frame: bool | None = None) -> Any:
    """A Gaussian data set with a smooth effect of age, a spatial surface over
    (lat, lon), a three-level region factor and a linear dose effect.

    Returns a pandas DataFrame when pandas is installed (or `as_frame` is
    True), otherwise a dict of NumPy arrays; the column ``truth`` holds the
    true mean of ``y``.

    >>> data = simulate(n=100, as_frame=False)
    >>> sorted(data)
    ['age', 'dose', 'lat', 'lon', 'region', 'truth', 'y']
    """
    rng = np.random.default_rng(seed)
    age = rng.uniform(20, 80, n)
    lat, lon = rng.uniform(0, 1, n), rng.uniform(0, 1, n)
    region = rng.choice(np.array(["north", "south", "west"]), n)
    dose = rng.normal(0, 1, n)
    truth = (np.sin(age / 10) + 1.5 * np.exp(-8 * ((lat - 0.6) ** 2 + (lon - 0.4) ** 2))
             + 0.5 * (region == "south") - 0.3 * (region == "west") + 0.25 * dose)
    data = {"age": age, "lat": lat, "lon": lon, "region": region, "dose": dose, "truth": truth,
            "y": truth + 0.4 * rng.standard_normal(n)}
    if as_frame is False:
        return data
    try:
        import pandas as pd
    except ImportError:
        if as_frame:
            raise
        return data
    return pd.DataFrame(data)
