"""Model terms: `intercept`, `l(col)` linear, `f(col)` factor, `s(col)` smooth,
`te(a, b)` tensor-product smooth and `ti(a, b)` tensor-product interaction.
Terms add up to a term list: ``s("age") + te("lat", "lon") + f("region")``.

A term only describes itself; fitting a model sets each term up on the data
(knots, levels, identifiability constraint) and keeps the result in the
fitted model, so a term object can be reused for several models.
"""

from __future__ import annotations

import math
from dataclasses import dataclass, field
from typing import Any, Iterable, Sequence

import numpy as np

from . import _engine
from ._data import ColumnRef, Frame, factor_codes

BASES = ("cr", "bs", "ps")
# The default basis: cubic regression splines were the more accurate in the
# comparison of benchmarks/bench_modelling.py (error against the truth).
DEFAULT_BASIS = "cr"


class Term:
    """Base of all terms; `a + b` builds a `TermList`."""

    label: str = ""

    def __add__(self, other: "Term | TermList") -> "TermList":
        return TermList([self]) + other

    def __radd__(self, other: Any) -> "TermList":
        if other == 0:  # sum([...])
            return TermList([self])
        return NotImplemented

    def __repr__(self) -> str:
        return self.label

    # Terms are values: two terms with the same settings are equal (cloned
    # estimators compare their parameters).
    def __eq__(self, other: object) -> bool:
        if type(self) is not type(other):
            return False
        mine, theirs = vars(self), vars(other)
        return mine.keys() == theirs.keys() and all(_same(mine[k], theirs[k]) for k in mine)

    def __hash__(self) -> int:
        return hash((type(self).__name__, self.label))

    def setup(self, frame: Frame) -> list["Block"]:
        """Set the term up on data: knots, levels and constraints. Called by
        `GAM.fit`; returns the term's model-matrix blocks."""
        raise NotImplementedError


def _same(a: Any, b: Any) -> bool:
    if isinstance(a, np.ndarray) or isinstance(b, np.ndarray):
        return a is not None and b is not None and np.array_equal(a, b)
    return bool(a == b)


class TermList(list["Term"]):
    """An ordered list of terms."""

    def __add__(self, other: Any) -> "TermList":  # type: ignore[override]  # list + term, not list + list only
        if isinstance(other, Term):
            return TermList([*self, other])
        if isinstance(other, (list, tuple)):
            return TermList([*self, *other])
        return NotImplemented

    def __repr__(self) -> str:
        return " + ".join(t.label for t in self)


@dataclass
class Block:
    """A term set up on data: its model-matrix columns and penalties.

    `spec` is the engine's description with data columns named by keys;
    `columns(frame)` produces those columns for any data with the same
    variables."""

    label: str
    smooth: bool
    spec: tuple[Any, ...]
    width: int
    penalties: list[np.ndarray]
    coef_names: list[str]
    producers: dict[tuple[Any, ...], Any] = field(default_factory=dict)
    # For plots and partial effects: the variables the term reads.
    variables: tuple[Any, ...] = ()  # the columns the smooth or term is a function of (not `by`)


@dataclass(frozen=True)
class NumericColumn:
    """Produces a numeric data column (checked finite)."""

    ref: ColumnRef

    def __call__(self, frame: Frame) -> np.ndarray:
        return frame.numeric(self.ref)


def in_place_columns(producers: dict[Any, Any], frame: Frame) -> tuple[np.ndarray, list[int]] | None:
    """The data array and each producer's column in it, when every producer
    reads a numeric column of a float64 array that the engine reads in place
    (any strides, no copy); the columns are checked first. Else None."""
    direct = frame.float_array()
    if direct is None or not all(isinstance(p, NumericColumn) for p in producers.values()):
        return None
    for producer in producers.values():
        producer(frame)  # the finiteness check
    return direct, [int(p.ref) % direct.shape[1] for p in producers.values()]


@dataclass(frozen=True)
class ScaledColumn:
    """Produces a numeric column as (x − lo)/span (checked finite): a smooth's
    column whose knots span too little or too much for the bases' absolute
    guards (see SPAN_RANGE)."""

    ref: ColumnRef
    lo: float
    span: float

    def __call__(self, frame: Frame) -> np.ndarray:
        return (frame.numeric(self.ref) - self.lo) / self.span


