"""Kou options as Python sees them: prices, construction, dispatch and argument handling."""

import math

import pytest

from tarnwick.models import dexpjump
from tarnwick.models.dexpjump import (
    EuropeanOption,
    KouEuropeanCall,
    KouEuropeanPut,
    Option,
    create_european_call,
    create_european_put,
)

# S, r, sigma, lam, p, eta1, eta2 of the published reference prices.
REFERENCE = dict(S=100.0, r=0.05, sigma=0.16, lam=1.0, p=0.4, eta1=10.0, eta2=5.0)


def price(option, n, **changes):
    return option.priceByKouJumpDiffusion(**{**REFERENCE, **changes}, n=n)


@pytest.mark.parametrize(
    "T, K, n, call, put",
    [
        (0.5, 100, 0, 4.636402501, 2.167393704),
        (0.5, 100, 1, 7.193052473, 4.724043676),
        (0.5, 100, 5, 7.959327824, 5.490319027),
        (0.5, 100, 10, 7.959429203, 5.490420406),
        (1, 98, 0, 5.314203356, -1.465313043),
        (1, 98, 15, 13.57374164, 6.794225244),
    ],
)
def test_reference_prices(T, K, n, call, put):
    assert price(KouEuropeanCall(T, K), n) == pytest.approx(call, rel=5e-10)
    assert price(KouEuropeanPut(T, K), n) == pytest.approx(put, rel=5e-10)


@pytest.mark.parametrize("n", [-1, 0, 5, 20])
def test_without_jumps_the_call_is_black_scholes(n):
    assert price(KouEuropeanCall(0.5, 100), n, lam=0.0) == pytest.approx(5.798137071, rel=5e-10)


@pytest.mark.parametrize("n", [171, 1000, 2**31 - 1])
def test_term_count_is_capped_at_170(n):
    capped = price(KouEuropeanCall(0.5, 100), 170)
    assert math.isfinite(capped)
    assert price(KouEuropeanCall(0.5, 100), n) == capped


@pytest.mark.parametrize("T, K", [(0.5, 80.0), (0.5, 100.0), (2.0, 130.0)])
def test_put_call_parity(T, K):
    difference = price(KouEuropeanPut(T, K), 12) - price(KouEuropeanCall(T, K), 12)
    assert difference == pytest.approx(K * math.exp(-0.05 * T) - 100.0, abs=1e-12)


def test_every_construction_route_builds_the_same_option():
    routes = [
        KouEuropeanCall(1.0, 50.0),
        create_european_call(1.0, 50.0),
        create_european_call(T=1.0, K=50.0),
        create_european_call(K=50.0, T=1.0),
        create_european_call(1, 50),
    ]
    assert {price(option, 8) for option in routes} == {price(routes[0], 8)}
    assert price(create_european_put(1, 50), 8) == price(KouEuropeanPut(1.0, 50.0), 8)
    # Maturity first: swapping the terms is a different option.
    assert price(KouEuropeanCall(50.0, 1.0), 8) != price(routes[0], 8)


def test_factories_return_the_concrete_classes():
    put = create_european_put(1.0, 50.0)
    assert type(put) is KouEuropeanPut
    assert isinstance(put, EuropeanOption) and isinstance(put, Option)
    assert type(create_european_call(1.0, 50.0)) is KouEuropeanCall


def test_price_dispatches_on_the_object_type():
    put, call = KouEuropeanPut(0.5, 100.0), KouEuropeanCall(0.5, 100.0)
    through_base = EuropeanOption.priceByKouJumpDiffusion(put, *REFERENCE.values(), 10)
    assert through_base == price(put, 10) != price(call, 10)
    assert "priceByKouJumpDiffusion" not in vars(KouEuropeanPut)


def test_python_subclasses_price_as_their_base():
    class MyPut(KouEuropeanPut):
        pass

    assert price(MyPut(0.5, 100.0), 10) == price(KouEuropeanPut(0.5, 100.0), 10)


