"""Fits and predictions on Dask collections.

Until λ is chosen, a GAM fit is a sum over rows: XᵀWX, XᵀWz, the residual
sum of squares, the deviance. So the rows never leave their workers: every
pass of the fit computes each partition's sums there, with the same engine
as a fit in memory, and adds them up in partition order on the client, where
everything after the sums works on p × p matrices. Setting the terms up takes
passes of the same kind: the distinct values (or their quantiles) of the
columns smooths read, the levels of factors, the column sums of each
smooth's basis.

Partitions are recomputed for every pass unless the caller persists them, so
a worker holds a few partitions at a time. Each partition's work is a pure
function of the partition, so a lost worker's share is simply recomputed.

Imported only when a Dask collection is passed in.
"""

from __future__ import annotations

import pickle
from typing import TYPE_CHECKING, Any, Callable, Sequence

import numpy as np

from . import _engine
from ._data import (ColumnRef, Frame, as_numbers, check_vectors, engine_columns, engine_vector, factor_levels,
                    numbers_per_row, sorted_quantiles, unmasked)

if TYPE_CHECKING:
    from .model import GAM

# A partition with at most this many distinct values of a column sends them
# all, so that knots from such columns are exactly those of a fit in memory.
EXACT_DISTINCT = 4096
# Otherwise it sends the quantiles of its distinct values on this many points.
QUANTILE_GRID = 2049
# A large fit starts from a fit on every k-th row (the engine's rule), which
# the client holds and fits: where those rows would hold more than this many
# values (80 MB), k grows.
SAMPLE_MAX_VALUES = 10_000_000


# ---- the user's data as partitions ----------------------------------------------


