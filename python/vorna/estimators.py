"""Family-specific estimators with the scikit-learn conventions of their kind."""

from __future__ import annotations

from typing import Any

import numpy as np

from .model import GAM, _is_dask, _some_rows


class LinearGAM(GAM):
    """A Gaussian GAM with the identity link; `score` is R²."""

    def __init__(self, terms: Any = None, method: str = "REML", fit_intercept: bool = True, lam: Any = None,
                 max_iter: int = 100, verbose: bool = False,
                 n_threads: int | None = None) -> None:
        super().__init__(terms, "gaussian", None, method, fit_intercept, lam, max_iter, verbose, n_threads)

    @classmethod
    def _param_names(cls) -> list[str]:
        return ["terms", "method", "fit_intercept", "lam", "max_iter", "verbose", "n_threads"]


def _positive_target_tags(tags: Any) -> Any:
    tags.target_tags.positive_only = True
    return tags


class PoissonGAM(GAM):
    """A Poisson GAM (log link by default) for counts; pass log exposure as `offset`."""

    def __sklearn_tags__(self) -> Any:
        return _positive_target_tags(super().__sklearn_tags__())

    def __init__(self, terms: Any = None, link: str | None = None, method: str = "REML", fit_intercept: bool = True,
                 lam: Any = None, max_iter: int = 100, verbose: bool = False,
                 n_threads: int | None = None) -> None:
        super().__init__(terms, "poisson", link, method, fit_intercept, lam, max_iter, verbose, n_threads)

    @classmethod
    def _param_names(cls) -> list[str]:
        return ["terms", "link", "method", "fit_intercept", "lam", "max_iter", "verbose", "n_threads"]


class GammaGAM(GAM):
    """A Gamma GAM for positive continuous responses (log link by default: the
    canonical inverse link can give negative means away from the data)."""

    def __sklearn_tags__(self) -> Any:
        return _positive_target_tags(super().__sklearn_tags__())

    def __init__(self, terms: Any = None, link: str | None = "log", method: str = "REML", fit_intercept: bool = True,
                 lam: Any = None, max_iter: int = 100, verbose: bool = False,
                 n_threads: int | None = None) -> None:
        super().__init__(terms, "gamma", link, method, fit_intercept, lam, max_iter, verbose, n_threads)

    @classmethod
    def _param_names(cls) -> list[str]:
        return ["terms", "link", "method", "fit_intercept", "lam", "max_iter", "verbose", "n_threads"]


