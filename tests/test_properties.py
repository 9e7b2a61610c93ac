"""Property tests: every public callable of vorna_core and vorna, given
generated arguments of every kind, returns or raises a Python exception with
a message, promptly, and leaves the object it was called on usable.

The default profile keeps the CI run short; HYPOTHESIS_PROFILE=long runs many
more examples locally.
"""

import inspect
import math
import os
import time
import warnings

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import vorna
import vorna_core

# The generators themselves cast NaN and huge floats to narrower dtypes on purpose.
pytestmark = pytest.mark.filterwarnings("ignore:.*encountered in cast:RuntimeWarning")

settings.register_profile("ci", max_examples=30, deadline=None, derandomize=True,
                          suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])
settings.register_profile("long", max_examples=1000, deadline=None,
                          suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])
settings.load_profile(os.environ.get("HYPOTHESIS_PROFILE", "ci"))

# One call may take this long at most: the generated problems are small.
TIME_BOUND = 10.0


class RaisingNumber:
    """An object whose conversions raise."""

    def __float__(self):
        raise ArithmeticError("no float for you")

    def __index__(self):
        raise ArithmeticError("no index for you")

    def __len__(self):
        raise ArithmeticError("no len for you")


special = st.sampled_from([0.0, -0.0, 1.0, -1.0, math.nan, math.inf, -math.inf, 1e308, -1e-308, 5e-324])
floats = st.one_of(special, st.floats(-1e6, 1e6, allow_nan=False))


@st.composite
def float_arrays(draw, max_dims=2):
    ndim = draw(st.integers(1, max_dims))
    shape = tuple(draw(st.lists(st.integers(0, 12), min_size=ndim, max_size=ndim)))
    values = np.array(draw(st.lists(floats, min_size=int(np.prod(shape)), max_size=int(np.prod(shape)))),
                      dtype=np.float64).reshape(shape)
    layout = draw(st.sampled_from(["c", "f", "reversed", "strided"]))
    if layout == "f":
        values = np.asfortranarray(values)
    elif layout == "reversed":
        values = values[::-1]
    elif layout == "strided" and values.shape[0] > 1:
        values = np.repeat(values, 2, axis=0)[::2]
    return values


hostile = st.one_of(
    float_arrays(),
    float_arrays().map(lambda a: a.astype(np.float32)),
    float_arrays().map(lambda a: np.nan_to_num(a).astype(np.int64)),
    st.just(np.array(["a", "b"])),
    st.just(np.zeros((2, 2), dtype=complex)),
    st.integers(-3, 40),
    st.sampled_from([2**63 - 1, 10**6, -(2**63)]),
    floats,
    st.sampled_from(["REML", "GCV", "cr", "bs", "gaussian", "poisson", "", "reml", "y ~ s(x0)", "\x00"]),
    st.none(),
    st.just(RaisingNumber()),
    st.lists(st.integers(-2, 12), max_size=4),
    st.lists(float_arrays(), max_size=3),
)


def plausible_problem(draw):
    """A small well-formed data set, so that generated calls also reach the numerics."""
    n = draw(st.integers(30, 60))
    d = draw(st.integers(1, 3))
    rng = np.random.default_rng(draw(st.integers(0, 2**32 - 1)))
    x = rng.uniform(0, 1, (n, d))
    # Inside every family's range: proportions, counts and positive values alike.
    return x, np.clip(0.5 + 0.3 * np.sin(3 * x[:, 0]) + 0.05 * rng.standard_normal(n), 0.05, 0.95)


def check_outcome(call):
    start = time.perf_counter()
    try:
        call()
    except Exception as err:  # noqa: BLE001 - any Python exception is an acceptable answer
        assert str(err), f"{type(err).__name__} without a message"
    assert time.perf_counter() - start < TIME_BOUND


def core_callables():
    gam_methods = [name for name in dir(vorna_core.GAM) if not name.startswith("_")]
    functions = [name for name in dir(vorna_core) if not name.startswith("_") and name not in ("GAM", "ConvergenceWarning")
                 and callable(getattr(vorna_core, name))]
    return [("GAM", m) for m in gam_methods] + [("module", f) for f in functions]


