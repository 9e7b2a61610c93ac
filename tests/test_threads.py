"""Long computations release the GIL, keep the per-object access rule and stop
promptly on Ctrl-C, leaving the model as it was."""

import os
import signal
import threading
import time

import numpy as np
import pytest

import vorna
import vorna_core


def big_problem(n=300_000, seed=0):
    rng = np.random.default_rng(seed)
    x = rng.uniform(0, 1, (n, 3))
    y = np.sin(2 * np.pi * x[:, 0]) + x[:, 1] ** 2 + 0.3 * rng.standard_normal(n)
    return x, y


def spin_during(call):
    """How often a Python thread could increment a counter while `call` ran, per second."""
    count = 0
    done = threading.Event()

    def spin():
        nonlocal count
        while not done.is_set():
            count += 1

    spinner = threading.Thread(target=spin)
    spinner.start()
    start = time.perf_counter()
    try:
        call()
    finally:
        elapsed = time.perf_counter() - start
        done.set()
        spinner.join()
    return count / elapsed


def seconds_to_stop(run, delay):
    """Runs `run`, sending SIGINT `delay` seconds in; it must raise KeyboardInterrupt.
    Returns the seconds from the signal to the end of the call."""
    sent = []

    def interrupt():
        time.sleep(delay)
        sent.append(time.perf_counter())
        os.kill(os.getpid(), signal.SIGINT)

    killer = threading.Thread(target=interrupt)
    killer.start()
    with pytest.raises(KeyboardInterrupt):
        run()
    stopped = time.perf_counter()
    killer.join()
    return stopped - sent[0]


def idle_rate():
    return spin_during(lambda: time.sleep(0.2))


@pytest.mark.parametrize("fit", [
    lambda x, y: vorna_core.GAM("gaussian").fit(x, y, [10, 10, 10]),
    lambda x, y: vorna_core.GAM("poisson").fit(x, np.round(np.exp(y)), [10, 10, 10]),
    lambda x, y: vorna.GAM(vorna.s(0) + vorna.s(1) + vorna.s(2)).fit(x, y),
    # a wide gradient on few rows: seconds in LAPACK, once with the GIL held
    lambda x, y: vorna_core.evaluate_gradient(x[:60, :2], y[:60], [1.0, 1.0], [800, 8]),
], ids=["core-gaussian", "core-poisson", "vorna", "core-gradient"])
def test_fits_release_the_gil(fit):
    x, y = big_problem()
    # With the GIL held the spinner barely runs (a switch interval of 5 ms at best); released,
    # it runs at a sizeable fraction of its idle rate on the second core.
    assert spin_during(lambda: fit(x, y)) > 0.2 * idle_rate()


def test_a_second_call_on_the_same_object_fails_at_once_and_others_run():
    x, y = big_problem()
    gam = vorna_core.GAM("gaussian")
    errors = []

    def fit():
        gam.fit(x, y, [10, 10, 10])

    worker = threading.Thread(target=fit)
    worker.start()
    time.sleep(0.02)
    with pytest.raises(RuntimeError, match="Already borrowed"):
        gam.fit(x, y, [10, 10, 10])
    other = vorna_core.GAM("gaussian")
    other.fit(x[:1000], y[:1000], [5, 5, 5])  # another object is free to run
    worker.join()
    assert not errors and gam.get_coefficients() is not None


def test_a_second_fit_of_a_vorna_model_in_another_thread_is_refused():
    # Both fits ran; each restores the state it found when it fails, so a failing first fit undid
    # a second one that had succeeded (the model was left unfitted).
    from vorna import GAM, s
    x, y = big_problem(n=2000)
    model = GAM(s(0) + s(1))
    inside, release = threading.Event(), threading.Event()
    real_fit = model._fit

    def held_fit(*args):
        inside.set()
        release.wait(10)
        return real_fit(*args)

    model._fit = held_fit
    worker = threading.Thread(target=lambda: model.fit(x[:, :2], y))
    worker.start()
    try:
        assert inside.wait(10)
        with pytest.raises(RuntimeError, match="being fitted in another thread; fit a copy"):
            model.fit(x[:, :2], y)
    finally:
        release.set()
        worker.join()
    del model._fit
    assert model.coef_ is not None
    np.testing.assert_array_equal(model.fit(x[:, :2], y).coef_, GAM(s(0) + s(1)).fit(x[:, :2], y).coef_)


def test_a_refused_second_fit_of_a_classifier_leaves_the_first_alone():
    # The classifier set its classes before the guard, and dropped them after: the refused call
    # took the running fit's classes away, which then failed and left coefficients without classes_.
    from vorna import GAM, LogisticGAM, s
    x, y = big_problem(n=2000)
    model = LogisticGAM(s(0))
    labels = np.where(y > np.median(y), "yes", "no")
    inside, release = threading.Event(), threading.Event()
    gam_fit = GAM._fit

    def held_fit(self, *args):  # GAM's part of the classifier's fit, held until the second call is made
        inside.set()
        release.wait(10)
        return gam_fit(self, *args)

    failures = []
    with pytest.MonkeyPatch.context() as patch:
        patch.setattr(GAM, "_fit", held_fit)
        worker = threading.Thread(target=lambda: failures.append(_call(model.fit, x[:, :1], labels)))
        worker.start()
        try:
            assert inside.wait(10)
            with pytest.raises(RuntimeError, match="being fitted in another thread"):
                model.fit(x[:, :1], np.where(labels == "yes", 1, 0))
        finally:
            release.set()
            worker.join()
    assert failures == [None] and list(model.classes_) == ["no", "yes"]
    np.testing.assert_array_equal(model.predict(x[:5, :1]), LogisticGAM(s(0)).fit(x[:, :1], labels).predict(x[:5, :1]))


