"""Pickling and copying of vorna_core.GAM, and the documentation of the module's callables.

A restored model runs the same arithmetic on the same numbers as the original, so every
comparison here is bitwise: arrays by their bytes, floats by their hex form.
"""
import copy
import inspect
import pickle
import re

import numpy as np
import pytest

import vorna_core as vc

FAMILIES = ["gaussian", "binomial", "poisson", "gamma"]
ARRAY_GETTERS = ["get_all_lambdas", "get_fitted_values", "get_coefficients", "get_design_matrix"]

ROUND_TRIPS = {
    **{f"pickle{p}": (lambda g, p=p: pickle.loads(pickle.dumps(g, protocol=p))) for p in range(2, 6)},
    "copy": copy.copy,
    "deepcopy": copy.deepcopy,
}
round_trips = pytest.mark.parametrize("round_trip", ROUND_TRIPS.values(), ids=ROUND_TRIPS.keys())


def family_data(rng, family, n=150):
    x = rng.uniform(0.0, 1.0, size=(n, 2))
    eta = 0.5 + 0.3 * np.sin(2 * np.pi * x[:, 0]) + 0.2 * x[:, 1]
    if family == "gaussian":
        y = eta + 0.1 * rng.standard_normal(n)
    elif family == "binomial":
        y = (rng.uniform(size=n) < 1 / (1 + np.exp(-eta))).astype(float)
    elif family == "poisson":
        y = rng.poisson(np.exp(eta)).astype(float)
    else:
        y = rng.gamma(10.0, (1 / eta) / 10.0)
    return x, y


def outcome(call):
    """What a call gives, in a form that compares bit for bit: bytes, a float's hex, or the error."""
    try:
        value = call()
    except ValueError as error:
        return ("ValueError", str(error))
    if isinstance(value, np.ndarray):
        return (value.dtype.str, value.shape, value.tobytes())
    if isinstance(value, float):
        return float.hex(value)
    return value


def observe(gam, x_new):
    """Everything a model shows: getters, family and predictions (or the errors they raise)."""
    seen = {name: outcome(getattr(gam, name)) for name in ARRAY_GETTERS + ["get_lambda", "get_family"]}
    seen["predict"] = outcome(lambda: gam.predict(x_new))
    return seen


def fitted_model(rng, family, bs="bs"):
    x, y = family_data(rng, family)
    gam = vc.GAM(family)
    gam.fit(x, y, [6, 5], bs=bs)
    return gam, x, y


X_NEW = np.linspace(-0.1, 1.1, 24).reshape(12, 2)  # includes extrapolation beyond the knots


# ---- round trips ---------------------------------------------------------------


@round_trips
@pytest.mark.parametrize("family", FAMILIES)
def test_unfitted_model_round_trips(round_trip, family):
    gam = vc.GAM(family)
    restored = round_trip(gam)
    assert type(restored) is vc.GAM and restored is not gam
    assert observe(restored, X_NEW) == observe(gam, X_NEW)


@round_trips
@pytest.mark.parametrize("bs", ["bs", "cr"])
@pytest.mark.parametrize("family", FAMILIES)
def test_fitted_model_round_trips(rng, round_trip, family, bs):
    gam, x, _ = fitted_model(rng, family, bs)
    restored = round_trip(gam)
    before = observe(gam, X_NEW)
    assert before["predict"][0] == "<f8"  # the model does predict
    assert observe(restored, X_NEW) == before
    assert outcome(lambda: restored.predict(x)) == outcome(lambda: gam.predict(x))


@round_trips
def test_smooths_added_before_a_fit_survive(rng, round_trip):
    x, y = family_data(rng, "gaussian")
    gam = vc.GAM()
    gam.add_cubic_spline("a", 6, 0.0, 1.0)
    gam.add_cubic_spline("b", 7, -0.5, 1.5)
    restored = round_trip(gam)
    restored.fit_manual(x, y, "GCV", None)
    gam.fit_manual(x, y, "GCV", None)
    assert observe(restored, X_NEW) == observe(gam, X_NEW)


@round_trips
def test_smooths_added_after_the_fit_still_block_prediction(rng, round_trip):
    gam, x, y = fitted_model(rng, "poisson")
    gam.add_cubic_spline("extra", 5, 0.0, 1.0)
    restored = round_trip(gam)
    x3 = np.column_stack([x, x[:, 0]])
    assert observe(restored, x3[:12]) == observe(gam, x3[:12])
    assert "the smooths have changed" in observe(restored, x3[:12])["predict"][1]
    restored.fit_manual(x3, y, "REML", None)
    gam.fit_manual(x3, y, "REML", None)
    assert observe(restored, x3[:12]) == observe(gam, x3[:12])


@round_trips
def test_replaced_smooths_of_the_same_size_still_block_prediction(rng, round_trip):
    # A fit that fails after its set-up leaves new smooths of the same size beside the old
    # results: only the version count tells them apart, so it must survive the trip.
    gam, x, y = fitted_model(rng, "gamma")
    with pytest.raises(ValueError, match="method must be"):
        gam.fit_auto(x, y, [6, 5], "bad", "bs", None)
    restored = round_trip(gam)
    seen = observe(restored, X_NEW)
    assert seen == observe(gam, X_NEW)
    assert seen["predict"] == ("ValueError", "Invalid parameter: the smooths have changed since the last "
                               "successful fit; fit the model again before predicting")


