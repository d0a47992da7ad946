"""Argument handling of price, greeks and sensitivities: broadcasting, scalars, kinds,
threads and the errors for bad input."""

import datetime
import math

import numpy as np
import pytest

import tarnwick as tw

KOU = tw.Kou(sigma=0.16, lam=1.0, p=0.4, eta1=10.0, eta2=5.0)
MERTON = tw.Merton(sigma=0.2, lam=1.0, m=-0.1, s=0.2)
FUNCTIONS = [tw.price, tw.greeks, tw.sensitivities]


def first(result):
    """The price from any of the three functions' results."""
    if isinstance(result, tw.Greeks):
        return result.price
    if isinstance(result, dict):
        return result["price"]
    return result


@pytest.mark.parametrize("function", FUNCTIONS)
def test_all_scalar_input_gives_floats(function):
    value = first(function(KOU, 100, 100, 0.5, 0.05))
    assert type(value) is float and value > 0


@pytest.mark.parametrize("function", FUNCTIONS)
def test_results_take_the_broadcast_shape_and_match_elementwise(function):
    S = np.array([[90.0], [100.0]])
    K = np.array([80.0, 100.0, 120.0])
    T = [0.25, 0.5, 1.0]
    kind = np.array([["call"], ["PUT"]])
    out = first(function(MERTON, S, K, T, 0.03, 0.01, kind=kind))
    assert out.shape == (2, 3)
    # Options of one maturity may share a contour, so agreement is to rounding, not bits.
    for i in range(2):
        for j in range(3):
            single = first(function(MERTON, S[i, 0], K[j], T[j], 0.03, 0.01, kind=kind[i, 0]))
            assert out[i, j] == pytest.approx(single, rel=1e-12, abs=1e-13 * S[i, 0])


def test_every_output_has_the_broadcast_shape():
    g = tw.greeks(KOU, 100.0, np.linspace(80, 120, 5), np.array([[0.5], [1.0]]))
    assert all(v.shape == (2, 5) for v in g)
    d = tw.sensitivities(KOU, 100.0, np.linspace(80, 120, 5), 0.5)
    assert list(d) == ["price", *KOU.parameter_names] and all(v.shape == (5,) for v in d.values())


def unaligned(values):
    """A float64 array whose data starts one byte past an 8-byte boundary, as arrays
    unpickled from a shared buffer can."""
    raw = np.zeros(len(values) * 8 + 1, dtype=np.uint8)
    array = raw[1:].view(np.float64)
    array[:] = values
    assert not array.flags.aligned
    return array


def test_unaligned_arrays_give_the_aligned_results():
    # The sanitizer run of the suite turns a misaligned read in the extension into a failure.
    K = np.linspace(80.0, 120.0, 9)
    T = np.full(9, 0.5)
    assert np.array_equal(tw.price(KOU, 100.0, unaligned(K), unaligned(T), 0.05), tw.price(KOU, 100.0, K, T, 0.05))
    prices = tw.price(MERTON, 100.0, K, T, 0.05)
    assert np.array_equal(tw.implied_volatility(unaligned(prices), 100.0, K, unaligned(T), 0.05),
                          tw.implied_volatility(prices, 100.0, K, T, 0.05))


def test_empty_input_gives_empty_output():
    assert tw.price(KOU, 100.0, np.array([]), 1.0).shape == (0,)


@pytest.mark.parametrize(
    "name, value, words",
    [("S", 0.0, "> 0"), ("S", -1.0, "> 0"), ("K", math.nan, "> 0"), ("K", math.inf, "> 0"),
     ("T", 0.0, "> 0"), ("T", -0.5, "> 0"), ("r", math.nan, "finite"), ("q", -math.inf, "finite"),
     ("S", "abc", "real number"), ("T", [0.5, None], "real number"),
     # Each was read as something else before: a spot of 1, a dropped imaginary part, the
     # masked 5.0 itself, days since 1970.
     ("S", True, "not booleans"), ("K", [100.0, True], "not booleans"), ("q", np.zeros(2, bool), "not booleans"),
     ("S", 100.0 + 1e-3j, "not complex"), ("r", [0.01, 1j], "not complex"), ("K", "100", "real number"),
     ("K", np.ma.masked_array([100.0, 5.0], mask=[False, True]), "masked entries"),
     ("T", np.datetime64("2030-01-01"), "not be a date.*year fractions or durations"),
     ("T", datetime.date(2030, 1, 1), "not be a date"), ("T", np.timedelta64(3, "M"), "'M' units"),
     ("K", np.timedelta64(30, "D"), "not durations")],
)
def test_bad_market_argument_is_named(name, value, words):
    args = dict(S=100.0, K=100.0, T=0.5, r=0.0, q=0.0)
    args[name] = value
    for function in FUNCTIONS:
        with pytest.raises(ValueError, match=rf"^{name}( must|:|).*{words}"):
            function(KOU, **args)
    with pytest.raises(ValueError, match=rf"^{name}( must|:|).*{words}"):
        tw.implied_volatility(5.0, **args)


