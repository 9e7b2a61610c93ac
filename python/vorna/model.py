"""The generalized additive model: fitting, inference and prediction.

The estimation follows Wood, Generalized Additive Models (2nd ed., 2017):
penalized IRLS for the coefficients, smoothing parameters by REML (default),
GCV or UBRE on the working model, the Bayesian covariance V_p = φ(XᵀWX+S)⁻¹
for intervals (§6.10) and Wald-type tests of each smooth with a rank given
by its effective degrees of freedom (a simplification of §6.12.1).
"""

from __future__ import annotations

import copy
import inspect
import logging
import math
import os
import sys
import threading
import warnings
from dataclasses import dataclass, replace
from typing import TYPE_CHECKING, Any, Callable

import numpy as np

import vorna_core

from . import _engine, _stats
from ._data import (Frame, as_numbers, check_offset, check_vectors, engine_columns, engine_vector, numbers_per_row,
                    unmasked)
from .formula import FormulaError, parse_formula
from .terms import (Block, NumericColumn, ScaledColumn, TermList, _Intercept, _SmoothBase, _Tensor, as_term_list,
                    in_place_columns, intercept, f, l, s)

if TYPE_CHECKING:  # pragma: no cover
    from .summary import Summary

logger = logging.getLogger("vorna")

# Bumped whenever the pickled state of a fitted model changes incompatibly,
# or the meaning of what it holds does: 2 when cr smooths took to continuing
# along their end tangents (coefficients fitted with chords predict otherwise).
_STATE_VERSION = 2

ConvergenceWarning = vorna_core.ConvergenceWarning

FAMILIES = ("gaussian", "binomial", "poisson", "gamma", "inverse_gaussian")
METHODS = ("REML", "ML", "GCV", "UBRE")


@dataclass(frozen=True)
class SmoothTest:
    term: str
    edf: float
    ref_df: float
    statistic: float
    p_value: float


@dataclass(frozen=True)
class CoefficientTest:
    name: str
    estimate: float
    std_error: float
    statistic: float
    p_value: float


class NotFittedError(ValueError, AttributeError):
    """A method that needs a fitted model was called before `fit`."""


_combined_errors: dict[type, type] = {}


_PACKAGE = os.path.dirname(os.path.abspath(__file__)) + os.sep


def _outside() -> int:
    """The `stacklevel` that makes warnings.warn, called where this is,
    name the first frame outside the package: the user's call, however many
    of the package's frames (a subclass's fit, the Dask path) lie between."""
    frame, level = sys._getframe(1), 1
    while frame.f_back is not None and os.path.abspath(frame.f_code.co_filename).startswith(_PACKAGE):
        frame, level = frame.f_back, level + 1
    return level


# The models being fitted (by id), so that a second fit of one from another
# thread is refused rather than interleaved with the first (each restores the
# state it found when it fails).
_FITTING: set[int] = set()
_FITTING_LOCK = threading.Lock()
if hasattr(os, "register_at_fork"):  # a child runs none of its parent's fits
    os.register_at_fork(after_in_child=_FITTING.clear)


def _some_rows(y: np.ndarray) -> None:
    """A score of no rows is refused (as scikit-learn's metrics refuse them)."""
    if len(y) == 0:
        raise ValueError("score() needs at least one row, X and y have 0")


def _is_dask(obj: Any) -> bool:
    """Whether `obj` is a Dask collection, judged without importing Dask."""
    return type(obj).__module__.split(".")[0] in ("dask", "dask_expr")


def _not_fitted(message: str) -> Exception:
    # With scikit-learn loaded, the error is also its NotFittedError, so that
    # code written against scikit-learn's conventions catches it; vorna itself
    # does not depend on scikit-learn.
    sk = sys.modules.get("sklearn.exceptions")
    if sk is None:
        return NotFittedError(message)
    base = sk.NotFittedError
    if base not in _combined_errors:
        _combined_errors[base] = type("NotFittedError", (NotFittedError, base), {"__module__": __name__})
    error: Exception = _combined_errors[base](message)
    return error


def _shown(value: Any, most: int = 40) -> str:
    """repr of a value for a message, cut to `most` characters (an int of 10⁴ digits has none)."""
    try:
        text = repr(value)
    except ValueError:
        return f"a {type(value).__name__} too long to show"
    return text if len(text) <= most else text[: most - 3] + "..."


def _vector(value: Any, name: str, n: int, default: float) -> np.ndarray:
    if value is None:
        return np.full(n, default)
    arr = numbers_per_row(value, name, n)
    if arr.ndim != 1 or arr.shape[0] != n:
        raise ValueError(f"{name} must have one value per row ({n}), got shape {np.shape(value)}")
    return arr


def _side_by_side(f: Callable[[Any], Any], items: list[Any], workers: int) -> list[Any]:
    """[f(item) for item in items] on `workers` threads (RuntimeError once the
    interpreter exits, when no thread pool starts)."""
    from concurrent.futures import ThreadPoolExecutor

    pool = ThreadPoolExecutor(max_workers=workers)
    try:
        return list(pool.map(f, items))
    finally:
        # On Ctrl-C the fit fails at once: the items not started are dropped,
        # and one still running ends by itself.
        pool.shutdown(wait=False, cancel_futures=True)


def _set_up(terms: TermList, frame: Frame) -> list[list[Block]]:
    """Each term's blocks. When the fit has threads and the data are a
    float64 array, the smooths' knots (sorts, which release the GIL) are
    found side by side first; then the terms are set up in order, each
    column sum on all of the fit's threads. An error is that of the first
    failing term."""
    threads = frame.threads if type(frame) is Frame and frame.float_array() is not None else 1
    smooths = [t for t in terms if isinstance(t, _SmoothBase)]
    workers = min(len(smooths), threads if threads > 0 else (os.cpu_count() or 1))
    if workers < 2:
        return [t.setup(frame) for t in terms]

    def margins(term: _SmoothBase) -> Any:
        try:
            return term.known(frame)
        except Exception as err:  # raised in term order below; Ctrl-C at once
            return err

    try:
        found = _side_by_side(margins, smooths, workers)
    except RuntimeError:  # no new threads once the interpreter exits (a fit in an exit handler): one by one
        found = [margins(t) for t in smooths]
    by_term = dict(zip(map(id, smooths), found))
    blocks = []
    for t in terms:
        if isinstance(t, _SmoothBase):
            m = by_term[id(t)]
            if isinstance(m, Exception):
                raise m
            blocks.append(t.setup(frame, m))
        else:
            blocks.append(t.setup(frame))
    return blocks