def test_state_is_plain_data_with_a_format_number(rng):
    gam, _, _ = fitted_model(rng, "binomial", "cr")
    restore, (state,) = gam.__reduce__()
    assert restore is vc._restore_gam
    assert state["format"] == 1 and state["family"] == "binomial"
    assert [s["basis"] for s in state["smooths"]] == ["cr", "cr"]
    leaves = [state["format"], state["family"], state["smooths_version"], *state["fit"].values()]
    leaves += [v for s in state["smooths"] for v in s.values()]
    assert all(isinstance(v, (int, float, str, bool, np.ndarray)) for v in leaves)


# ---- independence ---------------------------------------------------------------


@round_trips
def test_refitting_the_copy_leaves_the_original_alone(rng, round_trip):
    gam, x, y = fitted_model(rng, "gaussian")
    before = observe(gam, X_NEW)
    other = round_trip(gam)
    other.fit(x[::-1].copy(), y[::-1] * 2.0, [5, 7], method="GCV", bs="cr")
    other.add_cubic_spline("c", 5, 0.0, 1.0)
    assert observe(other, X_NEW) != before
    assert observe(gam, X_NEW) == before


def test_copying_the_original_does_not_follow_later_changes(rng):
    gam, x, y = fitted_model(rng, "gaussian")
    snapshot = copy.copy(gam)
    before = observe(snapshot, X_NEW)
    gam.fit(x, y + 1.0, [5, 5])
    assert observe(snapshot, X_NEW) == before


# ---- refused states -------------------------------------------------------------


def edit(path, value):
    """A change to the state: set the item at path to value (or to value(old) for a callable),
    or delete it for value=KeyError."""
    def apply(state):
        *parents, last = path
        inner = state
        for key in parents:
            inner = inner[key]
        if value is KeyError:
            del inner[last]
        else:
            inner[last] = value(inner[last]) if callable(value) else value
        return state
    return apply


OTHER_VERSION = "cannot restore a vorna_core.GAM saved by another version"
MALFORMED = "cannot restore a vorna_core.GAM: "
NUMPY_1D = "must be a 1-D NumPy array of dtype float64, got "


def refused(change, prefix, pattern, name):
    return pytest.param(change, prefix, pattern, id=name)


@pytest.mark.parametrize(
    "change, prefix, pattern",
    [
        refused(edit(["format"], 2), OTHER_VERSION, r"\(state format 2; this version reads format 1\)$", "format-2"),
        refused(edit(["format"], 0), OTHER_VERSION, "state format 0;", "format-0"),
        refused(edit(["format"], "1"), OTHER_VERSION, "state format '1';", "format-str"),
        refused(edit(["format"], True), OTHER_VERSION, "state format True;", "format-bool"),
        refused(edit(["format"], KeyError), OTHER_VERSION, "state format none;", "format-missing"),
        refused(lambda _: [1, "gaussian"], MALFORMED, "the state must be a dict, got list$", "not-a-dict"),
        refused(lambda _: None, MALFORMED, "the state must be a dict, got NoneType$", "none"),
        refused(edit(["family"], "normal"), MALFORMED, r"state\['family'\] is not a family name: 'normal'$",
                "family-name"),
        refused(edit(["family"], 0), MALFORMED, r"state\['family'\] must be a str, got int$", "family-type"),
        refused(edit(["extra"], 1), MALFORMED, "state has an unexpected key 'extra'$", "extra-key"),
        refused(edit(["smooths"], ()), MALFORMED, r"state\['smooths'\] must be a list, got tuple$", "smooths-tuple"),
        refused(edit(["smooths", 0, "basis"], "tp"), MALFORMED,
                r"state\['smooths'\]\[0\]\['basis'\] must be 'cr' or 'bs', got 'tp'$", "basis-kind"),
        refused(edit(["smooths", 1, "knots"], lambda k: k.astype(np.float32)), MALFORMED,
                r"state\['smooths'\]\[1\]\['knots'\] " + NUMPY_1D + "an array of dtype float32", "knots-float32"),
        refused(edit(["smooths", 0, "knots"], np.zeros(0)), MALFORMED,
                r"smooth 0 \('x0'\): A B-spline basis needs at least 1 knot", "knots-empty"),
        refused(edit(["smooths", 0, "penalty"], np.eye(3)), MALFORMED,
                r"smooth 0 \('x0'\): the penalty is 3 × 3 but the basis has 6 functions$", "penalty-shape"),
        refused(edit(["smooths", 0, "lambda"], 1), MALFORMED, r"\[0\]\['lambda'\] must be a float, got int$",
                "lambda-int"),
        refused(edit(["smooths", 0, "name"], KeyError), MALFORMED, r"state\['smooths'\]\[0\]\['name'\] is missing$",
                "name-missing"),
        refused(edit(["smooths_version"], -1), MALFORMED, r"state\['smooths_version'\] must be a non-negative int",
                "version-negative"),
        refused(edit(["fit"], []), MALFORMED, r"state\['fit'\] must be a dict, got list$", "fit-list"),
        refused(edit(["fit", "method"], "ML"), MALFORMED, r"\['method'\] must be 'REML' or 'GCV', got 'ML'$",
                "method"),
        refused(edit(["fit", "use_fellner_schall"], 0), MALFORMED,
                r"\['use_fellner_schall'\] must be a bool, got int$", "flag-int"),
        refused(edit(["fit", "coefficients"], lambda c: c[:-1]), MALFORMED,
                "the fit has 10 coefficients but its design matrix has 11 columns$", "coefficients-short"),
        refused(edit(["fit", "coefficients"], list), MALFORMED, r"\['coefficients'\] " + NUMPY_1D + "list$",
                "coefficients-list"),
        refused(edit(["fit", "working_weights"], lambda w: w[:3]), MALFORMED,
                "the fit has 3 working weights but its design matrix has 150 rows$", "weights-short"),
        refused(edit(["fit", "design_matrix"], np.ravel), MALFORMED,
                r"\['design_matrix'\] must be a 2-D NumPy array of dtype float64, got an array of dtype float64 "
                r"with 1 dimension\(s\)$", "design-1d"),
        refused(edit(["fit", "lambdas"], lambda v: v[:1]), MALFORMED,
                "the fit has 1 smoothing parameters but its smoothing record has 2$", "lambdas-short"),
        refused(edit(["fit", "smooths_version"], 99), MALFORMED,
                "the fit belongs to version 99 of the smooth list, which is only at version 3$", "fit-newer"),
        refused(edit(["smooths"], lambda s: s[:1]), MALFORMED,
                "the fit of the current smooths has 11 coefficients but the smooths have 6 basis functions$",
                "smooth-dropped"),
        refused(edit(["fit", "deviance"], KeyError), MALFORMED, r"state\['fit'\]\['deviance'\] is missing$",
                "deviance-missing"),
    ],
)
def test_other_version_or_malformed_state_is_a_value_error(rng, change, prefix, pattern):
    gam, _, _ = fitted_model(rng, "gaussian")
    state = change(copy.deepcopy(gam.__reduce__()[1][0]))
    with pytest.raises(ValueError, match=pattern) as info:
        vc._restore_gam(state)
    assert str(info.value).startswith(prefix)


