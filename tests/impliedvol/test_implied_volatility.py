"""tw.implied_volatility: round trips against 50-digit Black-Scholes prices (mpmath, stored
by tests/references/make_impliedvol_references.py), the no-arbitrage bounds, broadcasting,
threads, argument errors, and any arguments at all (hypothesis)."""

import csv
import doctest
import math
from pathlib import Path

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import tarnwick as tw
from tarnwick import _implied_volatility

EPS = np.finfo(float).eps
REFERENCES = Path(__file__).resolve().parent.parent / "references" / "impliedvol_roundtrip.csv"


def load_references():
    with REFERENCES.open() as handle:
        rows = list(csv.DictReader(handle))
    columns = {name: np.array([float(row[name]) for row in rows]) for name in
               ("S", "K", "T", "r", "q", "sigma", "price", "vega")}
    columns["kind"] = np.array([row["kind"] for row in rows])
    return columns


@pytest.fixture(scope="module")
def references():
    return load_references()


def bounds(price, S, K, T, r, q, kind):
    """The no-arbitrage bounds as stated in the docstring, with the C library's exp."""
    spot, strike = S * math.exp(-q * T), K * math.exp(-r * T)
    if kind == "call":
        return max(spot - strike, 0.0), spot
    return max(strike - spot, 0.0), strike


def inherent_error(c):
    """Relative error in sigma that the rounding of the inputs alone leaves: half an ulp of
    the price and of ln(S/K) + (r - q) T (whose slope is at most the larger of S and K),
    over vega * sigma. Far from the bounds it is far below 1e-12."""
    with np.errstate(divide="ignore", invalid="ignore"):
        return EPS * (c["price"] + np.maximum(c["S"], c["K"])
                      * (np.abs(np.log(c["S"] / c["K"])) + np.abs(c["r"] - c["q"]) * c["T"])
                      ) / (c["vega"] * c["sigma"])


class TestRoundTrips:
    def test_recovers_sigma_wherever_the_price_determines_it(self, references):
        c = references
        iv = tw.implied_volatility(c["price"], c["S"], c["K"], c["T"], c["r"], c["q"], c["kind"])
        error = np.abs(iv - c["sigma"]) / c["sigma"]
        determined = c["vega"] * c["sigma"] > 1e-12 * c["S"]
        inherent = inherent_error(c)
        assert determined.sum() > 1500
        bad = determined & ~(error <= 1e-12 + 8 * inherent)
        assert not bad.any(), [(c["K"][i] / c["S"][i], c["sigma"][i], c["T"][i], c["kind"][i], error[i])
                               for i in np.flatnonzero(bad)[:10]]
        # Wherever the inputs leave less than 1e-13, the 1e-12 goal holds as it stands.
        assert error[determined & (inherent < 1e-13)].max() < 1e-12
        well = determined & (inherent < 1e-14)
        assert well.sum() > 600
        assert error[well].max() < 1e-14

    def test_far_wings_are_covered_and_recovered(self, references):
        c = references
        moneyness = c["K"] / c["S"]
        wings = ((moneyness <= 0.25) | (moneyness >= 4.0)) & (inherent_error(c) < 1e-14)
        out_of_money = np.where(c["kind"] == "call", moneyness > 1.0, moneyness < 1.0)
        sample = wings & out_of_money
        assert sample.sum() >= 40
        iv = tw.implied_volatility(c["price"][sample], c["S"][sample], c["K"][sample], c["T"][sample],
                                   c["r"][sample], c["q"][sample], c["kind"][sample])
        np.testing.assert_allclose(iv, c["sigma"][sample], rtol=1e-13)


