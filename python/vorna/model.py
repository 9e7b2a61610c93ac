"""The generalized additive model: fitting, inference and prediction.

The estimation follows Wood, Generalized Additive Models (2nd ed., 2017):
penalized IRLS for the coefficients, smoothing parameters by REML (default),
GCV or UBRE on the working model, the Bayesian covariance V_p = φ(XᵀWX+S)⁻¹
for intervals (§6.10) and Wald-type tests of each smooth with a rank given
by its effective degrees of freedom (a simplification of §6.12.1).
"""

from __future__ import annotations

import math
import warnings
from dataclasses import dataclass
from typing import Any

import numpy as np

import vorna_core

from . import _engine, _stats
from ._data import Frame
from .terms import Block, Term, TermList, as_term_list, intercept, s

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


def _vector(value: Any, name: str, n: int, default: float) -> np.ndarray:
    if value is None:
        return np.full(n, default)
    arr = np.asarray(value)
    if arr.dtype.kind not in "biuf":
        raise ValueError(f"{name} must be numeric, got dtype {arr.dtype}")
    arr = arr.astype(np.float64).reshape(-1) if arr.ndim <= 1 else arr
    if arr.ndim != 1 or arr.shape[0] != n:
        raise ValueError(f"{name} must have one value per row ({n}), got shape {np.shape(value)}")
    return arr


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
        (Mallows' Cp) for families with a known scale (binomial, Poisson).
    fit_intercept : bool
        Add an intercept unless the terms hold one.
    lam : float or sequence of float, optional
        Fixed smoothing parameters (one for all penalties, or one per
        penalty in term order) instead of choosing them by `method`.
    max_iter : int
        Cap on PiRLS iterations per fit.
    """

    def __init__(self, terms: Any = None, family: str = "gaussian", link: str | None = None, method: str = "REML",
                 fit_intercept: bool = True, lam: Any = None, max_iter: int = 100) -> None:
        self.terms = terms
        self.family = family
        self.link = link
        self.method = method
        self.fit_intercept = fit_intercept
        self.lam = lam
        self.max_iter = max_iter

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
        if self.method == "UBRE" or scale_known:
            return "UBRE"
        return "GCV"

    def _term_list(self, frame: Frame) -> TermList:
        if self.terms is None:
            terms = TermList([s(name) for name in frame.names] if frame.names is not None
                             else [s(j) for j in range(frame.width)])
        else:
            terms = as_term_list(self.terms)
        if self.fit_intercept and not any(t is intercept for t in terms):
            terms = TermList([intercept, *terms])
        return terms

    @staticmethod
    def _engine_data(blocks: list[Block], frame: Frame) -> tuple[list[tuple], np.ndarray]:
        """The engine's term list and the data columns it reads, in one array."""
        producers: dict[tuple, Any] = {}
        for b in blocks:
            for key, producer in b.producers.items():
                producers.setdefault(key, producer)
        order = list(producers)
        index = {key: i for i, key in enumerate(order)}
        data = np.empty((frame.n, max(len(order), 1)))
        for key, i in index.items():
            data[:, i] = producers[key](frame)
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

    def fit(self, X: Any, y: Any, sample_weight: Any = None, offset: Any = None) -> "GAM":
        """Fit the model; returns self. Nothing on the model changes when the fit fails."""
        family, link, scale_known = self._family_link()
        criterion = self._criterion(scale_known)
        if isinstance(self.max_iter, bool) or not isinstance(self.max_iter, (int, np.integer)) or self.max_iter < 1:
            raise ValueError(f"max_iter must be a positive integer, got {self.max_iter!r}")
        frame = Frame(X)
        n = frame.n
        if n == 0:
            raise ValueError("X has no rows")
        yv = np.asarray(y)
        if yv.dtype == bool:
            yv = yv.astype(np.float64)
        if yv.dtype.kind not in "biuf":
            raise ValueError(f"y must be numeric, got dtype {yv.dtype}")
        yv = yv.astype(np.float64).reshape(-1) if yv.ndim <= 1 or yv.shape[1:] == (1,) else yv
        if yv.ndim != 1 or yv.shape[0] != n:
            raise ValueError(f"y must have one value per row of X ({n}), got shape {np.shape(y)}")
        bad = ~np.isfinite(yv)
        if bad.any():
            raise ValueError(f"y has a missing or non-finite value at row {int(np.flatnonzero(bad)[0])}")
        w = _vector(sample_weight, "sample_weight", n, 1.0)
        bad = ~(np.isfinite(w) & (w >= 0))
        if bad.any():
            row = int(np.flatnonzero(bad)[0])
            raise ValueError(f"sample_weight must be finite and non-negative, but sample_weight[{row}] = {w[row]}")
        if not np.any(w > 0):
            raise ValueError("sample_weight is zero for every row")
        off = _vector(offset, "offset", n, 0.0)
        bad = ~np.isfinite(off)
        if bad.any():
            row = int(np.flatnonzero(bad)[0])
            raise ValueError(f"offset must be finite, but offset[{row}] = {off[row]}")

        terms = self._term_list(frame)
        blocks = [b for t in terms for b in t.setup(frame)]
        labels = [b.label for b in blocks]
        if len(set(labels)) != len(labels):
            raise ValueError(f"the model repeats a term: {labels}")
        specs, data = self._engine_data(blocks, frame)
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
        lam = self._fixed_lambda(len(penalties))
        try:
            result = _engine.fit(specs, data, yv, w, off, penalties, family, link, criterion, lam=lam,
                                 max_iter=int(self.max_iter))
        except ValueError as err:
            raise ValueError(str(err)) from None
        for message in result["warnings"]:
            warnings.warn(message, ConvergenceWarning, stacklevel=2)
        self._store(frame, terms, blocks, starts, result, family, link, criterion, n)
        self.penalties_ = penalties
        return self

    def _store(self, frame: Frame, terms: TermList, blocks: list[Block], starts: list[int], r: dict, family: str,
               link: str, criterion: str, n: int) -> None:
        self.family_, self.link_, self.criterion_ = family, link, criterion
        self.blocks_ = blocks
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
        self.deviance_explained_ = 1.0 - r["deviance"] / r["null_deviance"] if r["null_deviance"] > 0 else float("nan")
        self.log_likelihood_ = r["log_likelihood"]
        self.aic_ = -2.0 * r["log_likelihood"] + 2.0 * self.edf_ + (2.0 if r["scale_estimated"] else 0.0)
        self.n_obs_ = r["observations"]
        self.score_ = self._score(r)
        self.converged_ = r["converged"]
        self.n_iter_ = r["pirls_iterations"]
        self.fitted_values_ = r["fitted"]
        self.linear_predictor_ = r["linear_predictor"]
        self.working_weights_ = r["working_weights"]
        self.n_features_in_ = frame.width
        if frame.names is not None:
            self.feature_names_in_ = np.asarray(frame.names, dtype=object)
        elif hasattr(self, "feature_names_in_"):
            del self.feature_names_in_

    def _score(self, r: dict) -> float:
        """REML: the Laplace approximation to −log restricted likelihood at the
        fitted scale; ML: the same for the marginal likelihood with the
        unpenalized coefficients fixed; GCV: n·D/(n − τ)²; UBRE: D/n + 2τ/n − 1."""
        n, tau, dev = r["observations"], float(np.sum(r["edf"])), r["deviance"]
        if self.method == "ML":
            return (-r["log_likelihood_at_scale"] + r["penalty"] / (2 * r["scale"])
                    + 0.5 * (r["log_det_range"] - r["penalty_log_det"]))
        if self.method == "REML":
            phi, p, rank = r["scale"], len(r["coefficients"]), r["penalty_rank"]
            return (-r["log_likelihood_at_scale"] + r["penalty"] / (2 * phi) + 0.5 * (r["log_det_a"] - p * math.log(phi))
                    - 0.5 * (r["penalty_log_det"] - rank * math.log(phi)) - 0.5 * (p - rank) * math.log(2 * math.pi))
        if self.criterion_ == "GCV":
            return n * dev / (n - tau) ** 2
        return dev / n + 2.0 * tau / n - 1.0

    # ---- prediction ---------------------------------------------------------------

    def _check_fitted(self) -> None:
        if not hasattr(self, "coef_"):
            raise RuntimeError("this GAM is not fitted yet; call fit(X, y) first")

    def _engine_predict(self, X: Any, with_se: bool, per_term: bool):
        self._check_fitted()
        frame = Frame(X)
        specs, data = self._engine_data(self.blocks_, frame)
        return _engine.predict(specs, data, self.coef_, self.cov_ if with_se else None, per_term)

    def _offset(self, offset: Any, n: int) -> np.ndarray:
        off = _vector(offset, "offset", n, 0.0)
        if not np.all(np.isfinite(off)):
            raise ValueError("offset must be finite")
        return off

    def predict_link(self, X: Any, offset: Any = None, se: bool = False) -> Any:
        """The linear predictor η at X (plus the offset); with `se`, also its
        standard error from the Bayesian covariance: a pair (η, se)."""
        eta, se_eta, _, _ = self._engine_predict(X, se, False)
        eta = eta + self._offset(offset, len(eta))
        return (eta, se_eta) if se else eta

    def predict(self, X: Any, offset: Any = None) -> np.ndarray:
        """The fitted mean μ = g⁻¹(η) at X."""
        self._check_fitted()
        return _engine.inverse_link(self.family_, self.link_, self.predict_link(X, offset))

    def confidence_interval(self, X: Any, level: float = 0.95, offset: Any = None) -> np.ndarray:
        """Pointwise intervals for the mean: η ± z·se on the link scale, mapped
        through the inverse link (n × 2, lower and upper)."""
        z = self._quantile(level)
        eta, se = self.predict_link(X, offset, se=True)
        a = _engine.inverse_link(self.family_, self.link_, eta - z * se)
        b = _engine.inverse_link(self.family_, self.link_, eta + z * se)
        return np.column_stack([np.minimum(a, b), np.maximum(a, b)])

    @staticmethod
    def _quantile(level: float) -> float:
        if not 0.0 < level < 1.0:
            raise ValueError(f"level must lie strictly between 0 and 1, got {level!r}")
        return _stats.norm_ppf(0.5 + 0.5 * level)

    def partial_effects(self, X: Any, se: bool = False) -> dict[str, Any]:
        """Each term's contribution to η at X, keyed by term label; with `se`,
        pairs (values, standard errors)."""
        _, _, values, errors = self._engine_predict(X, se, True)
        out: dict[str, Any] = {}
        for j, b in enumerate(self.blocks_):
            out[b.label] = (values[:, j], errors[:, j]) if se else values[:, j]
        return out

    def model_matrix(self, X: Any) -> np.ndarray:
        """The n × p model matrix at X (columns named by `coef_names_`)."""
        self._check_fitted()
        specs, data = self._engine_data(self.blocks_, Frame(X))
        return _engine.model_matrix(specs, data)

    # ---- inference ----------------------------------------------------------------

    @property
    def residual_df_(self) -> float:
        self._check_fitted()
        return self.n_obs_ - self.edf_

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
                se = math.sqrt(max(var, 0.0))
                stat = est / se if se > 0 else float("inf")
                tail = (_stats.t_sf(abs(stat), max(self.residual_df_, 1.0)) if self.scale_estimated_
                        else _stats.norm_sf(abs(stat)))
                rows.append(CoefficientTest(name, float(est), se, float(stat), float(2.0 * tail)))
        return rows

    def __repr__(self) -> str:
        terms = "None" if self.terms is None else repr(self.terms)
        return f"GAM(terms={terms}, family={self.family!r}, link={self.link!r}, method={self.method!r})"
