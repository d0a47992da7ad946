"""The Merton series price agrees bit for bit with a step-by-step evaluation."""

import math
import random
import struct
import time

import pytest

from literal import merton_call
from tarnwick.models import lognjump

# T, K, S, sigma, r, lam, m, s
REF = (1.0, 100.0, 100.0, 0.2, 0.05, 1.0, -0.1, 0.2)


def bits(x):
    return "nan" if math.isnan(x) else struct.pack("<d", x).hex()


def module_price(T, K, S, sigma, r, lam, m, s, n):
    return lognjump.MertonEuropeanCall(K, T).JDAnalyticalPrice(S, sigma, r, lam, m, s, n)


def mismatches(cases):
    out = []
    for args in cases:
        got, want = module_price(*args), merton_call(*args)
        if bits(got) != bits(want):
            out.append(f"{args}: module {got.hex()} literal {want.hex()}")
    return out


def test_reference_evaluation_reproduces_known_prices():
    # Guards the reference itself: a wrong literal would make the bit test vacuous.
    assert f"{merton_call(*REF, 0.0):.9g}" == "5.91976867"
    assert f"{merton_call(*REF, 2.7):.9g}" == "12.9369647"
    assert f"{merton_call(*REF, 50.0):.9g}" == "13.6886813"
    assert f"{merton_call(1.0, 100.0, 100.0, 0.2, 0.05, 0.0, -0.1, 0.2, 7.0):.9g}" == "10.4505836"
    assert merton_call(*REF, -1.0) == 0.0 and merton_call(*REF, math.nan) == 0.0
    assert merton_call(*REF, 0.5) == merton_call(*REF, 0.0)


def test_random_parameters_bit_exact():
    rng = random.Random(20240611)
    cases = []
    for _ in range(400):
        cases.append((
            rng.uniform(0.1, 2.0), rng.uniform(50, 150), rng.uniform(50, 150),
            rng.uniform(0.05, 0.5), rng.uniform(-0.02, 0.1), rng.uniform(0, 4),
            rng.uniform(-0.5, 0.3), rng.uniform(0, 0.5), rng.uniform(-2, 60),
        ))
    # Integer bounds land exactly on a term index; also the full 171 terms.
    for n in (0.0, 1.0, 2.0, 3.0, 17.0, 99.0, 169.0, 169.999, 170.0):
        cases.append(REF + (n,))
        cases.append((0.7, 90.0, 110.0, 0.3, 0.02, 3.5, 0.2, 0.4, n))
    assert mismatches(cases) == []


def test_degenerate_inputs_bit_exact():
    inf, nan = math.inf, math.nan
    T, K, S, sigma, r, lam, m, s = REF
    cases = [
        (0.0, K, S, sigma, r, lam, m, s, 5.0),        # T = 0
        (-1.0, K, S, sigma, r, lam, m, s, 5.0),       # T < 0
        (T, K, S, 0.0, r, lam, m, s, 5.0),            # sigma = 0: only term 0 degenerates
        (T, K, S, 0.0, r, lam, 0.0, 0.0, 5.0),        # every sigma_i = 0
        (T, K, S, sigma, r, lam, 0.0, 0.0, 12.0),     # k = 0
        (T, K, S, sigma, r, 0.0, m, s, 12.0),         # no jumps
        (T, 0.0, S, sigma, r, lam, m, s, 5.0),        # K = 0
        (T, K, 0.0, sigma, r, lam, m, s, 5.0),        # S = 0
        (T, -K, S, sigma, r, lam, m, s, 5.0),         # negative strike
        (T, K, S, sigma, r, lam, m, s, -0.0),
        (T, K, S, sigma, r, lam, m, s, -1e-300),
        (T, K, S, sigma, r, lam, m, s, -inf),
        (T, K, S, sigma, r, lam, m, s, nan),
        (T, K, S, sigma, nan, lam, m, s, 3.0),
        (1e-12, K, S, sigma, r, lam, m, s, 4.0),
        (T, K, S, sigma, r, lam, m, 50.0, 3.0),       # E overflows
    ]
    assert mismatches(cases) == []


@pytest.mark.parametrize("n", [10000.0, 1e6, float(2**31), math.inf])
def test_huge_term_bound_stops_at_index_170(n):
    start = time.monotonic()
    got = module_price(*REF, n)
    assert time.monotonic() - start < 2.0
    assert bits(got) == bits(module_price(*REF, 170.0)) == bits(merton_call(*REF, 170.0))