@dataclass(frozen=True, eq=False)
class FactorCodes:
    """Produces the level codes 0 … L−1 of a categorical column."""

    ref: ColumnRef
    levels: np.ndarray

    def __call__(self, frame: Frame) -> np.ndarray:
        return factor_codes(frame.raw(self.ref), self.levels, self.ref)


@dataclass(frozen=True, eq=False)
class LevelIndicator:
    """Produces 1.0 where a categorical column equals one of its levels."""

    ref: ColumnRef
    levels: np.ndarray
    index: int

    def __call__(self, frame: Frame) -> np.ndarray:
        codes = factor_codes(frame.raw(self.ref), self.levels, self.ref)
        return np.asarray(codes == self.index, dtype=np.float64)


class _Intercept(Term):
    """The intercept: a column of ones. Added by `GAM` unless ``fit_intercept=False``."""

    label = "Intercept"

    def setup(self, frame: Frame) -> list[Block]:
        return [Block("Intercept", False, ("intercept",), 1, [], ["Intercept"])]

    def __reduce__(self) -> str:
        # One intercept: copies and pickles of a model's terms refer to this
        # module's, so that a model knows it among them (clone, deepcopy).
        return "intercept"


intercept = _Intercept()


class l(Term):  # noqa: E742 - the conventional name of a linear term
    """An unpenalized linear term in a numeric column.

    Parameters
    ----------
    column : str or int
        The column (a name, or a position for array data).

    Examples
    --------
    >>> l("dose") + f("region")
    l(dose) + f(region)
    """

    def __init__(self, column: ColumnRef) -> None:
        self.column = column
        self.label = f"l({column})"

    def setup(self, frame: Frame) -> list[Block]:
        key = ("num", self.column)
        frame.check_numeric(self.column)
        lo, hi = frame.value_range(self.column)  # (a Dask frame has it from its first pass)
        if max(abs(lo), abs(hi)) > LINEAR_LIMIT:
            raise ValueError(f"{self.label}: the column's values reach {max(abs(lo), abs(hi)):.3g}, whose squares "
                             "overflow the fit's cross products; rescale the column (other units)")
        return [Block(self.label, False, ("linear", key), 1, [], [self.label], {key: NumericColumn(self.column)},
                      (self.column,))]


class f(Term):
    """A factor (categorical) term with treatment coding: the first level (in
    sorted order) is the reference; every other level gets a coefficient. In a
    model without an intercept the first factor term codes every level. A
    level not seen when fitting is an error at prediction.

    Parameters
    ----------
    column : str or int
        The column, of any dtype (strings, integers, categories).
    """

    def __init__(self, column: ColumnRef) -> None:
        self.column = column
        self.label = f"f({column})"

    def setup(self, frame: Frame) -> list[Block]:
        levels = frame.levels(self.column)
        if len(levels) < 2:
            raise ValueError(f"{self.label}: the column has only {len(levels)} distinct value(s); a factor needs two")
        key = ("code", self.column)
        names = [f"{self.label}[{v}]" for v in levels[1:].tolist()]
        block = Block(self.label, False, ("factor", key, len(levels)), len(levels) - 1, [], names,
                      {key: FactorCodes(self.column, levels)}, (self.column,))
        block.levels = levels  # type: ignore[attr-defined]
        return [block]


def _check_k(label: str, k: Any) -> int:
    if isinstance(k, (bool, np.bool_)) or not isinstance(k, (int, np.integer)) or k < 4:
        raise ValueError(f"{label}: k must be an integer of at least 4, got {k!r}")
    if k > 2000:
        raise ValueError(f"{label}: k = {k} is larger than any smooth needs (at most 2000)")
    return int(k)


# A margin's column is used as (x − lo)/span, its knots likewise, when its
# knots span less or more than this: the bases are the same functions of
# either, but their numerical guards are absolute (inputs within 1e-10 of an
# end count as at it) and a curvature penalty scales as span⁻³, which under-
# or overflows at extreme spans.
SPAN_RANGE = (1e-2, 1e30)
# The largest |value| of a linear term's column: the cross products of n rows of it stay finite.
LINEAR_LIMIT = 1e150

Scale = tuple[float, float] | None  # (lo, span) of a standardized margin column


def _extreme(size: float) -> bool:
    """Whether a column's size (a knot span, a largest |value|) calls for standardizing it."""
    return bool(np.isfinite(size)) and size > 0 and not SPAN_RANGE[0] <= size <= SPAN_RANGE[1]