class Partitions:
    """X (and y, weights, offset where given) split into aligned partitions."""

    def __init__(self, X: Any, y: Any = None, sample_weight: Any = None, offset: Any = None) -> None:
        self.categorical: set[str] = set()  # the pandas categorical columns
        if _is_dataframe(X):
            self.names: list[str] | None = [str(c) for c in X.columns]
            self._dtypes = {str(c): np.dtype(getattr(t, "numpy_dtype", "O")) if _is_extension(t) else np.dtype(t)
                            for c, t in X.dtypes.items()}
            self.categorical = {str(c) for c, t in X.dtypes.items() if getattr(t, "name", "") == "category"}
            self.parts = list(X.to_delayed())
        elif hasattr(X, "chunks") and hasattr(X, "ndim"):
            if X.ndim != 2:
                raise ValueError(f"X must be 2-D (rows × columns), got a Dask array with {X.ndim} dimensions")
            if X.shape[1] == 0:
                raise ValueError(f"X has 0 feature(s) (shape={X.shape}) while a minimum of 1 is required.")
            self.names = None
            X = X.rechunk({1: -1})  # every partition holds whole rows
            self._dtypes = {}
            self._array_dtype = X.dtype
            self._width = X.shape[1]
            self.parts = list(X.to_delayed()[:, 0])
        else:
            raise TypeError(f"X: expected a Dask DataFrame or a 2-D Dask array, got {type(X).__name__}")
        self._X = X
        self._lengths: list[int] | None = None
        vectors = {"y": y, "sample_weight": sample_weight, "offset": offset}
        carried = self._carry({k: v for k, v in vectors.items() if v is not None and _is_dask_collection(v)})
        self.y, self.weights, self.offset = (
            [carried[k]] * len(self.parts) if k in carried else self._align(v, k) for k, v in vectors.items())

    def _carry(self, vectors: dict[str, Any]) -> dict[str, "Carried"]:
        """Dask vectors made columns of X's partitions where they line up, so
        that a pass computes each partition once (separate collections would
        each compute the rows they derive from)."""
        if not vectors:
            return {}
        X = self._X
        try:
            if _is_dataframe(X):
                series = {}
                for name, v in vectors.items():
                    if _is_dataframe(v) and len(v.columns) == 1:
                        v = v[v.columns[0]]
                    if not hasattr(v, "map_partitions") or getattr(v, "ndim", 0) != 1:
                        return {}
                    series[f"__vorna_{name}__"] = v
                combined = with_columns(X, series, {f"__vorna_{name}__": name for name in vectors})
                self.parts = list(combined.to_delayed())
                return {name: Carried(f"__vorna_{name}__") for name in vectors}
            columns = []
            for v in vectors.values():
                # Labels that are not numbers (a classifier's strings) are cut into pieces of their own.
                if hasattr(v, "map_partitions") or v.ndim != 1 or len(v) != X.shape[0] or v.dtype.kind not in "biuf":
                    return {}
                columns.append(v.astype(np.float64).rechunk((X.chunks[0],))[:, None])
            import dask.array as da

            combined = da.concatenate([X.astype(np.float64), *columns], axis=1).rechunk({1: -1})
            self.parts = list(combined.to_delayed()[:, 0])
            return {name: Carried(X.shape[1] + j) for j, name in enumerate(vectors)}
        except (ValueError, TypeError, NotImplementedError):
            return {}  # not aligned: each vector is cut into pieces of its own

    @property
    def width(self) -> int:
        return len(self.names) if self.names is not None else self._width

    def dtype(self, ref: ColumnRef) -> np.dtype[Any]:
        if self.names is None:
            dtype: np.dtype[Any] = np.dtype(self._array_dtype)
            return dtype
        return self._dtypes[str(ref)]

    def lengths(self) -> list[int]:
        """Rows per partition (known for most arrays; one pass otherwise)."""
        if self._lengths is None:
            chunks = getattr(self._X, "chunks", None)
            if chunks is not None and all(np.isfinite(c) for c in chunks[0]):
                self._lengths = [int(c) for c in chunks[0]]
            else:
                import dask

                self._lengths = [int(v) for v in dask.compute(*[_delayed(len)(p) for p in self.parts])]
        return self._lengths

    def _align(self, v: Any, name: str) -> list[Any] | None:
        """One piece of `v` per partition of X (lengths are checked with the rows)."""
        if v is None:
            return None
        if _is_dask_collection(v):
            if _is_dataframe(v) and len(v.columns) == 1:
                v = v[v.columns[0]]
            if not hasattr(v, "map_partitions"):  # a Dask array: cut like X
                if v.ndim == 2 and v.shape[1] == 1:
                    v = v[:, 0]
                if v.ndim != 1:
                    raise ValueError(f"{name} must be one-dimensional, got a Dask array of shape {v.shape}")
                if not np.isfinite(v.shape[0]):
                    v = v.compute_chunk_sizes()  # a pass over it: its length is needed to cut it like X
                rows = sum(self.lengths())
                if v.shape[0] != rows:
                    raise ValueError(f"{name} has {v.shape[0]} entries for {rows} rows of X")
                v = v.rechunk((tuple(self.lengths()),))
            pieces = list(np.ravel(np.asarray(v.to_delayed(), dtype=object)))
            if len(pieces) != len(self.parts):
                raise ValueError(f"{name} has {len(pieces)} partitions, X has {len(self.parts)}; "
                                 "give them the same partitioning")
            return pieces
        values = unmasked(v, name)
        if values.ndim == 0 and name != "y":  # one number for every row, as in memory, checked here once
            number = np.full(1, float(as_numbers(values, name)))
            weights, offset = (number if name == "sample_weight" else None), (number if name == "offset" else None)
            check_vectors(1, np.zeros(1), weights, offset)
            return [number[0]] * len(self.parts)
        if values.ndim == 2 and values.shape[1:] == (1,):
            values = values[:, 0]
        if values.ndim != 1:
            raise ValueError(f"{name} must be one-dimensional, got shape {values.shape}")
        bounds = np.cumsum([0, *self.lengths()])
        if len(values) != bounds[-1]:
            raise ValueError(f"{name} has {len(values)} entries for {bounds[-1]} rows of X")
        return [values[a:b] for a, b in zip(bounds[:-1], bounds[1:])]

    def map(self, function: Callable[..., Any], *args: Any, with_vectors: bool = False,
            each: Sequence[Any] | None = None) -> list[Any]:
        """function(index, partition, [y, weights, offset,] [each[index],] *args)
        on every partition, computed; results in partition order."""
        import dask

        tasks = []
        for i, part in enumerate(self.parts):
            extra: tuple[Any, ...] = ()
            if with_vectors:
                extra = tuple(None if v is None else v[i] for v in (self.y, self.weights, self.offset))
            if each is not None:
                extra = (*extra, each[i])
            tasks.append(_delayed(_labelled)(function, i, part, *extra, *args))
        return list(dask.compute(*tasks))


class Carried:
    """A vector held as a column of each partition."""

    def __init__(self, column: ColumnRef) -> None:
        self.column = column

    def of(self, part: Any) -> np.ndarray:
        values = part[self.column] if self.column.__class__ is str else part[:, self.column]
        return np.asarray(values)


def _labelled(function: Callable[..., Any], index: int, *args: Any) -> Any:
    """Runs one partition's work; its errors name the partition."""
    try:
        return function(index, *args)
    except (ValueError, TypeError) as err:
        raise type(err)(f"partition {index}: {err}") from None