@pytest.mark.parametrize("owner, name", core_callables())
@given(data=st.data())
def test_core_callables_answer_or_raise(owner, name, data):
    model = vorna_core.GAM(data.draw(st.sampled_from(["gaussian", "binomial", "poisson", "gamma"])))
    target = getattr(model, name) if owner == "GAM" else getattr(vorna_core, name)
    params = [p for p in inspect.signature(target).parameters.values() if p.name != "self"]
    x, y = plausible_problem(data.draw)
    plausible = {"x": x, "y": y, "w": np.ones(len(y)), "k": [5] * x.shape[1], "method": "REML", "bs": "cr",
                 "max_iter": 20, "num_basis": 6, "basis_type": "cr", "knots": np.linspace(0, 1, 6)}
    args = {}
    for p in params:
        use_plausible = p.name in plausible and data.draw(st.booleans())
        args[p.name] = plausible[p.name] if use_plausible else data.draw(hostile, label=p.name)
    check_outcome(lambda: target(**args))
    # The object stays usable: a getter answers and a valid fit succeeds.
    check_outcome(model.get_lambda)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", vorna_core.ConvergenceWarning)  # a warning is an answer too
        model.fit(x, y, [5] * x.shape[1])
    assert np.all(np.isfinite(model.predict(x)))


@st.composite
def model_data(draw):
    n = draw(st.integers(0, 60))
    rng = np.random.default_rng(draw(st.integers(0, 2**32 - 1)))
    columns = {"x": rng.uniform(0, 1, n), "z": rng.normal(size=n), "g": rng.choice(["a", "b", "c"], n)}
    corrupt = draw(st.sampled_from([None, "x", "z", "g"]))
    if corrupt is not None and n:
        columns[corrupt] = columns[corrupt].astype(object)
        columns[corrupt][draw(st.integers(0, n - 1))] = draw(st.sampled_from([np.nan, np.inf, None, "?", 1e308]))
    y = draw(st.one_of(st.just(np.sin(5 * columns["x"].astype(float, copy=False)) if corrupt != "x" else
                               rng.normal(size=n)), st.just(rng.poisson(2.0, n).astype(float)),
                       st.just(rng.integers(0, 2, n)), hostile))
    return columns, y


TERMS = [vorna.s("x"), vorna.s("x", k=4, bs="ps") + vorna.f("g"), vorna.te("x", "z", k=4) + vorna.l("z"),
         vorna.s("x", by="g"), "y ~ s(x) + f(g)", None]


@given(data=model_data(), family=st.sampled_from(vorna.model.FAMILIES + ("tweedie",)),
       method=st.sampled_from(vorna.model.METHODS), terms=st.sampled_from(TERMS),
       weights=st.one_of(st.none(), hostile), offset=st.one_of(st.none(), hostile))
def test_vorna_fit_and_predict_answer_or_raise(data, family, method, terms, weights, offset):
    columns, y = data
    model = vorna.GAM(terms, family=family, method=method)
    frame = {k: v for k, v in columns.items() if terms is not None or k in ("x", "z")}
    if isinstance(terms, str):
        frame["y"] = y
    check_outcome(lambda: model.fit(frame, None if isinstance(terms, str) else y, weights, offset))
    if hasattr(model, "coef_"):
        check_outcome(lambda: model.predict(frame))
        check_outcome(lambda: model.confidence_interval(frame))
        check_outcome(model.summary)
    # The same estimator stays usable for a valid fit: a response inside every family's range.
    rng = np.random.default_rng(0)
    good = {"x": rng.uniform(0, 1, 50), "z": rng.normal(size=50), "g": rng.choice(["a", "b"], 50)}
    good = {k: v for k, v in good.items() if terms is not None or k in ("x", "z")}
    y_good = 0.5 + 0.3 * np.sin(4 * good["x"])
    refit = (lambda: model.fit({**good, "y": y_good})) if isinstance(terms, str) else (lambda: model.fit(good, y_good))
    if family not in vorna.model.FAMILIES:
        with pytest.raises(ValueError, match=f"^family must be one of .*, got '{family}'$"):
            refit()
        return
    if method == "UBRE" and family not in ("binomial", "poisson"):
        with pytest.raises(ValueError, match="needs a known scale"):
            refit()
        return
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", vorna_core.ConvergenceWarning)  # a warning is an answer too
        refit()
    assert np.all(np.isfinite(model.predict(good)))
