"""ti(): the tensor-product interaction without the main effects.

Checked against independent computations: p-values of data without an
interaction, least-squares fits with NumPy on the model matrix, sums of the
basis over a full grid, products of the centred margins of s() terms, ranks."""

import numpy as np
import pytest

from vorna import GAM, f, intercept, parse_formula, s, te, ti
from vorna.formula import FormulaError
from vorna.terms import TermList

SIGMA = 0.3


def additive(seed, n=400):
    """Data with main effects of x and z and no interaction."""
    rng = np.random.default_rng(seed)
    x, z = rng.uniform(size=n), rng.uniform(size=n)
    y = np.sin(6 * x) + 0.5 * np.cos(3 * z) + SIGMA * rng.standard_normal(n)
    return {"x": x, "z": z}, y


def p_values(model):
    return {t.term: t.p_value for t in model.smooth_tests()}


def rowwise_products(a, b):
    """Columns a_i·b_j, i the slow index (the order of a tensor basis)."""
    return (a[:, :, None] * b[:, None, :]).reshape(len(a), -1)


def residual_outside_span(columns, basis):
    """The largest share of a column of `columns` outside the span of `basis`."""
    fitted = basis @ np.linalg.lstsq(basis, columns, rcond=None)[0]
    return np.max(np.linalg.norm(columns - fitted, axis=0) / np.linalg.norm(columns, axis=0))


# ---- 1. identifiability -----------------------------------------------------------


@pytest.mark.parametrize("seed", range(4))
def test_main_effects_stay_in_their_smooths(seed):
    data, y = additive(seed)
    with_ti = GAM(s("x") + s("z") + ti("x", "z")).fit(data, y)
    with_te = GAM(s("x") + s("z") + te("x", "z")).fit(data, y)
    main_only = GAM(s("x") + s("z")).fit(data, y)
    # z's effect (range 1 against noise 0.3 on 400 rows) is unmistakable once it has one home ...
    assert p_values(with_ti)["s(z)"] < 1e-30
    # ... while te() holds z's main effect again and takes whatever share of it the fit gives it: over
    # these seeds s(z)'s p-value lies anywhere from 0.02 to 1, never significant at 0.1%.
    assert p_values(with_te)["s(z)"] > 1e-3
    # Without an interaction, the ti adds only noise fitted in its own columns. Unpenalized, its 16
    # columns would take a share of the noise of RMS σ·√(16/n); a penalized term takes less.
    width = with_ti.term_slices_["ti(x, z)"]
    bound = SIGMA * np.sqrt((width.stop - width.start) / len(y))
    assert np.sqrt(np.mean((with_ti.predict(data) - main_only.predict(data)) ** 2)) < bound


# ---- 2. the same functions as te() ------------------------------------------------


LAM = 1e-8


def penalized_shift_bound(model, X, y):
    """A bound on max |X·β̂_λ − X·β̂_LS| at the model's fixed λ. From
    (XᵀX + λS)β̂_λ = Xᵀy = XᵀXβ̂_LS: β̂_LS − β̂_λ = (XᵀX + λS)⁻¹λSβ̂_LS, and
    ‖X(XᵀX + λS)⁻¹‖ ≤ 1/σ_min(X); each penalty is scaled to largest
    eigenvalue 1, so ‖S‖ ≤ the number of penalties."""
    beta = np.linalg.lstsq(X, y, rcond=None)[0]
    sigma_min = np.linalg.svd(X, compute_uv=False)[-1]
    shift = LAM * len(model.penalties_) * np.linalg.norm(beta) / sigma_min
    # Plus rounding: a least-squares solve loses about cond(X)·ε of the fitted values' size.
    return shift + 1e3 * np.finfo(float).eps * np.linalg.cond(X) * np.abs(y).max()


@pytest.mark.parametrize("seed", range(3))
def test_main_effects_plus_interaction_span_the_tensor_product(seed):
    data, y = additive(seed)
    y = y + np.sin(6 * data["x"]) * data["z"]  # an interaction to fit
    split = GAM(s("x", k=5) + s("z", k=5) + ti("x", "z", k=5), lam=LAM).fit(data, y)
    whole = GAM(te("x", "z", k=5), lam=LAM).fit(data, y)
    X_split, X_whole = split.model_matrix(data), whole.model_matrix(data)
    # 1 + 4 + 4 + 16 columns against 1 + 24, and each set lies in the other's span.
    assert X_split.shape == X_whole.shape
    assert residual_outside_span(X_split, X_whole) < 1e-10
    assert residual_outside_span(X_whole, X_split) < 1e-10
    least_squares = X_whole @ np.linalg.lstsq(X_whole, y, rcond=None)[0]
    for model, X in ((split, X_split), (whole, X_whole)):
        bound = penalized_shift_bound(model, X, y)
        assert bound < 1e-5  # the check has teeth: far below the fits' differences were a column missing
        np.testing.assert_allclose(model.predict(data), least_squares, rtol=0, atol=bound)