def _centred_linear_terms(blocks: list[Block], starts: list[int], frame: Any
                          ) -> tuple[list[Block], tuple[int, list[tuple[int, float]]] | None]:
    """The blocks to fit with each linear term's column far from 0 against its
    spread (a time stamp, a year) read as x − c, c its midrange, beside the
    intercept; and (the intercept's coefficient, [(the term's coefficient,
    c)]) to map the fit back (see _uncentre). The same model: the intercept
    takes up c·β. Uncentred, x nearly repeats the intercept, and XᵀWX loses
    about (c/spread)²·1e-16 of the slope (all of it from c/spread ≈ 10⁸).
    (A Dask frame has the ranges from its first pass.)"""
    first = next((st for b, st in zip(blocks, starts) if b.spec[0] == "intercept"), None)
    if first is None:
        return blocks, None
    fitted, shifts = list(blocks), []
    for i, (b, st) in enumerate(zip(blocks, starts)):
        if b.spec[0] != "linear" or not isinstance(b.producers.get(b.spec[1]), NumericColumn):
            continue
        column = b.producers[b.spec[1]].ref
        lo, hi = frame.value_range(column)
        centre = 0.5 * (lo + hi)
        if not abs(centre) > hi - lo > 0:  # (a constant column is the intercept again either way)
            continue
        key = ("shifted", column, centre)
        fitted[i] = replace(b, spec=("linear", key), producers={key: ScaledColumn(column, centre, 1.0)})
        shifts.append((st, centre))
    return fitted, (first, shifts) if shifts else None


def _centring(p: int, shifts: tuple[int, list[tuple[int, float]]]) -> np.ndarray:
    """The map from coefficients of centred linear columns to the model's own (see _uncentre)."""
    first, moves = shifts
    jacobian = np.eye(p)
    for column, centre in moves:
        jacobian[first, column] = -centre
    return jacobian


def _uncentre(result: dict[str, Any], shifts: tuple[int, list[tuple[int, float]]] | None) -> None:
    """A fit of centred linear columns (see _centred_linear_terms) in the
    model's own coefficients: β₀ − Σ c_j·β_j for the intercept, J·V·Jᵀ for
    the covariances. EDF, deviance and fitted values are the same."""
    if shifts is None:
        return
    jacobian = _centring(len(result["coefficients"]), shifts)
    result["coefficients"] = jacobian @ result["coefficients"]
    for key in ("vp", "ve"):
        result[key] = jacobian @ result[key] @ jacobian.T


# Eigenvalues of XᵀWX, scaled to unit diagonal, at most this fraction of
# the largest count as directions the data do not determine: exactly
# repeated functions come out near 1e-16, a te() holding the main effects
# beside it near 1e-8, while ordinary concurvity of correlated columns
# stays far above.
OVERLAP_TOLERANCE = 1e-7


def _in_memory(X: Any, method: str) -> None:
    """TypeError for a Dask X where a method returns whole arrays in memory."""
    if _is_dask(X):
        raise TypeError(f"{method}() takes data in memory, not a Dask collection: compute the rows wanted first "
                        "(e.g. X.head(1000) or X.compute())")


def _embedded(blocks: list[Block]) -> tuple[list[np.ndarray], list[int]]:
    """Each block's penalties embedded in the whole coefficient vector, and
    each block's first coefficient."""
    p = sum(b.width for b in blocks)
    penalties, starts = [], []
    offset_col = 0
    for b in blocks:
        starts.append(offset_col)
        for pen in b.penalties:
            full = np.zeros((p, p))
            full[offset_col:offset_col + b.width, offset_col:offset_col + b.width] = pen
            penalties.append(full)
        offset_col += b.width
    return penalties, starts


@dataclass
class _FitCoordinates:
    """The blocks the engine fits for a model's own (see _engine_blocks), and
    how to bring its result back."""

    blocks: list[Block]
    penalties: list[np.ndarray]
    intercept: int | None  # the fitted blocks' column of ones
    shifts: tuple[int, list[tuple[int, float]]] | None  # see _centred_linear_terms
    jacobian: np.ndarray | None = None  # the model's coefficients = J · the fitted ones


def _engine_blocks(blocks: list[Block], starts: list[int], penalties: list[np.ndarray], frame: Any
                   ) -> _FitCoordinates:
    """What the engine fits for a model: a factor that codes every level (see
    _full_first_factor) as an intercept beside the factor's treatment coding,
    the same functions, so that the engine's start at the constant model and
    the centring of linear columns beside the intercept apply to it too; and
    linear columns far from 0 centred (see _centred_linear_terms)."""
    i = next((k for k, b in enumerate(blocks) if b.spec[0] == "factor" and len(b.spec) > 3 and b.spec[3]), None)
    jacobian = None
    if i is not None:
        b = blocks[i]
        treatment = replace(b, spec=b.spec[:3], width=b.width - 1, coef_names=b.coef_names[1:])
        treatment.levels = b.levels  # type: ignore[attr-defined]
        inner = [intercept.setup(frame)[0], *blocks[:i], treatment, *blocks[i + 1:]]
        penalties, inner_starts = _embedded(inner)
        p = sum(x.width for x in blocks)
        jacobian = np.zeros((p, p))
        for k, (block, start) in enumerate(zip(blocks, starts)):
            inner_start, width = inner_starts[k + 1], block.width  # the intercept comes first inside
            if k == i:  # level 0's mean is the intercept, level l's the intercept plus its contrast
                jacobian[start:start + width, 0] = 1.0
                jacobian[start + 1:start + width, inner_start:inner_start + width - 1] += np.eye(width - 1)
            else:
                jacobian[start:start + width, inner_start:inner_start + width] = np.eye(width)
        blocks, starts = inner, inner_starts
    fit_blocks, shifts = _centred_linear_terms(blocks, starts, frame)
    first = next((st for b, st in zip(blocks, starts) if b.spec[0] == "intercept"), None)
    return _FitCoordinates(fit_blocks, penalties, first, shifts, jacobian)


def _model_coordinates(result: dict[str, Any], fit: _FitCoordinates) -> None:
    """The engine's result for `fit` in the model's own coefficients: β = Jβ̃,
    V = J·Ṽ·Jᵀ, XᵀWX = J⁻ᵀ·X̃ᵀWX̃·J⁻¹, and each coefficient's EDF the
    diagonal of J·F·J⁻¹ (F = V_p·XᵀWX/φ, whose diagonal the engine's EDF
    are): J only mixes unpenalized coefficients, and where the data determine
    them all their EDF are 1 either way, but a level whose rows all have
    weight 0 keeps its 0 only so. Total EDF, deviance and fitted values do not
    change."""
    if fit.jacobian is not None:
        j = fit.jacobian
        total = j if fit.shifts is None else j @ _centring(len(result["coefficients"]), fit.shifts)
        # Each model coefficient's own fitted one: a level's contrast (the last entry of its row of J),
        # the intercept for the reference level, itself elsewhere.
        source = np.array([np.flatnonzero(row)[-1] for row in j])
        edf = np.asarray(result["edf"])[source]
        if np.isfinite(result["scale"]) and result["scale"] > 0:
            # The engine's EDF, moved by how J shares them out: the moves sum to 0 (a trace).
            f = result["vp"] @ result["xtwx"] / result["scale"]
            edf = edf + np.einsum("ij,jk,ki->i", total, f, np.linalg.inv(total)) - np.diag(f)[source]
    if fit.shifts is not None:
        # The fit in the model's coefficients but on the centred columns, for η and its standard
        # error at new rows: from the model's own, xᵀVx cancels about (c/spread)²·1e-16 of itself.
        j = np.eye(len(result["coefficients"])) if fit.jacobian is None else fit.jacobian
        result["centred"] = (fit.blocks, j @ result["coefficients"], j @ result["vp"] @ j.T)
    _uncentre(result, fit.shifts)
    if fit.jacobian is None:
        return
    result["coefficients"] = j @ result["coefficients"]
    for key in ("vp", "ve"):
        result[key] = j @ result[key] @ j.T
    result["edf"] = edf
    inverse = np.linalg.inv(j)  # entries 0 and ±1, exactly
    result["xtwx"] = inverse.T @ result["xtwx"] @ inverse


