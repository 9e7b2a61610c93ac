"""Plots draw what the model computes: the partial effect and its band."""

import numpy as np
import pytest

matplotlib = pytest.importorskip("matplotlib")
matplotlib.use("Agg")

from vorna import GAM, f, l, s, te  # noqa: E402
from vorna.plot import plot_diagnostics, plot_terms  # noqa: E402


@pytest.fixture
def fitted(rng):
    n = 400
    d = {"x": rng.uniform(0, 1, n), "z": rng.uniform(0, 1, n), "w": rng.uniform(0, 1, n),
         "g": rng.choice(["a", "b"], n), "u": rng.normal(size=n)}
    y = np.sin(6 * d["x"]) + d["z"] * d["w"] + (d["g"] == "b") + 0.3 * d["u"] + 0.2 * rng.standard_normal(n)
    return GAM(s("x", by="g") + te("z", "w") + f("g") + l("u")).fit(d, y), d, y


def test_term_panels_show_effect_and_band(fitted):
    model, data, _ = fitted
    fig = plot_terms(model, data, level=0.9, n_grid=50)
    visible = [ax for ax in fig.axes if ax.get_visible() and ax.get_label() != "<colorbar>"]
    assert len(visible) == 5  # two by-level smooths, the surface, the factor and the linear term
    ax = visible[1]  # s(x, by=g):g=b
    line = ax.lines[0]
    grid, drawn = line.get_xdata(), line.get_ydata()
    expected, se = model.partial_effect("s(x, by=g):g=b", {"x": grid, "g": np.repeat("b", len(grid))}, se=True)
    np.testing.assert_allclose(drawn, expected)
    band = ax.collections[0].get_paths()[0].vertices
    # The band spans effect ± z·se with z the 90% normal quantile.
    assert band[:, 1].max() == pytest.approx(np.max(expected + 1.6448536269514722 * se), rel=1e-9)
    matplotlib.pyplot.close(fig)


def test_unknown_term_is_refused(fitted):
    with pytest.raises(ValueError, match="unknown terms"):
        plot_terms(fitted[0], fitted[1], terms=["s(q)"])


def test_diagnostics_panel(fitted):
    model, data, y = fitted
    fig = plot_diagnostics(model, data, y)
    assert len(fig.axes) == 4
    np.testing.assert_allclose(fig.axes[0].lines[0].get_ydata(), model.residuals(data, y))
    np.testing.assert_allclose(model.residuals(data, y), y - model.predict(data))  # Gaussian: deviance = response
    matplotlib.pyplot.close(fig)


def test_diagnostics_of_a_classifier_and_of_a_fit_with_an_offset(rng):
    from vorna import LogisticGAM
    x = rng.uniform(-2, 2, (200, 1))
    labels = np.where(rng.uniform(size=200) < 1 / (1 + np.exp(-2 * x[:, 0])), "yes", "no")
    model = LogisticGAM(s(0)).fit(x, labels)
    fig = plot_diagnostics(model, x, labels)
    np.testing.assert_allclose(fig.axes[3].lines[0].get_xdata(), model.predict_proba(x)[:, 1])
    np.testing.assert_array_equal(fig.axes[3].lines[0].get_ydata(), labels == "yes")
    matplotlib.pyplot.close(fig)
    off = rng.normal(0, 1, 200)
    y = rng.poisson(np.exp(x[:, 0] + off)).astype(float)
    model = GAM(s(0), family="poisson").fit(x, y, offset=off)
    fig = plot_diagnostics(model, x, y, offset=off)
    np.testing.assert_allclose(fig.axes[3].lines[0].get_xdata(), model.fitted_values_, rtol=1e-9)
    matplotlib.pyplot.close(fig)


def test_a_by_level_panel_shows_its_own_rows_and_a_by_of_the_own_column_its_product(rng):
    # A factor-by panel was drawn over every row's range with every row in the rug (pure
    # extrapolation shown as data); s(x, by=x) was drawn flat, its grid overwritten by by = 1.
    n = 400
    g = np.where(rng.uniform(size=n) < 0.5, "early", "late")
    x = np.where(g == "early", rng.uniform(0, 1, n), rng.uniform(4, 5, n))
    y = np.sin(2 * x) + 0.1 * rng.standard_normal(n)
    levels = GAM(s("x", by="g") + f("g")).fit({"x": x, "g": g}, y)
    fig = plot_terms(levels, {"x": x, "g": g}, terms=["s(x, by=g):g=early", "s(x, by=g):g=late"], n_grid=30)
    for ax, level in zip(fig.axes, ["early", "late"]):
        curve, rug = ax.get_lines()[0].get_xdata(), ax.get_lines()[1].get_xdata()
        np.testing.assert_array_equal(np.sort(rug), np.sort(x[g == level]))
        assert curve.min() == x[g == level].min() and curve.max() == x[g == level].max()
    product = GAM(s("x", by="x")).fit({"x": x}, x * np.sin(2 * x))
    fig = plot_terms(product, {"x": x}, "s(x, by=x)", n_grid=30)
    grid, drawn = fig.axes[0].get_lines()[0].get_data()
    np.testing.assert_allclose(drawn, product.partial_effect("s(x, by=x)", {"x": grid}), rtol=1e-12)
    assert np.ptp(drawn) > 1.0


@pytest.mark.parametrize("arguments, message", [
    ({"level": 95}, "level must lie strictly between 0 and 1"), ({"level": 0}, "level must lie strictly"),
    ({"ncols": 0}, "ncols must be an integer of at least 1"), ({"n_grid": 1}, "n_grid must be an integer of at least 2"),
    ({"terms": "s(q)"}, r"unknown terms \['s\(q\)'\]")])
def test_plot_terms_checks_its_arguments(fitted, arguments, message):
    model, data, _ = fitted
    with pytest.raises(ValueError, match=message):
        plot_terms(model, data, **arguments)
    with pytest.raises(ValueError, match="X has no rows"):
        plot_terms(model, {k: v[:0] for k, v in data.items()})
    dd = pytest.importorskip("dask.dataframe")
    pd = pytest.importorskip("pandas")
    with pytest.raises(TypeError, match="plot_terms\\(\\) takes data in memory, not a Dask collection"):
        plot_terms(model, dd.from_pandas(pd.DataFrame(data), npartitions=2))
