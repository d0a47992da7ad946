"""Calibration: recovery of known parameters from noisy synthetic surfaces, the Jacobian,
the options, and the errors a user meets."""

import sys

import numpy as np
import pytest

import tarnwick as tw
from tarnwick._black import black_price
from tarnwick import _calibrate as calibration, _pricing
from tarnwick._calibrate import Objective, model_implied_vols, read_surface

S, R, Q = 100.0, 0.03, 0.01
NOISE = 0.001  # 0.1 vol point
MATURITIES = (1 / 12, 2 / 12, 0.25, 0.5, 0.75, 1.0, 1.5, 2.0)
KOU = tw.Kou(sigma=0.15, lam=0.6, p=0.25, eta1=14.0, eta2=7.0)
MERTON = tw.Merton(sigma=0.16, lam=0.5, m=-0.15, s=0.12)
HESTON = tw.Heston(v0=0.03, kappa=2.5, theta=0.05, xi=0.6, rho=-0.7)
BATES = tw.Bates(v0=0.03, kappa=2.5, theta=0.04, xi=0.5, rho=-0.7, lam=0.4, m=-0.12, s=0.1)


def surface(model, seed, r=R, q=Q):
    """8 maturities x 13 strikes spread with the square root of maturity, the model's
    implied vols plus Gaussian noise scaled to a root mean square of exactly 0.1 vol
    point; and the noise added."""
    T = np.repeat(MATURITIES, 13)
    x = np.tile(np.linspace(-3.0, 1.8, 13), len(MATURITIES))
    K = np.round(S * np.exp((r - q) * T + x * 0.2 * np.sqrt(T)), 2)
    exact = model_implied_vols(model, S, K, T, r, q)
    assert np.isfinite(exact).all()
    noise = np.random.default_rng(seed).standard_normal(T.size)
    noise *= NOISE / np.sqrt(np.mean(noise ** 2))
    return {"strike": K, "maturity": T, "iv": exact + noise}, noise


def parameters(model):
    return {name: getattr(model, name) for name in model.parameter_names}


@pytest.mark.parametrize("truth, seed", [(KOU, 1), (KOU, 2), (MERTON, 3), (HESTON, 4), (BATES, 5)],
                         ids=["kou-1", "kou-2", "merton", "heston", "bates"])
def test_noisy_surface_gives_back_the_parameters_within_their_errors(truth, seed):
    quotes, noise = surface(truth, seed)
    fit = tw.calibrate(type(truth), quotes, S, R, Q)
    assert fit.success
    assert type(fit.model) is type(truth)
    # The true parameters leave exactly the noise as residuals, so the global optimum can
    # only do better, and by no more than the few degrees of freedom it fits away.
    assert np.sqrt(np.mean(noise ** 2)) == pytest.approx(NOISE)
    assert 0.9 * NOISE <= fit.rmse_iv <= NOISE * (1 + 1e-6)
    for name, value in parameters(truth).items():
        error = fit.standard_errors[name]
        assert 0 < error < 0.5 * abs(value), name
        assert abs(getattr(fit.model, name) - value) <= 3 * error, name
    assert fit.residuals.shape == (104,)
    assert fit.rmse_iv == pytest.approx(np.sqrt(np.mean(fit.residuals ** 2)))
    by_maturity = fit.rmse_by_maturity()
    assert list(by_maturity) == pytest.approx(MATURITIES)
    assert np.sqrt(np.mean(np.square(list(by_maturity.values())))) == pytest.approx(fit.rmse_iv)
    assert fit.nfev > 0 and fit.elapsed > 0


def test_black_scholes_fits_a_flat_surface_to_its_vol():
    T = np.repeat([0.25, 1.0], 5)
    K = np.tile([80.0, 90.0, 100.0, 110.0, 120.0], 2)
    fit = tw.calibrate(tw.BlackScholes, {"strike": K, "maturity": T, "iv": np.full(10, 0.231)},
                       S, R, Q)
    assert fit.model.sigma == pytest.approx(0.231, abs=1e-9)
    assert fit.rmse_iv < 1e-9 and fit.rmse_price < 1e-8


