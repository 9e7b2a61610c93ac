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
