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


@pytest.mark.parametrize(
    "k, max_iter, message",
    [
        ([-1, 5], None, "argument 'k': can't convert negative int to unsigned"),
        ([2**64, 5], None, "argument 'k': int too big to convert"),
        ([5, 5], -1, "argument 'max_iter': can't convert negative int to unsigned"),
    ],
)
def test_negative_or_huge_counts_overflow(k, max_iter, message):
    with pytest.raises(OverflowError) as info:
        vc.GAM().fit(X, Y, k, max_iter=max_iter)
    assert str(info.value) == message


@pytest.mark.parametrize("name", ["x", "y"])
def test_a_masked_entry_is_refused_and_an_unmasked_masked_array_is_read(rng, name):
    # The values under a mask are not data; an ndarray subclass passes the dtype check, so they were read.
    x, y = rng.uniform(size=(60, 2)), rng.normal(size=60)
    args = {"x": x, "y": y}
    hidden = np.zeros(args[name].shape, bool)
    hidden.flat[3] = True
    with pytest.raises(ValueError, match=f"^argument '{name}': a masked array with masked entries"):
        vc.GAM().fit(**{**args, name: np.ma.masked_array(args[name], mask=hidden)}, k=[5, 5])
    model, plain = vc.GAM(), vc.GAM()
    model.fit(**{**args, name: np.ma.masked_array(args[name])}, k=[5, 5])
    plain.fit(x, y, [5, 5])
    np.testing.assert_array_equal(model.get_coefficients(), plain.get_coefficients())


def test_big_endian_float64_is_rejected():
    with pytest.raises(TypeError, match="argument 'x'"):
        vc.GAM().fit(X.astype(">f8"), Y, [5, 5])


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: vc.GAM().fit_auto(X, Y, [5, 5], "REML"), "fit_auto() missing required argument 'bs' (pos 5)"),
        (lambda: vc.GAM().fit(X, Y), "fit() missing required argument 'k' (pos 3)"),
        (lambda: vc.GAM().fit(X, Y, [5, 5], unknown=1), "'unknown' is an invalid keyword argument for fit()"),
        (lambda: vc.GAM().get_lambda(1), "GAM.get_lambda() takes no arguments (1 given)"),
    ],
    ids=["positional", "k", "keyword", "no-arguments"],
)
def test_required_arguments_are_enforced_by_the_binding(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message


@pytest.mark.parametrize("n", [60, 4], ids=["fitted", "refused"])
def test_inputs_are_never_written(rng, n):
    # 60 rows reach the numerics; 4 rows are refused for want of residual degrees of freedom
    x = rng.uniform(size=(n, 2))
    y = np.sin(3 * x[:, 0]) + 0.1 * rng.standard_normal(n)
    k = [5, 5]
    inputs = (x.copy(), y.copy(), list(k))
    if n == 4:
        with pytest.raises(ValueError, match="^Invalid parameter: 4 observations leave no residual degrees of freedom"):
            vc.GAM().fit(x, y, k)
    else:
        gam = vc.GAM()
        gam.fit(x, y, k)
        gam.predict(x)
    np.testing.assert_array_equal(x, inputs[0])
    np.testing.assert_array_equal(y, inputs[1])
    assert k == inputs[2]


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


def test_object_stays_usable_after_a_failed_call(rng):
    gam = vc.GAM()
    for _ in range(3):
        with pytest.raises(ValueError, match="^Invalid parameter: Model has not been fitted yet$"):
            gam.predict(np.zeros((2, 1)))
    assert gam.get_family() == "gaussian"
    x = rng.uniform(size=(80, 1))
    y = x[:, 0] ** 2
    gam.fit(x, y, [6])
    np.testing.assert_allclose(gam.predict(x), gam.get_fitted_values(), rtol=1e-12, atol=1e-12)
