"""Fits on Dask collections against fits of the same data in memory.

Data are rounded to 3 decimals, so every partition has few enough distinct
values to send them all and the knots are exactly those of the fit in memory;
the fits then differ only in the order in which row sums are added. The λ
search stops once ln λ moves less than 1e-6 in a pass and converges linearly,
so two fits that differ by rounding may stop a few 1e-6 apart in λ: λ is
compared to 1e-5 relative, coefficients (which move less than λ) and
predictions to 1e-6 relative, or 1e-8 of their largest size where they cross
zero. A row lost or counted twice moves the sums by 1/n = 2.5e-4 of a row's
share, far outside these."""

import os
import signal
import threading
import time

import numpy as np
import pytest

dask = pytest.importorskip("dask")
dd = pytest.importorskip("dask.dataframe")
da = pytest.importorskip("dask.array")
pd = pytest.importorskip("pandas")

from vorna import GAM, LogisticGAM, f, l, s, te  # noqa: E402

RELATIVE = 1e-6
LAMBDA_RELATIVE = 1e-5


def frame(n=6000, seed=0):
    rng = np.random.default_rng(seed)
    df = pd.DataFrame({"x": np.round(rng.uniform(size=n), 3), "z": np.round(rng.uniform(size=n), 3),
                       "u": np.round(rng.uniform(size=n), 3), "g": rng.choice(["a", "b", "c"], n)})
    eta = np.sin(6 * df.x) + df.z ** 2 - 0.5 * df.u + 0.4 * (df.g == "b")
    df["gaussian"] = eta + 0.3 * rng.standard_normal(n)
    df["poisson"] = rng.poisson(np.exp(eta)).astype(float)
    df["binomial"] = (rng.uniform(size=n) < 1 / (1 + np.exp(-eta))).astype(float)
    df["w"] = rng.uniform(0.5, 2.0, n)
    df["off"] = rng.uniform(-0.2, 0.2, n)
    return df


def same_predictions(a, b):
    # The coefficients agree to RELATIVE of their largest (where the λ searches stopped), so a
    # prediction near 0 agrees to that share of the largest prediction, not of itself.
    a, b = np.asarray(a), np.asarray(b)
    np.testing.assert_allclose(a, b, rtol=RELATIVE, atol=RELATIVE * np.abs(b).max())


def close(a, b, relative=RELATIVE):
    a, b = np.asarray(a), np.asarray(b)
    return np.max(np.abs(a - b)) <= relative * max(np.max(np.abs(b)), 1e-300)


@pytest.fixture(autouse=True)
def synchronous():
    with dask.config.set(scheduler="synchronous"):
        yield


TERMS = [s("x"), te("z", "u", k=4), f("g")]
COLUMNS = ["x", "z", "u", "g"]


@pytest.mark.parametrize("family", ["gaussian", "poisson", "binomial"])
def test_dask_dataframe_fit_equals_the_fit_in_memory(family):
    df = frame()
    ddf = dd.from_pandas(df, npartitions=7)
    kw = dict(sample_weight=df.w, offset=df.off) if family != "binomial" else {}
    dkw = dict(sample_weight=ddf.w, offset=ddf.off) if family != "binomial" else {}
    memory = GAM(TERMS, family=family).fit(df[COLUMNS], df[family], **kw)
    spread = GAM(TERMS, family=family).fit(ddf[COLUMNS], ddf[family], **dkw)
    assert close(spread.coef_, memory.coef_)
    assert close(spread.lambdas_, memory.lambdas_, LAMBDA_RELATIVE)
    for attr in ("deviance_", "null_deviance_", "scale_"):
        assert close(getattr(spread, attr), getattr(memory, attr)), attr
    # EDF and V_p follow λ to first order, and λ is where a search stopped.
    for attr in ("edf_", "aic_", "score_", "cov_"):
        assert close(getattr(spread, attr), getattr(memory, attr), LAMBDA_RELATIVE), attr
    assert spread.fitted_values_ is None and memory.fitted_values_ is not None

    mu = spread.predict(ddf[COLUMNS], offset=ddf.off)
    assert isinstance(mu, dd.Series)
    same_predictions(mu.compute().to_numpy(), memory.predict(df[COLUMNS], offset=df.off))
    eta, se = spread.predict_link(ddf[COLUMNS], se=True)
    ref_eta, ref_se = memory.predict_link(df[COLUMNS], se=True)
    same_predictions(eta.compute().to_numpy(), ref_eta)
    same_predictions(se.compute().to_numpy(), ref_se)
    # The model fitted on partitions is an ordinary model: it predicts on pandas data too.
    same_predictions(spread.predict(df[COLUMNS]), memory.predict(df[COLUMNS]))


