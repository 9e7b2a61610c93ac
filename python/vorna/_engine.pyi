# The private engine extension of vorna (see src/engine_module.cpp).
from typing import Any, Callable, Sequence

import numpy as np
from numpy.typing import NDArray

_Array = NDArray[np.float64]
_Term = tuple[Any, ...]

def model_matrix(terms: Sequence[_Term], data: _Array, /) -> _Array: ...
def column_sums(terms: Sequence[_Term], data: _Array, threads: int = ..., /) -> _Array: ...
def predict(
    terms: Sequence[_Term], data: _Array, beta: _Array, cov: _Array | None, per_term: bool, /
) -> tuple[_Array, _Array | None, _Array | None, _Array | None]: ...
def fit(
    terms: Sequence[_Term],
    data: _Array,
    y: _Array,
    weights: _Array | None,
    offset: _Array | None,
    penalties: Sequence[_Array],
    family: str,
    link: str,
    criterion: str,
    lam: _Array | None = None,
    max_iter: int = 100,
    threads: int = 0,
) -> dict[str, Any]: ...
def penalty(kind: str, knots: _Array, /) -> _Array: ...
def sorted_column_sums(knots: _Array, values: _Array, /) -> _Array | None: ...
def split_below(values: _Array, pivot: float, /) -> tuple[_Array, int]: ...
def inverse_link(family: str, link: str, eta: _Array, /) -> _Array: ...
def family_info(family: str, /) -> tuple[str, list[str], bool]: ...
def deviance_residuals(family: str, link: str, y: _Array, mu: _Array, weights: _Array, /) -> _Array: ...
def check_response(family: str, link: str, y: _Array, /) -> None: ...
def partition_pass(
    terms: Sequence[_Term],
    data: _Array,
    y: _Array,
    weights: _Array | None,
    offset: _Array | None,
    family: str,
    link: str,
    request: dict[str, Any],
    threads: int = 1,
    /,
) -> dict[str, Any]: ...
def add_sums(a: dict[str, Any], b: dict[str, Any], /) -> dict[str, Any]: ...
def partition_moments(
    family: str, link: str, y: _Array, weights: _Array | None, offset: _Array | None, first_row: int = 0, /
) -> tuple[float, float, float, float, int, int, int]: ...
def sample_stride(rows: int, most_rows: int = 0, /) -> int: ...
def fit_passes(
    width: int,
    intercept: int | None,
    moments: tuple[Any, ...],
    pass_: Callable[[dict[str, Any]], dict[str, Any]],
    null_pass: Callable[[dict[str, Any]], dict[str, Any]],
    penalties: Sequence[_Array],
    family: str,
    link: str,
    criterion: str,
    lam: _Array | None = None,
    max_iter: int = 100,
    warm: tuple[_Array, _Array] | None = None,
) -> dict[str, Any]: ...
def negligible_deviance(family: str, link: str, mean: float, weight_sum: float, /) -> float: ...