def _full_first_factor(blocks: list[Block]) -> list[Block]:
    """Without an intercept, the first factor codes every level, the
    reference one too (as model formulas do): with treatment coding the model
    would hold the reference level's mean at 0."""
    for i, b in enumerate(blocks):
        if b.spec[0] == "factor":
            levels = b.levels  # type: ignore[attr-defined]
            full = replace(b, spec=(*b.spec[:3], True), width=len(levels),
                           coef_names=[f"{b.label}[{v}]" for v in levels.tolist()])
            full.levels = levels  # type: ignore[attr-defined]
            return [*blocks[:i], full, *blocks[i + 1:]]
    return blocks


def _overlapping_terms(xtwx: np.ndarray, slices: list[tuple[str, slice]]) -> list[str]:
    """The terms that overlap: directions the data leave undetermined that no
    single term has on its own (a term's own, such as a tensor-product cell
    without data, its penalty settles). A term takes part when leaving it out
    removes some of them. One threshold, against the whole matrix's largest
    eigenvalue, for every count, so that a term's own nearly undetermined
    directions are not counted in the whole and missed in the term."""
    if not np.all(np.isfinite(xtwx)):  # (a fit whose cross products overflowed has said so already)
        return []
    root = np.sqrt(np.clip(np.diag(xtwx), 0.0, None))
    root[root == 0] = 1.0
    scaled = xtwx / np.outer(root, root)
    if scaled.size == 0:
        return []
    values = np.linalg.eigvalsh(scaled)
    bound = OVERLAP_TOLERANCE * max(values[-1], 1.0)
    undetermined = int(np.sum(values <= bound))
    if undetermined == 0:
        return []

    def count(index: np.ndarray) -> int:
        return int(np.sum(np.linalg.eigvalsh(scaled[np.ix_(index, index)]) <= bound)) if index.size else 0

    columns = [np.arange(p.stop)[p] for _, p in slices]
    own = [count(c) for c in columns]
    shared = undetermined - sum(own)
    if shared <= 0:
        return []
    named = []
    for i, (label, _) in enumerate(slices):
        rest = np.concatenate([c for j, c in enumerate(columns) if j != i])
        if label != "Intercept" and count(rest) - (sum(own) - own[i]) < shared:
            named.append(label)
    # The intercept takes part whenever a term holds a constant; there is nothing to do about
    # it. One term alone cannot overlap: such a count is that term's own, nearly undetermined.
    return named if len(named) >= 2 else []


