"""Property tests over every argument: valid input gives finite prices inside the
no-arbitrage bounds and finite Greeks, invalid input a ValueError, and the thread count
never changes a result."""

import math
import warnings

import numpy as np
import pytest
from hypothesis import example, given, settings, strategies as st

import tarnwick as tw

positive = st.floats(min_value=1e-3, max_value=1e4)
sigmas = st.floats(min_value=0.02, max_value=1.5)
intensities = st.one_of(st.just(0.0), st.floats(min_value=1e-4, max_value=1000.0))
kou_models = st.builds(tw.Kou, sigma=sigmas, lam=intensities, p=st.floats(0.0, 1.0),
                       eta1=st.floats(min_value=1.05, max_value=500.0), eta2=st.floats(min_value=0.1, max_value=500.0))
merton_models = st.builds(tw.Merton, sigma=sigmas, lam=intensities, m=st.floats(-2.0, 1.0),
                          s=st.floats(min_value=0.0, max_value=1.5))
# Stochastic variance over the range surfaces take: variances from 0.005, xi up to 2.
variances = st.floats(min_value=0.005, max_value=1.0)
sv_models = st.builds(tw.Bates, v0=variances, kappa=st.floats(0.1, 10.0), theta=variances, xi=st.floats(0.05, 2.0),
                      rho=st.floats(-0.95, 0.95), lam=intensities.filter(lambda lam: lam <= 10.0),
                      m=st.floats(-1.0, 0.5), s=st.floats(min_value=0.0, max_value=1.0))
models = st.one_of(kou_models, merton_models, st.builds(tw.BlackScholes, sigmas), sv_models)
markets = st.fixed_dictionaries(dict(
    S=positive, moneyness=st.floats(min_value=0.05, max_value=20.0), T=st.floats(min_value=1e-3, max_value=40.0),
    r=st.floats(-0.1, 0.3), q=st.floats(-0.1, 0.3), kind=st.sampled_from(["call", "put"])))

SETTINGS = settings(max_examples=150, deadline=None)


def arguments(market):
    m = dict(market)
    m["K"] = m["S"] * m.pop("moneyness")
    return m


@SETTINGS
@given(models, markets)
def test_prices_are_finite_and_within_arbitrage_bounds(model, market):
    m = arguments(market)
    value = tw.price(model, **m)
    spot, strike = m["S"] * math.exp(-m["q"] * m["T"]), m["K"] * math.exp(-m["r"] * m["T"])
    upper, intrinsic = (spot, spot - strike) if m["kind"] == "call" else (strike, strike - spot)
    slack = 1e-11 * max(spot, strike)
    assert math.isfinite(value)
    assert max(0.0, intrinsic) - slack <= value <= upper + slack


@SETTINGS
@given(models, markets)
# A put far out of the money under large, nearly certain up-jumps: its contour lies where
# the jumps' exp(s^2 theta^2 / 2) swings from negligible to overflowing.
@example(tw.Merton(sigma=0.0625, lam=1.0, m=1.0, s=0.0078125),
         dict(S=1.0, moneyness=0.125, T=0.015625, r=0.0, q=0.0, kind="put"))
# Priced by the jump counts, whose series of one-sided jump sums ran to thousands of orders
# with (eta s)^n and the normal tail's integrals formed apart: infinity times zero.
@example(tw.Kou(sigma=0.0234375, lam=0.0, p=0.0, eta1=124.0, eta2=0.125),
         dict(S=1.0, moneyness=1.0, T=28.0, r=0.0, q=0.0, kind="put"))
def test_greeks_and_sensitivities_are_finite(model, market):
    # Finite, or NaN all through where an AccuracyWarning says the quadrature gave up:
    # never a plausible number from a sum cut short.
    m = arguments(market)
    for compute in (lambda: tw.greeks(model, **m), lambda: tw.sensitivities(model, **m).values()):
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            values = list(compute())
        flagged = any(issubclass(w.category, tw.AccuracyWarning) for w in caught)
        assert all(math.isnan(v) for v in values) if flagged else all(math.isfinite(v) for v in values)