def _margin(label: str, frame: Frame, column: ColumnRef, k: int, bs: str, knots: np.ndarray | None = None,
            keep_sorted: bool = False) -> tuple[tuple[Any, ...], np.ndarray, Scale]:
    """The engine margin (kind, knots), its k × k penalty and the column's
    standardization (see SPAN_RANGE) for a column: knots at quantiles of the
    column's distinct values ("cr", "bs"), evenly spaced over its range
    ("ps"), or the caller's. `keep_sorted`: keep the sorted column of quantile
    knots of a "cr" basis (see Frame.knots)."""
    needed = k if bs == "cr" else k - 2
    if knots is not None:
        knots = _checked_knots(label, knots, needed)
    elif bs == "ps":
        lo, hi = frame.value_range(column)
        if not lo < hi:
            raise ValueError(f"{label}: the column is constant")
        knots = np.linspace(lo, hi, k - 2)
    else:
        distinct, knots = frame.knots(column, np.linspace(0.0, 1.0, needed), keep_sorted=keep_sorted and bs == "cr")
        if knots is None:
            raise ValueError(
                f"{label}: k = {k} needs at least {needed} distinct values of the column, which has {distinct}; "
                "use a smaller k"
            )
    span = float(knots[-1] - knots[0])
    scale: Scale = None
    if _extreme(span):
        scale = (float(knots[0]), span)
        knots = (knots - knots[0]) / span
    if bs == "ps":
        return ("bs", knots), _p_spline_penalty(knots), scale
    return (bs, knots), _engine.penalty(bs, knots), scale


def _b_splines(t: np.ndarray, x: np.ndarray) -> np.ndarray:
    """The cubic B-splines on the knot vector `t` at `x` (len(x) × (len(t) − 4)),
    by the Cox–de Boor recursion; x must lie in [t[3], t[-4]) or at t[-4]."""
    last = len(t) - 5
    # Degree 0: the interval [t_i, t_{i+1}) that holds x; the right end belongs to the last non-empty one.
    index = np.clip(np.searchsorted(t, x, side="right") - 1, 3, last + 1)
    b: np.ndarray = (np.arange(len(t) - 1)[None, :] == index[:, None]).astype(float)
    for degree in range(1, 4):
        left = t[:-degree - 1][None, :]
        right = t[degree + 1:][None, :]
        width_l = t[degree:-1] - t[:-degree - 1]
        width_r = t[degree + 1:] - t[1:-degree]
        with np.errstate(divide="ignore", invalid="ignore"):
            a = np.where(width_l > 0, (x[:, None] - left) / width_l, 0.0)
            c = np.where(width_r > 0, (right - x[:, None]) / width_r, 0.0)
        b = a * b[:, :-1] + c * b[:, 1:]
    return b


def _p_spline_penalty(knots: np.ndarray) -> np.ndarray:
    """The P-spline penalty (Eilers and Marx 1996) in the coefficients of the
    clamped "bs" basis on `knots`.

    A second-order difference penalty leaves a straight line unpenalized only
    for the B-splines of a knot vector continued beyond the range with the end
    spacings, not for the clamped ones the engine evaluates. Both span the same
    cubic splines on the range, so N_ext = N_clamped·T there, and the
    difference penalty ‖Dα‖² of the continued coefficients α is ‖DT⁻¹β‖² in the
    clamped ones β. Only the three B-splines at each end differ between the two
    knot vectors: T is the identity elsewhere, and its end columns come from a
    least-squares fit (exact up to rounding) on points of the end intervals."""
    k = len(knots) + 2
    h0, h1 = knots[1] - knots[0], knots[-1] - knots[-2]
    continued = np.r_[knots[0] - h0 * np.arange(3, 0, -1), knots, knots[-1] + h1 * np.arange(1, 4)]
    intervals = len(knots) - 1
    ends = sorted({*range(min(3, intervals)), *range(max(intervals - 3, 0), intervals)})
    fractions = np.array([0.1, 0.35, 0.65, 0.9])
    x = np.concatenate([knots[i] + fractions * (knots[i + 1] - knots[i]) for i in ends])
    clamped = _engine.model_matrix([("smooth", [0], [("bs", knots)], None, None)], x.reshape(-1, 1))
    active = np.flatnonzero(np.any(clamped != 0.0, axis=0))
    columns = sorted({*range(min(3, k)), *range(max(k - 3, 0), k)})
    # T = I + U·Vᵀ with U = T[:, columns] − I[:, columns] and V = I[:, columns].
    u = -np.eye(k)[:, columns]
    u[active] += np.linalg.lstsq(clamped[:, active], _b_splines(continued, x)[:, columns], rcond=None)[0]
    # D·T⁻¹ by Woodbury: D − (DU)(I + VᵀU)⁻¹Vᵀ.
    d = np.diff(np.eye(k), n=2, axis=0)
    d[:, columns] -= d @ u @ np.linalg.inv(np.eye(len(columns)) + u[columns])
    penalty: np.ndarray = d.T @ d
    return penalty