def test_dask_array_with_numpy_response_and_a_formula():
    df = frame()
    x = df[["x", "z"]].to_numpy()
    dx = da.from_array(x, chunks=(1000, 1))  # column chunks are joined into whole rows
    memory = GAM([s(0), s(1, bs="bs")], family="poisson").fit(x, df.poisson.to_numpy())
    spread = GAM([s(0), s(1, bs="bs")], family="poisson").fit(dx, df.poisson.to_numpy())
    assert close(spread.coef_, memory.coef_)
    interval = spread.confidence_interval(dx)
    assert isinstance(interval, da.Array) and interval.shape == (len(df), 2)
    same_predictions(interval.compute(), memory.confidence_interval(x))

    ddf = dd.from_pandas(df, npartitions=5)
    formula = "gaussian ~ s(x, k=8) + l(u) + f(g)"
    assert close(GAM(formula).fit(ddf).coef_, GAM(formula).fit(df).coef_)


def test_logistic_classes_from_partitions():
    df = frame()
    labels = np.where(df.binomial > 0, "yes", "no")
    ddf = dd.from_pandas(df.assign(label=labels), npartitions=4)
    memory = LogisticGAM([s("x"), l("z")]).fit(df[["x", "z"]], labels)
    spread = LogisticGAM([s("x"), l("z")]).fit(ddf[["x", "z"]], ddf.label)
    assert list(spread.classes_) == ["no", "yes"]
    assert close(spread.coef_, memory.coef_)
    assert (spread.predict(ddf[["x", "z"]]).compute().to_numpy() == memory.predict(df[["x", "z"]])).all()
    same_predictions(spread.predict_proba(ddf[["x", "z"]]).compute().to_numpy(), memory.predict_proba(df[["x", "z"]]))


def test_fixed_knots_make_continuous_data_fit_identically():
    rng = np.random.default_rng(3)
    x = rng.uniform(size=(8000, 1))
    y = np.sin(5 * x[:, 0]) + 0.2 * rng.standard_normal(8000)
    knots = np.linspace(0, 1, 10)
    memory = GAM([s(0, knots=knots)]).fit(x, y)
    spread = GAM([s(0, knots=knots)]).fit(da.from_array(x, chunks=(900, 1)), da.from_array(y, chunks=900))
    assert close(spread.coef_, memory.coef_)


def test_approximate_knots_sit_near_the_quantiles_they_stand_for():
    # Continuous data: partitions send quantile grids, merged on the client.
    rng = np.random.default_rng(4)
    x = rng.lognormal(size=(60000, 1))
    y = np.log1p(x[:, 0]) + 0.1 * rng.standard_normal(60000)
    spread = GAM([s(0, k=12)]).fit(da.from_array(x, chunks=(7000, 1)), da.from_array(y, chunks=7000))
    knots = spread.blocks_[1].spec[2][0][1]
    exact = np.quantile(np.unique(x), np.linspace(0, 1, 12))
    assert knots[0] == exact[0] and knots[-1] == exact[-1]
    # Where each knot falls in the data, against where it should: within 0.1% of the rows.
    rank = np.searchsorted(np.sort(x[:, 0]), knots) / len(x)
    assert np.max(np.abs(rank - np.linspace(0, 1, 12))) < 1e-3


@pytest.mark.parametrize("fault, message", [
    ("nan", r"partition 2: column 'x' has a missing value \(NaN\) at row 5"),
    ("dtype", r"partition 1: column 'x' is not numeric"),
    ("weight", r"partition 3: sample_weight must be finite and non-negative, but sample_weight\[7\] = -1.0"),
])
def test_a_bad_partition_fails_the_fit_naming_it(fault, message):
    df = frame(n=2000)
    parts = [df.iloc[i * 400:(i + 1) * 400].copy() for i in range(5)]
    if fault == "nan":
        parts[2].iloc[5, parts[2].columns.get_loc("x")] = np.nan
    if fault == "weight":
        parts[3].iloc[7, parts[3].columns.get_loc("w")] = -1.0
    if fault == "dtype":
        parts[1]["x"] = "high"
    ddf = dd.from_delayed([dask.delayed(p) for p in parts], meta=df.iloc[:0], verify_meta=False)
    with pytest.raises(ValueError, match=message):
        GAM([s("x"), f("g")]).fit(ddf[["x", "g"]], ddf.gaussian, sample_weight=ddf.w)