class LogisticGAM(GAM):
    """A binomial GAM classifier for two classes.

    `fit` accepts any two class labels (the larger in sorted order is the
    positive class, as in scikit-learn); `predict` returns labels,
    `predict_proba` the probabilities of both classes, and `score` the
    accuracy.
    """

    _estimator_type = "classifier"

    def __init__(self, terms: Any = None, link: str | None = None, method: str = "REML", fit_intercept: bool = True,
                 lam: Any = None, max_iter: int = 100, verbose: bool = False,
                 n_threads: int | None = None) -> None:
        super().__init__(terms, "binomial", link, method, fit_intercept, lam, max_iter, verbose, n_threads)

    @classmethod
    def _param_names(cls) -> list[str]:
        return ["terms", "link", "method", "fit_intercept", "lam", "max_iter", "verbose", "n_threads"]

    def __sklearn_tags__(self) -> Any:
        from sklearn.utils import ClassifierTags, InputTags, Tags, TargetTags

        return Tags(estimator_type="classifier", target_tags=TargetTags(required=True),
                    classifier_tags=ClassifierTags(multi_class=False), input_tags=InputTags(allow_nan=False))

    def _encode_target(self, y: np.ndarray) -> np.ndarray:
        """0/1 for the classes of `classes_` (set up by `fit` from the labels it is given)."""
        y = y.reshape(-1) if y.ndim == 2 and y.shape[1] == 1 else y
        classes: np.ndarray | None = self.__dict__.get("_fit_classes", getattr(self, "classes_", None))
        if classes is None:
            raise ValueError("fit the model before scoring labels")
        missing = np.flatnonzero(_missing_labels(y))
        if missing.size:
            raise ValueError(f"y has a missing label (NaN, None or NA) at row {missing[0]}; drop or label the row")
        unseen = np.setdiff1d(np.unique(y), classes)
        if unseen.size:
            raise ValueError(f"y has classes {unseen.tolist()} not seen when fitting")
        return np.asarray(y == classes[1], dtype=np.float64)

    @staticmethod
    def _classes(y: Any) -> np.ndarray:
        if _is_dask(y):
            from . import _dask

            labels = classes = _dask.distinct(y)
            if np.any(_missing_labels(np.asarray(classes))):
                raise ValueError("y has a missing label (NaN, None or NA); drop or label those rows")
        else:
            labels = np.asarray(y)
            labels = labels.reshape(-1) if labels.ndim == 2 and labels.shape[1] == 1 else labels
            missing = np.flatnonzero(_missing_labels(labels))
            if missing.size:
                raise ValueError(f"y has a missing label (NaN, None or NA) at row {missing[0]}; drop or label the row")
            try:
                classes = np.unique(labels)
            except TypeError as err:
                raise ValueError(f"y mixes labels that cannot be ordered ({err}); give every label one type") from None
        if labels.dtype.kind == "f" and np.any(classes != np.round(classes)):
            raise ValueError("Unknown label type: continuous. LogisticGAM classifies; for proportions use "
                             "GAM(family='binomial') with the trial counts as sample_weight")
        if len(classes) > 2:
            raise ValueError(f"Only binary classification is supported. y has {len(classes)} classes")
        if len(classes) < 2:
            raise ValueError("y has one class; LogisticGAM needs two")
        return classes

    def _fit(self, X: Any, y: Any, sample_weight: Any, offset: Any) -> "LogisticGAM":
        # Inside GAM.fit's guard against a concurrent fit and its restoring of the model on failure.
        if y is None:
            y = self._formula_response(X)
        if y is not None:
            self._fit_classes = self._classes(y)
        try:
            super()._fit(X, y, sample_weight, offset)
            if y is not None:
                self.classes_ = self._fit_classes
        finally:
            self.__dict__.pop("_fit_classes", None)
        return self

    def predict_proba(self, X: Any, offset: Any = None) -> np.ndarray:
        """Probabilities of the two classes, in the order of `classes_` (n × 2)."""
        if _is_dask(X):
            from . import _dask

            return _dask.rowwise(self, "predict_proba", X, 2, offset)  # type: ignore[no-any-return]
        p = super().predict(X, offset)
        return np.asarray(np.column_stack([1.0 - p, p]))

    def predict(self, X: Any, offset: Any = None) -> np.ndarray:
        """The more probable class of each row."""
        self._check_fitted()
        if _is_dask(X):
            from . import _dask

            return _dask.column(  # type: ignore[no-any-return]
                _dask.rowwise(self, "predict", X, 1, offset, dtype=self.classes_.dtype), 0)
        labels: np.ndarray = self.classes_[(super().predict(X, offset) > 0.5).astype(int)]
        return labels

    def score(self, X: Any, y: Any = None, sample_weight: Any = None, offset: Any = None) -> float:
        """Accuracy (weighted by `sample_weight`), with the rows' offset as in the fit."""
        positive, w = self._response_at(X, y, sample_weight, "score()")
        # The predicted class is the second where its probability exceeds 1/2, as predict() has it.
        predicted = self._observed_mean(X, len(positive), offset, "score()") > 0.5
        _some_rows(positive)
        return float(np.sum(w * (predicted == (positive == 1.0))) / np.sum(w))


def _missing_labels(labels: np.ndarray) -> np.ndarray:
    """Where labels are missing: NaN, NaT, None or pandas' NA (np.unique
    cannot order None among strings, and NA has no truth value)."""
    if labels.dtype.kind in "fc":
        return np.asarray(np.isnan(labels))
    if labels.dtype.kind in "mM":
        return np.asarray(np.isnat(labels))
    if labels.dtype.kind == "O":
        return np.array([_is_missing(v) for v in labels.reshape(-1)], dtype=bool)
    return np.zeros(labels.size, dtype=bool)


def _is_missing(value: Any) -> bool:
    if value is None or type(value).__name__ in ("NAType", "NaTType"):
        return True
    return isinstance(value, (float, np.floating)) and bool(value != value)