def _call(f, *args):
    """None, or the exception f(*args) raised."""
    try:
        f(*args)
    except Exception as err:  # noqa: BLE001 - reported to the test's thread
        return err
    return None


@pytest.mark.skipif(not hasattr(signal, "pthread_kill"), reason="needs POSIX signals")
@pytest.mark.parametrize("which, delay", [("core", 0.15), ("core-gaussian", 0.1), ("core-formula", 0.15),
                                          ("core-auto", 0.15), ("vorna", 0.15),
                                          # early: in the set-up or the fit on a sample of the rows
                                          ("vorna", 0.03), ("vorna", 0.06), ("vorna", 0.09)])
def test_ctrl_c_stops_a_fit_promptly_and_leaves_the_model(which, delay):
    # Rows enough that the fit is still running at the latest delay: a vorna Poisson fit of
    # 400 000 rows takes about 0.13 s on two cores.
    x, y = big_problem(n=400_000 if which == "core" else 1_200_000)
    counts = np.round(np.exp(y))
    if which == "core-gaussian":  # passes over the rows without a model matrix
        x, y = big_problem(n=3_000_000)
        model = vorna_core.GAM("gaussian")
        model.fit(x[:2000], y[:2000], [5, 5, 5])
        before = model.get_coefficients().copy()
        expected = model.predict(x[:50])
        run = lambda: model.fit(x, y, [10, 10, 10])  # noqa: E731
    elif which in ("core-formula", "core-auto"):  # fits that replace the smooths, by other routes
        model = vorna_core.GAM("poisson")
        if which == "core-formula":
            model.fit_formula(x[:2000], counts[:2000], "s(0, k=5) + s(1, k=5) + s(2, k=5)", "REML", None)
            run = lambda: model.fit_formula(x, counts, "s(0, k=10) + s(1, k=10) + s(2, k=10)", "REML", None)  # noqa: E731
        else:
            model.fit_auto(x[:2000], counts[:2000], [5, 5, 5], "REML", None, None)
            run = lambda: model.fit_auto(x, counts, [10, 10, 10], "REML", None, None)  # noqa: E731
        before = model.get_coefficients().copy()
        expected = model.predict(x[:50])
    elif which == "core":
        model = vorna_core.GAM("poisson")
        model.fit(x[:2000], counts[:2000], [5, 5, 5])
        before = model.get_coefficients().copy()
        expected = model.predict(x[:50])
        run = lambda: model.fit(x, counts, [10, 10, 10])  # noqa: E731
    else:
        model = vorna.GAM(vorna.s(0) + vorna.s(1) + vorna.s(2), family="poisson")
        model.fit(x[:2000], counts[:2000])
        before = model.coef_.copy()
        expected = model.predict(x[:50])
        run = lambda: model.fit(x, counts)  # noqa: E731
    latency = seconds_to_stop(run, delay)
    # Within ~0.1 s of the signal (one row block or iteration); generous for a loaded machine, and
    # more so under the sanitizers, which slow every pass down several times (a dense PiRLS
    # iteration of the formula fit up to 15 times under ThreadSanitizer).
    preload = os.environ.get("LD_PRELOAD", "")
    bound = 10.0 if "asan" in preload or "tsan" in preload else 0.5
    assert latency < bound
    after = model.coef_ if which == "vorna" else model.get_coefficients()
    np.testing.assert_array_equal(after, before)
    # Usable as it was: it predicts with the fit it had (a core fit replaces its smooths first,
    # which the stop must undo).
    np.testing.assert_array_equal(model.predict(x[:50]), expected)


@pytest.mark.parametrize("family", ["gaussian", "poisson", "binomial"])
def test_results_are_bitwise_identical_for_every_thread_count(family):
    x, y = big_problem(n=20_000, seed=4)
    target = {"gaussian": y, "poisson": np.round(np.exp(y)), "binomial": (y > 0.5).astype(float)}[family]
    terms = vorna.s(0) + vorna.te(1, 2)
    fits = [vorna.GAM(terms, family=family, n_threads=t).fit(x, target) for t in (1, 2, 3, 16)]
    for other in fits[1:]:
        np.testing.assert_array_equal(other.coef_, fits[0].coef_)
        np.testing.assert_array_equal(other.lambdas_, fits[0].lambdas_)
        np.testing.assert_array_equal(other.cov_, fits[0].cov_)
    with pytest.raises(ValueError, match="n_threads must be a positive integer"):
        vorna.GAM(terms, n_threads=0).fit(x, target)