def _delayed(function: Callable[..., Any]) -> Any:
    import dask

    return dask.delayed(function, pure=True)


def _is_dask_collection(obj: Any) -> bool:
    return type(obj).__module__.split(".")[0] in ("dask", "dask_expr")


def _is_dataframe(obj: Any) -> bool:
    return _is_dask_collection(obj) and hasattr(obj, "map_partitions") and getattr(obj, "ndim", 0) == 2


def _is_extension(dtype: Any) -> bool:
    return not isinstance(dtype, np.dtype)


# ---- what setting the terms up asks of the data ------------------------------------


def _column_summary(index: int, part: Any, refs: Sequence[ColumnRef]) -> dict[ColumnRef, Any]:
    frame = Frame(part)
    out: dict[ColumnRef, tuple[Any, ...]] = {}
    for ref in refs:
        distinct = np.unique(frame.numeric(ref))
        if len(distinct) <= EXACT_DISTINCT:
            out[ref] = ("exact", distinct)
        else:
            grid = np.quantile(distinct, np.linspace(0.0, 1.0, QUANTILE_GRID))
            out[ref] = ("grid", grid, len(distinct))
    return out


def _levels(index: int, part: Any, refs: Sequence[ColumnRef]) -> dict[ColumnRef, np.ndarray]:
    frame = Frame(part)
    return {ref: factor_levels(frame.raw(ref), ref) for ref in refs}


def _column_sums(index: int, part: Any, requests: list[tuple[tuple[Any, ...], dict[Any, Any]]]) -> list[np.ndarray]:
    frame = Frame(part)
    if frame.n == 0:
        return [np.zeros(0) for _ in requests]
    return [np.asarray(_engine.column_sums([spec], engine_columns(producers, frame))) for spec, producers in requests]


def _column_sums_and_sample(index: int, part: Any, y: Any, w: Any, off: Any, start: int,
                            requests: list[tuple[tuple[Any, ...], dict[Any, Any]]], sample: "Sample"
                            ) -> tuple[list[np.ndarray], tuple[Any, ...]]:
    """The column sums, with the partition's share of the sample (`start`: its first row in X)."""
    return _column_sums(index, part, requests), _sample_rows(index, part, y, w, off, start, sample)


def merged_quantiles(summaries: list[tuple[Any, ...]], probabilities: np.ndarray) -> tuple[int, np.ndarray | None]:
    """The number of distinct values and their quantiles, from partitions'
    summaries: exact when every partition sent its distinct values; else each
    partition's quantile grid stands for its distinct values, weighted by
    their number, and the quantiles of that mixture are returned (values
    shared by partitions count once per partition)."""
    if all(s[0] == "exact" for s in summaries):
        distinct = np.unique(np.concatenate([s[1] for s in summaries]))
        if len(distinct) < len(probabilities):
            return len(distinct), None
        return len(distinct), sorted_quantiles(distinct, probabilities)
    points, weights = [], []
    for s in summaries:
        values = s[1]
        if len(values) == 0:
            continue
        count = len(values) if s[0] == "exact" else s[2]
        points.append(values)
        weights.append(np.full(len(values), count / len(values)))
    x = np.concatenate(points)
    w = np.concatenate(weights)
    order = np.argsort(x, kind="stable")
    x, w = x[order], w[order]
    total = float(w.sum())
    # Each point stands for the mass around it: the mixture's CDF passes
    # through the midpoints of the cumulative weights.
    cdf = (np.cumsum(w) - 0.5 * w) / total
    knots = np.interp(probabilities, cdf, x)
    knots[0], knots[-1] = x[0], x[-1]  # the extremes are exact
    count = int(round(total))
    if len(np.unique(knots)) < len(knots):
        return count, None
    return count, knots


