"""Plots of a fitted GAM (needs matplotlib: ``pip install "vorna_core[plot]"``).

`plot_terms` draws each term's partial effect with its pointwise interval
band and a rug of the data (a heat map for tensor products, estimates with
intervals for factors); `plot_diagnostics` draws a residual panel.
"""

from __future__ import annotations

import math
from typing import TYPE_CHECKING, Any

import numpy as np

from . import _engine, _stats
from ._data import Frame

if TYPE_CHECKING:  # pragma: no cover
    from matplotlib.axes import Axes
    from matplotlib.figure import Figure

    from .model import GAM
    from .terms import Block


def _pyplot() -> Any:
    try:
        import matplotlib.pyplot as plt
    except ImportError:  # pragma: no cover - exercised only without the extra
        raise ImportError('vorna.plot needs matplotlib: pip install "vorna_core[plot]"') from None
    return plt


def _grid(values: np.ndarray, n: int) -> np.ndarray:
    return np.linspace(float(np.min(values)), float(np.max(values)), n)


def _by_context(model: "GAM", block: "Block") -> dict[str, Any]:
    """The `by` value that selects a smooth: its level for a factor `by`, 1 for a numeric one."""
    by_key = block.spec[4] if block.spec[0] == "smooth" else None
    if by_key is None:
        return {}
    producer = block.producers[by_key]
    return {by_key[1]: producer.levels[producer.index] if by_key[0] == "ind" else 1.0}


def _level_rows(block: "Block", frame: Frame) -> Any:
    """The rows of a factor `by`'s level that selects the smooth (all rows otherwise): the
    data its panel shows, over the range the level's smooth was fitted on."""
    by_key = block.spec[4] if block.spec[0] == "smooth" else None
    if by_key is None or by_key[0] != "ind":
        return slice(None)
    rows = block.producers[by_key](frame) > 0
    return rows if rows.any() else slice(None)


def _context(model: "GAM", block: "Block", n: int, grid: dict[Any, np.ndarray]) -> dict[Any, np.ndarray]:
    """The data of a panel: the grid, with the `by` value that selects the smooth; a `by` that
    is one of the smooth's own columns (x·f(x)) takes the grid's values."""
    by = {k: np.repeat(np.asarray([v]), n) for k, v in _by_context(model, block).items()}
    return {**by, **grid}


def _smooth_1d(model: "GAM", block: "Block", frame: Frame, ax: "Axes", z: float, n: int, rug: bool) -> None:
    var = block.variables[0]
    x = frame.numeric(var)[_level_rows(block, frame)]
    grid = _grid(x, n)
    data = _context(model, block, n, {var: grid})
    effect, se = model.partial_effect(block.label, data, se=True)
    ax.fill_between(grid, effect - z * se, effect + z * se, alpha=0.25, color="C0", linewidth=0)
    ax.plot(grid, effect, color="C0")
    if rug:
        ax.plot(x, np.full_like(x, np.min(effect - z * se)), "|", color="k", alpha=0.3, markersize=8)
    ax.set_xlabel(str(var))
    ax.set_ylabel(block.label)


def _smooth_2d(model: "GAM", block: "Block", frame: Frame, ax: "Axes", n: int) -> None:
    a, b = block.variables[:2]
    rows = _level_rows(block, frame)
    xa, xb = frame.numeric(a)[rows], frame.numeric(b)[rows]
    ga, gb = np.meshgrid(_grid(xa, n), _grid(xb, n), indexing="ij")
    data = _context(model, block, ga.size, {a: ga.ravel(), b: gb.ravel()})
    effect = model.partial_effect(block.label, data).reshape(ga.shape)
    image = ax.contourf(ga, gb, effect, levels=20, cmap="RdBu_r")
    ax.figure.colorbar(image, ax=ax)
    ax.plot(xa, xb, ".", color="k", alpha=0.15, markersize=2)
    ax.set_xlabel(str(a))
    ax.set_ylabel(str(b))
    ax.set_title(block.label)


def _parametric(model: "GAM", block: "Block", ax: "Axes", z: float) -> None:
    sl = model.term_slices_[block.label]
    est = model.coef_[sl]
    se = np.sqrt(np.diag(model.cov_)[sl])
    ax.errorbar(np.arange(len(est)), est, yerr=z * se, fmt="o", color="C0", capsize=3)
    ax.axhline(0.0, color="k", linewidth=0.5)
    ax.set_xticks(np.arange(len(est)), block.coef_names, rotation=30, ha="right")
    ax.set_ylabel(block.label)