# ---- 3. each margin's constraint --------------------------------------------------


def grid():
    """Every pair of 9 x values and 7 z values: sums over the rows of one x value
    (or z value) are sums over all of the z (x) values."""
    xs, zs = np.linspace(0.0, 1.0, 9) ** 1.5, np.linspace(-2.0, 3.0, 7)
    x, z = np.meshgrid(xs, zs, indexing="ij")
    x, z = x.ravel(), z.ravel()
    y = np.sin(3 * x) + z + x * z + 0.1 * np.cos(7 * x * z)
    return {"x": x, "z": z}, y


@pytest.mark.parametrize("bs", ["cr", "bs", "ps"])
def test_interaction_columns_have_no_main_effect_on_a_grid(bs):
    data, y = grid()
    model = GAM(s("x", k=5, bs=bs) + s("z", k=5, bs=bs) + ti("x", "z", k=5, bs=bs)).fit(data, y)
    columns = model.model_matrix(data)[:, model.term_slices_["ti(x, z)"]]
    assert columns.shape[1] == 4 * 4
    # A sum over m rows of values of size ≤ max|column| carries rounding of about m·ε of that size.
    rounding = 10 * len(y) * np.finfo(float).eps * np.abs(columns).max()
    np.testing.assert_allclose(columns.sum(axis=0), 0.0, atol=rounding)
    # On a grid the main effect of x in a column is its mean over z at each x (and likewise for z):
    # both vanish for every value.
    for name in ("x", "z"):
        for value in np.unique(data[name]):
            np.testing.assert_allclose(columns[data[name] == value].sum(axis=0), 0.0, atol=rounding)


@pytest.mark.parametrize("seed", range(2))
def test_interaction_columns_are_products_of_centred_margins(seed):
    data, y = additive(seed)
    model = GAM(s("x", k=5) + s("z", k=5) + ti("x", "z", k=5) + te("x", "z", k=5)).fit(data, y)
    X = model.model_matrix(data)
    sx, sz, ti_columns, te_columns = (X[:, model.term_slices_[label]]
                                      for label in ("s(x)", "s(z)", "ti(x, z)", "te(x, z)"))
    # s(x, k=5) spans the margin's functions with zero sum over the rows, which is each margin of the
    # ti; so the ti's columns are the products of s(x)'s and s(z)'s columns in another basis.
    assert residual_outside_span(ti_columns, rowwise_products(sx, sz)) < 1e-10
    assert residual_outside_span(rowwise_products(sx, sz), ti_columns) < 1e-10
    # Hence no column of intercept, s(x), s(z) and ti is a combination of the others ...
    stacked = np.column_stack([np.ones(len(y)), sx, sz, ti_columns])
    assert np.linalg.matrix_rank(stacked) == stacked.shape[1]
    # ... where te() repeats s(x) and s(z) (4 + 4 dimensions) in its 24 columns.
    with_te = np.column_stack([np.ones(len(y)), sx, sz, te_columns])
    assert np.linalg.matrix_rank(with_te) == with_te.shape[1] - 8


def test_three_margins():
    rng = np.random.default_rng(5)
    n = 600
    data = {name: rng.uniform(size=n) for name in "abc"}
    y = data["a"] * data["b"] * data["c"] + 0.1 * rng.standard_normal(n)
    model = GAM(s("a", k=4) + s("b", k=4) + s("c", k=4) + ti("a", "b", k=4) + ti("a", "b", "c", k=4)).fit(data, y)
    X = model.model_matrix(data)
    assert model.term_slices_["ti(a, b, c)"].stop - model.term_slices_["ti(a, b, c)"].start == 27
    assert np.linalg.matrix_rank(X) == X.shape[1]  # the three-way term holds no two-way or main effect


# ---- 4. formulas and by -----------------------------------------------------------


def test_formula_parses_and_fits_as_the_terms():
    data, y = additive(0)
    parsed = parse_formula("y ~ s(x) + s(z) + ti(x, z, k=5)")
    assert parsed.terms == TermList([intercept, s("x"), s("z"), ti("x", "z", k=5)])
    by_formula = GAM("y ~ s(x) + s(z) + ti(x, z, k=5)").fit({**data, "y": y})
    by_terms = GAM(s("x") + s("z") + ti("x", "z", k=5)).fit(data, y)
    assert by_formula.coef_names_ == by_terms.coef_names_
    np.testing.assert_array_equal(by_formula.coef_, by_terms.coef_)  # the same terms: the same computation
    assert parse_formula("ti(x, z, k=(4, 6), bs=('cr', 'ps'), by=g)").terms[1] == \
        ti("x", "z", k=(4, 6), bs=("cr", "ps"), by="g")


