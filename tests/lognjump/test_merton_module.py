"""MertonEuropeanCall as Python sees it: prices, construction and argument handling."""

import math

import pytest

from tarnwick.models.lognjump import MertonEuropeanCall

# S, sigma, r, lam, m, s of the published reference prices (strike 100, maturity 1).
REFERENCE = dict(S=100.0, sigma=0.2, r=0.05, lam=1.0, m=-0.1, s=0.2)


def price(call, n, **changes):
    return call.JDAnalyticalPrice(**{**REFERENCE, **changes}, n=n)


@pytest.fixture
def call():
    return MertonEuropeanCall(100.0, 1.0)


@pytest.mark.parametrize(
    "n, expected", [(0, 5.91976867), (2.7, 12.9369647), (50, 13.6886813), (170, 13.6886813)]
)
def test_reference_prices(call, n, expected):
    assert price(call, n) == pytest.approx(expected, rel=5e-9)


@pytest.mark.parametrize("n", [0, 3, 50])
def test_without_jumps_the_price_is_black_scholes(call, n):
    assert price(call, n, lam=0.0) == pytest.approx(10.4505836, rel=5e-9)


def test_no_jump_size_scales_black_scholes_by_the_poisson_mass(call):
    # With m = s = 0 every term is the plain Black-Scholes price.
    bs = price(call, 0, lam=0.0)
    weights = sum(math.exp(-1.0) / math.factorial(i) for i in range(4))
    assert price(call, 3, m=0.0, s=0.0) == pytest.approx(bs * weights, rel=1e-14)


def test_term_bound_is_floored_and_numeric(call):
    assert price(call, 0.5) == price(call, 0)
    assert price(call, 20) == price(call, 20.0)
    assert price(call, 2.999) == price(call, 2)


@pytest.mark.parametrize("n", [-1, -0.5, math.nan, -math.inf])
def test_negative_or_nan_term_bound_gives_zero(call, n):
    assert price(call, n) == 0.0


@pytest.mark.parametrize("T", [0.0, -1.0])
def test_non_positive_maturity_gives_nan(T):
    assert math.isnan(price(MertonEuropeanCall(100.0, T), 5))


def test_nan_and_inf_pass_through(call):
    assert math.isnan(price(call, 5, S=math.nan))
    assert price(call, 5, S=math.inf) == math.inf


def test_strike_comes_first():
    assert price(MertonEuropeanCall(1.0, 100.0), 10) != price(MertonEuropeanCall(100.0, 1.0), 10)
    assert price(MertonEuropeanCall(100, 1), 10) == price(MertonEuropeanCall(100.0, 1.0), 10)
    assert price(MertonEuropeanCall(100, True), 10) == price(MertonEuropeanCall(100.0, 1.0), 10)


class Number:
    def __init__(self, value):
        self.value = value

    def __float__(self):
        return self.value


def test_number_like_arguments_are_converted(call):
    assert price(call, 10, S=Number(100.0)) == price(call, 10)
    assert price(call, Number(10.0)) == price(call, 10)


@pytest.mark.parametrize(
    "args, kwargs",
    [((100.0,), {}), ((100.0, 1.0, 2.0), {}), ((), {"K": 100.0, "T": 1.0}), (("100", 1.0), {})],
)
def test_constructor_takes_exactly_two_positional_numbers(args, kwargs):
    with pytest.raises(TypeError):
        MertonEuropeanCall(*args, **kwargs)


def test_price_takes_keywords_in_any_order(call):
    keywords = dict(reversed(list({**REFERENCE, "n": 10}.items())))
    assert call.JDAnalyticalPrice(**keywords) == call.JDAnalyticalPrice(*REFERENCE.values(), 10)


@pytest.mark.parametrize(
    "changes",
    [{"S": None}, {"sigma": "0.2"}, {"n": None}, {"K": 100.0}, {"S": 10**400}],
)
def test_price_rejects_bad_arguments(call, changes):
    with pytest.raises(TypeError, match="incompatible function arguments"):
        call.JDAnalyticalPrice(**{**REFERENCE, "n": 10, **changes})


def test_price_rejects_missing_and_extra_arguments(call):
    with pytest.raises(TypeError):
        call.JDAnalyticalPrice(*REFERENCE.values())
    with pytest.raises(TypeError):
        call.JDAnalyticalPrice(*REFERENCE.values(), 10, 1)


def test_contract_terms_are_hidden(call):
    for name in ("K", "T"):
        with pytest.raises(AttributeError):
            getattr(call, name)
        with pytest.raises(AttributeError):
            setattr(call, name, 1.0)


def test_second_init_is_ignored(call):
    before = price(call, 10)
    assert call.__init__(50.0, 2.0) is None
    assert price(call, 10) == before


def test_init_checks_self():
    with pytest.raises(TypeError, match="called with invalid or missing `self` argument"):
        MertonEuropeanCall.__init__(object(), 100.0, 1.0)


def test_subclasses_must_call_the_base_constructor(call):
    class Priced(MertonEuropeanCall):
        pass

    class Forgetful(MertonEuropeanCall):
        def __init__(self):
            pass

    assert price(Priced(100.0, 1.0), 10) == price(call, 10)
    with pytest.raises(TypeError, match=r"lognjump\.MertonEuropeanCall\.__init__\(\) must be called"):
        Forgetful()
