"""Access to the columns of the user's data: NumPy arrays (columns by
position), pandas and polars DataFrames and mappings of arrays (columns by
name). Checks that name the offending column and row live here."""

from __future__ import annotations

import numbers
import os
import threading
from collections.abc import Mapping
from typing import Any, Callable, Hashable

import numpy as np

from . import _engine

ColumnRef = Hashable


def unmasked(value: Any, name: str) -> np.ndarray:
    """np.asarray of an argument; a masked array is refused when an entry is
    masked, since its value there is not data (often a sentinel such as -999)."""
    if isinstance(value, np.ma.MaskedArray):
        if np.ma.getmaskarray(value).any():
            raise ValueError(f"{name} is a masked array with masked entries, whose values are not data; fill them "
                             f"({name}.filled(value)) or drop those rows")
        value = np.ma.getdata(value)
    return np.asarray(value)


def _is_pandas(x: Any) -> bool:
    return type(x).__module__.startswith("pandas") and hasattr(x, "columns") and hasattr(x, "iloc")


def _is_polars(x: Any) -> bool:
    return type(x).__module__.startswith("polars") and hasattr(x, "get_column")


class Frame:
    """A uniform view of tabular input with `n` rows."""

    def __init__(self, data: Any, name: str = "X", threads: int = 1, predicting: bool = False) -> None:
        self._name = name
        self.source = data
        # At prediction a numeric term reads a categorical column of numbers
        # as its numbers (data that went through astype("category")); set up,
        # such a column is a factor.
        self.predicting = predicting
        self.threads = threads  # for the engine's passes over the columns
        if hasattr(data, "tocsr") or hasattr(data, "todense"):
            raise TypeError(f"{name}: sparse input is not supported; convert it with .toarray()")
        if type(data).__module__.startswith("polars") and type(data).__name__ == "LazyFrame":
            raise TypeError(f"{name}: a polars LazyFrame holds no data yet; pass X.collect()")
        if _is_pandas(data):
            self.names: list[str] | None = [str(c) for c in data.columns]
            # A categorical column is a factor whatever its categories are (numbers too), as on Dask.
            self._categorical = {str(c) for c, t in data.dtypes.items() if getattr(t, "name", "") == "category"}

            def get(c: str) -> Any:
                column = data[data.columns[self.names.index(c)]]  # type: ignore[union-attr]
                return column.to_numpy(dtype=object) if c in self._categorical else column.to_numpy()

            self._get: Callable[[Any], Any] = get
            self.n = len(data)
        elif _is_polars(data):
            self.names = list(data.columns)
            self._categorical = {c for c, t in data.schema.items() if type(t).__name__ in ("Categorical", "Enum")}
            self._get = lambda c: data.get_column(c).to_numpy()
            self.n = data.height
        elif isinstance(data, Mapping):
            self.names = [str(k) for k in data.keys()]
            cols = {str(k): unmasked(v, f"{name}[{k!r}]") for k, v in data.items()}
            for key, col in cols.items():
                if col.ndim != 1:
                    raise ValueError(f"{name}: column {key!r} must be one-dimensional, got shape {col.shape}")
            lengths = {len(v) for v in cols.values()}
            if len(lengths) > 1:
                raise ValueError(f"{name}: the columns have different lengths {sorted(lengths)}")
            self._get = cols.__getitem__
            self.n = lengths.pop() if lengths else 0
        else:
            arr = unmasked(data, name)
            if arr.dtype.names is not None:
                raise ValueError(f"{name} is a structured array; pass its fields as a DataFrame or a dict of "
                                 "columns, or a plain 2-D array")
            if arr.ndim == 0:
                raise ValueError(f"{name} must be 2-D (rows × columns), got {type(data).__name__}: pass an array, "
                                 "a DataFrame or a dict of columns")
            if arr.ndim == 1:
                raise ValueError(f"{name} must be 2-D (rows × columns), got a 1-D array. Reshape your data with "
                                 "X.reshape(-1, 1) for a single feature or X.reshape(1, -1) for a single sample.")
            if arr.ndim != 2:
                raise ValueError(f"{name} must be 2-D (rows × columns), got an array with {arr.ndim} dimensions")
            if arr.shape[1] == 0:
                raise ValueError(f"{name} has 0 feature(s) (shape={arr.shape}) while a minimum of 1 is required.")
            if arr.dtype.kind == "c":
                raise ValueError(f"{name}: Complex data not supported")
            self.names = None
            self._array = arr
            self._get = lambda c: arr[:, c]
            self.n = arr.shape[0]
        if not self.names and self.names is not None:
            raise ValueError(f"{name} has no columns")

    def float_array(self) -> np.ndarray | None:
        """The data itself when it is a 2-D float64 array the engine can read
        in place (aligned, native byte order), else None."""
        arr: np.ndarray | None = getattr(self, "_array", None)
        if arr is None or arr.dtype != np.float64 or not arr.flags.aligned or not arr.dtype.isnative:
            return None
        if arr.strides[0] % 8 or arr.strides[1] % 8:
            return None
        return arr

    @property
    def width(self) -> int:
        return len(self.names) if self.names is not None else self._array.shape[1]

    def describe(self, ref: ColumnRef) -> str:
        return f"column {ref!r}"

    def raw(self, ref: ColumnRef) -> np.ndarray:
        """The column as it is (any dtype)."""
        if self.names is not None:
            if isinstance(ref, (int, np.integer)) and not isinstance(ref, (bool, np.bool_)) and str(ref) in self.names:
                ref = str(ref)  # a DataFrame with integer column labels
            if not isinstance(ref, str) or ref not in self.names:
                shown = ", ".join(repr(n) for n in self.names[:20])
                # A model set up on an array names its columns by position.
                hint = (f"; {ref} is a position, as for an array: pass X as an array, or name the columns in the "
                        "terms" if isinstance(ref, (int, np.integer)) and not isinstance(ref, (bool, np.bool_))
                        else "")
                raise ValueError(f"unknown column {ref!r} in {self._name}; its columns are {shown}{hint}")
            if self.names.count(ref) > 1:
                raise ValueError(f"{self._name} has more than one column named {ref!r}; give each its own name")
            return np.asarray(self._get(ref))
        if isinstance(ref, (bool, np.bool_)) or not isinstance(ref, (int, np.integer)):
            raise ValueError(
                f"column {ref!r}: {self._name} is an array, so columns are referred to by position "
                f"(0 … {self.width - 1}); pass a DataFrame or a dict to use names"
            )
        if not -self.width <= int(ref) < self.width:
            raise ValueError(f"column {ref} is out of range for {self._name} with {self.width} columns")
        return np.asarray(self._get(int(ref)))

    def numeric(self, ref: ColumnRef) -> np.ndarray:
        """The column as finite float64, or a ValueError naming the column and row."""
        checked: dict[ColumnRef, np.ndarray] = self.__dict__.setdefault("_checked", {})
        if ref in checked:
            return checked[ref]
        col = self.raw(ref)
        if self.declared_categorical(ref) and not self.predicting:
            raise ValueError(f"column {ref!r} is categorical; use f({ref!r}) for it, or convert it to numbers")
        if col.dtype.kind == "c":
            raise ValueError(f"column {ref!r}: Complex data not supported")
        if col.dtype.kind in "OUS":  # numbers held as Python objects or as text, read alike
            col = object_numbers(col.astype(object), f"column {ref!r}")
        if col.dtype.kind in "mM":
            raise ValueError(f"column {ref!r} holds dates or times (dtype {col.dtype}); convert them to numbers "
                             f"(such as days since a date) for a smooth, or use f({ref!r}) for a categorical variable")
        if col.dtype.kind not in "biuf":
            raise ValueError(
                f"column {ref!r} is not numeric (dtype {col.dtype}); use f({ref!r}) for a categorical variable"
            )
        values = col.astype(np.float64, copy=False)
        row = first_non_finite(values)
        if row is not None:
            kind = "a missing value (NaN)" if np.isnan(values[row]) else f"an infinite value ({values[row]:+}, inf)"
            raise ValueError(f"column {ref!r} has {kind} at row {row}")
        if self.float_array() is not None:
            # A view of the data: remembering that it was checked costs no memory.
            checked[ref] = values
        return values

    # ---- what setting a model up needs of a column -------------------------------
    # Data held elsewhere (a Dask collection) answers the same questions with
    # a pass over its partitions.

    def check_numeric(self, ref: ColumnRef) -> None:
        self.numeric(ref)

    def knots(self, ref: ColumnRef, probabilities: np.ndarray, keep_sorted: bool = False
              ) -> tuple[int, np.ndarray | None]:
        """The number of distinct values and their quantiles at `probabilities`
        (None when there are fewer distinct values than probabilities). With
        `keep_sorted`, the column in ascending order is kept for
        `take_sorted_sums`, which the caller must then call."""
        ordered = self._sorted_numeric(ref)
        if keep_sorted:
            self.__dict__.setdefault("_sorted", {})[ref] = ordered
        distinct = distinct_of_sorted(ordered)
        if len(distinct) < len(probabilities):
            return len(distinct), None
        return len(distinct), sorted_quantiles(distinct, probabilities)

    def _sorted_numeric(self, ref: ColumnRef) -> np.ndarray:
        """The column as finite float64 in ascending order (a new array). A
        float64 column needs no check of its own: NumPy sorts NaN last and
        ±inf to the ends, so the sorted ends show whether any value is bad."""
        checked: dict[ColumnRef, np.ndarray] = self.__dict__.setdefault("_checked", {})
        col = checked.get(ref)
        if col is None:
            col = self.raw(ref)
            if col.dtype != np.float64:
                return np.sort(self.numeric(ref).reshape(-1))
        ordered = sorted_column(col.reshape(-1), self.threads)
        if ref not in checked and ordered.size:
            if not (np.isfinite(ordered[0]) and np.isfinite(ordered[-1])):
                self.numeric(ref)  # raises, naming the first bad row
            if self.float_array() is not None:
                checked[ref] = col
        return ordered

    def take_sorted_sums(self, ref: ColumnRef, knots: np.ndarray,
                         scale: tuple[float, float] | None = None) -> np.ndarray | None:
        """Column sums of the cubic regression spline basis on `knots` over the
        column kept by `knots(..., keep_sorted=True)`, which is then dropped:
        from the sorted values they need no pass over the rows. With `scale`
        (lo, span), the knots are those of the column as (x − lo)/span. None
        when nothing was kept or the basis has no local form (knots nearly
        equal)."""
        ordered = self.__dict__.get("_sorted", {}).pop(ref, None)
        if ordered is None:
            return None
        if scale is not None:
            ordered = (ordered - scale[0]) / scale[1]
        sums = _engine.sorted_column_sums(knots, ordered)
        return None if sums is None else np.asarray(sums)

    def value_range(self, ref: ColumnRef) -> tuple[float, float]:
        x = self.numeric(ref)
        return float(x.min()), float(x.max())

    def distinct_count(self, ref: ColumnRef) -> int:
        return len(sorted_distinct(self.numeric(ref)))

    def levels(self, ref: ColumnRef) -> np.ndarray:
        return factor_levels(self.raw(ref), ref)

    def is_categorical(self, ref: ColumnRef) -> bool:
        return self.declared_categorical(ref) or is_categorical(self.raw(ref))

    def declared_categorical(self, ref: ColumnRef) -> bool:
        """Whether the column is a pandas categorical (a factor whatever its categories)."""
        return str(ref) in getattr(self, "_categorical", ())

    def column_sums(self, spec: tuple[Any, ...], producers: dict[Any, Callable[["Frame"], np.ndarray]]) -> np.ndarray:
        """Column sums of the model matrix of one engine term whose data
        columns are the producers' outputs, in their order."""
        in_place = terms.in_place_columns(producers, self)
        if in_place is None:
            return np.asarray(_engine.column_sums([spec], engine_columns(producers, self), self.threads))
        data, index = in_place
        kind, columns, margins, constraint, by = spec
        spec = (kind, [index[c] for c in columns], margins, constraint, None if by is None else index[by])
        return np.asarray(_engine.column_sums([spec], data, self.threads))