def test_vectors_beside_partitions_are_read_as_in_memory():
    # The Dask path took np.asarray of a masked y (fitting the -999 under its mask) and refused
    # weights held as text that a fit in memory reads.
    df = frame(n=2000)
    ddf = dd.from_pandas(df[["x", "g"]], npartitions=4)
    hidden = np.ma.masked_array(df.gaussian.to_numpy().copy(), mask=np.arange(2000) == 9)
    hidden.data[9] = -999.0
    with pytest.raises(ValueError, match="y is a masked array with masked entries"):
        GAM([s("x"), f("g")]).fit(ddf, hidden)
    memory = GAM([s("x"), f("g")]).fit(df[["x", "g"]], df.gaussian, sample_weight=df.w.astype(str))
    spread = GAM([s("x"), f("g")]).fit(ddf, dd.from_pandas(df.gaussian, npartitions=4),
                                       sample_weight=dd.from_pandas(df.w.astype(str), npartitions=4))
    assert close(spread.coef_, memory.coef_)
    # One number for every row, as in memory.
    memory = GAM([s("x"), f("g")]).fit(df[["x", "g"]], df.gaussian, sample_weight=2.0, offset=0.5)
    spread = GAM([s("x"), f("g")]).fit(ddf, dd.from_pandas(df.gaussian, npartitions=4), sample_weight=2.0, offset=0.5)
    assert close(spread.coef_, memory.coef_)
    with pytest.raises(ValueError, match=r"^sample_weight must be finite and non-negative, but .*\[0\] = nan"):
        GAM([s("x")]).fit(ddf, dd.from_pandas(df.gaussian, npartitions=4), sample_weight=np.nan)


def test_an_unseen_level_at_prediction_names_the_partition():
    df = frame(n=2000)
    model = GAM([s("x"), f("g")]).fit(df[["x", "g"]], df.gaussian)
    new = df[["x", "g"]].copy()
    new.iloc[1500, new.columns.get_loc("g")] = "zzz"
    with pytest.raises(ValueError, match=r"partition 3: column 'g' has the level 'zzz'"):
        model.predict(dd.from_pandas(new, npartitions=4)).compute()


def test_a_linear_column_far_from_zero_is_centred_on_partitions_too():
    # A time stamp beside the intercept is fitted as x − c in memory; on partitions its range
    # comes from the first pass, with no pass of its own, and the fits agree.
    df = frame(n=3000)
    df["t"] = 1.7e9 + 86400 * df.u
    df["y"] = df.gaussian + 1e-5 * (df.t - 1.7e9)
    terms = s("x") + l("t")
    memory = GAM(terms).fit(df[["x", "t"]], df.y)
    ddf = dd.from_pandas(df[["x", "t", "y"]], npartitions=3)
    partitions = GAM(terms).fit(ddf[["x", "t"]], ddf.y)
    assert close(partitions.coef_, memory.coef_)
    same_predictions(partitions.predict(df[["x", "t"]]), memory.predict(df[["x", "t"]]))


def test_setting_up_reads_few_passes():
    df = frame(n=3000)
    ddf = dd.from_pandas(df, npartitions=3)
    calls = []
    from vorna import _dask

    original = _dask.Partitions.map

    def counting(self, function, *args, **kw):
        calls.append(function.__name__)
        return original(self, function, *args, **kw)

    _dask.Partitions.map = counting
    try:
        GAM([s("x"), s("z"), f("g")]).fit(ddf[COLUMNS], ddf.gaussian)
    finally:
        _dask.Partitions.map = original
    # The smooth columns' summaries with the rows' moments, factor levels, every smooth's constraint,
    # then a Gaussian fit's one pass with cross products: four passes in all.
    assert calls == ["_first_pass", "_levels", "_column_sums", "_pass"]


