"""tw.simulate: paths with the models' laws (European prices against the Fourier prices,
log increments against the models' cumulants), the stochastic-volatility scheme's bias
within what was measured, reproducibility over threads and batches, and its refusals."""

import doctest
import re
import subprocess
import sys

import numpy as np
import pytest

import tarnwick as tw
from tarnwick import _simulate

KOU = tw.Kou(sigma=0.2, lam=3.0, p=0.4, eta1=8.0, eta2=5.0)
MERTON = tw.Merton(sigma=0.15, lam=2.0, m=-0.1, s=0.25)
BLACK_SCHOLES = tw.BlackScholes(sigma=0.3)
LEVY = {"kou": KOU, "merton": MERTON, "black_scholes": BLACK_SCHOLES}


def mean_and_error(values, axis=0):
    return values.mean(axis=axis), values.std(axis=axis, ddof=1) / np.sqrt(values.shape[axis])


@pytest.mark.parametrize("name", LEVY)
def test_european_prices_from_paths_match_fourier(name):
    # Exact in law: two uneven steps are as good as many. Calls and puts at three strikes,
    # discounted, within four standard errors of tw.price.
    model, r, q = LEVY[name], 0.03, 0.01
    times = [0.3, 1.25]
    final = tw.simulate(model, 100.0, times=times, paths=200_000, r=r, q=q, seed=1)[:, -1]
    K = np.array([70.0, 100.0, 140.0])
    for kind, payoff in (("call", np.maximum(final[:, None] - K, 0.0)), ("put", np.maximum(K - final[:, None], 0.0))):
        price, error = mean_and_error(np.exp(-r * times[-1]) * payoff)
        fourier = tw.price(model, 100.0, K, times[-1], r, q, kind=kind)
        assert np.all(np.abs(price - fourier) < 4.0 * error), (kind, price, fourier, error)


def levy_cumulants(model):
    """Mean and variance of ln(S_t / S_0) - (r - q) t per unit time, from the textbook
    forms of the jump laws: the drift -sigma^2 / 2 - lam (E[e^J] - 1) and the jumps' moments."""
    sigma = model.sigma
    if isinstance(model, tw.Kou):
        exp_mean = model.p * model.eta1 / (model.eta1 - 1.0) + (1.0 - model.p) * model.eta2 / (model.eta2 + 1.0)
        first = model.p / model.eta1 - (1.0 - model.p) / model.eta2
        second = 2.0 * model.p / model.eta1 ** 2 + 2.0 * (1.0 - model.p) / model.eta2 ** 2
        lam = model.lam
    elif isinstance(model, tw.Merton):
        exp_mean = np.exp(model.m + 0.5 * model.s ** 2)
        first, second, lam = model.m, model.m ** 2 + model.s ** 2, model.lam
    else:
        exp_mean = first = second = lam = 0.0
    return -0.5 * sigma ** 2 - lam * (exp_mean - 1.0) + lam * first, sigma ** 2 + lam * second


@pytest.mark.parametrize("name", LEVY)
def test_log_increments_have_the_model_cumulants(name):
    # Uneven steps from t = 0.1 (the first column already a step away from S): each
    # increment's mean and variance within four standard errors of the cumulants, and
    # consecutive increments uncorrelated.
    model, r, q = LEVY[name], 0.05, 0.02
    times = np.array([0.1, 0.35, 0.4, 1.4])
    paths = tw.simulate(model, 50.0, times=times, paths=100_000, r=r, q=q, seed=2)
    increments = np.diff(np.log(np.column_stack([np.full(len(paths), 50.0), paths])), axis=1)
    dt = np.diff(times, prepend=0.0)
    drift, variance = levy_cumulants(model)
    mean, mean_error = mean_and_error(increments)
    assert np.all(np.abs(mean - (r - q + drift) * dt) < 4.0 * mean_error), (mean, (r - q + drift) * dt)
    centred = increments - mean
    var, var_error = mean_and_error(centred ** 2)
    assert np.all(np.abs(var - variance * dt) < 4.0 * var_error), (var, variance * dt)
    products = centred[:, 1:] * centred[:, :-1]
    covariance, covariance_error = mean_and_error(products)
    assert np.all(np.abs(covariance) < 4.0 * covariance_error), covariance


# Stochastic volatility: (model, T, steps) and a bound of the puts' bias at strikes 80, 100
# and 120 from scripts/simulation_bias.py (the README's table; 10^6 paths): the largest
# |bias| measured at that step plus two of its standard errors, rounded up. The test allows
# it plus four standard errors of its own.
SV_CASES = {
    "heston_12": (tw.Heston(v0=0.04, kappa=1.5, theta=0.04, xi=0.5, rho=-0.7), 1.0, 12, 0.015),
    "heston_andersen_4": (tw.Heston(v0=0.04, kappa=0.5, theta=0.04, xi=1.0, rho=-0.9), 10.0, 40, 0.05),
    "bates_12": (tw.Bates(v0=0.04, kappa=2.0, theta=0.04, xi=0.6, rho=-0.6, lam=0.5, m=-0.1, s=0.15), 1.0, 12,
                 0.02),
    "hestonkou_12": (tw.HestonKou(v0=0.04, kappa=1.5, theta=0.05, xi=0.7, rho=-0.5, lam=1.0, p=0.3, eta1=10.0,
                                  eta2=5.0), 1.0, 12, 0.03),
}