@pytest.mark.parametrize("formula, message", [
    ("y ~ ti(x)", "needs at least two columns"),
    ("y ~ ti(x, z, knots=3)", "takes no argument 'knots'"),
])
def test_formula_errors(formula, message):
    with pytest.raises(FormulaError, match=message):
        parse_formula(formula)


@pytest.mark.parametrize("bad, message", [
    (lambda: ti("x"), "at least two columns"), (lambda: ti("x", "z", k=(5, 5, 5)), "one k and one bs"),
    (lambda: ti("x", "z", k=3), "k must be an integer"), (lambda: ti("x", "z", bs="tp"), "bs must be one of"),
    (lambda: te("x", "z", k=5.0), "k must be an integer"), (lambda: te("x", "x"), "x appears more than once"),
    (lambda: parse_formula("y ~ te(x, z, k=5.0)"), "k must be an integer"),
    (lambda: te("x", "z", bs=np.array(["cr", "tp"])), "bs must be one of .*got 'tp'"),
])
def test_bad_arguments(bad, message):
    with pytest.raises(ValueError, match=message):
        bad()


def test_per_margin_arguments_of_any_sequence():
    term = te("x", "z", k=(v for v in (5, 6)), bs=np.array(["cr", "ps"]))
    assert (term.ks, term.bss) == ([5, 6], ["cr", "ps"])


@pytest.mark.parametrize("kind", [te, ti])
def test_a_tensor_term_with_its_columns_in_another_order_is_a_repeat(kind):
    # It holds the same functions; it once passed as another term, and the overlap warning
    # then blamed empty parts of the grid.
    data, y = additive(0)
    with pytest.raises(ValueError, match="repeats a term: .*\\(x, z\\) and .*\\(z, x\\) hold the same functions"):
        GAM(kind("x", "z") + kind("z", "x")).fit(data, y)


