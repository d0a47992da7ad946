"""Merton prices against independent references: stored mpmath series values and Fourier
prices over a stress grid and the model's corners
(tests/references/make_closed_form_references.py writes them)."""

import math
import time

import pytest

from literal import merton_call
from reference_rows import grid_params
from tarnwick.models.lognjump import MertonEuropeanCall

S, R = 100.0, 0.03
GRID = grid_params("closed_form_merton.csv", "closed_form_merton_corners.csv")


@pytest.mark.parametrize("row", GRID)
def test_stress_grid_against_references(row):
    n = float(row["n"])
    price = MertonEuropeanCall(float(row["K"]), float(row["T"])).JDAnalyticalPrice(
        S, float(row["sigma"]), R, float(row["lam"]), float(row["m"]), float(row["s"]),
        math.inf if n < 0 else n)
    reference = float(row["mp"])
    assert math.isfinite(price)
    assert abs(price - reference) <= 1e-10 * S
    if n < 0:
        # The two references agree with each other, so neither is the one that is off.
        assert abs(float(row["fourier"]) - reference) <= 1e-10 * S
        if reference > 1e-6 * S:
            assert price == pytest.approx(reference, rel=1e-8)


@pytest.mark.parametrize("lam, m, s, n, true_price", [
    # (lam (1 + k) T)^i overflows before 170: inf before (mpmath and Fourier agree).
    (70.0, -0.02, 0.05, 170.0, 20.48849860873817),
    # lam' T of about 600: the 171 terms up to i = 170 hold no probability to speak of.
    (400.0, 0.3, 0.5, 170.0, 0.0),
])
def test_examples_that_failed_before(lam, m, s, n, true_price):
    price = MertonEuropeanCall(100.0, 1.0).JDAnalyticalPrice(S, 0.2, R, lam, m, s, n)
    assert abs(price - true_price) <= 1e-10 * S


def test_ordinary_case_keeps_the_literal_bits():
    args = (1.0, 100.0, 100.0, 0.2, 0.05, 1.0, -0.1, 0.2, 50.0)
    assert MertonEuropeanCall(100.0, 1.0).JDAnalyticalPrice(*args[2:]) == merton_call(*args)


@pytest.mark.parametrize("lam", [70.0, 1000.0, 10000.0])
def test_any_term_count_converges_promptly(lam):
    call = MertonEuropeanCall(100.0, 1.0)
    start = time.monotonic()
    prices = [call.JDAnalyticalPrice(S, 0.2, R, lam, -0.02, 0.05, n)
              for n in (lam * 2 + 200, 1e9, math.inf)]
    assert time.monotonic() - start < 2.0  # a hang, not a timing
    assert all(math.isfinite(x) for x in prices)
    assert max(prices) - min(prices) <= 1e-10 * S
