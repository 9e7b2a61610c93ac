"""Type stubs for the compiled module vorna_core."""

from collections.abc import Callable, Sequence
from typing import Any, Literal, SupportsIndex, TypedDict, final

import numpy as np
import numpy.typing as npt

_Float64Array = npt.NDArray[np.float64]
_Family = Literal["gaussian", "binomial", "poisson", "gamma"]
# Any sequence is read item by item, NumPy arrays included.
_Counts = Sequence[SupportsIndex] | npt.NDArray[np.integer[Any]]
_Reals = Sequence[float] | npt.NDArray[np.floating[Any]]

# The dict every fit method returns ("lambda" is a keyword, hence the call syntax).
_FitResult = TypedDict(
    "_FitResult",
    {"lambda": _Float64Array, "deviance": float, "fitted_values": _Float64Array, "fitted": Literal[True]},
)
# fit and fit_auto_optimized add "all_lambdas", the same array object as "lambda".
_CachedFitResult = TypedDict(
    "_CachedFitResult",
    {
        "lambda": _Float64Array,
        "all_lambdas": _Float64Array,
        "deviance": float,
        "fitted_values": _Float64Array,
        "fitted": Literal[True],
    },
)

class ConvergenceWarning(UserWarning): ...

@final
class GAM:
    def __new__(cls, family: str | None = None) -> GAM: ...
    def add_cubic_spline(self, var_name: str, num_basis: SupportsIndex, x_min: float, x_max: float) -> None: ...
    def fit(
        self,
        x: _Float64Array,
        y: _Float64Array,
        k: _Counts,
        method: str = "REML",
        bs: str | None = None,
        max_iter: SupportsIndex | None = None,
    ) -> _CachedFitResult: ...
    def fit_manual(
        self, x: _Float64Array, y: _Float64Array, method: str, max_iter: SupportsIndex | None
    ) -> _FitResult: ...
    def fit_auto(
        self,
        x: _Float64Array,
        y: _Float64Array,
        k: _Counts,
        method: str,
        bs: str | None,
        max_iter: SupportsIndex | None,
    ) -> _FitResult: ...
    def fit_auto_optimized(
        self,
        x: _Float64Array,
        y: _Float64Array,
        k: _Counts,
        method: str,
        bs: str | None = None,
        max_iter: SupportsIndex | None = None,
    ) -> _CachedFitResult: ...
    def fit_formula(
        self, x: _Float64Array, y: _Float64Array, formula: str, method: str, max_iter: SupportsIndex | None
    ) -> _FitResult: ...
    def predict(self, x: _Float64Array) -> _Float64Array: ...
    def get_lambda(self) -> float: ...
    def get_all_lambdas(self) -> _Float64Array: ...
    def get_fitted_values(self) -> _Float64Array: ...
    def get_family(self) -> _Family: ...
    def get_coefficients(self) -> _Float64Array: ...
    def get_design_matrix(self) -> _Float64Array: ...
    def __reduce__(self) -> tuple[Callable[[dict[str, Any]], GAM], tuple[dict[str, Any]]]: ...
    def __copy__(self) -> GAM: ...
    def __deepcopy__(self, memo: Any, /) -> GAM: ...

def compute_penalty_matrix(basis_type: str, num_basis: SupportsIndex, knots: _Float64Array) -> _Float64Array: ...
def evaluate_gradient(
    x: _Float64Array, y: _Float64Array, lambdas: _Reals, k_values: _Counts
) -> _Float64Array: ...
def reml_gradient_multi_qr_py(
    y: _Float64Array, x: _Float64Array, w: _Float64Array, lambdas: _Reals, penalties: Sequence[_Float64Array]
) -> _Float64Array: ...
def reml_hessian_multi_qr_py(
    y: _Float64Array, x: _Float64Array, w: _Float64Array, lambdas: _Reals, penalties: Sequence[_Float64Array]
) -> _Float64Array: ...
def newton_pirls_py(
    y: _Float64Array,
    x: _Float64Array,
    w: _Float64Array,
    initial_log_lambda: _Float64Array,
    penalties: Sequence[_Float64Array],
    max_iter: SupportsIndex | None,
    grad_tol: float | None,
    verbose: bool | np.bool_ | None,
) -> tuple[_Float64Array, _Float64Array, float, int, bool, str]: ...
def _restore_gam(state: dict[str, Any], /) -> GAM: ...