def test_a_refused_state_leaves_nothing_behind(rng):
    gam, _, _ = fitted_model(rng, "gaussian")
    state = copy.deepcopy(gam.__reduce__()[1][0])
    state["fit"]["fitted_values"] = state["fit"]["fitted_values"][:5]
    blob = pickle.dumps((vc._restore_gam, state))
    restore, bad = pickle.loads(blob)
    message = MALFORMED + "the fit has 5 fitted values but its design matrix has 150 rows"
    with pytest.raises(ValueError, match="^" + re.escape(message) + "$"):
        restore(bad)
    assert observe(gam, X_NEW)["predict"][0] == "<f8"


@pytest.mark.parametrize("family", ["gaussian", "poisson"])
def test_saved_per_row_values_are_the_working_model_of_the_fit(rng, family):
    # A Gaussian fit by rows keeps η and the working weights only as the fitted values and
    # ones; its state spells them out, as a fit through the model matrix stores them.
    gam, x, y = fitted_model(rng, family)
    fit = gam.__reduce__()[1][0]["fit"]
    mu = np.asarray(gam.get_fitted_values())
    eta = np.asarray(fit["linear_predictor"])
    if family == "gaussian":
        np.testing.assert_array_equal(eta, mu)
        np.testing.assert_array_equal(fit["working_weights"], np.ones(len(y)))
    else:
        # log link: μ = exp η and the working weights are μ (V(μ) = μ, dμ/dη = μ).
        np.testing.assert_allclose(mu, np.exp(eta), rtol=1e-14)
        np.testing.assert_allclose(fit["working_weights"], mu, rtol=1e-12)


# ---- documentation ----------------------------------------------------------------


def public_callables():
    found = []
    for name, obj in vars(vc).items():
        if name.startswith("_") or not callable(obj):
            continue
        found.append((name, obj))
        if isinstance(obj, type) and obj is vc.GAM:
            found += [(f"GAM.{m}", getattr(obj, m)) for m in vars(obj) if not m.startswith("_")]
    return found


@pytest.mark.parametrize("name, obj", public_callables(), ids=[n for n, _ in public_callables()])
def test_every_public_callable_has_a_signature_and_a_docstring(name, obj):
    assert obj.__doc__ and obj.__doc__.strip(), name
    if isinstance(obj, type) and issubclass(obj, Warning):
        return  # exception classes have no signature to show
    inspect.signature(obj)


def test_fit_names_the_real_default_basis():
    # This used to call "cr" the default while the binding uses "bs".
    assert '"bs" (B-splines, default)' in vc.GAM.fit.__doc__
    assert "cubic regression splines, default" not in vc.GAM.fit.__doc__