@pytest.mark.parametrize("case", SV_CASES)
def test_stochastic_volatility_bias_is_within_what_was_measured(case):
    model, T, steps, bias = SV_CASES[case]
    final = tw.simulate(model, 100.0, T, steps=steps, paths=200_000, seed=3)[:, -1]
    # The martingale correction: E[S_T] = S.
    spot, spot_error = mean_and_error(final)
    assert abs(spot - 100.0) < 4.0 * spot_error, spot
    # With that, the spot is a control variate of the puts: its sample error, times the
    # regression slope, is taken out of their mean, which leaves a fraction of the error.
    K = np.array([80.0, 100.0, 120.0])
    puts = np.maximum(K - final[:, None], 0.0)
    slope = np.array([np.cov(put, final)[0, 1] for put in puts.T]) / final.var(ddof=1)
    price, error = mean_and_error(puts - slope * (final[:, None] - 100.0))
    fourier = tw.price(model, 100.0, K, T, kind="put")
    assert np.all(np.abs(price - fourier) < bias + 4.0 * error), (price, fourier, error)


def test_paths_do_not_depend_on_threads_or_batches():
    # Enough values for several work items, so that two threads share them.
    run = dict(model=tw.HestonKou(0.04, 1.5, 0.05, 0.7, -0.5, 1.0, 0.3, 10.0, 5.0), S=100.0, T=2.0, steps=8,
               seed=2**64 - 1)
    one = tw.simulate(**run, paths=60_000, threads=1)
    assert one.shape == (60_000, 9) and np.all(one[:, 0] == 100.0)
    assert np.array_equal(one, tw.simulate(**run, paths=60_000, threads=2))
    batches = [tw.simulate(**run, paths=n, first_path=k, threads=2) for k, n in ((0, 25_000), (25_000, 35_000))]
    assert np.array_equal(one, np.concatenate(batches))
    # The explicit grid of the same times draws the same paths; another seed others.
    assert np.array_equal(one[:7], tw.simulate(run["model"], 100.0, times=np.arange(9) / 4.0, paths=7,
                                               seed=run["seed"]))
    assert not np.any(one[:7, 1:] == tw.simulate(**{**run, "seed": 0}, paths=7)[:, 1:])
    assert tw.simulate(KOU, 1.0, 1.0, paths=0).shape == (0, 253)


@pytest.mark.parametrize("arguments, message", [
    (dict(S=0.0), "S must be finite and > 0"),
    (dict(S=[1.0, 2.0]), "S must be a single number"),
    (dict(S=True), "S must be real numbers, not booleans"),
    (dict(T=0.0), "T must be finite and > 0"),
    (dict(T=np.datetime64("2026-01-01")), "T must not be a date"),
    (dict(steps=0), "steps must be >= 1"),
    (dict(steps=2.0), "steps must be an integer"),
    (dict(paths=-1), "paths must be >= 0"),
    (dict(paths=True), "paths must be an integer"),
    (dict(seed=2**64), "seed must be >= 0 and <= 18446744073709551615"),
    (dict(first_path=2**64 - 2, paths=3), "first_path + paths must be at most 2**64"),
    (dict(T=None, times=[0.5, 0.5]), "times must be finite, >= 0 and strictly increasing"),
    (dict(T=None, times=[-0.1, 1.0]), "times must be finite, >= 0 and strictly increasing"),
    (dict(T=None, times=[[1.0]]), "times must be a 1-D array"),
    (dict(times=[1.0]), "give either T (and steps) or times"),
    (dict(T=None), "give T"),
    (dict(r=np.inf), "r must be finite"),
    (dict(q=-800.0), "overflow a double"),
    (dict(paths=10**6, steps=300), "exceed the limit of 2**28"),
    (dict(threads=0), "threads must be"),
    (dict(model=tw.Merton(0.2, 1.0, 800.0, 0.1)), "model: the jumps' mean of e^J - 1 overflows"),
    (dict(model=tw.Kou(0.2, 1e7, 0.4, 8.0, 5.0)), "model: lam * T = 10000000.000000 jumps per path"),
    (dict(model=tw.Heston(0.04, 1.0, 0.04, 1e-320, 0.5)), "model: xi^2 or 1 / xi overflows"),
])
def test_arguments_are_checked_before_any_work(arguments, message):
    call = dict(model=KOU, S=100.0, T=1.0, paths=10)
    call.update(arguments)
    with pytest.raises(ValueError, match=re.escape(message)):
        tw.simulate(**call)
    with pytest.raises(TypeError):
        tw.simulate("kou", 100.0, 1.0)


def test_docstring_example_and_types(tmp_path):
    failed, attempted = doctest.testmod(_simulate, optionflags=doctest.NORMALIZE_WHITESPACE)
    assert attempted > 0 and failed == 0
    for arguments in (["mypy.stubtest", "tarnwick._simulation"], ["mypy", "--strict", "-m", "tarnwick._simulate"]):
        result = subprocess.run([sys.executable, "-m", *arguments], cwd=tmp_path, capture_output=True, text=True,
                                timeout=600)
        assert result.returncode == 0, result.stdout + result.stderr