def _checked_knots(label: str, knots: Any, needed: int) -> np.ndarray:
    try:
        values = np.asarray(knots, dtype=np.float64)
    except (TypeError, ValueError):
        raise ValueError(f"{label}: knots must be numbers, got {knots!r}") from None
    if values.shape != (needed,):
        raise ValueError(f"{label}: knots must hold {needed} values for this k and basis, got shape {values.shape}")
    if not np.all(np.isfinite(values)) or np.any(np.diff(values) <= 0):
        raise ValueError(f"{label}: knots must be finite and strictly increasing")
    return values


def _sum_to_zero(label: str, sums: np.ndarray) -> np.ndarray:
    """Z with C·Z = 0 for the column sums C of the unconstrained basis."""
    if not np.any(sums):
        raise ValueError(f"{label}: the basis is zero on every row (is the `by` level present in the data?)")
    q, _ = np.linalg.qr(sums.reshape(-1, 1), mode="complete")
    return np.ascontiguousarray(q[:, 1:])


def _normalized(s: np.ndarray) -> np.ndarray:
    s = 0.5 * (s + s.T)
    top = np.linalg.eigvalsh(s).max()
    return s / top if top > 0 else s


# What setting a smooth up needs from its columns: the engine margins, their
# penalties, the column sums of its basis where they came with the knots, and
# the standardization of each column.
Known = tuple[list[tuple[Any, ...]], list[np.ndarray], np.ndarray | None, list[Scale]]


