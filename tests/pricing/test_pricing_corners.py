"""Structural corners of the pricing API: a quadrature that gives up says so, prices stay
inside the no-arbitrage bounds (so each has an implied volatility), Greeks carry the very
price of tw.price, and the closed form holds for any volatility and spot."""

import math
import warnings

import numpy as np
import pytest

import tarnwick as tw
from tarnwick import _pricing, _status
from tarnwick._models import BlackScholes, Kou, Merton

KOU = tw.Kou(sigma=0.16, lam=1.0, p=0.4, eta1=10.0, eta2=5.0)
MERTON = tw.Merton(sigma=0.2, lam=1.0, m=-0.1, s=0.2)
def test_failed_options_come_back_as_a_warning_naming_the_first():
    status = np.array([0, 1, 0, 2], dtype=np.int8)
    market = [("S", np.full(4, 100.0)), ("K", np.array([90.0, 100.5, 95.0, 80.0])), ("T", np.full(4, 0.02)),
              ("r", np.zeros(4)), ("q", np.zeros(4)), ("kind", np.array([1, 1, 0, 0], dtype=np.int8))]
    with pytest.warns(tw.AccuracyWarning, match=r"2 of 4 option.*node limit.*not finite.*S=100\.0, K=100\.5, "
                                                 r"T=0\.02, r=0\.0, q=0\.0, kind='call'"):
        _status.warn_failures(status, market)
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        _status.warn_failures(np.zeros(4, dtype=np.int8), market)
    assert issubclass(tw.AccuracyWarning, RuntimeWarning) and "AccuracyWarning" in tw.__all__


@pytest.mark.parametrize("model", [KOU, MERTON, tw.BlackScholes(0.2)], ids=["kou", "merton", "black-scholes"])
@pytest.mark.parametrize("kind", ["call", "put"])
def test_prices_within_bounds_have_implied_vols_and_are_the_greeks_prices(model, kind):
    # Deep in and out of the money, where a few ulps outside the bounds left no implied vol.
    K = 100.0 * np.exp(np.linspace(-3.0, 3.0, 61))
    T = np.array([0.02, 0.5, 5.0])[:, None]
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        prices = tw.price(model, 100.0, K, T, 0.05, 0.01, kind)
        greeks = tw.greeks(model, 100.0, K, T, 0.05, 0.01, kind)
    spot, strike = 100.0 * np.exp(-0.01 * T), K * np.exp(-0.05 * T)
    lower = np.maximum(spot - strike if kind == "call" else strike - spot, 0.0)
    upper = spot if kind == "call" else strike
    assert np.all((prices >= lower) & (prices <= upper))
    assert not np.isnan(tw.implied_volatility(prices, 100.0, K, T, 0.05, 0.01, kind)).any()
    assert np.array_equal(greeks.price, prices)
    assert tw.greeks(model, 100.0, 130.0, 0.5, 0.05, 0.01, kind).price == tw.price(model, 100.0, 130.0, 0.5, 0.05, 0.01, kind)


@pytest.mark.parametrize("sigma", [1e155, 1e300, 1.7e308])
def test_black_scholes_holds_for_any_volatility(sigma):
    model = tw.BlackScholes(sigma)
    call = tw.greeks(model, 100.0, 90.0, 4.0, 0.03, 0.01)
    put = tw.greeks(model, 100.0, 90.0, 4.0, 0.03, 0.01, kind="put")
    # An infinite spread: the call is worth the discounted forward, the put the discounted strike.
    assert call.price == pytest.approx(100.0 * math.exp(-0.04), rel=1e-15)
    assert put.price == pytest.approx(90.0 * math.exp(-0.12), rel=1e-15)
    assert call.delta == pytest.approx(math.exp(-0.04)) and put.delta == 0.0
    assert all(math.isfinite(v) for v in call + put) and call.vega == 0.0 == call.vomma


def test_a_worthless_black_scholes_option_is_plus_zero():
    # Both terms of the put underflow to zero: the price is 0, printed as 0, never -0.
    for model in (tw.BlackScholes(1e-6), tw.BlackScholes(1e-300)):
        assert math.copysign(1.0, tw.price(model, 100.0, 100.0, 1.0, 0.05, 0.02, "put")) == 1.0