def test_price_target_and_price_quotes_agree_with_the_vol_fit():
    quotes, _ = surface(KOU, 4)
    by_vol = tw.calibrate(tw.Kou, quotes, S, R, Q)
    kind = np.where(quotes["strike"] >= S, "call", "put")
    prices = black_price(quotes["iv"], S, quotes["strike"], quotes["maturity"], R, Q,
                         kind == "call")
    price_quotes = {"strike": quotes["strike"], "maturity": quotes["maturity"], "kind": kind,
                    "price": prices}
    for target in ("iv", "price"):
        fit = tw.calibrate(tw.Kou, price_quotes, S, R, Q, target=target)
        # Vega-weighted price errors are the vol errors to first order: the optima differ
        # by much less than the parameters' statistical errors.
        for name, value in parameters(by_vol.model).items():
            tolerance = 0.3 if target == "price" else 1e-3
            assert abs(getattr(fit.model, name) - value) <= tolerance * by_vol.standard_errors[name]
        np.testing.assert_allclose(fit.quotes["price"], prices, rtol=1e-12)
        assert fit.rmse_iv == pytest.approx(by_vol.rmse_iv, rel=0.02)


def test_fixed_parameters_stay_and_the_others_are_fitted():
    quotes, _ = surface(KOU, 5)
    fit = tw.calibrate(tw.Kou, quotes, S, R, Q, fixed={"p": 0.25, "eta1": 14.0})
    assert fit.model.p == 0.25 and fit.model.eta1 == 14.0
    assert set(fit.standard_errors) == {"sigma", "lam", "eta2"}
    for name in ("sigma", "lam", "eta2"):
        assert abs(getattr(fit.model, name) - getattr(KOU, name)) <= 3 * fit.standard_errors[name]


def test_x0_replaces_the_multistart():
    quotes, _ = surface(MERTON, 6)
    full = tw.calibrate(tw.Merton, quotes, S, R, Q)
    one = tw.calibrate(tw.Merton, quotes, S, R, Q, x0=MERTON)
    also = tw.calibrate(tw.Merton, quotes, S, R, Q, x0=parameters(MERTON))
    assert one.nfev < full.nfev
    assert one.model == also.model
    for name, value in parameters(full.model).items():
        assert getattr(one.model, name) == pytest.approx(value, abs=0.01 * full.standard_errors[name])


def test_per_quote_rates_dataframes_and_mappings_are_the_same_quotes():
    pd = pytest.importorskip("pandas")
    quotes, _ = surface(MERTON, 7)
    fit = tw.calibrate(tw.Merton, quotes, S, R, Q, x0=MERTON)
    frame = pd.DataFrame({**quotes, "rate": R, "dividend": Q})
    from_frame = tw.calibrate(tw.Merton, frame, S, 0.5, 0.5, x0=MERTON)  # columns win
    assert from_frame.model == fit.model
    assert from_frame.rmse_iv == fit.rmse_iv


def test_the_jacobian_is_the_derivative_of_the_residuals(monkeypatch):
    # At the full goals: the search's looser ones (checked below) would swamp the
    # differences' step of 1e-6.
    monkeypatch.setattr(calibration, "SEARCH_LOOSEN", 0.0)
    monkeypatch.setattr(calibration, "JACOBIAN_LOOSEN", 0.0)
    quotes, _ = surface(KOU, 8)
    for target in ("iv", "price"):
        data = read_surface(quotes, S, R, Q, drop_invalid=False, threads=None)
        objective = Objective(tw.Kou, KOU.parameter_names, KOU.parameter_names, {}, data,
                              target, None)
        x = np.array([0.2, 1.0, 0.4, 10.0, 5.0])
        jacobian = objective.jacobian(x)
        for j in range(x.size):
            h = 1e-6 * x[j]
            up, down = x.copy(), x.copy()
            up[j] += h
            down[j] -= h
            central = (objective.residuals(up) - objective.residuals(down)) / (2 * h)
            np.testing.assert_allclose(jacobian[:, j], central, rtol=1e-4, atol=1e-7)