def plot_terms(model: "GAM", X: Any, terms: list[str] | None = None, level: float = 0.95, n_grid: int = 100,
               rug: bool = True, ncols: int = 3) -> "Figure":
    """The partial effect of each term of a fitted model on the link scale.

    Parameters
    ----------
    model : GAM
        A fitted model.
    X : DataFrame, mapping or array
        The data the rug and the plotting ranges are taken from (usually the
        training data).
    terms : str or list of str, optional
        Term labels to draw (default: every term but the intercept).
    level : float
        Coverage of the pointwise interval bands (Bayesian, from `cov_`).
    n_grid : int
        Grid points per axis.
    rug : bool
        Mark the observed values along the axis.
    ncols : int
        Panels per row.

    Returns
    -------
    matplotlib.figure.Figure
    """
    from .model import _in_memory

    _in_memory(X, "plot_terms")
    plt = _pyplot()
    model._check_fitted()
    z = model._quantile(level)
    if isinstance(terms, str):
        terms = [terms]
    for name, value, least in (("n_grid", n_grid, 2), ("ncols", ncols, 1)):
        if isinstance(value, bool) or not isinstance(value, (int, np.integer)) or value < least:
            raise ValueError(f"{name} must be an integer of at least {least}, got {value!r}")
    frame = Frame(X, predicting=True)
    if frame.n == 0:
        raise ValueError("X has no rows to take the plotting ranges from")
    labels = terms if terms is not None else [b.label for b in model.blocks_ if b.label != "Intercept"]
    blocks = {b.label: b for b in model.blocks_}
    unknown = [t for t in labels if t not in blocks]
    if unknown:
        raise ValueError(f"unknown terms {unknown}; the model's terms are {list(blocks)}")
    rows = max(1, math.ceil(len(labels) / ncols))
    cols = max(1, min(ncols, len(labels)))
    fig, axes = plt.subplots(rows, cols, figsize=(4.2 * cols, 3.4 * rows), squeeze=False)
    for ax, label in zip(axes.ravel(), labels):
        block = blocks[label]
        if (block.smooth and len(block.variables) == 1) or block.spec[0] == "linear":
            _smooth_1d(model, block, frame, ax, z, n_grid, rug)
        elif block.smooth and len(block.variables) == 2:
            _smooth_2d(model, block, frame, ax, min(n_grid, 60))
        elif block.smooth:
            ax.text(0.5, 0.5, f"{label}:\nno panel for a smooth of {len(block.variables)} variables",
                    ha="center", va="center", transform=ax.transAxes)
            ax.set_axis_off()
        else:
            _parametric(model, block, ax, z)
    for ax in axes.ravel()[len(labels):]:
        ax.set_visible(False)
    fig.tight_layout()
    figure: Figure = fig
    return figure


def plot_diagnostics(model: "GAM", X: Any, y: Any = None, sample_weight: Any = None, offset: Any = None) -> "Figure":
    """Residual diagnostics: deviance residuals against the linear predictor,
    a normal Q–Q plot of them, their histogram, and the response against the
    fitted values (with the rows' offset, as in the fit; a classifier's
    labels as 0/1 for its second class)."""
    from .model import _in_memory

    _in_memory(X, "plot_diagnostics")
    plt = _pyplot()
    model._check_fitted()
    model._offset_reminder(offset, "plot_diagnostics()")
    eta = model.predict_link(X, offset)
    yv, w = model._response_at(X, y, sample_weight, "plot_diagnostics()")
    if len(yv) != len(eta):
        raise ValueError(f"y has {len(yv)} values for {len(eta)} rows of X")
    mu = _engine.inverse_link(model.family_, model.link_, eta)
    resid = _engine.deviance_residuals(model.family_, model.link_, yv, mu, w)
    fig, axes = plt.subplots(2, 2, figsize=(9, 7))
    axes[0, 0].plot(eta, resid, ".", alpha=0.4)
    axes[0, 0].axhline(0.0, color="k", linewidth=0.5)
    axes[0, 0].set(xlabel="linear predictor", ylabel="deviance residual", title="Residuals vs linear predictor")
    order = np.sort(resid)
    probs = (np.arange(1, len(order) + 1) - 0.5) / len(order)
    theory = np.array([_stats.norm_ppf(p) for p in probs])
    axes[0, 1].plot(theory, order, ".", alpha=0.4)
    lo, hi = float(theory.min()), float(theory.max())
    axes[0, 1].plot([lo, hi], [lo * np.std(resid), hi * np.std(resid)], "k--", linewidth=0.8)
    axes[0, 1].set(xlabel="normal quantile", ylabel="deviance residual", title="Normal Q-Q")
    axes[1, 0].hist(resid, bins=40)
    axes[1, 0].set(xlabel="deviance residual", title="Histogram of residuals")
    axes[1, 1].plot(mu, yv, ".", alpha=0.4)
    axes[1, 1].plot([mu.min(), mu.max()], [mu.min(), mu.max()], "k--", linewidth=0.8)
    axes[1, 1].set(xlabel="fitted mean", ylabel="response", title="Response vs fitted")
    fig.tight_layout()
    figure: Figure = fig
    return figure