class _SmoothBase(Term):
    columns: tuple[Any, ...]
    by: ColumnRef | None

    def _margins(self, frame: Frame, keep_sorted: bool = False
                 ) -> tuple[list[tuple[Any, ...]], list[np.ndarray], list[Scale]]:
        raise NotImplementedError

    def known(self, frame: Frame) -> Known:
        """The margins and penalties; for a smooth of one column with a "cr"
        basis at quantile knots and no `by`, also its column sums, taken from
        the column sorted for the knots (no pass over the rows)."""
        plain = self.by is None and len(self.columns) == 1
        margins, penalties, scales = self._margins(frame, keep_sorted=plain)
        take = getattr(frame, "take_sorted_sums", None)
        sums = None
        if plain and take is not None and margins[0][0] == "cr":
            sums = take(self.columns[0], margins[0][1], scales[0])
        return margins, penalties, sums, scales

    def setup(self, frame: Frame, known: Known | None = None) -> list[Block]:
        """The term's blocks; `known`: what `known(frame)` returns, if already known."""
        margins, marginal_penalties, plain_sums, scales = self.known(frame) if known is None else known
        sizes = [s.shape[0] for s in marginal_penalties]
        # One penalty per margin: S_i ⊗ I on the others (Wood 2006, tensor-product smooths).
        penalties = []
        for i, s in enumerate(marginal_penalties):
            full: np.ndarray = np.ones((1, 1))
            for j, size in enumerate(sizes):
                full = np.kron(full, s if i == j else np.eye(size))
            penalties.append(full)
        # A standardized column is keyed by its map too: two smooths of one column may map it differently.
        keys = [("num", c) if scale is None else ("scaled", c, *scale) for c, scale in zip(self.columns, scales)]
        producers: dict[tuple[Any, ...], Any] = {
            key: NumericColumn(c) if scale is None else ScaledColumn(c, *scale)
            for key, c, scale in zip(keys, self.columns, scales)}
        pieces: list[tuple[str, tuple[Any, ...] | None, bool]] = []  # (label, by key, numeric by)
        if self.by is None:
            pieces.append((self.label, None, False))
        else:
            if frame.is_categorical(self.by):
                levels = frame.levels(self.by)
                self._check_level_rows(frame, levels)
                for i, level in enumerate(levels.tolist()):
                    key: tuple[Any, ...] = ("ind", self.by, i)
                    producers[key] = LevelIndicator(self.by, levels, i)
                    pieces.append((f"{self.label}:{self.by}={level}", key, False))
            else:
                # A numeric `by` is divided by its largest |value|: the same model, with coefficients
                # of one size whatever the column's units. The fit's ridge on penalized coefficients
                # has a floor set by the weight sum, which against the entries of a `by` of small
                # values (a proportion of 0.01–0.3) was a penalty of its own (1e-4 of the fit).
                lo, hi = frame.value_range(self.by)
                size = max(abs(lo), abs(hi))
                if np.isfinite(size) and size > 0 and size != 1.0:
                    key = ("scaled", self.by, 0.0, size)
                    producers[key] = ScaledColumn(self.by, 0.0, size)
                else:
                    key = ("num", self.by)
                    producers[key] = NumericColumn(self.by)
                pieces.append((self.label, key, True))
        order = list(producers)
        blocks = []
        for label, by_key, numeric_by in pieces:
            raw = ("smooth", [order.index(k) for k in keys], margins, None,
                   None if by_key is None else order.index(by_key))
            z = self._constraint(label, frame, raw, producers, numeric_by, plain_sums)
            pens = [_normalized(z.T @ p @ z) if z is not None else _normalized(p) for p in penalties]
            width = pens[0].shape[0]
            spec = ("smooth", keys, margins, z, by_key)
            names = [f"{label}.{i}" for i in range(width)]
            blocks.append(Block(label, True, spec, width, pens, names, dict(producers), tuple(self.columns)))
        return blocks

    # Whether a level's rows with one value in any single column (rather than in all of them) leave
    # the smooth undetermined there: see _check_level_rows.
    _one_column_suffices = False

    def _check_level_rows(self, frame: Frame, levels: np.ndarray) -> None:
        """A smooth for a level whose rows share one point (one row, or rows
        with equal values of every column the smooth reads) is, once centred
        over those rows, 0 on them: the data say nothing of it, and its
        coefficients would be fitted to rounding. A te() is undetermined
        already where one of its columns takes a single value: the functions
        linear in that column and vanishing at the value lie in its penalty's
        null space, so neither the data nor the penalty settle them, and its
        test would measure them alone. (Data in partitions are not checked
        here.)"""
        if type(frame) is not Frame:
            return
        codes = factor_codes(frame.raw(self.by), levels, self.by).astype(np.intp)
        counts = np.bincount(codes, minlength=len(levels)).astype(np.float64)
        present = counts > 0
        single = []
        for column in self.columns:
            x = frame.numeric(column)
            x = x - x.mean()
            mean = np.bincount(codes, weights=x, minlength=len(levels)) / np.maximum(counts, 1.0)
            spread = np.bincount(codes, weights=x * x, minlength=len(levels)) / np.maximum(counts, 1.0) - mean**2
            # Rows with one value leave only the rounding of the moments (about 1e-16 of x²).
            single.append(present & (spread <= 1e-12 * (mean**2 + float(np.mean(x * x)))))
        every = np.logical_and.reduce(single)
        if np.any(every):
            level = levels.tolist()[int(np.flatnonzero(every)[0])]
            raise ValueError(f"{self.label}: the rows of level {level!r} of {self.by} share a single value of "
                             f"{', '.join(map(str, self.columns))}, too few for a smooth of their own; merge the "
                             "level with another or drop its rows")
        if not self._one_column_suffices:
            return
        for column, flags in zip(self.columns, single):
            if np.any(flags):
                level = levels.tolist()[int(np.flatnonzero(flags)[0])]
                raise ValueError(f"{self.label}: the rows of level {level!r} of {self.by} share a single value of "
                                 f"{column}, so the term cannot be estimated on them (the part linear in {column} "
                                 "is settled by neither the data nor the penalty); give that level a smooth of "
                                 "the other columns, merge it with another level, or drop its rows")

    def _constraint(self, label: str, frame: Frame, raw: tuple[Any, ...], producers: dict[tuple[Any, ...], Any],
                    numeric_by: bool, plain_sums: np.ndarray | None) -> np.ndarray | None:
        """The constraint matrix Z of one piece, whose unconstrained engine
        term is `raw`: the whole basis sums to zero over the data (over a
        level's rows for a factor `by`). A numeric `by` takes none: its product
        with the smooth is not confounded with the intercept."""
        if numeric_by:
            return None
        sums = plain_sums if plain_sums is not None else frame.column_sums(raw, producers)
        return _sum_to_zero(label, sums)


