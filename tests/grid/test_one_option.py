"""One barrier or early-exercise option from Python numbers takes a path of its own, without
arrays and on the calling thread: its values must be the bits of the same option in an
array, and it must refuse what an array refuses, with the same message."""

import math

import numpy as np
import pytest

import tarnwick as tw

BLACK_SCHOLES = tw.BlackScholes(0.2)
KOU = tw.Kou(sigma=0.2, lam=1.0, p=0.4, eta1=10.0, eta2=5.0)
MERTON = tw.Merton(sigma=0.2, lam=1.0, m=-0.1, s=0.15)

CASES = [
    (BLACK_SCHOLES, 100.0, "call", dict(barrier=90.0, barrier_kind="down-and-out")),  # the closed form
    (BLACK_SCHOLES, 100, "Put", dict(barrier=110, barrier_kind="Up-and-In", rebate=2)),  # ints, a knock-in
    (BLACK_SCHOLES, 112.0, "call", dict(barrier=110.0, barrier_kind="up-and-out", rebate=1.5)),  # knocked out now
    (KOU, 100.0, "call", dict(barrier=90.0, barrier_kind="down-and-in", rebate=1.5, monitoring=[0.25, 0.5])),
    (MERTON, 100.0, "put", dict(barrier=115.0, barrier_kind="up-and-out", monitoring=np.array([0.2, 0.4]))),
    (BLACK_SCHOLES, 100.0, "put", dict(exercise="american")),
    (KOU, 95.0, "put", dict(exercise="American", threads=1)),
    (KOU, 105.0, "call", dict(exercise=[0.1, 0.3, 0.1])),
]


@pytest.mark.parametrize("function", [tw.price, tw.greeks], ids=["price", "greeks"])
@pytest.mark.parametrize("model, S, kind, keywords", CASES)
def test_one_option_has_the_bits_of_an_array_of_one(function, model, S, kind, keywords):
    one = function(model, S, 100.0, 0.5, 0.05, 0.02, kind, **keywords)
    batch = function(model, np.array([S]), 100.0, 0.5, 0.05, 0.02, kind, **keywords)
    assert all(type(value) is float for value in np.atleast_1d(one).tolist())
    assert np.array(one).tobytes() == np.array(batch).ravel().tobytes()


@pytest.mark.parametrize("model, keywords", [
    (KOU, dict(barrier=-90.0, barrier_kind="down-and-out")),
    (KOU, dict(barrier=math.nan, barrier_kind="down-and-out")),
    (KOU, dict(barrier=0, barrier_kind="down-and-out")),
    (KOU, dict(barrier=90.0, barrier_kind="down-and-out", rebate=-1)),
    (KOU, dict(barrier=90.0, barrier_kind="down-and-out", rebate=math.inf)),
    (KOU, dict(barrier=90.0, barrier_kind="down-and-out", rebate=True)),
    (KOU, dict(barrier=10**400, barrier_kind="down-and-out")),  # no float: read by the array path
    (KOU, dict(barrier=-90.0, barrier_kind="down-and-out", threads=0)),  # the thread count first
    (KOU, dict(barrier=90.0, barrier_kind="sideways")),
    (KOU, dict(barrier=90.0, barrier_kind="down-and-out", monitoring=[0.1, -0.1])),
    (tw.Heston(0.04, 1.0, 0.04, 0.5, -0.5), dict(barrier=90.0, barrier_kind="down-and-out")),
    (KOU, dict(exercise="american", threads=1025)),
    (KOU, dict(exercise=[0.1, math.inf])),
    (tw.Bates(0.04, 1.0, 0.04, 0.5, -0.5, 0.1, -0.1, 0.1), dict(exercise="american")),
])
def test_one_option_refuses_what_an_array_refuses(model, keywords):
    with pytest.raises((ValueError, NotImplementedError)) as one:
        tw.greeks(model, 100.0, 100.0, 0.5, 0.05, **keywords)
    with pytest.raises(type(one.value)) as batch:
        tw.greeks(model, [100.0], 100.0, 0.5, 0.05, **keywords)
    assert str(one.value) == str(batch.value)
