"""Kou closed-form prices against Fourier inversion of the model's characteristic function."""

import math

import pytest

from fourier import kou_call
from tarnwick.models.dexpjump import KouEuropeanCall, KouEuropeanPut

# (S, K, T, r, sigma, lam, p, eta1, eta2). Every set keeps eta*sigma*sqrt(T) at or
# below about 3.4: the closed form sums Hh functions whose terms grow with that
# product and cancel, so larger values would test the cancellation, not the model.
CASES = [
    (100.0, 100.0, 0.5, 0.05, 0.16, 1.0, 0.4, 10.0, 5.0),
    (100.0, 98.0, 1.0, 0.05, 0.16, 1.0, 0.4, 10.0, 5.0),
    (100.0, 80.0, 0.25, 0.03, 0.2, 2.0, 0.3, 15.0, 8.0),
    (100.0, 120.0, 2.0, 0.02, 0.25, 0.5, 0.6, 8.0, 4.0),
    (100.0, 110.0, 1.0, 0.04, 0.15, 3.0, 0.5, 20.0, 10.0),
    (50.0, 55.0, 0.75, 0.01, 0.3, 1.0, 0.2, 5.0, 3.0),
    (100.0, 70.0, 1.5, 0.05, 0.2, 0.3, 0.7, 3.0, 2.0),
    (100.0, 140.0, 2.0, 0.03, 0.2, 1.5, 0.25, 12.0, 6.0),
]
N_TERMS = 40


@pytest.mark.parametrize("S, K, T, r, sigma, lam, p, eta1, eta2", CASES)
def test_call_and_put_match_fourier(S, K, T, r, sigma, lam, p, eta1, eta2):
    args = (S, r, sigma, lam, p, eta1, eta2, N_TERMS)
    call = kou_call(S, K, T, r, sigma, lam, p, eta1, eta2)
    put = call + K * math.exp(-r * T) - S
    assert KouEuropeanCall(T, K).priceByKouJumpDiffusion(*args) == pytest.approx(call, rel=1e-9)
    assert KouEuropeanPut(T, K).priceByKouJumpDiffusion(*args) == pytest.approx(put, rel=1e-9)


@pytest.mark.parametrize(
    "T, K, lam, expected",
    [
        (0.5, 100.0, 1.0, 7.959429203),
        (1.0, 98.0, 1.0, 13.57374164),
        (0.5, 100.0, 0.0, 5.798137071),
    ],
)
def test_fourier_reproduces_published_prices(T, K, lam, expected):
    # Guards the reference itself against a wrong compensator or jump-law sign; the
    # published prices carry ten significant digits, so half a unit of the last one.
    price = kou_call(100.0, K, T, 0.05, 0.16, lam, 0.4, 10.0, 5.0)
    assert price == pytest.approx(expected, abs=5e-9)