def sorted_distinct(values: np.ndarray) -> np.ndarray:
    """np.unique of finite values, without its copies of the data beyond the
    sorted one: where every value is distinct (continuous data) that is the result."""
    return distinct_of_sorted(np.sort(values.reshape(-1)))


def distinct_of_sorted(ordered: np.ndarray) -> np.ndarray:
    """The distinct values of ascending values (the array itself when all are distinct)."""
    if ordered.size < 2:
        return ordered
    first = np.empty(ordered.size, dtype=bool)
    first[0] = True
    np.not_equal(ordered[1:], ordered[:-1], out=first[1:])
    return ordered if first.all() else ordered[first]


def sorted_quantiles(values: np.ndarray, probabilities: np.ndarray) -> np.ndarray:
    """Quantiles of sorted values by linear interpolation (the rule of
    np.quantile's default method), without sorting them again."""
    position = probabilities * (len(values) - 1)
    lower = np.clip(np.floor(position).astype(np.intp), 0, len(values) - 1)
    upper = np.minimum(lower + 1, len(values) - 1)
    t = position - lower
    a, b = values[lower], values[upper]
    # From the nearer end, so that the result never passes b (or a).
    # A quantile on a value is a + 0, so a −0 among the values (which a sort
    # may put before or after 0) comes out as 0.
    quantiles: np.ndarray = np.where(t < 0.5, a + (b - a) * t, b - (b - a) * (1.0 - t))
    return quantiles