def test_durations_are_years_act_365_and_dates_are_refused():
    pd = pytest.importorskip("pandas")
    thirty_days = [np.timedelta64(30, "D"), np.timedelta64(720, "h"), datetime.timedelta(days=30),
                   pd.Timedelta("30D"), np.array([30 * 86400 * 10**9], "m8[ns]"),
                   pd.Series(pd.to_timedelta([30], unit="D")), [datetime.timedelta(days=30)]]
    expected = tw.price(KOU, 100.0, 100.0, np.array([30 / 365]))  # not the price of 30 years
    vol = tw.implied_volatility(expected, 100.0, 100.0, 30 / 365)
    for T in thirty_days:
        assert np.array_equal(np.ravel(tw.price(KOU, 100.0, 100.0, T)), expected), T
        assert np.array_equal(np.ravel(tw.implied_volatility(expected, 100.0, 100.0, T)), vol), T
    for date in (pd.Timestamp("2030-01-01"), pd.Series(pd.to_datetime(["2030-01-01"]))):
        with pytest.raises(ValueError, match="T must not be a date"):
            tw.price(KOU, 100.0, 100.0, date)


VALUATION = np.datetime64("2026-12-09")
EXPIRIES = np.array(["2027-03-19", "2027-12-09", "2031-06-20"], dtype="datetime64[D]")
DAYS = (EXPIRIES - VALUATION) / np.timedelta64(1, "D")


@pytest.mark.parametrize("function", FUNCTIONS)
def test_forwards_discount_factors_and_dates_price_as_spot_rate_and_dividend(function):
    pd = pytest.importorskip("pandas")
    S, K, r, q, T = 100.0, np.array([80.0, 100.0, 125.0]), 0.04, 0.015, DAYS / 365
    F, D = S * np.exp((r - q) * T), np.exp(-r * T)
    expected = first(function(MERTON, S, K, T, r, q, "put"))
    vol = tw.implied_volatility(expected, S, K, T, r, q, "put")
    ways = [dict(S=None, T=EXPIRIES, forward=F, discount=D, valuation=VALUATION),
            dict(S=None, T=T, r=r, forward=F),  # the forward discounted at r
            dict(S=S, T=[str(e) for e in EXPIRIES], q=q, discount=D, valuation=pd.Timestamp(VALUATION)),
            dict(S=S, T=pd.Series(pd.to_datetime(EXPIRIES)), r=r, q=q,
                 valuation=datetime.date(2026, 12, 9))]
    for way in ways:
        np.testing.assert_allclose(first(function(MERTON, K=K, kind="put", **way)), expected,
                                   rtol=1e-12)
        np.testing.assert_allclose(tw.implied_volatility(expected, K=K, kind="put", **way), vol,
                                   rtol=1e-10)
    for day_count, year in (("act/360", 360), ("ACT/365.25", 365.25)):
        in_years = first(function(MERTON, S, K, DAYS / year, r, q, "put"))
        for T, valuation in ((EXPIRIES, VALUATION), (EXPIRIES - VALUATION, None)):
            np.testing.assert_allclose(first(function(MERTON, S, K, T, r, q, "put", valuation=valuation,
                                                      day_count=day_count)), in_years, rtol=1e-14)


@pytest.mark.parametrize("options, message", [
    (dict(forward=100.0), "S and forward both given: the forward replaces the spot; pass S=None"),
    (dict(S=None, forward=100.0, q=0.01), "q and forward both given"),
    (dict(r=0.01, discount=0.99), "r and discount both given"),
    (dict(S=None), "S is None: give a spot, or a forward"),
    (dict(S=None, forward=[100.0, -1.0]), "forward must be finite and > 0, got -1.0"),
    (dict(discount=0.0), "discount must be finite and > 0"),
    (dict(discount=[0.9, 0.95], T=[0.5, 1.0, 2.0]), "discount \\(2,\\), T \\(3,\\)"),
    (dict(T="2026-12-09", valuation="2026-12-09"), "T: expiry 2026-12-09 is not after the valuation date"),
    (dict(T=0.5, valuation="2026-12-09"), "T must be dates .* got 0.5"),
    (dict(T="2027-13-01", valuation="2026-12-09"), "T must be dates .* got '2027-13-01'"),
    (dict(T="2027-06-01", valuation=["2026-12-09", "2026-12-10"]), "valuation must be one date"),
    (dict(day_count="30/360"), "day_count must be one of 'ACT/365F', 'ACT/365.25', 'ACT/360'"),
])
def test_conflicting_or_bad_market_inputs_are_named(options, message):
    args = dict(dict(S=100.0, K=100.0, T=0.5), **options)
    for function in FUNCTIONS:
        with pytest.raises(ValueError, match=message):
            function(KOU, **args)
    with pytest.raises(ValueError, match=message):
        tw.implied_volatility(5.0, **args)