class DaskFrame:
    """What setting a model's terms up needs of a Dask collection, each
    answer from one pass over its partitions (summaries of several columns
    are computed together and kept)."""

    def __init__(self, parts: Partitions) -> None:
        self._parts = parts
        self.names = parts.names
        self.n: int = -1  # not known before a pass over the rows
        self._summaries: dict[ColumnRef, Any] = {}
        self._levels: dict[ColumnRef, np.ndarray] = {}
        self._sums: dict[bytes, np.ndarray] = {}
        self._wanted_levels: list[ColumnRef] = []

    @property
    def width(self) -> int:
        return self._parts.width

    def want_levels(self, categorical: Sequence[ColumnRef]) -> None:
        """Columns whose levels the first call of `levels` computes as well."""
        self._wanted_levels = list(dict.fromkeys(categorical))

    def _check_ref(self, ref: ColumnRef) -> None:
        if self.names is not None:
            if isinstance(ref, (int, np.integer)) and not isinstance(ref, (bool, np.bool_)) and str(ref) in self.names:
                return  # a DataFrame with integer column labels, as in memory
            if not isinstance(ref, str) or ref not in self.names:
                shown = ", ".join(repr(n) for n in self.names[:20])
                raise ValueError(f"unknown column {ref!r} in X; its columns are {shown}")
        elif isinstance(ref, (bool, np.bool_)) or not isinstance(ref, (int, np.integer)) or \
                not -self.width <= int(ref) < self.width:
            raise ValueError(f"column {ref!r}: X is a Dask array with {self.width} columns, so columns are "
                             f"referred to by position (0 … {self.width - 1})")

    def check_numeric(self, ref: ColumnRef) -> None:
        self._check_ref(ref)
        # Numbers held as Python objects are read as numbers in each partition, as in memory (which
        # refuses the column there if they are not numbers); other dtypes can be refused here.
        dtype = self._parts.dtype(ref)
        if str(ref) in self._parts.categorical or dtype.kind not in "biufO":
            raise ValueError(f"column {ref!r} is not numeric (dtype {dtype}); "
                             f"use f({ref!r}) for a categorical variable")

    def is_categorical(self, ref: ColumnRef) -> bool:
        self._check_ref(ref)
        return self._parts.dtype(ref).kind not in "biuf"

    def declared_categorical(self, ref: ColumnRef) -> bool:
        self._check_ref(ref)
        return str(ref) in self._parts.categorical

    def _summary(self, ref: ColumnRef) -> list[tuple[Any, ...]]:
        if ref not in self._summaries:  # not seeded by the first pass
            self.check_numeric(ref)
            self.seed_summaries([ref], self._parts.map(_column_summary, [ref]))
        return self._summaries[ref]  # type: ignore[no-any-return]

    def seed_summaries(self, refs: Sequence[ColumnRef], parts: list[dict[ColumnRef, Any]]) -> None:
        """Summaries computed by another pass (one dict per partition)."""
        for r in refs:
            self._summaries[r] = [p[r] for p in parts]

    def knots(self, ref: ColumnRef, probabilities: np.ndarray, keep_sorted: bool = False
              ) -> tuple[int, np.ndarray | None]:
        # Quantiles of merged summaries: there is no sorted column to keep.
        return merged_quantiles(self._summary(ref), probabilities)

    def value_range(self, ref: ColumnRef) -> tuple[float, float]:
        pieces = [s[1] for s in self._summary(ref) if len(s[1])]
        return float(min(p[0] for p in pieces)), float(max(p[-1] for p in pieces))

    def distinct_count(self, ref: ColumnRef) -> int:
        count, _ = merged_quantiles(self._summary(ref), np.array([0.0, 1.0]))
        return count

    def levels(self, ref: ColumnRef) -> np.ndarray:
        if ref not in self._levels:
            self._check_ref(ref)
            refs = [ref] + [r for r in self._wanted_levels if r != ref and r not in self._levels]
            parts = self._parts.map(_levels, refs)
            for r in refs:
                self._levels[r] = factor_levels(np.concatenate([p[r] for p in parts]), r)
        return self._levels[ref]

    def column_sums(self, spec: tuple[Any, ...], producers: dict[Any, Any]) -> np.ndarray:
        key = _key(spec, producers)
        if key not in self._sums:
            self.prefetch_sums([(spec, producers)])
        return self._sums[key]

    def prefetch_sums(self, requests: list[tuple[tuple[Any, ...], dict[Any, Any]]], sample: "Sample | None" = None
                      ) -> list[tuple[Any, ...]] | None:
        """Column sums of several smooths' bases in one pass, which also
        brings `sample`'s rows (one piece per partition) when given."""
        if sample is None:
            parts = self._parts.map(_column_sums, requests)
        else:
            results = self._parts.map(_column_sums_and_sample, requests, sample, with_vectors=True,
                                      each=sample.starts)
            parts = [sums for sums, _ in results]
        for j, (spec, producers) in enumerate(requests):
            pieces = [p[j] for p in parts if len(p[j])]
            total: np.ndarray = pieces[0].copy()
            for piece in pieces[1:]:
                total += piece
            self._sums[_key(spec, producers)] = total
        return None if sample is None else [rows for _, rows in results]


def _key(spec: tuple[Any, ...], producers: dict[Any, Any]) -> bytes:
    return pickle.dumps((spec, list(producers)))