def test_tensor_level_with_one_value_of_a_column():
    """On a level where x takes one value, te(x, z, by=g) has directions (linear in x, vanishing
    there) that neither the data nor its penalty settle: refused, naming the level as the data
    hold it. ti()'s margins are centred, so on that level it is a function of z, which the
    data settle: it fits, and its level's interaction is the truth's (none)."""
    rng = np.random.default_rng(3)
    n = 600
    g = np.repeat(np.array(["a", "b", "c"]), n // 3)
    x, z = rng.uniform(size=n), rng.uniform(size=n)
    x[g == "c"] = 0.5
    data = {"x": x, "z": z, "g": g, "y": z + x * z * (g != "c") + 0.2 * rng.standard_normal(n)}
    with pytest.raises(ValueError, match="te\\(x, z, by=g\\): the rows of level 'c' of g share a single value of x"):
        GAM("y ~ f(g) + te(x, z, k=5, by=g)").fit(data)
    model = GAM("y ~ f(g) + s(z, by=g) + s(x) + ti(x, z, k=5, by=g)").fit(data)
    effect = model.partial_effect("ti(x, z, by=g):g=c", data)[g == "c"]
    assert np.max(np.abs(effect)) < 0.05  # the noise is 0.2: no interaction is found where there is none


def with_groups(seed=0, n=600):
    data, y = additive(seed, n)
    rng = np.random.default_rng(seed + 100)
    data["g"] = rng.choice(["a", "b"], n)
    data["w"] = rng.uniform(-1.0, 1.0, n)  # centred: sums of the basis weighted by w nearly vanish
    return data, y + (data["g"] == "b")


def test_factor_by_gives_one_interaction_per_level():
    data, y = with_groups()
    model = GAM("y ~ f(g) + s(x, by=g) + s(z, by=g) + ti(x, z, k=5, by=g)").fit({**data, "y": y})
    labels = [b.label for b in model.blocks_]
    assert [lab for lab in labels if lab.startswith("ti")] == ["ti(x, z, by=g):g=a", "ti(x, z, by=g):g=b"]
    X = model.model_matrix(data)
    assert np.linalg.matrix_rank(X) == X.shape[1]
    for level in ("a", "b"):
        assert not X[data["g"] != level][:, model.term_slices_[f"ti(x, z, by=g):g={level}"]].any()
    # Each margin is centred over the level's rows, as s(·, k=5, by=g) is for that level: the level's
    # ti columns are products of those smooths' columns in another basis.
    same = GAM(f("g") + s("x", k=5, by="g") + s("z", k=5, by="g") + ti("x", "z", k=5, by="g")).fit(data, y)
    X = same.model_matrix(data)
    for level in ("a", "b"):
        rows = data["g"] == level
        sx, sz, columns = (X[rows][:, same.term_slices_[f"{t}:g={level}"]]
                           for t in ("s(x, by=g)", "s(z, by=g)", "ti(x, z, by=g)"))
        assert residual_outside_span(columns, rowwise_products(sx, sz)) < 1e-10


def test_numeric_by_multiplies_the_interaction():
    data, y = with_groups()
    plain = GAM(s("x") + s("z") + ti("x", "z", k=5)).fit(data, y)
    varying = GAM(s("x") + s("z") + ti("x", "z", k=5, by="w")).fit(data, y)
    # The margins are centred over all rows, not weighted by w, so the columns are w times ti(x, z)'s
    # (w divided by its largest |value|, which makes the fit the same in any units of w).
    times_w = data["w"][:, None] / np.abs(data["w"]).max() * plain.model_matrix(data)[:, plain.term_slices_["ti(x, z)"]]
    columns = varying.model_matrix(data)[:, varying.term_slices_["ti(x, z, by=w)"]]
    np.testing.assert_allclose(columns, times_w, rtol=1e-12, atol=1e-14)


# ---- 5. Dask ----------------------------------------------------------------------
# As in test_dask.py: data rounded to 3 decimals give every partition few enough distinct values to
# send them all, so the knots are those of the fit in memory and the fits differ only in the order
# in which row sums are added; the λ searches may then stop a few 1e-6 apart in ln λ, so λ is compared
# to 1e-5 relative and coefficients and predictions (which move less) to 1e-6.

RELATIVE = 1e-6
LAMBDA_RELATIVE = 1e-5


def rounded_frame(n=3000, seed=0):
    pd = pytest.importorskip("pandas")
    rng = np.random.default_rng(seed)
    df = pd.DataFrame({name: np.round(rng.uniform(size=n), 3) for name in ("x", "z", "w")})
    df["g"] = rng.choice(["a", "b", "c"], n)
    df["y"] = np.sin(6 * df.x) + df.z ** 2 + df.x * df.z + 0.4 * (df.g == "b") + 0.3 * rng.standard_normal(n)
    return df


def close(a, b, relative=RELATIVE):
    a, b = np.asarray(a), np.asarray(b)
    return np.max(np.abs(a - b)) <= relative * np.max(np.abs(b))


@pytest.fixture
def dask_modules():
    dask = pytest.importorskip("dask")
    pytest.importorskip("dask.dataframe")
    with dask.config.set(scheduler="synchronous"):
        yield


DASK_TERMS = {
    "plain": s("x") + s("z") + ti("x", "z", k=4) + f("g"),
    "factor by": s("x") + s("z") + ti("x", "z", k=4, by="g") + f("g"),
    "numeric by": s("x") + ti("x", "z", k=(4, 5), bs=("cr", "ps"), by="w"),
}


@pytest.mark.parametrize("name", DASK_TERMS)
def test_dask_dataframe_fit_equals_the_fit_in_memory(dask_modules, name, monkeypatch):
    import dask.dataframe as dd

    from vorna import _dask

    df = rounded_frame()
    columns = ["x", "z", "w", "g"]
    memory = GAM(DASK_TERMS[name]).fit(df[columns], df.y)
    passes = []
    original = _dask.Partitions.map

    def counting(self, function, *args, **kw):
        passes.append(function.__name__)
        return original(self, function, *args, **kw)

    monkeypatch.setattr(_dask.Partitions, "map", counting)
    ddf = dd.from_pandas(df, npartitions=5)
    spread = GAM(DASK_TERMS[name]).fit(ddf[columns], ddf.y)
    # Every margin's column sums come in the one pass that brings the other smooths' constraints.
    assert passes.count("_column_sums") == 1
    assert spread.coef_names_ == memory.coef_names_
    assert close(spread.coef_, memory.coef_)
    assert close(spread.lambdas_, memory.lambdas_, LAMBDA_RELATIVE)
    predicted = spread.predict(ddf[columns]).compute().to_numpy()
    np.testing.assert_allclose(predicted, memory.predict(df[columns]), rtol=RELATIVE,
                               atol=RELATIVE * np.abs(memory.predict(df[columns])).max())


def test_dask_array_fit_equals_the_fit_in_memory(dask_modules):
    import dask.array as da

    df = rounded_frame(seed=1)
    x = df[["x", "z"]].to_numpy()
    memory = GAM([s(0), s(1), ti(0, 1, k=5)]).fit(x, df.y.to_numpy())
    spread = GAM([s(0), s(1), ti(0, 1, k=5)]).fit(da.from_array(x, chunks=(700, 1)), df.y.to_numpy())
    assert close(spread.coef_, memory.coef_)
    assert close(spread.lambdas_, memory.lambdas_, LAMBDA_RELATIVE)