class GAM:
    """A generalized additive model.

    Parameters
    ----------
    terms : term or list of terms, optional
        The model, e.g. ``s("age") + te("lat", "lon") + f("region")``. None
        fits a smooth ``s(j)`` of every column.
    family : {"gaussian", "binomial", "poisson", "gamma", "inverse_gaussian"}
    link : str, optional
        The link function; the family's canonical link when None.
    method : {"REML", "ML", "GCV", "UBRE"}
        How smoothing parameters are chosen: restricted or marginal
        likelihood, or a prediction-error criterion. "GCV" uses UBRE
        (Mallows' Cp) for families with a known scale (binomial, Poisson);
        "UBRE" is for those families only.
    fit_intercept : bool
        Add an intercept unless the terms hold one; False drops a formula's
        intercept too (as "- 1" in it does). Without one, the first factor
        term codes every level (its levels' means take the intercept's place),
        and smooths stay centred.
    lam : float or sequence of float, optional
        Fixed smoothing parameters (one for all penalties, or one per
        penalty in term order) instead of choosing them by `method`.
    max_iter : int
        Cap on PiRLS iterations per fit.
    verbose : bool
        Log the progress of the smoothing-parameter search (one line per
        outer iteration: λ, criterion, gradient) to the ``"vorna"`` logger.
    n_threads : int, optional
        Threads for the passes over the rows (None: every core). The results
        are bitwise the same for every thread count.

    Attributes
    ----------
    coef_ : ndarray
        Coefficients, named by `coef_names_`.
    lambdas_ : ndarray
        Smoothing parameters, one per penalty in term order.
    cov_, cov_frequentist_ : ndarray
        Bayesian posterior and frequentist covariance of the coefficients.
    edf_ : float
        Effective degrees of freedom in total (`term_edf_` per term).
    scale_ : float
        Scale estimate (1 for binomial and Poisson).
    deviance_, null_deviance_, deviance_explained_, aic_, score_ : float
        Fit statistics; `score_` is the criterion of `method`.
    converged_ : bool
        Whether every iteration converged.

    Examples
    --------
    >>> import numpy as np
    >>> from vorna import GAM, s, f
    >>> rng = np.random.default_rng(0)
    >>> x = rng.uniform(0, 1, 500)
    >>> g = rng.choice(["a", "b"], 500)
    >>> y = np.sin(2 * np.pi * x) + (g == "b") + 0.2 * rng.standard_normal(500)
    >>> model = GAM(s("x") + f("g")).fit({"x": x, "g": g}, y)
    >>> model.coef_names_[:2]
    ['Intercept', 's(x).0']
    >>> round(model.deviance_explained_, 2)
    0.96
    >>> model.predict({"x": np.array([0.25]), "g": np.array(["b"])}).round(1)  # truth: sin(π/2) + 1
    array([2.])
    """

    def __init__(self, terms: Any = None, family: str = "gaussian", link: str | None = None, method: str = "REML",
                 fit_intercept: bool = True, lam: Any = None, max_iter: int = 100, verbose: bool = False,
                 n_threads: int | None = None) -> None:
        self.terms = terms
        self.family = family
        self.link = link
        self.method = method
        self.fit_intercept = fit_intercept
        self.lam = lam
        self.max_iter = max_iter
        self.verbose = verbose
        self.n_threads = n_threads

    def _encode_target(self, y: np.ndarray) -> np.ndarray:
        return y.astype(np.float64) if y.dtype == bool else y

    def _lean(self) -> "GAM":
        """A shallow copy without the fit's per-row vectors: what the tasks of
        a Dask computation pickle (a model fitted in memory holds three
        n-vectors), and the fit as it is now, whatever a later fit of this
        object stores."""
        lean = copy.copy(self)
        for name in ("fitted_values_", "linear_predictor_", "working_weights_"):
            if name in lean.__dict__:
                lean.__dict__[name] = None
        return lean

    def _threads(self) -> int:
        n = self.n_threads
        if n is None:
            return 0
        if isinstance(n, bool) or not isinstance(n, (int, np.integer)) or n < 1:
            raise ValueError(f"n_threads must be a positive integer or None, got {n!r}")
        return min(int(n), 1 << 16)  # beyond any machine's cores, and within the engine's C integer

    def _max_iter(self) -> int:
        return min(int(self.max_iter), 1 << 31)  # a cap past reach, within the engine's C integer

    # ---- the scikit-learn estimator protocol ---------------------------------------

    @classmethod
    def _param_names(cls) -> list[str]:
        signature = inspect.signature(cls.__init__)
        return [p.name for p in signature.parameters.values() if p.name != "self" and p.kind != p.VAR_KEYWORD]

    def get_params(self, deep: bool = True) -> dict[str, Any]:
        """The constructor parameters (scikit-learn's estimator protocol)."""
        return {name: getattr(self, name) for name in self._param_names()}

    def set_params(self, **params: Any) -> "GAM":
        """Set constructor parameters; returns self."""
        valid = self._param_names()
        for name, value in params.items():
            if name not in valid:
                raise ValueError(f"invalid parameter {name!r} for {type(self).__name__}; valid: {', '.join(valid)}")
            setattr(self, name, value)
        return self

    _estimator_type = "regressor"

    def __sklearn_tags__(self) -> Any:
        from sklearn.utils import InputTags, RegressorTags, Tags, TargetTags

        return Tags(estimator_type="regressor", target_tags=TargetTags(required=True),
                    regressor_tags=RegressorTags(), input_tags=InputTags(allow_nan=False, two_d_array=True))

    def __getstate__(self) -> dict[str, Any]:
        state = self.__dict__.copy()
        state["_vorna_state_version"] = _STATE_VERSION
        return state

    def __setstate__(self, state: dict[str, Any]) -> None:
        version = state.pop("_vorna_state_version", None)
        if version != _STATE_VERSION:
            raise ValueError(
                f"this pickle holds a vorna model of state version {version!r}, which this vorna "
                f"(state version {_STATE_VERSION}) cannot read; refit the model with this version"
            )
        self.__dict__.update(state)

    def _fixed_lambda(self, m: int) -> np.ndarray | None:
        if self.lam is None:
            return None
        lam = np.atleast_1d(np.asarray(self.lam, dtype=np.float64))
        if lam.ndim != 1 or lam.size not in (1, m):
            raise ValueError(f"lam must be one value or one per penalty ({m}), got {self.lam!r}")
        if not np.all(np.isfinite(lam) & (lam > 0)):
            raise ValueError(f"lam must be positive and finite, got {self.lam!r}")
        return np.broadcast_to(lam, (m,)).copy()

    # ---- set-up -------------------------------------------------------------------

    def _family_link(self) -> tuple[str, str, bool]:
        if self.family not in FAMILIES:
            raise ValueError(f"family must be one of {', '.join(map(repr, FAMILIES))}, got {self.family!r}")
        canonical, admitted, known = _engine.family_info(self.family)
        link = canonical if self.link is None else self.link
        if link not in admitted:
            raise ValueError(
                f"the {self.family} family does not admit the link {link!r}; use one of {', '.join(map(repr, admitted))}"
            )
        return self.family, link, known

    def _criterion(self, scale_known: bool) -> str:
        if self.method not in METHODS:
            raise ValueError(f"method must be one of {', '.join(map(repr, METHODS))}, got {self.method!r}")
        if self.method in ("REML", "ML"):
            return f"{self.method}_KNOWN_SCALE" if scale_known else self.method
        if self.method == "UBRE" and not scale_known:
            # UBRE (Mallows' Cp) weighs the deviance against the EDF with the scale as the exchange rate;
            # taken as 1 for a family whose scale is unknown, the smoothing would depend on y's units.
            raise ValueError(f"method='UBRE' needs a known scale, and the {self.family} family's scale is "
                             "estimated; use method='GCV' (the same trade-off with the scale estimated) or 'REML'")
        if self.method == "UBRE" or scale_known:
            return "UBRE"
        return "GCV"

    def _term_list(self, frame: Frame) -> TermList:
        terms = self._terms_given(frame)
        if not terms:
            raise ValueError(f"the model has no terms (terms={self.terms!r}, fit_intercept={self.fit_intercept!r}): "
                             "there is nothing to fit; keep the intercept or add a term")
        return terms

    def _terms_given(self, frame: Frame) -> TermList:
        if not isinstance(self.fit_intercept, (bool, np.bool_)):
            raise ValueError(f"fit_intercept must be True or False, got {self.fit_intercept!r}")
        if self.terms is None:
            terms = TermList([self._default_term(frame, ref) for ref in
                              (frame.names if frame.names is not None else range(frame.width))])
        elif isinstance(self.terms, str):
            formula = parse_formula(self.terms)
            terms = formula.terms
            for t in terms:
                used = [*getattr(t, "columns", ()), getattr(t, "column", None), getattr(t, "by", None)]
                if formula.response is not None and formula.response in used:
                    raise FormulaError(f"the response {formula.response!r} is also used by the term {t.label} in "
                                     f"{self.terms!r}; a model cannot predict y from y")
            if not formula.intercept or not self.fit_intercept:  # "- 1" in the formula, or fit_intercept=False
                return TermList([t for t in terms if not isinstance(t, _Intercept)])
        else:
            terms = as_term_list(self.terms)
        if self.fit_intercept and not any(isinstance(t, _Intercept) for t in terms):
            terms = TermList([intercept, *terms])
        return terms

    @staticmethod
    def _default_term(frame: Frame, ref: Any) -> Any:
        """A smooth of a numeric column with k = 10, or fewer where the column
        has fewer distinct values; a linear term below four; a factor for a
        categorical column (a pandas category)."""
        if frame.declared_categorical(ref):
            return f(ref)
        distinct = frame.distinct_count(ref)
        return s(ref, k=min(10, distinct)) if distinct >= 4 else l(ref)

    @staticmethod
    def _engine_data(blocks: list[Block], frame: Frame) -> tuple[list[tuple[Any, ...]], np.ndarray]:
        """The engine's term list and the data columns it reads, in one array."""
        producers: dict[tuple[Any, ...], Any] = {}
        for b in blocks:
            for key, producer in b.producers.items():
                producers.setdefault(key, producer)
        in_place = in_place_columns(producers, frame)
        if in_place is not None:
            data, columns = in_place
            index = dict(zip(producers, columns))
        else:
            index = {key: i for i, key in enumerate(producers)}
            data = engine_columns(producers, frame)
        specs = []
        for b in blocks:
            kind = b.spec[0]
            if kind == "intercept":
                specs.append(b.spec)
            elif kind in ("linear", "factor"):
                specs.append((kind, index[b.spec[1]], *b.spec[2:]))
            else:
                _, keys, margins, z, by_key = b.spec
                specs.append(("smooth", [index[k] for k in keys], margins, z, None if by_key is None else index[by_key]))
        return specs, data

    # ---- fitting ------------------------------------------------------------------

    def fit(self, X: Any, y: Any = None, sample_weight: Any = None, offset: Any = None) -> "GAM":
        """Fit the model.

        Parameters
        ----------
        X : DataFrame, mapping of arrays or 2-D array
            The data; terms name its columns (by position for an array).
        y : array-like, optional
            The response. May be omitted when `terms` is a formula with a
            response (``"y ~ s(x)"``), which is then read from `X`.
        sample_weight : array-like or number, optional
            Prior weights (finite, non-negative): precision weights, or the
            number of trials for a binomial proportion; a number is the
            weight of every row.
        offset : array-like or number, optional
            Added to the linear predictor (e.g. log exposure); a number is
            the offset of every row.

        Returns
        -------
        GAM
            self. Nothing on the model changes when the fit fails (also
            when a warning of the fit is raised as an error).
        """
        state = self.__dict__.copy()
        entered = False
        try:
            with _FITTING_LOCK:
                if id(self) in _FITTING:
                    raise RuntimeError(f"this {type(self).__name__} is being fitted in another thread; fit a copy "
                                       "(sklearn.base.clone) to fit in parallel")
                _FITTING.add(id(self))
                entered = True
            return self._fit(X, y, sample_weight, offset)
        except BaseException:
            if entered:
                # The fit stores its results before it warns about them, and a
                # warning can be an error (-W error): the model is restored.
                self.__dict__.clear()
                self.__dict__.update(state)
            raise
        finally:
            if entered:
                with _FITTING_LOCK:
                    _FITTING.discard(id(self))

    def _fit(self, X: Any, y: Any, sample_weight: Any, offset: Any) -> "GAM":
        if _is_dask(X):
            from . import _dask

            return _dask.fit(self, X, y, sample_weight, offset)
        family, link, criterion = self._settings()
        frame = Frame(X, threads=self._threads())
        n = frame.n
        if n < 2:
            raise ValueError(f"X has {n} sample(s); a model needs at least 2, n_samples = {n}")
        if y is None:
            response = self._response_name()
            if response is None:
                raise ValueError(f"{type(self).__name__} requires y to be passed, but the target y is None "
                                 "(or give a formula with a response, like 'y ~ s(x)')")
            y = frame.raw(response)
        yv = as_numbers(self._encode_target(unmasked(y, "y")), "y", " (Unknown label type for a regression target)")
        if yv.ndim != 1 or yv.shape[0] != n:
            raise ValueError(f"y must have one value per row of X ({n}), got shape {np.shape(y)}")
        w = None if sample_weight is None else _vector(sample_weight, "sample_weight", n, 1.0)
        off = None if offset is None else _vector(offset, "offset", n, 0.0)
        check_vectors(n, yv, w, off)
        if w is not None and not np.any(w > 0):
            raise ValueError("sample_weight is zero for every row")

        terms, blocks, penalties, starts = self._setup(frame)
        fit = _engine_blocks(blocks, starts, penalties, frame)
        specs, data = self._engine_data(fit.blocks, frame)
        lam = self._fixed_lambda(len(penalties))
        try:
            # Unit weights and a zero offset need no arrays of their own in the engine.
            result = _engine.fit(specs, data, engine_vector(yv),
                                 None if w is None else engine_vector(w),
                                 None if off is None else engine_vector(off),
                                 fit.penalties, family, link, criterion, lam=lam,
                                 max_iter=self._max_iter(), threads=self._threads())
        except ValueError as err:
            raise ValueError(str(err)) from None
        _model_coordinates(result, fit)
        self._finish(result, frame, terms, blocks, starts, penalties, family, link, criterion, n)
        self._with_offset = off is not None and bool(np.any(off != 0.0))
        return self

    def _response_name(self) -> Any:
        """The response column a formula names (None for terms, or a formula without one)."""
        return parse_formula(self.terms).response if isinstance(self.terms, str) else None

    def _formula_response(self, X: Any) -> Any:
        """The response column that a formula with one names, read from X (None without one)."""
        response = self._response_name()
        if response is None:
            return None
        return X[response] if _is_dask(X) else Frame(X).raw(response)

    def _settings(self) -> tuple[str, str, str]:
        """Family, link and selection criterion, checked."""
        family, link, scale_known = self._family_link()
        criterion = self._criterion(scale_known)
        if isinstance(self.max_iter, bool) or not isinstance(self.max_iter, (int, np.integer)) or self.max_iter < 1:
            raise ValueError(f"max_iter must be a positive integer, got {self.max_iter!r}")
        return family, link, criterion

    def _setup(self, frame: Frame) -> tuple[TermList, list[Block], list[np.ndarray], list[int]]:
        """The terms set up on the data: their blocks, the penalties embedded
        in the full coefficient vector, and each block's first coefficient."""
        terms = self._term_list(frame)
        # te(x, z) and te(z, x) are one term (the same functions): refused as a repeat, as equal labels are.
        tensors: dict[tuple[Any, ...], str] = {}
        for t in terms:
            if isinstance(t, _Tensor):
                key = (type(t), frozenset(map(str, t.columns)), str(t.by))
                if key in tensors:
                    raise ValueError(f"the model repeats a term: {tensors[key]} and {t.label} hold the same "
                                     "functions (the same columns in another order); keep one")
                tensors[key] = t.label
        blocks = [b for term_blocks in _set_up(terms, frame) for b in term_blocks]
        if not any(isinstance(t, _Intercept) for t in terms):
            blocks = _full_first_factor(blocks)
        labels = [b.label for b in blocks]
        if len(set(labels)) != len(labels):
            raise ValueError(f"the model repeats a term: {labels}")
        penalties, starts = _embedded(blocks)
        return terms, blocks, penalties, starts

    def _finish(self, result: dict[str, Any], frame: Any, terms: TermList, blocks: list[Block], starts: list[int],
                penalties: list[np.ndarray], family: str, link: str, criterion: str, n: int) -> None:
        negligible = result["negligible_deviance"]
        for message in result["warnings"]:
            warnings.warn(message, ConvergenceWarning, stacklevel=_outside())
        if self.verbose:
            for i, (lam, score, gradient, iterations) in enumerate(result["passes"]):
                logger.info("pass %d: lambda %s, criterion %.8g, |gradient| %.3g after %d Newton steps", i + 1,
                            np.array2string(lam, precision=4), score, gradient, iterations)
            logger.info("PiRLS: %d iterations, converged %s", result["pirls_iterations"], result["converged"])
        self._store(frame, terms, blocks, starts, result, family, link, criterion, n)
        # The constant model lies inside one with an intercept at no penalty, so a fit at its
        # optimum never has the larger deviance; one that does stopped elsewhere (a link that
        # cannot reach the data's mean from where PiRLS went, e.g. an inverse link across 0).
        # A constant response has a null deviance of 0, and any fit a deviance of rounding.
        if "Intercept" in self.term_slices_ and self.deviance_ > self.null_deviance_ * (1 + 1e-6) + negligible:
            self.converged_ = False
            warnings.warn("the fit's deviance exceeds that of the intercept alone: PiRLS stopped away from the "
                          "optimum, and the estimates are unreliable (is the link suited to the data?)",
                          ConvergenceWarning, stacklevel=_outside())
        self.penalties_ = penalties
        # An unpenalized coefficient the data determine has EDF 1; collinear
        # columns share theirs, held apart only by the fit's ridge.
        # (Not at a response all on a bound, where the working weights vanish: see below.)
        undetermined = [name for b in blocks if not b.smooth and not result["response_at_bound"]
                        for name, e in zip(b.coef_names, self.edf_per_coef_[self.term_slices_[b.label]])
                        if abs(e - 1.0) > 1e-3]
        if undetermined:
            warnings.warn(f"the coefficients {', '.join(undetermined)} are not identifiable: their columns are "
                          "collinear with other parametric columns (a constant column, a repeated column, or a "
                          "factor another term determines) or carry no weight (a level whose rows all have "
                          "weight 0), so their estimates and standard errors are arbitrary; drop or merge the "
                          "terms or levels", UserWarning, stacklevel=_outside())
        # With no more rows than coefficients the data leave directions to the penalties anyway; at
        # a response all on a bound (counts all 0) the working weights vanish, and with them XᵀWX.
        p = len(self.coef_)
        judged = self.n_obs_ > p and not result["response_at_bound"]
        overlapping = _overlapping_terms(result["xtwx"], list(self.term_slices_.items())) if judged else []
        if any(b.smooth for b in blocks if b.label in overlapping):
            # A ti() overlaps its main effects where the data leave parts of its grid empty: a product
            # of centred margins that vanishes on the data less its centring constants is additive there.
            remedy = ("the data leave parts of the ti() terms' grid empty (strongly related columns), where "
                      "their interaction cannot be told from the main effects; drop the ti() or fit a te() "
                      "alone, whose penalty settles the empty parts"
                      if any(label.startswith("ti(") for label in overlapping)
                      and not any(label.startswith("te(") for label in overlapping) else
                      "drop the repeated terms, or use ti() for an interaction beside its main effects")
            warnings.warn(f"the terms {', '.join(overlapping)} overlap: some combination of their functions is "
                          "(nearly) another of them (a smooth holds the straight line of l(x), a te() holds the "
                          "main effects s(x) and s(z) beside it, s(x, by=z) holds l(z)), so how the fit splits that "
                          "part between them is arbitrary and their separate estimates, intervals and tests mean "
                          f"nothing (the fitted values do not depend on it); {remedy}", UserWarning, stacklevel=_outside())

    def _store(self, frame: Frame, terms: TermList, blocks: list[Block], starts: list[int], r: dict[str, Any], family: str,
               link: str, criterion: str, n: int) -> None:
        self.family_, self.link_, self.criterion_ = family, link, criterion
        self.blocks_ = blocks
        self._centred: tuple[list[Block], np.ndarray, np.ndarray] | None = None
        if "centred" in r:  # linear columns far from 0 were fitted centred: see _model_coordinates
            fitted_blocks, beta, cov = r["centred"]
            centred = {b.label: b for b in fitted_blocks if b.spec[0] == "linear"}
            self._centred = ([centred.get(b.label, b) for b in blocks], beta, cov)
        self.term_slices_ = {b.label: slice(st, st + b.width) for b, st in zip(blocks, starts)}
        self.coef_ = r["coefficients"]
        self.coef_names_ = [name for b in blocks for name in b.coef_names]
        self.lambdas_ = r["lambda"]
        self.cov_ = r["vp"]
        self.cov_frequentist_ = r["ve"]
        self.edf_per_coef_ = r["edf"]
        self.edf_ = float(np.sum(r["edf"]))
        self.term_edf_ = {b.label: float(np.sum(r["edf"][sl])) for b, sl in zip(blocks, self.term_slices_.values())}
        self.scale_ = r["scale"]
        self.scale_estimated_ = r["scale_estimated"]
        self.deviance_ = r["deviance"]
        self.null_deviance_ = r["null_deviance"]
        # A constant response (all zeros too) leaves nothing to explain.
        nothing = r["null_deviance"] <= r["negligible_deviance"]
        self.deviance_explained_ = float("nan") if nothing else 1.0 - r["deviance"] / r["null_deviance"]
        self.log_likelihood_ = r["log_likelihood"]
        self.aic_ = -2.0 * r["log_likelihood"] + 2.0 * self.edf_ + (2.0 if r["scale_estimated"] else 0.0)
        self.n_obs_ = r["observations"]
        self.score_ = self._score(r)
        self.converged_ = r["converged"]
        self.n_iter_ = r["pirls_iterations"]
        # Per-row values exist for data in memory only (a fit from partitions has none).
        per_row = len(r["fitted"]) == n
        self.fitted_values_ = r["fitted"] if per_row else None
        self.linear_predictor_ = r["linear_predictor"] if per_row else None
        self.working_weights_ = r["working_weights"] if per_row else None
        self.n_features_in_ = frame.width
        if frame.names is not None:
            self.feature_names_in_ = np.asarray(frame.names, dtype=object)
        elif hasattr(self, "feature_names_in_"):
            del self.feature_names_in_

    def _score(self, r: dict[str, Any]) -> float:
        """REML: the Laplace approximation to −log restricted likelihood at the
        fitted scale; ML: the same for the marginal likelihood with the
        unpenalized coefficients fixed; GCV: n·D/(n − τ)²; UBRE: D/n + 2τ/n − 1."""
        n, tau, dev = r["observations"], float(np.sum(r["edf"])), r["deviance"]
        if self.method in ("ML", "REML") and not r["scale"] > 0:
            # The fit reproduces the data exactly (or has no residual degrees
            # of freedom): the likelihood is unbounded.
            return float("-inf") if r["scale"] == 0 else float("nan")
        if self.method == "ML":
            return float(-r["log_likelihood_at_scale"] + r["penalty"] / (2 * r["scale"])
                         + 0.5 * (r["log_det_range"] - r["penalty_log_det"]))
        if self.method == "REML":
            phi, p, rank = r["scale"], len(r["coefficients"]), r["penalty_rank"]
            return float(-r["log_likelihood_at_scale"] + r["penalty"] / (2 * phi)
                         + 0.5 * (r["log_det_a"] - p * math.log(phi)) - 0.5 * (r["penalty_log_det"] - rank * math.log(phi))
                         - 0.5 * (p - rank) * math.log(2 * math.pi))
        if self.criterion_ == "GCV":
            return float(n * dev / (n - tau) ** 2)
        return float(dev / n + 2.0 * tau / n - 1.0)

    # ---- prediction ---------------------------------------------------------------

    def _check_fitted(self) -> None:
        if not hasattr(self, "coef_"):
            raise _not_fitted(f"this {type(self).__name__} is not fitted yet; call fit(X, y) first")

    def _frame(self, X: Any) -> Frame:
        """The data at prediction, checked against what the model was fitted on."""
        frame = Frame(X)
        frame.predicting = True
        named = getattr(self, "feature_names_in_", None)
        # Columns named 0 … d − 1 (a DataFrame made from an array) are the positions of an array's.
        positional = named is not None and list(named) == [str(i) for i in range(len(named))]
        if frame.names is None and named is not None and not positional:
            shown = ", ".join(repr(n) for n in list(named)[:20])
            raise ValueError(f"{type(self).__name__} was fitted on named columns ({shown}); pass X as a DataFrame "
                             "or a dict with those names, not an array")
        if frame.names is None and frame.width != self.n_features_in_:
            raise ValueError(f"X has {frame.width} features, but {type(self).__name__} is expecting "
                             f"{self.n_features_in_} features as input")
        return frame

    def _engine_predict(self, X: Any, with_se: bool,
                        per_term: bool) -> tuple[np.ndarray, Any, Any, Any]:
        self._check_fitted()
        frame = self._frame(X)
        # η and its standard error from the centred linear columns where the fit had them; the
        # terms' own effects (β·x for l(x)) from the model's coefficients.
        centred: tuple[list[Block], np.ndarray, np.ndarray] | None = getattr(self, "_centred", None)
        blocks, beta, cov = (self.blocks_, self.coef_, self.cov_) if per_term or centred is None else centred
        specs, data = self._engine_data(blocks, frame)
        return _engine.predict(specs, data, beta, cov if with_se else None, per_term)

    def _offset(self, offset: Any, n: int) -> np.ndarray:
        off = _vector(offset, "offset", n, 0.0)
        check_offset(off)
        return off

    def predict_link(self, X: Any, offset: Any = None, se: bool = False) -> Any:
        """The linear predictor η at X (plus the offset); with `se`, also its
        standard error from the Bayesian covariance: a pair (η, se)."""
        if _is_dask(X):
            from . import _dask

            r = _dask.rowwise(self, "predict_link", X, 2 if se else 1, offset, se=se)
            return (_dask.column(r, 0), _dask.column(r, 1)) if se else _dask.column(r, 0)
        eta, se_eta, _, _ = self._engine_predict(X, se, False)
        eta = eta + self._offset(offset, len(eta))
        return (eta, se_eta) if se else eta

    def predict(self, X: Any, offset: Any = None) -> np.ndarray:
        """The fitted mean μ = g⁻¹(η) at X (a Dask collection for a Dask X)."""
        self._check_fitted()
        if _is_dask(X):
            from . import _dask

            # The mean of each partition, by this method whatever a subclass's predict() returns (labels).
            return _dask.column(_dask.rowwise(self, "_mean", X, 1, offset), 0)  # type: ignore[no-any-return]
        return self._mean(X, offset)

    def _mean(self, X: Any, offset: Any = None) -> np.ndarray:
        return _engine.inverse_link(self.family_, self.link_, self.predict_link(X, offset))

    def confidence_interval(self, X: Any, level: float = 0.95, offset: Any = None) -> np.ndarray:
        """Pointwise intervals for the mean: η ± z·se on the link scale, mapped
        through the inverse link (n × 2, lower and upper)."""
        z = self._quantile(level)
        if _is_dask(X):
            from . import _dask

            return _dask.rowwise(self, "confidence_interval", X, 2, offset, level=level)  # type: ignore[no-any-return]
        eta, se = self.predict_link(X, offset, se=True)
        return self._mean_interval(eta - z * se, eta + z * se)

    def _mean_interval(self, lower: np.ndarray, upper: np.ndarray) -> np.ndarray:
        """The means g⁻¹(η) over lower ≤ η ≤ upper within the link's domain
        (n × 2). For families with non-negative means an interval leaving the
        domain ends at its edge: μ = 0 for identity and sqrt, μ = ∞ for the
        inverse links (their pole at η = 0; NaN where even the upper end lies
        beyond it). A Gaussian inverse-link interval across the pole is the
        whole line."""
        family, link = self.family_, self.link_
        signed = family == "gaussian"
        if not signed and link in ("identity", "sqrt"):
            lower, upper = np.maximum(lower, 0.0), np.maximum(upper, 0.0)
        a = _engine.inverse_link(family, link, lower)
        b = _engine.inverse_link(family, link, upper)
        out = np.column_stack([np.minimum(a, b), np.maximum(a, b)])
        if link in ("inverse", "inverse_square"):
            across = (lower <= 0.0) & (upper >= 0.0)
            if signed:
                out[across] = (-np.inf, np.inf)
            else:
                out[across, 0], out[across, 1] = b[across], np.inf
                out[upper <= 0.0] = np.nan
        return out

    @staticmethod
    def _quantile(level: float) -> float:
        # A real number of any kind (Fraction, Decimal, a NumPy scalar or 0-d array of numbers); not text,
        # truth values, complex numbers or times, which float() would read or cut down.
        numpy_kind = np.asarray(level).dtype.kind if isinstance(level, (np.ndarray, np.generic)) else "f"
        if isinstance(level, (str, bytes, bool)) or np.ndim(level) != 0 or numpy_kind not in "iuf":
            raise TypeError(f"level must be a number strictly between 0 and 1, got {_shown(level)}")
        try:
            value = float(level)
        except OverflowError:
            value = math.inf
        except (TypeError, ValueError):
            raise TypeError(f"level must be a number strictly between 0 and 1, got {_shown(level)}") from None
        if not 0.0 < value < 1.0:
            raise ValueError(f"level must lie strictly between 0 and 1, got {_shown(level)}")
        return _stats.norm_ppf(0.5 + 0.5 * value)

    def partial_effects(self, X: Any, se: bool = False) -> dict[str, Any]:
        """Each term's contribution to η at X, keyed by term label; with `se`,
        pairs (values, standard errors)."""
        _in_memory(X, "partial_effects")
        _, _, values, errors = self._engine_predict(X, se, True)
        out: dict[str, Any] = {}
        for j, b in enumerate(self.blocks_):
            out[b.label] = (values[:, j], errors[:, j]) if se else values[:, j]
        return out

    def partial_effect(self, term: str, X: Any, se: bool = False) -> Any:
        """One term's contribution to η at X, reading only that term's columns.

        Parameters
        ----------
        term : str
            A label of `term_slices_` (e.g. ``"s(age)"``).
        X : DataFrame, mapping or array
            Data holding the term's variables (others may be absent).
        se : bool
            Also return the standard errors (from the Bayesian covariance).
        """
        self._check_fitted()
        _in_memory(X, "partial_effect")
        if term not in self.term_slices_:
            raise ValueError(f"unknown term {term!r}; the model's terms are {list(self.term_slices_)}")
        block = next(b for b in self.blocks_ if b.label == term)
        sl = self.term_slices_[term]
        specs, data = self._engine_data([block], Frame(X, predicting=True))
        eta, errors, _, _ = _engine.predict(specs, data, self.coef_[sl], self.cov_[sl, sl] if se else None, False)
        return (eta, errors) if se else eta

    def _offset_reminder(self, offset: Any, caller: str) -> None:
        """A warning when a model fitted with an offset is compared with
        responses without one."""
        if offset is None and getattr(self, "_with_offset", False):
            warnings.warn(f"the model was fitted with an offset, and {caller} without one compares y with the mean "
                          "at offset 0; pass the rows' offset=", UserWarning, stacklevel=_outside())

    def _response_at(self, X: Any, y: Any, sample_weight: Any, caller: str) -> tuple[np.ndarray, np.ndarray]:
        """The responses and weights that residuals and scores set against the
        fitted means at X, checked as a fit checks them: y read from X's
        response column when a formula names one and y is None, inside the
        family's range, and some weight positive (with rows at all)."""
        self._check_fitted()
        if y is None:
            y = self._formula_response(X)
            if y is None:
                raise ValueError(f"{caller} needs y (or a model given by a formula with a response, "
                                 "like 'y ~ s(x)', whose column X holds)")
        values = unmasked(y.compute() if _is_dask(y) else y, "y")
        yv = as_numbers(self._encode_target(values), "y")
        if yv.ndim != 1:
            raise ValueError(f"y must be one value per row, got shape {values.shape}")
        w = _vector(sample_weight, "sample_weight", len(yv), 1.0)
        check_vectors(len(yv), yv, w, None)
        if len(yv) and not np.any(w > 0):
            raise ValueError("sample_weight is zero for every row")
        _engine.check_response(self.family_, self.link_, yv)
        return yv, w

    def _observed_mean(self, X: Any, n: int, offset: Any, caller: str) -> np.ndarray:
        """The fitted mean at X (plus the offset) to set against n responses,
        for residuals and scores; never class labels."""
        self._offset_reminder(offset, caller)
        mu = np.asarray(GAM.predict(self, X, offset))
        if len(mu) != n:
            raise ValueError(f"y has {n} values for {len(mu)} rows of X")
        return mu

    def residuals(self, X: Any, y: Any = None, kind: str = "deviance", sample_weight: Any = None,
                  offset: Any = None) -> np.ndarray:
        """Residuals at (X, y) against the mean μ (with the rows' offset, as in
        the fit): "deviance" (sign(y − μ)·√unit deviance), "pearson"
        ((y − μ)·√(w/V(μ)), V the family's variance function) or "response"
        (y − μ). A classifier's labels are taken as 0/1 for its second class.
        Without y, a model given by a formula with a response reads it from X."""
        yv, w = self._response_at(X, y, sample_weight, "residuals()")
        mu = self._observed_mean(X, len(yv), offset, "residuals()")
        if kind == "response":
            return np.asarray(yv - mu)
        if kind == "deviance":
            return _engine.deviance_residuals(self.family_, self.link_, yv, mu, w)
        if kind == "pearson":
            variance = {"gaussian": np.ones_like(mu), "binomial": mu * (1 - mu), "poisson": mu, "gamma": mu ** 2,
                        "inverse_gaussian": mu ** 3}[self.family_]
            return np.asarray((yv - mu) * np.sqrt(w / variance))
        raise ValueError(f"kind must be 'deviance', 'pearson' or 'response', got {kind!r}")

    def model_matrix(self, X: Any) -> np.ndarray:
        """The n × p model matrix at X (columns named by `coef_names_`)."""
        self._check_fitted()
        _in_memory(X, "model_matrix")
        specs, data = self._engine_data(self.blocks_, self._frame(X))
        return _engine.model_matrix(specs, data)

    def score(self, X: Any, y: Any = None, sample_weight: Any = None, offset: Any = None) -> float:
        """The fraction of deviance explained at X: 1 − D(y, μ̂)/D(y, ȳ), ȳ the
        weighted mean of y and μ̂ the mean with the rows' offset. For the
        Gaussian family this is R². (`deviance_explained_` sets the fit
        against the intercept with the offset instead, so with an offset the
        two differ on the training rows.) Without y, a model given by a
        formula with a response reads it from X. A y constant up to rounding
        has no deviance to explain: the score is then 1 where μ̂ fits it
        exactly and 0 otherwise, as scikit-learn's `r2_score` has it (so that
        a constant fold does not make a cross-validated mean NaN)."""
        yv, w = self._response_at(X, y, sample_weight, "score()")
        mu = self._observed_mean(X, len(yv), offset, "score()")
        _some_rows(yv)
        weight_sum = float(np.sum(w))
        mean = np.full_like(yv, np.sum(w * yv) / weight_sum)
        null = float(np.sum(_engine.deviance_residuals(self.family_, self.link_, yv, mean, w) ** 2))
        dev = float(np.sum(_engine.deviance_residuals(self.family_, self.link_, yv, mu, w) ** 2))
        negligible = _engine.negligible_deviance(self.family_, self.link_, float(mean[0]), weight_sum)
        if null > negligible:
            return 1.0 - dev / null
        return 1.0 if dev <= negligible else 0.0

    # ---- inference ----------------------------------------------------------------

    @property
    def residual_df_(self) -> float:
        self._check_fitted()
        return float(self.n_obs_ - self.edf_)

    def smooth_tests(self) -> list[SmoothTest]:
        """Wald tests that each smooth is zero: T = βᵀV_r⁻β with V_r the rank-r
        pseudo-inverse of its posterior covariance, r the EDF rounded (at least
        1); chi-squared(r) when the scale is known, F(r, residual df) for T/r
        otherwise."""
        self._check_fitted()
        tests = []
        for b in self.blocks_:
            if not b.smooth:
                continue
            sl = self.term_slices_[b.label]
            beta, v = self.coef_[sl], self.cov_[sl, sl]
            edf = self.term_edf_[b.label]
            if not (np.isfinite(edf) and np.all(np.isfinite(v))):  # no scale estimate (or EDF): no test
                rank = float(min(b.width, max(1, round(edf)))) if np.isfinite(edf) else math.nan
                tests.append(SmoothTest(b.label, edf, rank, math.nan, math.nan))
                continue
            rank = int(min(b.width, max(1, round(edf))))
            values, vectors = np.linalg.eigh(0.5 * (v + v.T))
            values, vectors = values[::-1][:rank], vectors[:, ::-1][:, :rank]
            keep = values > values[0] * 1e-12 if values[0] > 0 else np.zeros(rank, bool)
            proj = vectors[:, keep].T @ beta
            stat = float(np.sum(proj ** 2 / values[keep]))
            if self.scale_estimated_:
                stat /= rank
                pval = _stats.f_sf(stat, rank, max(self.residual_df_, 1.0))
            else:
                pval = _stats.chi2_sf(stat, rank)
            tests.append(SmoothTest(b.label, edf, float(rank), stat, float(pval)))
        return tests

    def coefficient_tests(self) -> list[CoefficientTest]:
        """z (known scale) or t tests (residual df) of each parametric coefficient."""
        self._check_fitted()
        rows = []
        for b in self.blocks_:
            if b.smooth:
                continue
            sl = self.term_slices_[b.label]
            for name, est, var in zip(b.coef_names, self.coef_[sl], np.diag(self.cov_)[sl]):
                se = math.sqrt(max(var, 0.0)) if not math.isnan(var) else math.nan
                # No standard error (no residual degrees of freedom) is no evidence either way.
                stat = est / se if se > 0 else math.copysign(math.inf, est) if se == 0 and est != 0 else math.nan
                tail = (_stats.t_sf(abs(stat), max(self.residual_df_, 1.0)) if self.scale_estimated_
                        else _stats.norm_sf(abs(stat)))
                rows.append(CoefficientTest(name, float(est), se, float(stat), float(2.0 * tail)))
        return rows

    def summary(self) -> "Summary":
        """A summary table of the fit (see `vorna.summary.Summary`)."""
        from .summary import Summary

        self._check_fitted()
        return Summary(self)

    def __repr__(self) -> str:
        defaults = {p.name: p.default for p in inspect.signature(type(self).__init__).parameters.values()}
        shown = [f"{k}={v!r}" for k, v in self.get_params().items() if not (v is None and defaults.get(k) is None)
                 and not (k in defaults and _same(v, defaults[k]))]
        return f"{type(self).__name__}({', '.join(shown)})"


def _same(a: Any, b: Any) -> bool:
    try:
        return bool(a == b)
    except Exception:
        return False