class TestBounds:
    CASES = [(100.0, 90.0, 0.5, 0.03, 0.01), (100.0, 130.0, 2.0, 0.05, 0.1), (50.0, 50.0, 1 / 365, 0.0, 0.0)]

    @pytest.mark.parametrize("S, K, T, r, q", CASES)
    @pytest.mark.parametrize("kind", ["call", "put"])
    def test_at_and_just_outside_the_bounds(self, S, K, T, r, q, kind):
        lower, upper = bounds(0.0, S, K, T, r, q, kind)
        iv = lambda price: tw.implied_volatility(price, S, K, T, r, q, kind)  # noqa: E731
        assert iv(lower) == 0.0
        assert iv(upper) == math.inf
        assert math.isnan(iv(np.nextafter(upper, math.inf)))
        assert math.isnan(iv(np.nextafter(lower, -math.inf)))
        assert math.isnan(iv(math.nan))
        # One ulp inside either bound: a finite volatility, large near the upper one.
        assert 0.0 <= iv(np.nextafter(lower, math.inf)) < 1.0
        assert 1.0 < iv(np.nextafter(upper, 0.0)) < math.inf

    def test_call_and_put_at_parity_give_one_volatility(self):
        S, K, T, r, q = 100.0, np.array([60.0, 95.0, 100.0, 110.0, 200.0]), 1.5, 0.04, 0.02
        call = tw.implied_volatility(np.array([41.0, 12.0, 9.5, 5.0, 0.4]), S, K, T, r, q)
        put_price = np.array([41.0, 12.0, 9.5, 5.0, 0.4]) - S * math.exp(-q * T) + K * math.exp(-r * T)
        put = tw.implied_volatility(put_price, S, K, T, r, q, kind="put")
        np.testing.assert_allclose(put, call, rtol=1e-9)


class TestArrays:
    def test_broadcasting_matches_elementwise_scalars(self):
        price = np.array([[1.0], [5.0], [12.0]])
        K = np.array([90.0, 100.0, 110.0, 120.0])
        kind = np.array(["call", "put", "call", "put"])
        result = tw.implied_volatility(price, 100.0, K, 0.75, 0.02, 0.01, kind)
        assert result.shape == (3, 4)
        for i in range(3):
            for j in range(4):
                expected = tw.implied_volatility(float(price[i, 0]), 100.0, float(K[j]), 0.75, 0.02, 0.01, str(kind[j]))
                assert result[i, j] == expected or (math.isnan(result[i, j]) and math.isnan(expected))

    def test_scalars_give_a_float_and_zero_size_an_empty_array(self):
        assert isinstance(tw.implied_volatility(8.0, 100, 100, 1.0), float)
        assert isinstance(tw.implied_volatility(np.float64(8.0), np.array(100.0), 100, 1.0), float)
        assert tw.implied_volatility(np.empty((0, 3)), 100.0, 100.0, 1.0).shape == (0, 3)

    def test_one_and_many_threads_agree_bit_for_bit(self, monkeypatch):
        rng = np.random.default_rng(5)
        n = 200_000
        S = rng.uniform(50, 150, n)
        K = S * np.exp(rng.uniform(-1.5, 1.5, n))
        price = rng.uniform(0.0, 1.0, n) * S
        arguments = (price, S, K, rng.uniform(0.01, 10, n), 0.03, 0.01, np.where(rng.random(n) < 0.5, "call", "put"))
        single = tw.implied_volatility(*arguments, threads=1)
        np.testing.assert_array_equal(tw.implied_volatility(*arguments, threads=2), single)
        np.testing.assert_array_equal(tw.implied_volatility(*arguments, threads=7), single)
        monkeypatch.setenv("TARNWICK_NUM_THREADS", "2")
        np.testing.assert_array_equal(tw.implied_volatility(*arguments), single)