bad_market = st.one_of(st.just(0.0), st.floats(max_value=-1e-300), st.just(math.nan), st.just(math.inf),
                       st.just(-math.inf))


@settings(max_examples=60, deadline=None)
@given(st.sampled_from(["S", "K", "T", "r", "q"]), bad_market)
def test_invalid_market_argument_raises(name, value):
    if name in ("r", "q") and math.isfinite(value):
        return  # any finite rate or yield is valid
    m = dict(S=100.0, K=100.0, T=1.0, r=0.0, q=0.0)
    m[name] = np.array([100.0 if name in "SKT" else 0.0, value])
    with pytest.raises(ValueError, match=name):
        tw.price(tw.Kou(0.2, 1.0, 0.5, 5.0, 5.0), **m)


@settings(max_examples=60, deadline=None)
@given(st.sampled_from(["sigma", "lam", "p", "eta1", "eta2"]),
       st.one_of(st.floats(max_value=0.0), st.just(math.nan), st.just(math.inf), st.floats(min_value=1.0 + 1e-9)))
def test_invalid_model_parameter_raises(name, value):
    valid = dict(sigma=0.2, lam=1.0, p=0.5, eta1=5.0, eta2=5.0)
    lower_ok = {"sigma": 0.0, "lam": -0.0, "p": -0.0, "eta1": 1.0, "eta2": 0.0}
    valid_value = (math.isfinite(value) and value > lower_ok[name] and (name != "p" or value <= 1.0)) or (
        name in ("lam", "p") and value == 0.0)
    if valid_value:
        tw.Kou(**{**valid, name: value})
    else:
        with pytest.raises(ValueError, match=name):
            tw.Kou(**{**valid, name: value})


@pytest.mark.parametrize("model", [tw.Kou(0.16, 1.0, 0.4, 10.0, 5.0), tw.Merton(0.2, 3.0, -0.1, 0.3),
                                   tw.BlackScholes(0.25), tw.Heston(0.04, 1.5, 0.04, 0.5, -0.7)])
def test_thread_count_does_not_change_results(model):
    rng = np.random.default_rng(7)
    n = 3000
    # Half the options share maturities (chains), half have their own.
    T = np.where(rng.random(n) < 0.5, rng.choice([0.1, 0.5, 2.0], n), rng.uniform(0.01, 5.0, n))
    S = rng.uniform(50.0, 150.0, n)
    K = S * np.exp(rng.normal(0.0, 0.3, n))
    kind = rng.choice(["call", "put"], n)
    one = tw.price(model, S, K, T, 0.03, 0.01, kind, threads=1)
    for threads in (2, 5):
        np.testing.assert_array_equal(tw.price(model, S, K, T, 0.03, 0.01, kind, threads=threads), one)
    g1 = tw.greeks(model, S[:300], K[:300], T[:300], 0.03, 0.01, kind[:300], threads=1)
    g2 = tw.greeks(model, S[:300], K[:300], T[:300], 0.03, 0.01, kind[:300], threads=3)
    for a, b in zip(g1, g2):
        np.testing.assert_array_equal(a, b)


@settings(max_examples=40, deadline=None)
@given(st.lists(st.integers(0, 3), min_size=0, max_size=3), st.data())
def test_output_shape_is_the_broadcast_shape(shape, data):
    # Each argument takes the common shape with some axes set to 1 or dropped from the left.
    def compatible():
        drop = data.draw(st.integers(0, len(shape)))
        return tuple(1 if data.draw(st.booleans()) else n for n in shape[drop:])

    shapes = {name: compatible() for name in ("S", "K", "T", "r", "kind")}
    args = {name: np.full(s, value) for (name, s), value in
            zip(shapes.items(), (100.0, 95.0, 0.5, 0.02, "put"))}
    expected = np.broadcast_shapes(*shapes.values())
    for function in (tw.price, tw.greeks):
        out = function(tw.Merton(0.2, 1.0, -0.1, 0.2), args["S"], args["K"], args["T"], args["r"],
                       kind=args["kind"])
        first = out.price if isinstance(out, tw.Greeks) else out
        assert np.shape(first) == expected
        assert np.all(np.isfinite(first))