@pytest.mark.parametrize("threads", [1, 2])
@pytest.mark.parametrize("first", ["factor", "smooth"])
def test_a_set_up_error_is_the_first_failing_terms(threads, first):
    # With threads the smooths' knots are found side by side before the terms are set
    # up in order; the error reported must still be that of the first failing term.
    x = np.column_stack([np.ones(500), np.arange(500) % 5, np.linspace(0, 1, 500)])
    factor, smooth = vorna.f(0), vorna.s(1, k=12)  # one level; five distinct values for twelve knots
    terms = [factor, vorna.s(2), smooth] if first == "factor" else [smooth, vorna.s(2), factor]
    message = "only 1 distinct value" if first == "factor" else "needs at least 12 distinct values"
    with pytest.raises(ValueError, match=message):
        vorna.GAM(terms, n_threads=threads).fit(x, x[:, 2])


@pytest.mark.parametrize("family", ["poisson", "binomial"])
def test_a_large_fit_started_from_a_sample_gives_the_cold_start_answer(monkeypatch, family):
    from vorna import model as model_module

    x, y = big_problem(n=250_000, seed=5)
    target = np.round(np.exp(y)) if family == "poisson" else (y > 0.5).astype(float)
    started = []
    fit = model_module._engine.fit

    def recording(*args, **kwargs):
        result = fit(*args, **kwargs)
        started.append(result["warm_started"])
        return result

    monkeypatch.setattr(model_module._engine, "fit", recording)
    terms = vorna.s(0) + vorna.s(1) + vorna.s(2)
    warm = [vorna.GAM(terms, family=family, n_threads=t).fit(x, target) for t in (1, 2)]
    monkeypatch.setenv("VORNA_COLD_START", "1")
    cold = vorna.GAM(terms, family=family).fit(x, target)
    assert started == [True, True, False]
    np.testing.assert_array_equal(warm[1].coef_, warm[0].coef_)  # the sample too is split by fixed partitions
    # Both stop where ln λ moves by less than 1e-6 between passes, and a smooth close to its
    # linear limit leaves the criterion nearly flat in its λ: the fitted values, the deviance
    # and the criterion agree to what those tolerances allow, not to rounding.
    np.testing.assert_allclose(warm[0].linear_predictor_, cold.linear_predictor_, rtol=0, atol=1e-6)
    np.testing.assert_allclose(warm[0].deviance_, cold.deviance_, rtol=1e-7)
    np.testing.assert_allclose(warm[0].score_, cold.score_, rtol=1e-8)
    np.testing.assert_allclose(warm[0].edf_, cold.edf_, rtol=1e-4)


@pytest.mark.skipif(not hasattr(signal, "pthread_kill"), reason="needs POSIX signals")
@pytest.mark.parametrize("call", ["column_sums", "partition_pass"])
@pytest.mark.parametrize("threads", [1, 2])
def test_ctrl_c_stops_a_long_pass_over_the_rows(call, threads):
    from vorna import _engine

    x, y = big_problem(n=6_000_000, seed=6)
    margins = [("cr", np.quantile(x[:10_000, j], np.linspace(0, 1, 10))) for j in range(3)]
    terms = [("intercept",)] + [("smooth", [j], [margins[j]], None, None) for j in range(3)]
    request = dict(eta=(None, 1.0), previous=None, start_fallback=0.0, cross_products=True,
                   likelihood_scales=None, null_mean=None)
    run = {"column_sums": lambda: _engine.column_sums(terms, x, threads),
           "partition_pass": lambda: _engine.partition_pass(terms, x, y, None, None, "gaussian", "identity",
                                                            request, threads)}[call]
    start = time.perf_counter()
    run()
    full = time.perf_counter() - start
    latency = seconds_to_stop(run, 0.03)
    # The stop request is asked for every 20 ms between row blocks: the call ends long before it
    # would have (a KeyboardInterrupt raised only once the call returned would take the rest of it).
    assert latency < full / 3


@pytest.mark.skipif(not hasattr(signal, "pthread_kill"), reason="needs POSIX signals")
def test_ctrl_c_stops_making_the_model_matrix_and_a_later_call_makes_it():
    x, y = big_problem(n=1_500_000)
    model = vorna_core.GAM("gaussian")
    model.fit(x, y, [10, 10, 10])  # by rows: the 1.5·10⁶ × 30 matrix is made when asked for (about 1.5 s)
    # Under the sanitizers each block of rows (its pages first touched) costs many times more.
    preload = os.environ.get("LD_PRELOAD", "")
    bound = 15.0 if "asan" in preload or "tsan" in preload else 0.5
    assert seconds_to_stop(model.get_design_matrix, 0.02) < bound
    design = model.get_design_matrix()
    assert design.shape == (1_500_000, 30)
    # Its rows times β are the fit's fitted values (four products per smooth in the fit; all 30 here).
    np.testing.assert_allclose(design[:1000] @ model.get_coefficients(), model.get_fitted_values()[:1000],
                               rtol=0, atol=1e-12 * np.abs(y).max())
