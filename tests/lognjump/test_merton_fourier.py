"""Merton series price against Fourier inversion of the model's characteristic function."""

import pytest

from fourier import bs_call, merton_call
from tarnwick.models.lognjump import MertonEuropeanCall

# (S, K, T, r, sigma, lam, m, s): strikes in and out of the money, maturities 0.25..2,
# rare large jumps, frequent small ones, upward mean jumps and wide jump laws.
CASES = [
    (100.0, 100.0, 1.0, 0.05, 0.2, 1.0, -0.1, 0.2),
    (100.0, 80.0, 0.25, 0.03, 0.15, 0.5, -0.2, 0.1),
    (100.0, 120.0, 2.0, 0.02, 0.25, 2.0, 0.05, 0.3),
    (100.0, 90.0, 0.5, 0.05, 0.1, 5.0, -0.05, 0.05),
    (100.0, 130.0, 1.5, 0.01, 0.3, 0.2, -0.5, 0.4),
    (50.0, 45.0, 0.75, 0.04, 0.2, 3.0, 0.1, 0.15),
    (100.0, 110.0, 0.25, 0.0, 0.12, 10.0, -0.02, 0.02),
    (100.0, 60.0, 2.0, 0.06, 0.35, 1.0, 0.2, 0.5),
]


@pytest.mark.parametrize("n", [100, 170])
@pytest.mark.parametrize("S, K, T, r, sigma, lam, m, s", CASES)
def test_series_matches_fourier(S, K, T, r, sigma, lam, m, s, n):
    series = MertonEuropeanCall(K, T).JDAnalyticalPrice(S, sigma, r, lam, m, s, n)
    assert series == pytest.approx(merton_call(S, K, T, r, sigma, lam, m, s), rel=1e-9)


@pytest.mark.parametrize(
    "K, T, lam, expected",
    [
        (100.0, 1.0, 1.0, 13.6886813),
        (100.0, 1.0, 0.0, 10.4505836),
    ],
)
def test_fourier_reproduces_published_prices(K, T, lam, expected):
    # Guards the reference itself: a wrong sign or drift in the characteristic
    # function would move these well beyond the nine digits quoted.
    assert merton_call(100.0, K, T, 0.05, 0.2, lam, -0.1, 0.2) == pytest.approx(expected, abs=6e-8)


@pytest.mark.parametrize("K, T", [(70.0, 0.25), (100.0, 1.0), (140.0, 2.0)])
def test_fourier_without_jumps_is_black_scholes(K, T):
    assert merton_call(100.0, K, T, 0.03, 0.2, 0.0, -0.1, 0.2) == pytest.approx(
        bs_call(100.0, K, T, 0.03, 0.2), rel=1e-11
    )