# Put-call parity, C - P = S e^{-qT} - K e^{-rT}, in every Greek and sensitivity. Deep in
# the money with a tiny diffusion one side is summed on the other side's line and carried
# over by the poles' residues; ordinary options are summed on both sides directly.
PARITY_CASES = [
    (tw.Kou(2.5884681771633983e-08, 1000.0, 1.0, 200.0, 200.0), dict(S=100.0, K=25.0, T=0.14925, r=0.05, q=0.1)),
    (tw.Kou(0.025884681771633982, 1000.0, 1.0, 200.0, 0.01), dict(S=100.0, K=400.0, T=0.14925, r=0.05, q=0.1)),
    (tw.Kou(1.7634965349757206e-06, 79.15005182660173, 0.0876021341, 3.3292113926808167, 0.2906143010919564),
     dict(S=100.0, K=27.20571, T=0.6112407188577326, r=0.0626, q=0.004)),
    (tw.Kou(0.0010754104721955049, 0.0, 0.7376684252087626, 1.784272696032206, 6.362487244060078),
     dict(S=100.0, K=51.99111, T=26.34720748411337, r=0.0019, q=0.049)),
    (tw.Kou(0.16, 1.0, 0.4, 10.0, 5.0), dict(S=100.0, K=120.0, T=0.5, r=0.05, q=0.02)),
    (tw.Merton(0.0016918252761283271, 0.19897235819118306, -0.4389928894922317, 1.758362386954545e-05),
     dict(S=100.0, K=128.115337, T=6.606555509887716, r=0.0508, q=0.0272)),
    (tw.Merton(0.2, 1.0, -0.1, 0.2), dict(S=100.0, K=80.0, T=2.0, r=0.03, q=0.01)),
    (tw.Bates(0.04, 1.5, 0.06, 0.8, -0.7, 0.5, -0.1, 0.15), dict(S=100.0, K=70.0, T=3.0, r=0.03, q=0.01)),
    (tw.HestonKou(0.09, 0.5, 0.04, 1.5, 0.3, 1.0, 0.4, 8.0, 5.0), dict(S=100.0, K=115.0, T=0.1, r=0.0, q=0.02)),
]


@pytest.mark.parametrize("model, market", PARITY_CASES)
def test_put_call_parity_of_every_greek_and_sensitivity(model, market):
    S, K, T, r, q = (market[n] for n in "SKTrq")
    spot, strike = S * math.exp(-q * T), K * math.exp(-r * T)
    want = dict(price=spot - strike, delta=math.exp(-q * T), theta=q * spot - r * strike, rho=T * strike,
                epsilon=-T * spot, charm=q * math.exp(-q * T))
    call, put = (tw.greeks(model, **market, kind=kind)._asdict() for kind in ("call", "put"))
    d_call, d_put = (tw.sensitivities(model, **market, kind=kind) for kind in ("call", "put"))
    s_order = dict(delta=1, gamma=2, speed=3, vanna=1, charm=1, colour=2, zomma=2)
    t_order = dict(theta=1, charm=1, colour=1)
    for name in call:
        unit = S ** (1 - s_order.get(name, 0)) / min(T, 1.0) ** t_order.get(name, 0)
        allowed = 1e-10 * unit + 1e-12 * max(abs(call[name]), abs(put[name]))
        assert abs(call[name] - put[name] - want.get(name, 0.0)) <= allowed, (name, call[name], put[name])
    # The price, then derivatives in model parameters (one of which may be named theta).
    for name in d_call:
        allowed = 1e-10 * S + 1e-12 * max(abs(d_call[name]), abs(d_put[name]))
        parity = want["price"] if name == "price" else 0.0
        assert abs(d_call[name] - d_put[name] - parity) <= allowed, (name, d_call[name], d_put[name])
