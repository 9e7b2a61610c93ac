"""The module surface: registration, the GAM frame, argument conversion and the access rule."""
import inspect

import numpy as np
import pytest

import vorna_core as vc

import _vorna_core_testing as t

FAMILIES = ["gaussian", "binomial", "poisson", "gamma"]
GETTERS = ["get_lambda", "get_all_lambdas", "get_fitted_values", "get_coefficients", "get_design_matrix"]


def test_module_docstring_is_empty_and_gam_comes_first():
    assert vc.__doc__ == ""
    public = [name for name in vars(vc) if not name.startswith("_")]
    assert public == ["GAM", "compute_penalty_matrix", "evaluate_gradient", "reml_gradient_multi_qr_py",
                      "reml_hessian_multi_qr_py", "newton_pirls_py", "ConvergenceWarning"]


@pytest.mark.parametrize("args, kwargs", [((), {}), ((None,), {}), ((), {"family": None})])
def test_family_defaults_to_gaussian(args, kwargs):
    assert vc.GAM(*args, **kwargs).get_family() == "gaussian"


@pytest.mark.parametrize("family", FAMILIES)
def test_each_family_name_round_trips(family):
    assert vc.GAM(family).get_family() == family


@pytest.mark.parametrize("family", ["Poisson", "GAUSSIAN", "normal", "", "gaussian "])
def test_unknown_family_is_rejected_case_sensitively(family):
    with pytest.raises(ValueError) as info:
        vc.GAM(family)
    assert str(info.value) == (
        f"Unknown family '{family}'. Use 'gaussian', 'binomial', 'poisson', or 'gamma'"
    )


def test_non_str_family_is_a_type_error():
    with pytest.raises(TypeError, match="argument 'family'"):
        vc.GAM(1)


@pytest.mark.parametrize("getter", GETTERS)
def test_getters_on_new_object_say_not_fitted(getter):
    with pytest.raises(ValueError) as info:
        getattr(vc.GAM(), getter)()
    assert str(info.value) == "Model not fitted yet"


def test_predict_before_fit_is_an_invalid_parameter():
    with pytest.raises(ValueError) as info:
        vc.GAM().predict(np.zeros((3, 1)))
    assert str(info.value) == "Invalid parameter: Model has not been fitted yet"


@pytest.mark.parametrize(
    "obj, signature",
    [
        (vc.GAM, "(family=None)"),
        (vc.GAM.add_cubic_spline, "($self, var_name, num_basis, x_min, x_max)"),
        (vc.GAM.fit, "($self, x, y, k, method=\"REML\", bs=None, max_iter=None)"),
        (vc.GAM.fit_manual, "($self, x, y, method, max_iter)"),
        (vc.GAM.fit_auto, "($self, x, y, k, method, bs, max_iter)"),
        (vc.GAM.fit_auto_optimized, "($self, x, y, k, method, bs=None, max_iter=None)"),
        (vc.GAM.fit_formula, "($self, x, y, formula, method, max_iter)"),
        (vc.GAM.predict, "($self, x)"),
        (vc.GAM.get_lambda, "($self)"),
        (vc.GAM.get_design_matrix, "($self)"),
        (vc.compute_penalty_matrix, "(basis_type, num_basis, knots)"),
    ],
)
def test_text_signatures(obj, signature):
    assert obj.__text_signature__ == signature
    inspect.signature(obj)  # parseable


def test_bound_method_signature_drops_self():
    assert str(inspect.signature(vc.GAM().fit)) == "(x, y, k, method='REML', bs=None, max_iter=None)"


@pytest.mark.parametrize(
    "obj, doc",
    [
        (vc.GAM, "Python wrapper for GAM"),
        (vc.GAM.get_family, "Get the family (distribution) used by this GAM"),
        (vc.GAM.fit_auto_optimized,
         "Fit GAM with automatic smooth setup (optimized version with caching)\n\n"
         "Uses caching and improved algorithms for better performance"),
        (vc.compute_penalty_matrix,
         "Compute penalty matrix for debugging/comparison\n"
         "Returns the raw penalty matrix for a given basis type"),
    ],
)
def test_docstrings(obj, doc):
    assert obj.__doc__ == doc


X = np.zeros((4, 2))
Y = np.zeros(4)


@pytest.mark.parametrize(
    "x, y, k, name",
    [
        (X.astype(np.float32), Y, [5, 5], "x"),
        (X.tolist(), Y, [5, 5], "x"),
        (np.zeros(4), Y, [5, 5], "x"),
        (np.zeros((2, 2, 1)), Y, [5, 5], "x"),
        (X.astype(np.int64), Y, [5, 5], "x"),
        (X, X, [5, 5], "y"),
        (X, [0.0] * 4, [5, 5], "y"),
        (X, Y, "55", "k"),
        (X, Y, 5, "k"),
        (X, Y, [5.0, 5], "k"),
    ],
)
def test_conversion_type_errors_name_the_argument(x, y, k, name):
    with pytest.raises(TypeError, match=f"^argument '{name}': "):
        vc.GAM().fit(x, y, k)


@pytest.mark.parametrize("k, max_iter", [([-1, 5], None), ([2**64, 5], None), ([5, 5], -1)])
def test_negative_or_huge_counts_overflow(k, max_iter):
    with pytest.raises(OverflowError):
        vc.GAM().fit(X, Y, k, max_iter=max_iter)


def test_big_endian_float64_is_rejected():
    with pytest.raises(TypeError, match="argument 'x'"):
        vc.GAM().fit(X.astype(">f8"), Y, [5, 5])


def test_required_arguments_are_enforced_by_the_binding():
    with pytest.raises(TypeError):
        vc.GAM().fit_auto(X, Y, [5, 5], "REML")  # bs and max_iter are required
    with pytest.raises(TypeError):
        vc.GAM().fit(X, Y)
    with pytest.raises(TypeError):
        vc.GAM().fit(X, Y, [5, 5], unknown=1)
    with pytest.raises(TypeError):
        vc.GAM().get_lambda(1)


def test_inputs_are_never_written():
    x = np.arange(8.0).reshape(4, 2)
    before = x.copy()
    try:
        vc.GAM().fit(x, Y, [5, 5])
    except ValueError:
        pass
    np.testing.assert_array_equal(x, before)


@pytest.mark.parametrize(
    "held, requested, refusal",
    [
        ([], "exclusive", None),
        ([], "shared", None),
        (["shared", "shared"], "shared", None),
        (["shared"], "exclusive", "Already borrowed"),
        (["exclusive"], "exclusive", "Already borrowed"),
        (["exclusive"], "shared", "Already mutably borrowed"),
    ],
)
def test_access_rule(held, requested, refusal):
    assert t.access_conflict(held, requested) == refusal


def test_object_stays_usable_after_a_failed_call():
    gam = vc.GAM()
    for _ in range(3):
        with pytest.raises(ValueError):
            gam.predict(np.zeros((2, 1)))
    assert gam.get_family() == "gaussian"