@pytest.mark.parametrize("truth", [HESTON, BATES, KOU], ids=["heston", "bates", "kou"])
def test_the_search_prices_within_its_goals_and_the_fit_reports_the_pricing_apis_prices(truth):
    quotes, _ = surface(truth, 6)
    data = read_surface(quotes, S, R, Q, drop_invalid=False, threads=None)
    objective = Objective(type(truth), truth.parameter_names, truth.parameter_names, {}, data,
                          "iv", None)
    market = objective._market
    code, values = truth._code, np.array(truth._parameters())
    for output, full in ((0, _pricing.price), (2, _pricing.sensitivities)):
        # No loosening is the pricing API's own pass, to the bit.
        np.testing.assert_array_equal(_pricing.coarse(output, code, values, *market, 0.0, 1)[0],
                                      full(code, values, *market, 1)[0])
    loose, status = _pricing.coarse(0, code, values, *market, calibration.SEARCH_LOOSEN, 1)
    assert (status == 0).all()
    discounted_forward = S * np.exp(-Q * data.maturity)
    goal = np.exp(-35 + calibration.SEARCH_LOOSEN) * discounted_forward
    assert np.all(np.abs(loose[0] - objective.prices(truth)) <= goal)
    # Near the optimum the search's residuals are those of full accuracy to 1e-5 (of a
    # tick's 1e-3) and its Jacobian to 1e-4 of each column's largest entry.
    full_prices, full_jacobian = objective.reported(values)
    np.testing.assert_allclose(objective.residuals(values),
                               objective.residuals_and_scale(full_prices)[0], rtol=0, atol=1e-5)
    jacobian = objective.jacobian(values)
    assert np.all(np.abs(jacobian - full_jacobian) <= 1e-4 * np.abs(full_jacobian).max(axis=0))

    fit = tw.calibrate(type(truth), quotes, S, R, Q, x0=truth)
    # The reported prices are the pricing API's (the in-the-money ones by parity, to an ulp
    # of the forward), where the search's would be some 1e-9 S off.
    np.testing.assert_allclose(fit.quotes["model_price"], tw.price(
        fit.model, S, quotes["strike"], quotes["maturity"], R, Q), rtol=0, atol=1e-12 * S)


def test_quotes_outside_the_bounds_are_reported_by_row_or_dropped():
    quotes, _ = surface(MERTON, 9)
    strike, T = quotes["strike"], quotes["maturity"]
    prices = black_price(quotes["iv"], S, strike, T, R, Q, True)
    prices[[3, 50]] = 0.0  # a call is worth more than nothing
    prices[70] = S * 1.01  # ... and less than the spot
    bad = {"strike": strike, "maturity": T, "price": prices}
    with pytest.raises(ValueError, match=r"3 quote\(s\) cannot be fitted: outside the no-arbitrage "
                                         r"bounds.*rows \[3, 50, 70\].*drop_invalid=True"):
        tw.calibrate(tw.Merton, bad, S, R, Q)
    fit = tw.calibrate(tw.Merton, bad, S, R, Q, drop_invalid=True, x0=MERTON)
    assert fit.dropped == (3, 50, 70)
    assert fit.residuals.size == 101
    assert 3 not in fit.quotes["row"] and list(fit.quotes["row"][:4]) == [0, 1, 2, 4]
    negative_vol = dict(quotes, iv=np.where(np.arange(104) == 7, -0.1, quotes["iv"]))
    with pytest.raises(ValueError, match=r"rows \[7\]"):
        tw.calibrate(tw.Merton, negative_vol, S, R, Q)