def test_a_selected_poisson_fit_makes_no_closing_pass():
    df = frame(n=3000)
    ddf = dd.from_pandas(df, npartitions=3)
    from vorna import _dask

    requests = []
    original = _dask._pass

    def recording(*args):
        requests.append(args[-1])
        return original(*args)

    _dask._pass = recording
    try:
        GAM([s("x"), s("z")], family="poisson").fit(ddf[COLUMNS], ddf.poisson)
    finally:
        _dask._pass = original
    # The log-likelihood and the null deviance come with the last PiRLS pass's cross products.
    assert requests[-1]["cross_products"] and requests[-1]["likelihood_scales"] == (1.0, 1.0)
    assert requests[-1]["null_mean"] is not None


# ---- a local cluster of worker processes -----------------------------------------


@pytest.fixture(scope="module")
def client():
    distributed = pytest.importorskip("distributed")
    with dask.config.set({"distributed.worker.daemon": False}):
        cluster = distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, host="127.0.0.1",
                                           dashboard_address=None, silence_logs=50)
    c = distributed.Client(cluster)
    yield c
    c.close()
    cluster.close()


def slow_part(df, seconds):
    time.sleep(seconds)
    return df


@pytest.mark.parametrize("family", ["gaussian", "poisson", "binomial"])
def test_cluster_fit_equals_the_fit_in_memory(client, family):
    df = frame(n=4000)
    ddf = dd.from_pandas(df, npartitions=6)
    with dask.config.set(scheduler=client):
        spread = GAM(TERMS, family=family).fit(ddf[COLUMNS], ddf[family])
        mu = spread.predict(ddf[COLUMNS]).compute().to_numpy()
    memory = GAM(TERMS, family=family).fit(df[COLUMNS], df[family])
    assert close(spread.coef_, memory.coef_) and close(spread.lambdas_, memory.lambdas_, LAMBDA_RELATIVE)
    same_predictions(mu, memory.predict(df[COLUMNS]))


def test_cluster_fit_survives_a_worker_killed_during_it(client):
    df = frame(n=4000)
    parts = [dask.delayed(slow_part)(df.iloc[i * 400:(i + 1) * 400], 0.1) for i in range(10)]
    ddf = dd.from_delayed(parts, meta=df.iloc[:0])
    memory = GAM(TERMS, family="poisson").fit(df[COLUMNS], df.poisson)
    outcome = {}

    def run():
        with dask.config.set(scheduler=client):
            outcome["model"] = GAM(TERMS, family="poisson").fit(ddf[COLUMNS], ddf.poisson)

    worker = threading.Thread(target=run)
    worker.start()
    time.sleep(2.0)  # inside the fit: setting up takes ~4 passes of ≥ 0.5 s
    assert worker.is_alive()
    pid = next(iter(client.run(os.getpid).values()))
    os.kill(pid, signal.SIGKILL)
    worker.join(timeout=300)
    assert "model" in outcome
    assert close(outcome["model"].coef_, memory.coef_) and close(outcome["model"].lambdas_, memory.lambdas_, LAMBDA_RELATIVE)


@pytest.mark.parametrize("family, terms, sample_pass", [
    ("poisson", TERMS, "_column_sums_and_sample"),
    ("binomial", TERMS, "_column_sums_and_sample"),
    # A varying coefficient has no constraint, so no pass for column sums to bring the sample with.
    ("poisson", [s("x", by="u")], "_sample_rows"),
])
def test_a_large_fit_starts_from_every_kth_row_as_in_memory(family, terms, sample_pass):
    # From 2·10⁵ rows on, a fit whose working model depends on β starts from a fit on every
    # k-th row of X (here k = 10), whatever the partitions: seven of uneven length, none a
    # multiple of k, so each partition's first sampled row depends on the rows before it.
    df = frame(n=250_000, seed=3)
    ddf = dd.from_pandas(df, npartitions=7)
    assert len(set(ddf.map_partitions(len).compute())) > 1
    from vorna import _dask

    seen = {"passes": []}
    originals = _dask._engine.fit, _dask._engine.fit_passes
    mapping = _dask.Partitions.map

    def counting(self, function, *args, **kw):
        seen["passes"].append(function.__name__)
        return mapping(self, function, *args, **kw)

    def sample_fit(specs, data, y, *args, **kwargs):
        seen["y"] = np.array(y)
        return originals[0](specs, data, y, *args, **kwargs)

    def fit_passes(*args, **kwargs):
        seen["warm"] = kwargs["warm"]
        return originals[1](*args, **kwargs)

    _dask._engine.fit, _dask._engine.fit_passes, _dask.Partitions.map = sample_fit, fit_passes, counting
    try:
        from_dask = GAM(terms, family=family).fit(ddf[COLUMNS], ddf[family])
    finally:
        _dask._engine.fit, _dask._engine.fit_passes = originals
        _dask.Partitions.map = mapping
    np.testing.assert_array_equal(seen["y"], df[family].to_numpy()[::10])
    assert seen["warm"] is not None
    # The sample comes with the set-up's pass for the smooths' constraints where there is one.
    assert sample_pass in seen["passes"] and seen["passes"].index(sample_pass) < seen["passes"].index("_pass")
    # The fit in memory starts from the same sample, so the two differ by the order of sums only.
    in_memory = GAM(terms, family=family).fit(df[COLUMNS], df[family])
    assert close(from_dask.coef_, in_memory.coef_)
    assert close(from_dask.lambdas_, in_memory.lambdas_, LAMBDA_RELATIVE)