class _SumsRecorder:
    """Stands in for a DaskFrame while terms are set up once to learn which
    column sums they will ask for (answered with ones, which no constraint
    is built from)."""

    def __init__(self, frame: "DaskFrame") -> None:
        self._frame = frame
        self.requests: list[tuple[tuple[Any, ...], dict[Any, Any]]] = []

    def __getattr__(self, name: str) -> Any:
        return getattr(self._frame, name)

    def column_sums(self, spec: tuple[Any, ...], producers: dict[Any, Any]) -> np.ndarray:
        self.requests.append((spec, producers))
        width = _engine.column_sums([spec], np.zeros((1, max(len(producers), 1)))).shape[0]
        return np.ones(width)


# ---- the fit ----------------------------------------------------------------------


def _vectors(frame: Frame, y: Any, w: Any, off: Any, response: Any, encode: Callable[[np.ndarray], np.ndarray]
             ) -> tuple[np.ndarray, np.ndarray | None, np.ndarray | None]:
    n = frame.n
    part = frame.source
    y, w, off = (v.of(part) if isinstance(v, Carried) else v for v in (y, w, off))
    raw = frame.raw(response) if y is None else np.asarray(y)
    yv = engine_vector(as_numbers(encode(raw), "y"))
    wv = None if w is None else engine_vector(numbers_per_row(w, "sample_weight", n))
    ov = None if off is None else engine_vector(numbers_per_row(off, "offset", n))
    for name, v in (("y", yv), ("sample_weight", wv), ("offset", ov)):
        if v is not None and len(v) != n:
            raise ValueError(f"{name} has {len(v)} rows where X has {n}")
    check_vectors(n, yv, wv, ov)
    return yv, wv, ov


def _first_pass(index: int, part: Any, y: Any, w: Any, off: Any, refs: Sequence[ColumnRef], response: Any,
                encode: Callable[[np.ndarray], np.ndarray], family: str, link: str) -> tuple[Any, tuple[Any, ...]]:
    """The summaries of the columns smooths read, and the partition's
    moments (its response, weights and offset checked)."""
    frame = Frame(part)
    yv, wv, ov = _vectors(frame, y, w, off, response, encode)
    return _column_summary(index, part, refs), tuple(_engine.partition_moments(family, link, yv, wv, ov))


def _pass(index: int, part: Any, y: Any, w: Any, off: Any, blocks: Any, null: bool, response: Any,
          encode: Callable[[np.ndarray], np.ndarray], family: str, link: str, request: dict[str, Any]
          ) -> dict[str, Any]:
    from .model import GAM

    frame = Frame(part)
    yv, wv, ov = _vectors(frame, y, w, off, response, encode)
    if null:
        specs: list[Any] = [("intercept",)]
        data = np.empty((frame.n, 1))
    else:
        specs, data = GAM._engine_data(blocks, frame)
    return dict(_engine.partition_pass(specs, data, yv, wv, ov, family, link, request))


class Sample:
    """Every `stride`-th row of X, counted from X's first row, as the fit in
    memory samples it; `starts`: each partition's first row (kept on the
    client: each partition's task gets its own)."""

    def __init__(self, starts: list[int], stride: int, response: Any, encode: Callable[[np.ndarray], np.ndarray]
                 ) -> None:
        self.starts, self.stride, self.response, self.encode = starts, stride, response, encode

    def __getstate__(self) -> dict[str, Any]:
        return {**self.__dict__, "starts": None}

    def rows(self, part: Any, frame: Frame, y: Any, w: Any, off: Any, start: int) -> tuple[Any, ...]:
        """The sampled rows of a partition whose first row in X is `start`, with their y, weights and offset."""
        yv, wv, ov = _vectors(frame, y, w, off, self.response, self.encode)
        take = slice((-start) % self.stride, None, self.stride)
        rows = part.iloc[take] if hasattr(part, "iloc") else np.asarray(part)[take]
        return rows, yv[take], None if wv is None else wv[take], None if ov is None else ov[take]