class s(_SmoothBase):
    """A penalized spline of one numeric column.

    k: basis dimension before the sum-to-zero constraint (at least 4).
    bs: "cr" (cubic regression spline, knots at quantiles), "bs" (cubic
    B-splines, knots at quantiles, integrated squared second derivative
    penalty) or "ps" (P-spline: evenly spaced knots, second-order difference
    penalty). Beyond its end knots every basis continues as a straight line
    along the curve's tangent there, so predictions outside the data's range
    are linear in the input and join the curve without a kink.
    by: a numeric column multiplying the smooth (a varying coefficient), or a
    categorical column giving one smooth per level.

    Parameters
    ----------
    column : str or int
        The numeric column the smooth is a function of.
    k : int
        Basis dimension (at least 4).
    bs : {"cr", "bs", "ps"}
        The basis.
    by : str or int, optional
        A numeric or categorical column (see above).
    knots : array-like, optional
        The knots themselves instead of quantiles of the data: k values for
        "cr", k − 2 for "bs" and "ps" (strictly increasing). Fixed knots give
        the same basis on every data set, e.g. for fits on parts of the data.

    Examples
    --------
    >>> s("age", k=20)
    s(age)
    >>> s("x", by="group")
    s(x, by=group)
    """

    def __init__(self, column: ColumnRef, k: int = 10, bs: str = DEFAULT_BASIS, by: ColumnRef | None = None,
                 knots: Any = None) -> None:
        self.columns = (column,)
        self.label = f"s({column})" if by is None else f"s({column}, by={by})"
        self.k = _check_k(self.label, k)
        if bs not in BASES:
            raise ValueError(f"{self.label}: bs must be one of {', '.join(map(repr, BASES))}, got {bs!r}")
        self.bs = bs
        self.by = by
        self.knots = None if knots is None else _checked_knots(self.label, knots, self.k if bs == "cr" else self.k - 2)

    def _margins(self, frame: Frame, keep_sorted: bool = False
                 ) -> tuple[list[tuple[Any, ...]], list[np.ndarray], list[Scale]]:
        margin, penalty, scale = _margin(self.label, frame, self.columns[0], self.k, self.bs, self.knots, keep_sorted)
        return [margin], [penalty], [scale]


def _per_margin(value: Any, margins: int) -> list[Any]:
    """One value per margin: the items of a sequence (or any other iterable
    but a string), else the value for every margin."""
    iterable = np.ndim(value) > 0 or (isinstance(value, Iterable) and not isinstance(value, (str, bytes, np.ndarray)))
    return list(value) if iterable else [value] * margins


class _Tensor(_SmoothBase):
    """What te() and ti() share: the columns and each margin's k and basis."""

    def __init__(self, *columns: ColumnRef, k: int | Sequence[int] = 5, bs: str | Sequence[str] = "cr",
                 by: ColumnRef | None = None) -> None:
        name = type(self).__name__
        if len(columns) < 2:
            raise ValueError(f"{name}() needs at least two columns; use s() for one")
        self.columns = tuple(columns)
        self.label = self._label(columns, by)
        repeated = sorted({str(c) for c in columns if columns.count(c) > 1})
        if repeated:
            raise ValueError(f"{self.label}: column {', '.join(repeated)} appears more than once; give each "
                             "column once (a smooth of one column is s())")
        ks = _per_margin(k, len(columns))
        # (NumPy strings as str, so that messages and labels show them plainly)
        bss = [str(b) if isinstance(b, str) else b for b in _per_margin(bs, len(columns))]
        if len(ks) != len(columns) or len(bss) != len(columns):
            raise ValueError(f"{self.label}: give one k and one bs per column (or one for all)")
        self.ks = [_check_k(self.label, v) for v in ks]
        for b in bss:
            if b not in BASES:
                raise ValueError(f"{self.label}: bs must be one of {', '.join(map(repr, BASES))}, got {b!r}")
        self.bss: list[str] = bss
        size = math.prod(self.ks)  # Python integers: a NumPy product of many margins wraps around
        if size > 2000:
            raise ValueError(f"{self.label}: the product of the k values ({size}) exceeds 2000")
        self.by = by

    def _label(self, columns: tuple[ColumnRef, ...], by: ColumnRef | None) -> str:
        raise NotImplementedError

    def _margins(self, frame: Frame, keep_sorted: bool = False
                 ) -> tuple[list[tuple[Any, ...]], list[np.ndarray], list[Scale]]:
        out = [_margin(self.label, frame, c, k, b) for c, k, b in zip(self.columns, self.ks, self.bss)]
        return [m for m, _, _ in out], [p for _, p, _ in out], [sc for _, _, sc in out]