@pytest.mark.parametrize(
    "change, message",
    [
        (lambda q: {k: v for k, v in q.items() if k != "maturity"},
         r"missing column\(s\) maturity; .*the columns found are: strike, iv"),
        (lambda q: {"strike": q["strike"], "maturity": q["maturity"]},
         r"missing column\(s\) iv or price"),
        (lambda q: dict(q, strike=np.where(np.arange(104) == 5, 0.0, q["strike"])),
         r"strike must be finite and > 0; not so at rows \[5\]"),
        (lambda q: dict(q, maturity=np.where(np.arange(104) >= 100, -1.0, q["maturity"])),
         r"maturity must be finite and > 0; not so at rows \[100, 101, 102, 103\]"),
        (lambda q: dict(q, kind=np.array(["call", "straddle"] * 52)),
         r"kind must be 'call' or 'put'; not so at rows \[1, 3, 5,"),
        (lambda q: dict(q, iv=q["iv"][:50]), r"column 'iv' has 50 rows, strike 104"),
        # Read as something else before: days since 1970, dropped imaginary parts and masks.
        (lambda q: dict(q, maturity=np.datetime64("2030-01-01") + np.zeros(104, "m8[D]")),
         r"quotes: maturity must not be a date.*pass year fractions or durations"),
        (lambda q: dict(q, maturity=np.ones(104, "m8[M]")), r"quotes: maturity: a timedelta64 in 'M'"),
        (lambda q: dict(q, strike=q["strike"] + 0j), r"quotes: strike must be real numbers, not complex"),
        (lambda q: dict(q, rate=np.ones(104, bool)), r"quotes: rate must be real numbers, not booleans"),
        (lambda q: dict(q, iv=np.ma.masked_greater(q["iv"], 0.3)), r"quotes: iv has masked entries"),
        # Numbers in the wrong unit, and market inputs that contradict each other.
        (lambda q: dict(q, iv=100 * q["iv"]), r"104 quote\(s\) cannot be fitted: implied "
         r"volatilities above 5 \(500 %.*were percentages entered"),
        (lambda q: dict(q, maturity=365 * q["maturity"]),
         r"maturities over 100 years at rows \[39, .*\(e.g. 182.5\).*were days entered"),
        (lambda q: dict(q, maturity=q["maturity"] / 1e6), r"maturities under a minute at rows \[0, 1,"),
        (lambda q: dict(q, bid_iv=q["iv"] + 0.01, ask_iv=q["iv"]),
         r"bid_iv and ask_iv must be finite with 0 <= bid_iv <= ask_iv; not so at rows \[0, 1,"),
        (lambda q: dict(q, weight=np.where(np.arange(104) == 4, 0.0, 1.0)),
         r"weight must be finite and > 0 .*rows \[4\]"),
        (lambda q: dict(q, forward=S * np.exp((R - Q) * q["maturity"]), dividend=Q),
         r"forward and dividend both given"),
        (lambda q: dict(q, discount=np.exp(-R * q["maturity"])), r"discount and r both given"),
    ],
)
def test_malformed_quotes_are_value_errors(change, message):
    quotes, _ = surface(MERTON, 10)
    with pytest.raises(ValueError, match=message):
        tw.calibrate(tw.Merton, change(quotes), S, R, Q)


@pytest.mark.parametrize(
    "options, message",
    [
        ({"fixed": {"rho": 0.1}}, r"fixed: unknown parameter\(s\) \['rho'\]"),
        ({"bounds": {"lam": (2.0, 1.0)}}, r"bounds: expected low < high for 'lam'"),
        ({"bounds": {"eta1": (2.0, 3.0)}}, r"bounds: unknown parameter 'eta1'"),
        ({"target": "vol"}, r"target must be 'iv' or 'price'"),
        ({"starts": 0}, r"starts must be an integer from 1 to 1000"),
        ({"starts": 2**31 - 1}, r"starts must be an integer from 1 to 1000"),
        ({"starts": True}, r"starts must be an integer"),
        ({"threads": 2**32}, r"threads must be a positive integer no larger than 1024"),
        ({"fixed": {"s": -0.1}}, r"fixed: s must be >= 0, got -0.1"),
        ({"bounds": {"sigma": (0.0, 1.0)}}, r"bounds: sigma must be > 0, got 0.0"),
        ({"bounds": {"lam": (0.0, np.inf)}}, r"bounds: lam must be >= 0, got inf"),
        ({"x0": {"sigma": 0.2}}, r"x0: no value for the free parameter\(s\) \['lam', 'm', 's'\]"),
    ],
)
def test_bad_options_are_value_errors_naming_the_argument(options, message):
    quotes, _ = surface(MERTON, 11)
    with pytest.raises(ValueError, match=message):
        tw.calibrate(tw.Merton, quotes, S, R, Q, **options)
    with pytest.raises(ValueError, match="S must be a finite number > 0"):
        tw.calibrate(tw.Merton, quotes, -1.0, R, Q)


def test_bounds_hold_the_fit(capsys):
    quotes, _ = surface(KOU, 12)
    fit = tw.calibrate(tw.Kou, quotes, S, R, Q, bounds={"lam": (0.0, 0.3)}, progress=True)
    assert 0.0 <= fit.model.lam <= 0.3
    assert fit.rmse_iv > 2 * NOISE  # too few jumps allowed to fit the skew
    assert "calibration starts" in capsys.readouterr().err  # the bar, on stderr


def test_progress_without_tqdm_names_the_extra(monkeypatch):
    import sys

    monkeypatch.setitem(sys.modules, "tqdm", None)
    quotes, _ = surface(MERTON, 13)
    with pytest.raises(ImportError, match=r"tarnwick\[progress\]"):
        tw.calibrate(tw.Merton, quotes, S, R, Q, progress=True)