def _sample(model: "GAM", lengths: list[int], width: int, family: str, link: str, has_smooths: bool, response: Any,
            encode: Callable[[np.ndarray], np.ndarray]) -> Sample | None:
    """The sample a fit of these rows starts from, as in memory (a working
    model that depends on β, λ to choose, and enough rows; see the engine's
    sample_stride); None otherwise. The client holds the sample's rows, all
    `width` columns of them, so k grows where they would be more than
    SAMPLE_MAX_VALUES values."""
    stride = _engine.sample_stride(sum(lengths), max(SAMPLE_MAX_VALUES // max(width, 1), 1))
    if stride == 0 or (family == "gaussian" and link == "identity") or not has_smooths or model.lam is not None:
        return None
    return Sample(np.cumsum([0, *lengths[:-1]]).tolist(), stride, response, encode)


def _fit_sample(model: "GAM", pieces: list[tuple[Any, ...]], parts: Partitions, blocks: Any,
                penalties: list[np.ndarray], settings: tuple[str, str, str]) -> tuple[np.ndarray, np.ndarray] | None:
    """(β, λ) of the model fitted on the client to the sample's rows; None
    where that fit fails or does not converge (the fit on all rows then
    starts from the response, and says what is wrong)."""
    if not penalties:
        return None
    if _is_dataframe(parts._X):
        import pandas as pd

        rows = pd.concat([p[0] for p in pieces])
    else:
        rows = np.concatenate([p[0] for p in pieces])
    y, w, off = (None if pieces[0][k] is None else np.concatenate([p[k] for p in pieces]) for k in (1, 2, 3))
    from .model import GAM

    family, link, criterion = settings
    frame = Frame(rows, threads=model._threads())
    specs, data = GAM._engine_data(blocks, frame)
    try:
        fit = _engine.fit(specs, data, engine_vector(y), None if w is None else engine_vector(w),
                          None if off is None else engine_vector(off), penalties, family, link, criterion,
                          max_iter=model._max_iter(), threads=model._threads())
    except (ValueError, MemoryError):
        return None
    # A sample whose responses all lie on a bound (no events among its rows) says nothing of β or λ.
    return (fit["coefficients"], fit["lambda"]) if fit["converged"] and not fit["response_at_bound"] else None


def _sample_rows(index: int, part: Any, y: Any, w: Any, off: Any, start: int, sample: Sample) -> tuple[Any, ...]:
    return sample.rows(part, Frame(part), y, w, off, start)


def _add_moments(parts: list[tuple[Any, ...]]) -> tuple[Any, ...]:
    total = [0.0, 0.0, 0.0, 0.0, 0, 0, 0]
    for m in parts:
        for k in range(7):
            total[k] += m[k]
    return tuple(total)


def _smooth_columns(terms: Any) -> tuple[list[ColumnRef], list[ColumnRef]]:
    """The columns smooths and linear terms read (summarized in the first
    pass: knots, and the ranges that decide a linear column's centring), and
    those read as factors or factor `by`s."""
    from .terms import _SmoothBase, f, l

    numeric: list[ColumnRef] = []
    categorical: list[ColumnRef] = []
    for t in terms:
        if isinstance(t, _SmoothBase):
            numeric.extend(t.columns)
            if t.by is not None:
                categorical.append(t.by)
        elif isinstance(t, l):
            numeric.append(t.column)
        elif isinstance(t, f):
            categorical.append(t.column)
    return numeric, categorical


def fit(model: "GAM", X: Any, y: Any, sample_weight: Any, offset: Any) -> "GAM":
    """GAM.fit on a Dask DataFrame or array (see the module's docstring)."""
    from .model import _engine_blocks, _model_coordinates

    family, link, criterion = model._settings()
    response = None
    if y is None:
        response = model._response_name()
        if response is None:
            raise ValueError(f"{type(model).__name__} requires y to be passed, but the target y is None "
                             "(or give a formula with a response, like 'y ~ s(x)')")
    parts = Partitions(X, y, sample_weight, offset)
    frame = DaskFrame(parts)
    if model.terms is None:
        # Without terms every column gets a smooth, as in memory, or a factor where it is a pandas categorical.
        columns: list[ColumnRef] = list(frame.names) if frame.names is not None else list(range(frame.width))
        categorical: list[ColumnRef] = [ref for ref in columns if frame.declared_categorical(ref)]
        numeric: list[ColumnRef] = [ref for ref in columns if ref not in categorical]
    else:
        numeric, categorical = _smooth_columns(model._term_list(frame))  # type: ignore[arg-type]
    numeric = list(dict.fromkeys(numeric))
    for ref in numeric:
        frame.check_numeric(ref)
    frame.want_levels(categorical)
    # One pass for the smooth columns' summaries and the rows' moments.
    # Tasks pickle what they call: the encoding of y from a copy without a previous fit's n-vectors.
    encode = model._lean()._encode_target
    first = parts.map(_first_pass, numeric, response, encode, family, link, with_vectors=True)
    frame.seed_summaries(numeric, [summaries for summaries, _ in first])
    moments = _add_moments([m for _, m in first])
    n = int(moments[5])
    if n < 2:
        raise ValueError(f"X has {n} sample(s); a model needs at least 2, n_samples = {n}")
    if moments[4] == 0:
        raise ValueError("sample_weight is zero for every row")
    frame.n = n
    # Set up once against a recorder to learn every smooth's column sums, which
    # one pass then computes (bringing the sample a large fit starts from,
    # too); the second set-up finds them all.
    recorder = _SumsRecorder(frame)
    model._setup(recorder)  # type: ignore[arg-type]
    sample = _sample(model, [int(m[5]) for _, m in first], frame.width, family, link, bool(numeric), response,
                     encode)
    pieces = None
    if recorder.requests:
        pieces = frame.prefetch_sums(recorder.requests, sample)
    elif sample is not None:
        pieces = parts.map(_sample_rows, sample, with_vectors=True, each=sample.starts)
    terms, blocks, penalties, starts = model._setup(frame)  # type: ignore[arg-type]
    fit = _engine_blocks(blocks, starts, penalties, frame)
    fit_blocks = fit.blocks

    def run(null: bool) -> Callable[[dict[str, Any]], dict[str, Any]]:
        def one_pass(request: dict[str, Any]) -> dict[str, Any]:
            total: dict[str, Any]
            total, *rest = parts.map(_pass, fit_blocks, null, response, encode, family, link, request,
                                     with_vectors=True)
            for sums in rest:  # in partition order, so the result does not depend on the scheduling
                total = _engine.add_sums(total, sums)
            return total
        return one_pass

    width = sum(b.width for b in blocks)
    warm = None if pieces is None else _fit_sample(model, pieces, parts, fit_blocks, fit.penalties,
                                                   (family, link, criterion))
    try:
        result = _engine.fit_passes(width, fit.intercept, moments, run(False), run(True), fit.penalties, family,
                                    link, criterion, lam=model._fixed_lambda(len(penalties)),
                                    max_iter=model._max_iter(), warm=warm)
    except ValueError as err:
        raise ValueError(str(err)) from None
    _model_coordinates(result, fit)
    model._finish(result, frame, terms, blocks, starts, penalties, family, link, criterion, n)
    model._with_offset = int(moments[6]) > 0  # rows whose offset is not 0
    return model


# ---- predictions ------------------------------------------------------------------


def _apply(index: int | None, part: Any, offset: Any, model: "GAM", method: str, columns: int,
           kwargs: dict[str, Any]) -> np.ndarray:
    n = len(part)
    if n == 0:
        return np.empty((0, columns))
    if offset is not None:
        kwargs = {**kwargs, "offset": np.asarray(offset, dtype=np.float64).reshape(-1)}
    try:
        values = getattr(model, method)(part, **kwargs)
    except (ValueError, TypeError) as err:
        if index is None:
            raise
        raise type(err)(f"partition {index}: {err}") from None
    if isinstance(values, tuple):
        values = np.column_stack(values)
    return np.asarray(values).reshape(n, columns)


OFFSET_COLUMN = "__vorna_offset__"


def with_columns(X: Any, columns: dict[str, Any], names: dict[str, str]) -> Any:
    """X with Dask vectors as further columns, row i of each partition of X
    beside row i of the vector's partition: rows pair by position, as they do
    for data in memory (DataFrame.assign would join them on the index and
    turn rows whose labels differ into missing values). `names` are the
    arguments the vectors came as, for errors. ValueError when a vector is
    not partitioned like X."""
    import dask.dataframe as dd

    keys = list(columns)
    for key, v in columns.items():
        if v.npartitions != X.npartitions:
            raise ValueError(f"{names[key]} has {v.npartitions} partitions, X has {X.npartitions}; "
                             "give them the same partitioning")

    def join(part: Any, *pieces: Any, partition_info: dict[str, Any] | None = None) -> Any:
        out = part.copy()
        for key, piece in zip(keys, pieces):
            values = np.asarray(piece).reshape(-1)
            if len(values) != len(part):
                where = "" if partition_info is None else f"partition {partition_info['number']}: "
                raise ValueError(f"{where}{names[key]} has {len(values)} rows where X has {len(part)}; give it "
                                 "the partitioning of X (a column of the same frame has it)")
            out[key] = values
        return out

    meta = X._meta.assign(**{key: v._meta.to_numpy() if hasattr(v._meta, "to_numpy") else np.asarray(v._meta)
                             for key, v in columns.items()})
    return dd.map_partitions(join, X, *columns.values(), meta=meta, align_dataframes=False,
                             enforce_metadata=False)


def rowwise(model: "GAM", method: str, X: Any, columns: int, offset: Any = None, dtype: Any = np.float64,
            **kwargs: Any) -> Any:
    """model.method(partition, **kwargs) on every partition of X, as a Dask
    array (for a Dask array X) or a Dask DataFrame on X's index (for a Dask
    DataFrame), with `columns` columns. An offset is a Dask collection
    partitioned like X, or an array or number. The model is taken as it is
    now (a later fit of the same object does not change what the collection
    computes), without its n-vectors, which every task would pickle."""
    model._check_fitted()
    model = model._lean()
    if _is_dataframe(X):
        import pandas as pd

        with_offset = offset is not None

        def frame_part(part: Any, partition_info: dict[str, Any] | None = None) -> Any:
            off = part[OFFSET_COLUMN] if with_offset else None
            data = part.drop(columns=[OFFSET_COLUMN]) if with_offset else part
            index = None if partition_info is None else partition_info["number"]
            return pd.DataFrame(_apply(index, data, off, model, method, columns, kwargs), index=part.index)

        if with_offset and (not _is_dask_collection(offset) or not hasattr(offset, "map_partitions")):
            offset = _offset_partitions(X, offset)
        source = with_columns(X, {OFFSET_COLUMN: offset}, {OFFSET_COLUMN: "offset"}) if with_offset else X
        meta = pd.DataFrame({i: pd.Series(dtype=dtype) for i in range(columns)})
        return source.map_partitions(frame_part, meta=meta)
    import dask.array as da

    if not (hasattr(X, "chunks") and X.ndim == 2):
        raise TypeError(f"X: expected a Dask DataFrame or a 2-D Dask array, got {type(X).__name__}")
    X = X.rechunk({1: -1})
    chunks = (X.chunks[0], (columns,))

    def block(b: Any, o: Any = None, block_info: Any = None) -> np.ndarray:
        index = None if block_info is None else block_info[0]["chunk-location"][0]
        return _apply(index, b, None if o is None else o[:, 0], model, method, columns, kwargs)

    if offset is not None and not _is_dask_collection(offset) and np.ndim(offset) == 0:
        level = float(offset)  # the same for every row: no sizes needed
        return X.map_blocks(lambda b, block_info=None: block(b, np.full((len(b), 1), level), block_info),
                            chunks=chunks, dtype=dtype)
    if offset is None:
        return X.map_blocks(lambda b, block_info=None: block(b, None, block_info), chunks=chunks, dtype=dtype)
    if not _is_dask_collection(offset):
        if not all(np.isfinite(c) for c in X.chunks[0]):
            # After a filter an offset in memory needs the sizes: found on a copy (in place on the caller's X
            # they would change it, and its pairing with a vector filtered alike).
            X = X.copy()
            X.compute_chunk_sizes()
            chunks = (X.chunks[0], (columns,))
        values = np.asarray(offset, dtype=np.float64).reshape(-1)
        if values.shape[0] != X.shape[0]:
            raise ValueError(f"offset must have one value per row ({X.shape[0]}), got shape {np.shape(offset)}")
        offset = da.from_array(np.ascontiguousarray(values), chunks=(X.chunks[0],))
    off = offset.rechunk((X.chunks[0],))[:, None]
    return da.map_blocks(block, X, off, chunks=chunks, dtype=dtype)


def _offset_partitions(X: Any, offset: Any) -> Any:
    """An offset in memory (a number, or one value per row in order) or a
    Dask array as a Dask Series partitioned like the Dask DataFrame X (whose
    partition lengths this computes for a vector)."""
    import dask.array as da
    import dask.dataframe as dd
    import pandas as pd

    if not _is_dask_collection(offset):
        values = np.asarray(offset, dtype=np.float64)
        if values.ndim == 0:
            return X.map_partitions(lambda part: pd.Series(float(values), index=part.index),
                                    meta=(OFFSET_COLUMN, "f8"))
        offset = da.from_array(values)
    offset = offset.reshape(-1)
    if not np.isfinite(offset.shape[0]):
        offset = offset.compute_chunk_sizes()
    lengths = tuple(int(v) for v in X.map_partitions(len).compute())
    if offset.shape[0] != sum(lengths):
        raise ValueError(f"offset has {offset.shape[0]} entries for {sum(lengths)} rows of X")
    return dd.from_dask_array(offset.astype(np.float64).rechunk((lengths,)))


def distinct(v: Any) -> np.ndarray:
    """The sorted distinct values of a Dask array or Series."""
    import dask

    pieces = np.ravel(np.asarray(v.to_delayed(), dtype=object))
    values: np.ndarray = np.unique(np.concatenate(dask.compute(*[_delayed(np.unique)(p) for p in pieces])))
    return values


def column(result: Any, j: int) -> Any:
    """Column j of a `rowwise` result (a Dask Series for DataFrames)."""
    if _is_dataframe(result):
        return result[j]
    return result[:, j]