@pytest.mark.parametrize("model", [KOU, MERTON, tw.BlackScholes(0.2)], ids=["kou", "merton", "black-scholes"])
@pytest.mark.parametrize("S", [5e-324, 1e-300, 1e300])
def test_extreme_spots_and_rates_keep_prices_in_bounds(model, S):
    # K / S, the forward or the discount factor alone over- or underflows here.
    for r in (0.0, 800.0):
        call, put = tw.price(model, S, 100.0, 1.0, r), tw.price(model, S, 100.0, 1.0, r, kind="put")
        strike = 100.0 * math.exp(-r)
        assert 0.0 <= call <= S and max(strike - S, 0.0) <= put <= strike


def test_registered_models_match_the_model_codes():
    assert [_pricing.model_names[cls._code] for cls in (BlackScholes, Kou, Merton)] == ["black_scholes", "kou", "merton"]


@pytest.mark.parametrize("xi", [1e-14, 1e-300])
@pytest.mark.parametrize("T", [1 / 365, 0.5, 30.0])
def test_a_variance_without_volatility_is_black_scholes_with_its_integrated_variance(xi, T):
    # With xi -> 0 the variance follows theta + (v0 - theta) e^{-kappa t}: a normal log price
    # whose variance is its integral (xi^2 underflows at 1e-300; the decay must not claim a
    # width the integrand does not have).
    v0, kappa, theta = 0.09, 3.0, 0.02
    variance = theta * T - (v0 - theta) * math.expm1(-kappa * T) / kappa
    K = 100.0 * np.exp(np.linspace(-1.0, 1.0, 9) * math.sqrt(variance))
    for kind in ("call", "put"):
        got = tw.price(tw.Heston(v0, kappa, theta, xi, -0.5), 100.0, K, T, 0.03, 0.01, kind)
        want = tw.price(tw.BlackScholes(math.sqrt(variance / T)), 100.0, K, T, 0.03, 0.01, kind)
        np.testing.assert_allclose(got, want, rtol=0, atol=1e-12 * 100.0)


SV_MODELS = {
    "heston": tw.Heston(0.04, 2.0, 0.04, 0.5, -0.7),
    "bates": tw.Bates(0.04, 2.0, 0.04, 0.5, -0.7, 0.5, -0.1, 0.15),
    "hestonkou": tw.HestonKou(0.04, 2.0, 0.04, 0.5, 0.3, 0.5, 0.3, 25.0, 10.0),
    # Deep in the money a month from expiry the Greeks' sum along the price's line would not
    # end within the node bound: the Greeks take a line of their own.
    "bates-calm-variance": tw.Bates(0.0034, 4.15, 0.292, 0.0148, 0.386, 0.0133, -0.0155, 0.0721),
}


@pytest.mark.parametrize("name", SV_MODELS)
def test_one_sv_option_greeks_carry_its_price_and_agree_with_their_own_line(name):
    # One option's price and Greeks come from one sum along the price's line (across the
    # poles near the money, else on the out-of-the-money side, parity to the option's kind);
    # in a batch the Greeks of each option take a line of their own on the option's side.
    model = SV_MODELS[name]
    for K, T, kind in [(97.0, 1.0, "put"), (100.0, 0.5, "call"), (130.0, 0.25, "call"), (130.0, 2.0, "put"),
                       (60.0, 0.1, "call"), (186.8, 0.04, "put")]:
        one = tw.greeks(model, 100.0, K, T, 0.03, 0.01, kind)
        assert one.price == tw.price(model, 100.0, K, T, 0.03, 0.01, kind)
        batch = tw.greeks(model, 100.0, np.array([K, 2.0 * K]), T, 0.03, 0.01, kind)
        for field, value in one._asdict().items():
            other = getattr(batch, field)[0]
            assert abs(value - other) <= max(1e-10 * 100.0, 1e-7 * abs(other)), (field, K, T, kind, value, other)