@pytest.mark.parametrize("n, width, stride", [
    (199_999, 3, None), (200_000, 3, 8), (10**6, 3, 40), (4 * 10**7, 3, 40),
    (10**9, 10, 1000), (10**6, 500, 40), (10**7, 500, 400),
])
def test_the_sample_is_the_fit_in_memorys_up_to_what_a_client_holds(n, width, stride):
    # In memory: every k-th row, k = min(40, n // 25 000), from 2·10⁵ rows on. On Dask the client
    # holds and fits the sample, so where its rows would exceed 10⁷ values k grows, down to
    # 25 000 rows at the least.
    from vorna import _dask

    sample = _dask._sample(GAM([s("x")], family="poisson"), [n // 2, n - n // 2], width, "poisson", "log", True,
                           None, lambda v: v)
    assert (sample is None) if stride is None else (sample.stride == stride and sample.starts == [0, n // 2])
    if sample is not None:
        rows = -(-n // sample.stride)
        assert rows * width <= 10**7 or rows >= 25_000
    gaussian = _dask._sample(GAM([s("x")]), [n], width, "gaussian", "identity", True, None, lambda v: v)
    assert gaussian is None  # its working model does not depend on β: nothing to start from


def test_a_warm_start_that_is_not_a_tuple_is_a_type_error():
    from vorna import _engine

    with pytest.raises(TypeError, match="warm must be a tuple"):
        _engine.fit_passes(1, 0, (1.0, 0.0, 0.0, 0.0, 1, 1, 0), lambda r: {}, lambda r: {}, [], "poisson", "log",
                           "REML", warm=[np.zeros(1), np.ones(1)])


def test_a_model_without_an_intercept_codes_every_level_on_partitions_too():
    df = frame(2000)
    ddf = dd.from_pandas(df, npartitions=4)
    memory = GAM([s("x"), f("g")], fit_intercept=False).fit(df[COLUMNS], df.gaussian)
    spread = GAM([s("x"), f("g")], fit_intercept=False).fit(ddf[COLUMNS], ddf.gaussian)
    assert spread.coef_names_ == memory.coef_names_ and len(memory.coef_names_) == 9 + 3
    assert close(spread.coef_, memory.coef_)


def test_vectors_pair_with_the_rows_of_x_by_position():
    # y, weights and offsets were joined to X on the index: a y built from an array beside an X
    # indexed by ids gave every row a missing y, reported as "partition 7: y has a missing or
    # non-finite value" for 4 partitions, and a pandas offset at prediction was matched by label.
    df = frame(2000).set_axis(np.arange(2000) * 3 + 100)
    ddf = dd.from_pandas(df, npartitions=4)
    memory = GAM([s("x"), f("g")], family="poisson").fit(df[COLUMNS], df.poisson.to_numpy(), offset=df.off.to_numpy())
    lengths = tuple(ddf.map_partitions(len).compute())
    as_series = [dd.from_dask_array(da.from_array(df[c].to_numpy(), chunks=(lengths,))) for c in ("poisson", "off")]
    spread = GAM([s("x"), f("g")], family="poisson").fit(ddf[COLUMNS], as_series[0], offset=as_series[1])
    assert close(spread.coef_, memory.coef_)
    offset = pd.Series(df.off.to_numpy()[::-1].copy(), index=df.index[::-1])  # labels reversed, values in row order
    same_predictions(spread.predict(ddf[COLUMNS], offset=offset.to_numpy()[::-1]).compute(),
                     memory.predict(df[COLUMNS], offset=df.off.to_numpy()))
    short = dd.from_dask_array(da.from_array(df.poisson.to_numpy()[:-1], chunks=(lengths[:-1] + (lengths[-1] - 1,),)))
    with pytest.raises(ValueError, match=r"partition 3: y has 499 rows where X has 500"):
        GAM([s("x")], family="poisson").fit(ddf[COLUMNS], short)


def test_a_dask_array_vector_of_unknown_or_wrong_length():
    df = frame(2000)
    X = da.from_array(df[["x", "z"]].to_numpy(), chunks=(500, 2))
    y = da.from_array(df.gaussian.to_numpy(), chunks=500)
    memory = GAM([s(0), s(1)]).fit(df[["x", "z"]].to_numpy(), df.gaussian.to_numpy())
    unknown = y[y > -np.inf]  # the same values, chunk sizes unknown
    assert close(GAM([s(0), s(1)]).fit(X, unknown).coef_, memory.coef_)
    for v, name in ((y[:-1], "y"), (da.ones(2001, chunks=500), "sample_weight")):
        kw = {"sample_weight": v} if name == "sample_weight" else {}
        with pytest.raises(ValueError, match=f"{name} has {len(v)} entries for 2000 rows of X"):
            GAM([s(0), s(1)]).fit(X, y if kw else v, **kw)


@pytest.mark.parametrize("method", ["partial_effects", "model_matrix", "plot_diagnostics"])
def test_whole_array_methods_refuse_dask_data_by_name(method):
    from vorna.plot import plot_diagnostics

    df = frame(500)
    model = GAM([s("x")]).fit(df[COLUMNS], df.gaussian)
    call = (lambda X: plot_diagnostics(model, X)) if method == "plot_diagnostics" else getattr(model, method)
    with pytest.raises(TypeError, match=f"{method}\\(\\) takes data in memory"):
        call(dd.from_pandas(df[COLUMNS], npartitions=2))


def test_columns_read_alike_in_memory_and_on_partitions():
    # A categorical column of numbers was numeric in memory (s(x, by=k) one varying-coefficient
    # smooth, l(k) accepted) and a factor on Dask (one smooth per level); integer column labels
    # worked in memory only.
    rng = np.random.default_rng(0)
    n = 2000
    df = pd.DataFrame({"x": np.round(rng.uniform(size=n), 3), "k": pd.Categorical(rng.choice([1, 2, 3], n))})
    y = np.sin(6 * df.x) + 0.5 * df.k.astype(int) * df.x + 0.3 * rng.standard_normal(n)
    ddf = dd.from_pandas(df, npartitions=4)
    for terms in ([s("x", by="k", k=6)], None):
        memory, spread = GAM(terms).fit(df, y), GAM(terms).fit(ddf, dd.from_pandas(y, npartitions=4))
        assert list(memory.term_slices_) == list(spread.term_slices_)
        assert "f(k)" in memory.term_slices_ or "s(x, by=k):k=3" in memory.term_slices_
        assert close(spread.coef_, memory.coef_)
    with pytest.raises(ValueError, match="column 'k' is categorical; use f"):
        GAM([l("k")]).fit(df, y)
    # Numbers held as Python objects or strings are read as numbers, on Dask as in memory.
    z = np.round(rng.uniform(size=n), 3)
    held = pd.DataFrame({"x": df.x.astype(object), "z": pd.Series(z).astype(str).astype("string")})
    for terms in ([s("x")], [s("z")], None):
        memory = GAM(terms).fit(held, y)
        spread = GAM(terms).fit(dd.from_pandas(held, npartitions=4), dd.from_pandas(y, npartitions=4))
        assert list(memory.term_slices_) == list(spread.term_slices_)
        assert close(spread.coef_, memory.coef_)
    numbered = pd.DataFrame({0: df.x, 1: rng.uniform(size=n)})
    memory = GAM([s(0), s(1)]).fit(numbered, y)
    spread = GAM([s(0), s(1)]).fit(dd.from_pandas(numbered, npartitions=4), dd.from_pandas(y, npartitions=4))
    assert close(spread.coef_, memory.coef_)


def test_predictions_and_scores_take_a_dask_array_offset_and_dask_labels():
    df = frame(2000)
    ddf = dd.from_pandas(df, npartitions=4)
    model = GAM([s("x"), f("g")], family="poisson").fit(df[COLUMNS], df.poisson, offset=df.off)
    for chunks in (500, 700):  # X's partitions, and others
        off = da.from_array(df.off.to_numpy(), chunks=chunks)
        same_predictions(model.predict(ddf[COLUMNS], offset=off).compute(),
                         model.predict(df[COLUMNS], offset=df.off))
    labels = np.where(df.binomial > 0, "yes", "no")
    classifier = LogisticGAM([s("x"), f("g")]).fit(df[COLUMNS], labels)
    assert classifier.score(ddf[COLUMNS], labels) == classifier.score(df[COLUMNS], labels)


def test_a_lazy_prediction_is_of_the_fit_it_was_made_from():
    # The collection held the model itself, pickled when computed: a refit of the same object in
    # between made it the later fit's predictions (0.9 off), with no error.
    df = frame(2000)
    ddf = dd.from_pandas(df[COLUMNS], npartitions=3)
    model = GAM(TERMS).fit(df[COLUMNS], df.gaussian)
    expected = model.predict(df[COLUMNS])
    lazy = model.predict(ddf)
    model.fit(df[COLUMNS], df.poisson)
    # Partitions of the rows evaluate the same sums in blocks of other lengths: rounding apart.
    np.testing.assert_allclose(lazy.compute().to_numpy().reshape(-1), expected, rtol=1e-12, atol=1e-15)


def test_dask_tasks_do_not_carry_a_fit_in_memorys_row_vectors():
    # A model fitted in memory holds three n-vectors; every task of a Dask refit or prediction
    # pickled them (2.9 GiB moved for a 1e6-row refit on a cluster).
    cloudpickle = pytest.importorskip("cloudpickle")
    df = frame(200_000)
    model = GAM(TERMS).fit(df[COLUMNS], df.gaussian)
    per_row = 3 * 8 * len(df)
    graph = model.predict(dd.from_pandas(df[COLUMNS].head(100), npartitions=2)).__dask_graph__()
    assert len(cloudpickle.dumps(dict(graph))) < per_row / 10
    assert len(cloudpickle.dumps(model._lean()._encode_target)) < per_row / 10


def test_predictions_on_an_array_of_unknown_chunk_sizes_with_an_offset_in_memory():
    # After a filter the chunk sizes are unknown; an offset given as a vector or a number failed
    # ("'float' object cannot be interpreted as an integer").
    df = frame(3000)
    x = df[["x", "z"]].to_numpy()
    model = GAM(s(0) + s(1), family="poisson").fit(x, df.poisson, offset=df.off.to_numpy())
    X = da.from_array(x, chunks=(1000, 2))
    kept = X[X[:, 0] > 0.3]
    rows = x[:, 0] > 0.3
    off = df.off.to_numpy()[rows]
    np.testing.assert_allclose(model.predict(kept, offset=off).compute(), model.predict(x[rows], offset=off),
                               rtol=1e-12)
    np.testing.assert_allclose(model.predict(kept, offset=0.1).compute(), model.predict(x[rows], offset=0.1),
                               rtol=1e-12)
    # In memory a number is one value for every row too (it was refused there).
    np.testing.assert_array_equal(model.predict(x, offset=0.1), model.predict(x, offset=np.full(len(x), 0.1)))
    np.testing.assert_array_equal(GAM(s(0), family="poisson").fit(x, df.poisson, sample_weight=2.0).coef_,
                                  GAM(s(0), family="poisson").fit(x, df.poisson, sample_weight=np.full(len(x), 2.0)).coef_)
    # The sizes are found on a copy: the caller's array (and its pairing with vectors filtered alike) stays.
    assert np.isnan(kept.chunks[0][0])
    with pytest.raises(ValueError, match="offset must have one value per row"):
        model.predict(kept, offset=off[:-1])


def test_a_classifier_with_string_labels_on_a_dask_array():
    # The labels were carried beside X's chunks as float64: "could not convert string to float".
    df = frame(2000)
    labels = np.where(df.binomial == 1, "pos", "neg")
    x = df[["x", "z"]].to_numpy()
    expected = LogisticGAM(s(0) + s(1)).fit(x, labels)
    fitted = LogisticGAM(s(0) + s(1)).fit(da.from_array(x, chunks=(500, 2)), da.from_array(labels, chunks=500))
    assert list(fitted.classes_) == ["neg", "pos"]
    same_predictions(fitted.coef_, expected.coef_)