@pytest.mark.parametrize("n, accepted", [(True, True), (-1, True), (0, True), (2**31 - 1, True),
                                         (-(2**31), True), (10.0, False), (2**31, False),
                                         (-(2**31) - 1, False), ("10", False), (None, False)])
def test_term_count_is_a_32_bit_integer(n, accepted):
    call = KouEuropeanCall(0.5, 100.0)
    if accepted:
        assert isinstance(price(call, n), float)
    else:
        with pytest.raises(TypeError, match="incompatible function arguments"):
            price(call, n)
    if n is True:
        assert price(call, n) == price(call, 1)


def test_price_takes_keywords_in_any_order():
    call = KouEuropeanCall(0.5, 100.0)
    keywords = dict(reversed(list({**REFERENCE, "n": 10}.items())))
    assert call.priceByKouJumpDiffusion(**keywords) == price(call, 10)
    assert price(call, 10, S=100) == price(call, 10)


@pytest.mark.parametrize(
    "call_with",
    [
        lambda c: c.priceByKouJumpDiffusion(*REFERENCE.values()),
        lambda c: c.priceByKouJumpDiffusion(*REFERENCE.values(), 10, 1),
        lambda c: c.priceByKouJumpDiffusion(**REFERENCE, n=10, q=0.6),
        lambda c: c.priceByKouJumpDiffusion(**{**REFERENCE, "S": None}, n=10),
        lambda c: c.priceByKouJumpDiffusion(**{**REFERENCE, "eta1": "10"}, n=10),
    ],
)
def test_price_rejects_bad_calls(call_with):
    with pytest.raises(TypeError):
        call_with(KouEuropeanCall(0.5, 100.0))


@pytest.mark.parametrize(
    "build",
    [
        lambda: KouEuropeanCall(T=1.0, K=50.0),
        lambda: KouEuropeanPut(1.0),
        lambda: KouEuropeanCall(1.0, 50.0, 2.0),
        lambda: KouEuropeanCall(None, 50.0),
        lambda: create_european_call(1.0),
        lambda: create_european_put(1.0, "50"),
    ],
)
def test_construction_rejects_bad_arguments(build):
    with pytest.raises(TypeError):
        build()


@pytest.mark.parametrize("cls", [Option, EuropeanOption])
def test_bases_are_not_constructible(cls):
    with pytest.raises(TypeError, match=f"{dexpjump.__name__}.{cls.__name__}: No constructor defined!$"):
        cls()


def test_init_checks_self():
    with pytest.raises(TypeError, match="called with invalid or missing `self` argument"):
        KouEuropeanCall.__init__(KouEuropeanPut(1.0, 50.0), 1.0, 50.0)


def test_subclasses_must_call_the_base_constructor():
    class Forgetful(KouEuropeanCall):
        def __init__(self):
            pass

    with pytest.raises(TypeError, match=r"\.__init__\(\) must be called when overriding __init__"):
        Forgetful()


def test_contract_terms_are_hidden_and_fixed():
    call = KouEuropeanCall(0.5, 100.0)
    for name in ("K", "T"):
        with pytest.raises(AttributeError):
            getattr(call, name)
        with pytest.raises(AttributeError):
            setattr(call, name, 1.0)
    before = price(call, 10)
    assert call.__init__(2.0, 50.0) is None
    assert price(call, 10) == before


def test_degenerate_inputs_come_back_as_floats():
    call, put = KouEuropeanCall(0.5, 100.0), KouEuropeanPut(0.5, 100.0)
    assert math.isnan(price(KouEuropeanCall(0.0, 100.0), 5))
    assert math.isnan(price(put, 5, sigma=0.0))
    assert not math.isfinite(price(call, 5, eta1=1.0))
    assert math.isnan(price(call, 5, S=-100.0))
    assert math.isnan(price(call, 5, r=math.nan))
    assert math.isnan(price(put, 5, S=math.inf))