SAMPLE = tw.sample_quotes()


def as_prices(quotes):
    """The same quotes given as prices of their kind."""
    prices = black_price(quotes["iv"], SAMPLE.S, quotes["strike"], quotes["maturity"],
                         quotes["rate"], quotes["dividend"], quotes["kind"] == "call")
    return {**{k: v for k, v in quotes.items() if k != "iv"}, "price": prices}


def with_row(quotes, **row):
    return {name: np.append(values, row.get(name, values[0])) for name, values in quotes.items()}


# Each fitted with success=True before: the first at an iv RMSE of 1.4e47 (a price of
# 1.7e-61 divided by its vega of 1.5e-58), the iv of 1e6 quietly (its price is the upper
# bound, which as a price quote was refused).
@pytest.mark.parametrize("quotes, dropped, message", [
    (with_row(SAMPLE.quotes, strike=105.0, maturity=1e-4, iv=0.3, kind="call"), (104,),
     r"1 quote\(s\) cannot be fitted: with a vega below 1e-08 S .* at rows \[104\]"),
    (dict(SAMPLE.quotes, iv=np.where(np.arange(104) == 0, 1e6, SAMPLE.quotes["iv"])), (0,),
     r"implied volatilities above 5 \(500 %.*percentages entered.*at rows \[0\]"),
], ids=["vega-1e-58", "iv-1e6"])
@pytest.mark.filterwarnings("ignore:calibrate. the quotes do not identify:RuntimeWarning")
def test_quotes_that_fix_no_volatility_are_refused_alike_as_vols_and_as_prices(quotes, dropped,
                                                                               message):
    with pytest.raises(ValueError, match=message):
        tw.calibrate(tw.Kou, quotes, SAMPLE.S)
    by_vol = tw.calibrate(tw.Kou, quotes, SAMPLE.S, drop_invalid=True)
    by_price = tw.calibrate(tw.Kou, as_prices(quotes), SAMPLE.S, drop_invalid=True)
    assert by_vol.dropped == by_price.dropped == (dropped or by_vol.dropped)
    for fit in (by_vol, by_price):
        assert np.isfinite(fit.residuals).all() and np.abs(fit.residuals).max() < 100
    if dropped:
        assert by_vol.success and by_vol.rmse_iv < 0.001


def test_fewer_quotes_than_free_parameters_and_no_scatter_left():
    one = {name: values[:1] for name, values in SAMPLE.quotes.items()}
    # Fitted with success=True and standard errors of 1e-10 before.
    with pytest.raises(ValueError, match=r"1 quote\(s\) to fit for 5 free parameters"):
        tw.calibrate(tw.Kou, one, SAMPLE.S)
    with pytest.warns(RuntimeWarning, match="no scatter"):
        fit = tw.calibrate(tw.BlackScholes, one, SAMPLE.S)
    assert fit.success and fit.rmse_iv < 1e-9 and np.isnan(fit.standard_errors["sigma"])


def test_success_is_false_where_the_optimiser_stops_at_its_evaluation_limit():
    six = {name: values[40:46] for name, values in SAMPLE.quotes.items()}  # one maturity
    fit = tw.calibrate(tw.Kou, six, SAMPLE.S)
    assert not fit.success and np.isfinite(fit.rmse_iv)


def test_unidentified_parameters_get_infinite_standard_errors_and_a_warning():
    flat = dict(SAMPLE.quotes, iv=np.full(104, 0.2))
    with pytest.warns(RuntimeWarning, match=r"do not identify \['lam', 'p', 'eta1', 'eta2'\]"):
        fit = tw.calibrate(tw.Kou, flat, SAMPLE.S)
    # Jumps of rate eta1 near its bound of 200 pass for diffusion: no jump parameter is
    # pinned down, while sigma is.
    assert fit.success and fit.rmse_iv < 1e-6 and fit.model.sigma == pytest.approx(0.2, abs=1e-4)
    assert 0 <= fit.standard_errors["sigma"] < 1e-4
    assert all(fit.standard_errors[name] == np.inf for name in ("lam", "p", "eta1", "eta2"))


def test_maturities_as_durations_are_years_act_365():
    pd = pytest.importorskip("pandas")
    days = np.round(SAMPLE.quotes["maturity"] * 365)
    in_years = dict(SAMPLE.quotes, maturity=days / 365)
    durations = pd.DataFrame(dict(SAMPLE.quotes, maturity=pd.to_timedelta(days, unit="D")))
    assert durations["maturity"].dtype.kind == "m"
    assert tw.calibrate(tw.Merton, durations, SAMPLE.S).model == \
        tw.calibrate(tw.Merton, in_years, SAMPLE.S).model