class TestArgumentErrors:
    @pytest.mark.parametrize("name", ["S", "K", "T"])
    @pytest.mark.parametrize("bad", [0.0, -1.0, math.inf, math.nan, [1.0, -2.0]])
    def test_market_arguments_must_be_finite_and_positive(self, name, bad):
        arguments = dict(price=5.0, S=100.0, K=100.0, T=1.0)
        arguments[name] = bad
        with pytest.raises(ValueError, match=rf"^{name} must be finite and > 0"):
            tw.implied_volatility(**arguments)

    @pytest.mark.parametrize("name", ["r", "q"])
    def test_rates_must_be_finite(self, name):
        with pytest.raises(ValueError, match=rf"^{name} must be finite"):
            tw.implied_volatility(5.0, 100.0, 100.0, 1.0, **{name: math.inf})

    @pytest.mark.parametrize("kind", ["c", 1, ["call", "straddle"], None])
    def test_kind_must_be_call_or_put(self, kind):
        with pytest.raises(ValueError, match="^kind must be"):
            tw.implied_volatility(5.0, 100.0, 100.0, 1.0, kind=kind)

    def test_kinds_in_any_case_among_exact_ones(self):
        kinds = np.array(["call", "Put", "CALL", "put", "pUt"])
        mixed = tw.implied_volatility(8.0, 100.0, 100.0, 1.0, 0.05, kind=kinds)
        np.testing.assert_array_equal(mixed, tw.implied_volatility(8.0, 100.0, 100.0, 1.0, 0.05, kind=np.char.lower(kinds)))
        assert mixed[0] != mixed[1]
        with pytest.raises(ValueError, match="got 'Straddle'$"):
            tw.implied_volatility(5.0, 100.0, 100.0, 1.0, kind=np.array(["call", "Put", "Straddle", "put"]))

    @pytest.mark.parametrize("kinds", [np.array(["call", "put", "put", "call", "Put", "call"])[::-1][::2],
                                       np.array(["put", "call", "put"], dtype=">U4"),
                                       np.array([["call", "put"], ["put", "call"]]).T,
                                       np.array("put")])
    def test_kinds_in_any_layout_and_byte_order(self, kinds):
        result = tw.implied_volatility(8.0, 100.0, 100.0, 1.0, 0.05, kind=kinds)
        expected = [tw.implied_volatility(8.0, 100.0, 100.0, 1.0, 0.05, kind=str(k)) for k in kinds.flat]
        np.testing.assert_array_equal(np.ravel(result), expected)

    def test_non_numeric_and_unbroadcastable_arguments(self):
        with pytest.raises(ValueError, match="^price must be a real number"):
            tw.implied_volatility("cheap", 100.0, 100.0, 1.0)
        with pytest.raises(ValueError, match=r"shapes do not broadcast together: S \(3,\), .*price \(2,\)"):
            tw.implied_volatility([1.0, 2.0], [100.0, 100.0, 100.0], 100.0, 1.0)

    @pytest.mark.parametrize("threads", [0, -1, 1.5, True, "2"])
    def test_threads_must_be_a_positive_integer(self, threads):
        with pytest.raises(ValueError, match="^threads must be a positive integer"):
            tw.implied_volatility(5.0, 100.0, 100.0, 1.0, threads=threads)

    def test_environment_variable_is_checked(self, monkeypatch):
        monkeypatch.setenv("TARNWICK_NUM_THREADS", "many")
        with pytest.raises(ValueError, match="^TARNWICK_NUM_THREADS must be a positive integer"):
            tw.implied_volatility(5.0, 100.0, 100.0, 1.0)


positive = st.floats(min_value=1e-3, max_value=1e4)
rates = st.floats(min_value=-0.2, max_value=0.5)


@settings(max_examples=400, deadline=None)
@given(S=positive, K=positive, T=st.floats(min_value=1e-4, max_value=50.0), r=rates, q=rates,
       kind=st.sampled_from(["call", "put"]), where=st.floats(min_value=-0.5, max_value=1.5),
       exact=st.sampled_from([None, "lower", "upper"]))
def test_any_valid_arguments_give_the_documented_result(S, K, T, r, q, kind, where, exact):
    lower, upper = bounds(0.0, S, K, T, r, q, kind)
    price = {"lower": lower, "upper": upper}.get(exact, lower + where * (upper - lower))
    iv = tw.implied_volatility(price, S, K, T, r, q, kind)
    if price < lower or price > upper:
        assert math.isnan(iv)
    elif price == lower:
        assert iv == 0.0
    elif price == upper:
        assert iv == math.inf
    else:
        assert 0.0 <= iv < math.inf


@settings(max_examples=200, deadline=None)
@given(price=st.floats(allow_nan=True, allow_infinity=True), S=st.floats(), K=st.floats(),
       T=st.floats(), r=st.floats(), q=st.floats())
def test_any_arguments_give_a_number_or_a_value_error(price, S, K, T, r, q):
    valid = all(math.isfinite(v) and v > 0 for v in (S, K, T)) and math.isfinite(r) and math.isfinite(q)
    if not valid:
        with pytest.raises(ValueError):
            tw.implied_volatility(price, S, K, T, r, q)
        return
    with np.errstate(all="ignore"):
        iv = tw.implied_volatility(price, S, K, T, r, q)
    assert isinstance(iv, float) and (math.isnan(iv) or iv >= 0.0)


def test_docstring_examples():
    failed, attempted = doctest.testmod(_implied_volatility, raise_on_error=False)[:2]
    assert attempted >= 3 and failed == 0