def test_negative_rates_and_yields_are_valid():
    assert tw.price(KOU, 100.0, 100.0, 1.0, r=-0.02, q=-0.01) > 0


@pytest.mark.parametrize("kind", ["straddle", "", None, 1, ["call", "putt"]])
def test_bad_kind(kind):
    with pytest.raises(ValueError, match="kind"):
        tw.price(KOU, 100.0, 100.0, 0.5, kind=kind)


def test_kind_is_case_insensitive():
    assert tw.price(KOU, 100.0, 90.0, 0.5, kind="Put") == tw.price(KOU, 100.0, 90.0, 0.5, kind="put")


def test_shapes_that_do_not_broadcast():
    with pytest.raises(ValueError, match="broadcast"):
        tw.price(KOU, [100.0, 101.0], [90.0, 100.0, 110.0], 0.5)
    with pytest.raises(ValueError, match="broadcast"):
        tw.price(KOU, 100.0, [90.0, 100.0], 0.5, kind=["call", "put", "call"])


def test_model_must_be_a_model():
    with pytest.raises(TypeError, match="model"):
        tw.price((0.2,), 100.0, 100.0, 0.5)


# 40000 aborted the interpreter, 2**32 gave pybind11's signature text.
@pytest.mark.parametrize("threads", [0, -1, 1.5, "2", True, 1025, 40000, 2**32])
def test_bad_thread_count(threads):
    with pytest.raises(ValueError, match="threads"):
        tw.price(KOU, 100.0, 100.0, 0.5, threads=threads)


def test_thread_count_from_the_environment(monkeypatch):
    K = np.linspace(50, 150, 101)
    monkeypatch.setenv("TARNWICK_NUM_THREADS", "2")
    two = tw.price(KOU, 100.0, K, 0.5)
    for setting in ("zero", "1000000000", "9" * 5000):
        monkeypatch.setenv("TARNWICK_NUM_THREADS", setting)
        with pytest.raises(ValueError, match="TARNWICK_NUM_THREADS must be a positive integer"):
            tw.price(KOU, 100.0, K, 0.5)
    monkeypatch.delenv("TARNWICK_NUM_THREADS")
    np.testing.assert_array_equal(two, tw.price(KOU, 100.0, K, 0.5, threads=1))


def test_pandas_series_keep_their_index_and_misaligned_ones_are_refused():
    pd = pytest.importorskip("pandas")
    index = pd.Index(["c", "a", "b"], name="id")
    K = pd.Series([90.0, 100.0, 110.0], index=index)
    T = pd.Series(pd.to_timedelta([30, 91, 365], unit="D"), index=index)
    years = np.array([30, 91, 365]) / 365.0
    prices = tw.price(KOU, 100.0, K, T, 0.05)
    assert isinstance(prices, pd.Series) and prices.name == "price"
    assert prices.index.equals(index)
    np.testing.assert_array_equal(prices.to_numpy(), tw.price(KOU, 100.0, K.to_numpy(), years, 0.05))
    vols = tw.implied_volatility(prices, 100.0, K, T, 0.05)
    assert vols.name == "iv" and vols.index.equals(index)
    g = tw.greeks(KOU, 100.0, K, years, 0.05)  # one Series among arrays is enough
    assert g.delta.name == "delta" and g.delta.index.equals(index)
    d = tw.sensitivities(KOU, 100.0, K, years, 0.05)
    assert d["eta1"].name == "eta1" and d["eta1"].index.equals(index)
    # The same labels in another order: combining by position would pair wrong rows.
    with pytest.raises(ValueError, match="T and K are pandas Series with different indexes"):
        tw.price(KOU, 100.0, K, T.iloc[::-1], 0.05)
    with pytest.raises(ValueError, match=r"broadcast to shape \(2, 3\)"):
        tw.price(KOU, 100.0, K, np.array([[0.5], [1.0]]))