def test_the_feller_condition_holds_at_the_fit_and_binds_where_the_surface_breaks_it():
    quotes, _ = surface(HESTON, 6)  # 2 kappa theta = 0.25 < xi^2 = 0.36
    free = tw.calibrate(tw.Heston, quotes, S, R, Q)
    fit = tw.calibrate(tw.Heston, quotes, S, R, Q, feller=True)
    assert fit.success and fit.rmse_iv > free.rmse_iv
    model = fit.model
    assert model.xi ** 2 <= 2 * model.kappa * model.theta * (1 + 1e-12)
    assert model.xi ** 2 >= 2 * model.kappa * model.theta * (1 - 1e-6)
    with pytest.raises(ValueError, match="feller: Kou has no Feller condition"):
        tw.calibrate(tw.Kou, quotes, S, feller=True)
    with pytest.raises(ValueError, match="leave xi free"):
        tw.calibrate(tw.Heston, quotes, S, feller=True, fixed={"xi": 0.3})


def dated(quotes, valuation):
    """The quotes with expiry dates (to the microsecond) in place of maturities."""
    expiry = valuation + np.round(quotes["maturity"] * 365 * 86400e6).astype("m8[us]")
    return dict(quotes, maturity=expiry)


def test_forwards_discount_factors_and_dates_are_the_market_of_spot_rate_and_dividend():
    pd = pytest.importorskip("pandas")
    quotes, _ = surface(MERTON, 11)
    base = tw.calibrate(tw.Merton, quotes, S, R, Q, x0=MERTON)
    T = quotes["maturity"]
    forward, discount = S * np.exp((R - Q) * T), np.exp(-R * T)
    valuation = pd.Timestamp("2026-12-09")
    by_date = dated(quotes, valuation.to_datetime64())
    ways = [
        # Per-quote columns and no spot: the shortest maturity's forward stands in.
        (dict(quotes, forward=forward, discount=discount), {}),
        # One value per expiry, keyed by date, and an ISO valuation date.
        (by_date, dict(S=S, valuation="2026-12-09",
                       forward=dict(zip(by_date["maturity"], forward)),
                       discount=dict(zip(by_date["maturity"], discount)))),
        # A DataFrame of Timestamps, the forward discounted at the argument r.
        (pd.DataFrame(dict(by_date, forward=forward)), dict(r=R, valuation=valuation)),
    ]
    for given, options in ways:
        fit = tw.calibrate(tw.Merton, given, x0=MERTON, **options)
        for name, value in parameters(base.model).items():
            assert getattr(fit.model, name) == pytest.approx(value, rel=1e-8), name
        np.testing.assert_allclose(fit.quotes["maturity"], T, rtol=1e-12)
        np.testing.assert_allclose(fit.residuals, base.residuals, atol=1e-9)
        assert fit.S == options.get("S", forward[0])  # T[0] is the shortest
    with pytest.raises(ValueError, match=r"forward: no value for the maturities \[2.0\]"):
        tw.calibrate(tw.Merton, quotes, S, forward=dict(zip(T[T < 2], forward[T < 2])))
    with pytest.raises(ValueError, match="S: no spot given"):
        tw.calibrate(tw.Merton, quotes)