class te(_Tensor):
    """A tensor-product smooth of two or more numeric columns: the row-wise
    product of marginal bases, one penalty (and smoothing parameter) per
    margin, so each direction has its own smoothness and the columns need not
    share units.

    Parameters
    ----------
    *columns : str or int
        Two or more numeric columns.
    k : int or sequence of int
        Basis dimension per margin (one for all, or one each).
    bs : str or sequence of str
        Basis per margin ("cr", "bs" or "ps").
    by : str or int, optional
        As for `s`.

    Examples
    --------
    >>> te("lat", "lon", k=(6, 6))
    te(lat, lon)
    """

    _one_column_suffices = True

    def _label(self, columns: tuple[ColumnRef, ...], by: ColumnRef | None) -> str:
        return f"te({', '.join(map(str, columns))}" + ("" if by is None else f", by={by}") + ")"


class ti(_Tensor):
    """A tensor-product interaction of two or more numeric columns: te()
    without the main effects (nor the lower-order interactions of three or
    more columns), so that ``s(a) + s(b) + ti(a, b)`` splits a surface into
    identifiable parts and each part's test means what it says.

    Each margin's basis is constrained to sum to zero over the data before
    the product is formed (Wood 2006; Wood, Generalized Additive Models, on
    tensor product interactions): the term then holds no function of fewer
    of its columns. With the same margins (k, basis, knots),
    ``s(a) + s(b) + ti(a, b)`` spans the same functions as ``te(a, b)``.
    The term's columns need not sum to zero over scattered data; it is the
    margins that do.

    Parameters
    ----------
    *columns : str or int
        Two or more numeric columns.
    k : int or sequence of int
        Basis dimension per margin before its constraint (one for all, or one
        each); the term has ∏(k − 1) coefficients.
    bs : str or sequence of str
        Basis per margin ("cr", "bs" or "ps").
    by : str or int, optional
        A categorical column (one interaction per level, each margin
        constrained over the level's rows) or a numeric one multiplying the
        interaction.

    Examples
    --------
    >>> s("lat") + s("lon") + ti("lat", "lon", k=(6, 6))
    s(lat) + s(lon) + ti(lat, lon)
    """

    def _label(self, columns: tuple[ColumnRef, ...], by: ColumnRef | None) -> str:
        return f"ti({', '.join(map(str, columns))}" + ("" if by is None else f", by={by}") + ")"

    def _constraint(self, label: str, frame: Frame, raw: tuple[Any, ...], producers: dict[tuple[Any, ...], Any],
                    numeric_by: bool, plain_sums: np.ndarray | None) -> np.ndarray | None:
        """Z = Z_1 ⊗ … ⊗ Z_M, Z_m each margin's own sum-to-zero constraint:
        the products of centred margins hold no constant in any one column,
        so no main effect. A numeric `by` still needs the margins centred,
        over all rows: sums weighted by the `by` could vanish (a centred `by`)
        and leave the constants in."""
        kind, columns, margins, _, by = raw
        z: np.ndarray = np.ones((1, 1))
        for column, margin in zip(columns, margins):
            sums = frame.column_sums((kind, [column], [margin], None, None if numeric_by else by), producers)
            z = np.kron(z, _sum_to_zero(label, sums))
        return z


def as_term_list(terms: Any) -> TermList:
    if isinstance(terms, Term):
        return TermList([terms])
    if isinstance(terms, Iterable):
        items = list(terms)
        for t in items:
            if not isinstance(t, Term):
                raise TypeError(f"terms must be vorna terms (s, te, ti, l, f, intercept), got {t!r}")
        return TermList(items)
    raise TypeError(f"terms must be a term or a list of terms, got {terms!r}")