# Columns this long or longer are sorted on two threads when the fit has
# them; for shorter ones starting a thread costs about what it saves.
SPLIT_SORT_ROWS = 1 << 17


def sorted_column(values: np.ndarray, threads: int) -> np.ndarray:
    """np.sort of a 1-D float64 array; with `threads` other than 1 (0: every
    core) and a long column, on two threads: split at a pivot (the median of
    a sample of about 1000 values, for parts of similar size), the part above
    it sorted on a thread of its own. Equal to np.sort but for the order of
    −0 and 0 (the same value)."""
    n = values.size
    if threads == 1 or n < SPLIT_SORT_ROWS or (threads == 0 and (os.cpu_count() or 1) < 2):
        return np.sort(values)
    if not values.flags.aligned:  # a field of a packed record array: the engine reads aligned doubles
        values = np.require(values, requirements="A")
    sample = values[:: n // 1024]
    sample = sample[np.isfinite(sample)]
    if sample.size == 0:
        return np.sort(values)
    middle = sample.size // 2
    ordered, below = _engine.split_below(values, float(np.partition(sample, middle)[middle]))
    high = ordered[below:]
    failure: list[BaseException] = []

    def sort_high() -> None:
        try:
            high.sort()
        except BaseException as err:  # reported by the caller's thread
            failure.append(err)

    helper = threading.Thread(target=sort_high, daemon=True)
    try:
        helper.start()
        started = True
    except RuntimeError:  # no new threads once the interpreter exits
        started = False
        sort_high()
    ordered[:below].sort()
    if started:
        helper.join()
    if failure:
        raise failure[0]
    return ordered


def engine_columns(producers: dict[Any, Callable[[Frame], np.ndarray]], frame: Frame) -> np.ndarray:
    """The producers' columns side by side (n × max(1, number of producers))."""
    data = np.empty((frame.n, max(len(producers), 1)))
    for i, producer in enumerate(producers.values()):
        data[:, i] = producer(frame)
    return data


def engine_vector(v: Any) -> np.ndarray:
    """A 1-D float64 array as the engine reads it: contiguous and aligned
    (arrays rebuilt from a byte stream, as after a trip to another process,
    need not be aligned)."""
    return np.require(np.asarray(v, dtype=np.float64).reshape(-1), requirements=["C", "A"])


def first_non_finite(values: np.ndarray) -> int | None:
    """The first position of a NaN or ±inf in float values, or None. A sum is
    finite only when every value is (one NaN or ±inf makes it NaN or ±inf), so
    the position is looked for only when the sum is not: a bad value, or finite
    values whose sum overflows."""
    with np.errstate(over="ignore", invalid="ignore"):
        total = np.add.reduce(values, axis=None)
    if np.isfinite(total):
        return None
    bad = ~np.isfinite(values)
    return int(np.flatnonzero(bad)[0]) if bad.any() else None


def check_vectors(n: int, y: np.ndarray, w: np.ndarray | None, off: np.ndarray | None) -> None:
    """The response, prior weights and offset as a fit needs them: finite,
    weights non-negative; errors name the first offending row."""
    row = first_non_finite(y)
    if row is not None:
        raise ValueError(f"y has a missing or non-finite value at row {row}")
    if w is not None:
        bad = ~(np.isfinite(w) & (w >= 0))
        if bad.any():
            row = int(np.flatnonzero(bad)[0])
            raise ValueError(f"sample_weight must be finite and non-negative, but sample_weight[{row}] = {w[row]}")
    if off is not None:
        check_offset(off)


def check_offset(off: np.ndarray) -> None:
    row = first_non_finite(off)
    if row is not None:
        raise ValueError(f"offset must be finite, but offset[{row}] = {off[row]}")


def is_categorical(col: np.ndarray) -> bool:
    return col.dtype.kind not in "biuf"


def factor_levels(col: np.ndarray, ref: ColumnRef) -> np.ndarray:
    """The sorted distinct values of a column used as a factor."""
    check_missing(col, ref)
    try:
        return np.unique(col)
    except TypeError as err:
        raise ValueError(f"column {ref!r} mixes values that cannot be ordered: {err}") from None


def missing_objects(col: np.ndarray) -> np.ndarray:
    """Which entries of an object column are missing: None, NaN, and pandas'
    NA and NaT (told by type name: pandas is optional)."""
    return np.array([v is None or (isinstance(v, float) and v != v) or type(v).__name__ in ("NAType", "NaTType")
                     for v in col.reshape(-1)], dtype=bool)


def object_numbers(col: np.ndarray, what: str) -> np.ndarray:
    """Numbers held as Python objects or as text, as float64 (a missing entry
    as NaN, for the caller's check of finite values to name). Text is read in
    plain notation only: float() also reads the Python literal "0_5", as 5.
    Columns of other objects or text are returned as they are, for the caller
    to refuse by dtype."""
    missing = missing_objects(col)
    if missing.any():
        col = col.copy()
        col.reshape(-1)[missing] = np.nan
    try:
        values = col.astype(np.float64)
    except OverflowError as err:
        raise ValueError(f"{what}: {err}: a value is too large for float64") from None
    except TypeError as err:
        raise TypeError(f"{what}: {err}") from None
    except ValueError:
        return col
    flat = col.reshape(-1)
    grouped = [i for i, v in enumerate(flat)
               if (isinstance(v, str) and "_" in v) or (isinstance(v, bytes) and b"_" in v)]
    if grouped:
        raise ValueError(f"{what} holds {flat[grouped[0]]!r} at row {grouped[0]}, which is no plain number; "
                         "convert it to numbers first")
    return values


def as_numbers(arr: np.ndarray, name: str, hint: str = "") -> np.ndarray:
    """A response, weights or offset as numbers (numbers held as objects
    converted), and one column of a 2-D input as a vector."""
    if arr.dtype.kind == "O" and arr.ndim == 0 and not isinstance(arr.item(), numbers.Number):
        raise ValueError(f"{name} must be an array-like of numbers, got {type(arr.item()).__name__}")
    if arr.dtype.kind in "OUS":  # numbers held as Python objects or as text, read as X's columns are
        arr = object_numbers(arr.astype(object), name)
    if arr.dtype.kind not in "biuf":
        raise ValueError(f"{name} must be numeric, got dtype {arr.dtype}{hint}")
    return np.asarray(arr, dtype=np.float64).reshape(-1) if 1 <= arr.ndim and arr.shape[1:] in ((), (1,)) else arr


def numbers_per_row(value: Any, name: str, n: int) -> np.ndarray:
    """Weights or offsets as numbers (as_numbers), one number standing for
    every one of n rows (as scikit-learn takes a sample_weight); the caller
    checks the length."""
    values = as_numbers(unmasked(value, name), name)
    return np.full(n, float(values)) if values.ndim == 0 else values


def check_missing(col: np.ndarray, ref: ColumnRef) -> None:
    if col.dtype.kind in "fc":
        bad = np.isnan(col)
    elif col.dtype.kind in "mM":
        bad = np.isnat(col)
    elif col.dtype.kind == "O":
        bad = missing_objects(col)
    else:
        return
    if bad.any():
        raise ValueError(f"column {ref!r} has a missing value at row {int(np.flatnonzero(bad)[0])}")


def factor_codes(col: np.ndarray, levels: np.ndarray, ref: ColumnRef) -> np.ndarray:
    """Codes 0 … L−1 of each value; a level not in `levels` is an error naming it."""
    check_missing(col, ref)
    try:
        pos = np.searchsorted(levels, col)
    except TypeError:
        pos = None
    if pos is not None:
        pos = np.clip(pos, 0, len(levels) - 1)
        known = levels[pos] == col
        if np.all(known):
            return pos.astype(np.float64)
        row = int(np.flatnonzero(~known)[0])
    else:
        lookup = {v: i for i, v in enumerate(levels.tolist())}
        codes = [lookup.get(v, -1) for v in col.tolist()]
        if -1 not in codes:
            return np.asarray(codes, dtype=np.float64)
        row = codes.index(-1)
    raise ValueError(
        f"column {ref!r} has the level {np.asarray(col[row]).item()!r} at row {row}, "
        "which was not seen when the model was fitted"
    )


# Imported here, at the end, for its use at call time: it imports this module.
# (Not inside the functions: at the interpreter's shutdown, where finalizers
# may still fit, imports fail.)
from . import terms  # noqa: E402