def test_bid_ask_quotes_fit_the_mid_and_weigh_by_one_rule_for_vols_and_prices():
    quotes, _ = surface(MERTON, 12)
    iv, strike, T = quotes["iv"], quotes["strike"], quotes["maturity"]
    wide = np.arange(104) % 3 == 0
    half = np.where(wide, 0.01, 0.0005)  # 1 and 0.05 vol point each way
    vols = dict(strike=strike, maturity=T, bid_iv=iv - half, ask_iv=iv + half)
    bid, ask = (black_price(iv + sign * half, S, strike, T, R, Q, True) for sign in (-1, 1))
    prices = dict(strike=strike, maturity=T, bid=bid, ask=ask)
    by_vol, by_price = (read_surface(q, S, R, Q, False, None) for q in (vols, prices))
    np.testing.assert_allclose(by_vol.iv, iv, rtol=1e-14)
    # The mid price, not the mid vol: the same to within the spread's convexity.
    assert (np.abs(by_price.iv - iv) < np.where(wide, 2e-3, 1e-5)).all()
    # One rule: the weights differ only as the vegas at the two mids do.
    np.testing.assert_allclose(by_vol.weight, by_price.weight, rtol=0.05)
    # A spread of 1 vol point each way weighs a tenth of one under 0.1 vol point.
    np.testing.assert_allclose(by_vol.weight[wide], 0.1, rtol=0.02)
    assert (by_vol.weight[~wide] == 1.0).all()
    np.testing.assert_array_equal(read_surface(dict(vols, weight=2.0), S, R, Q, False, None).weight,
                                  2 * by_vol.weight)
    # The wide quotes moved by 1.5 vol points: the weighted fit stays near the truth.
    moved = dict(vols, bid_iv=vols["bid_iv"] + 0.015 * wide, ask_iv=vols["ask_iv"] + 0.015 * wide)
    weighted = tw.calibrate(tw.Merton, moved, S, R, Q, x0=MERTON)
    plain = tw.calibrate(tw.Merton, dict(strike=strike, maturity=T, iv=iv + 0.015 * wide), S, R, Q,
                         x0=MERTON)
    exact = model_implied_vols(MERTON, S, strike, T, R, Q)
    plain_error, weighted_error = (np.sqrt(np.mean((fit.quotes["model_iv"] - exact) ** 2))
                                   for fit in (plain, weighted))
    assert weighted_error < 0.1 * plain_error


@pytest.mark.parametrize("change, S_given, message", [
    (lambda q: dict(q, rate=5.0), S, r"rate beyond 1 in magnitude at rows \[0, 1, .*were percentages entered"),
    # Calls and puts of the same strikes priced at S, calibrated with a spot 20 % higher.
    (lambda q: {"strike": np.tile(q["strike"], 2), "maturity": np.tile(q["maturity"], 2),
                "kind": np.repeat(["call", "put"], 104),
                "price": np.concatenate([black_price(q["iv"], S, q["strike"], q["maturity"], R, Q, c)
                                         for c in (True, False)])},
     1.2 * S, r"put-call parity of the quotes at maturity .* implies a forward of .*, 17 % from"),
])
def test_suspicious_market_inputs_are_warned_of(change, S_given, message):
    quotes, _ = surface(MERTON, 13)
    with pytest.warns(UserWarning, match=message):
        read_surface(change(quotes), S_given, R, Q, True, None)


def test_summary_frame_and_repr_read_the_fit(monkeypatch):
    sample = tw.sample_quotes()
    fit = tw.calibrate(tw.Merton, sample.quotes, sample.S, fixed={"s": 0.2})
    lines = fit.summary().splitlines()
    assert lines[0].startswith("Merton fitted to 104 quotes (S=100) in ")
    table = {line.split()[0]: line.split()[1:] for line in lines[2:6]}
    assert table["s"] == ["0.2", "fixed"]
    for name in ("sigma", "lam", "m"):
        value, error = map(float, table[name])
        assert value == pytest.approx(getattr(fit.model, name), rel=1e-7)
        assert error == pytest.approx(fit.standard_errors[name], rel=2e-3)
    per_maturity = [line.split() for line in lines[8:]]
    np.testing.assert_allclose(np.array(per_maturity, dtype=float), [
        (T, 13, 100 * e) for T, e in fit.rmse_by_maturity().items()], rtol=1e-6, atol=5e-5)
    # Every line of a table as wide as its header: right-aligned columns.
    assert len({len(line) for line in lines[8:]} | {len(lines[7])}) == 1
    assert "\n" not in repr(fit) and len(repr(fit)) < 160 and "Merton(sigma=0." in repr(fit)

    frame = fit.to_frame()
    assert list(frame.index) == list(fit.quotes["row"]) and frame.index.name == "row"
    np.testing.assert_array_equal(frame["residual"], fit.residuals)
    np.testing.assert_allclose(frame["model_iv"] - frame["iv"], frame["residual"], atol=1e-12)
    np.testing.assert_array_equal(frame["price_residual"], frame["model_price"] - frame["price"])
    assert (frame["kind"] == sample.quotes["kind"]).all()
    monkeypatch.setitem(sys.modules, "pandas", None)
    with pytest.raises(ImportError, match=r"pip install 'tarnwick\[pandas\]'"):
        fit.to_frame()
