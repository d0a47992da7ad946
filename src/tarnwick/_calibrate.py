"""Calibration of a model to option quotes: bounded least squares on implied-vol errors."""

import math
import time
import warnings
from dataclasses import dataclass
from typing import (Any, Dict, Generic, List, Mapping, Optional,
                    Sequence, Tuple, Type, TypeVar, Union)

import numpy as np
import numpy.typing as npt
# scipy ships no type information.
from scipy.optimize import least_squares  # type: ignore[import-untyped]

import tarnwick as tw
from tarnwick import _pricing, _table, _volatility
from tarnwick._black import black_price, black_vega, forward
from tarnwick._inputs import as_float_array, real_number, resolve_threads, shown
from tarnwick._market import DEFAULT_DAY_COUNT, per_expiry, to_years
from tarnwick._models import Parameter, registration
from tarnwick._status import warn_failures

Array = npt.NDArray[np.float64]
ModelT = TypeVar("ModelT")

DEFAULT_STARTS = 8
# Each start costs a pass over the surface; more than this is a typing slip.
MAX_STARTS = 1000
LOCAL_RUNS = 2
# The smallest xi^2 / (2 kappa theta) a fit under the Feller condition may reach.
FELLER_LOW = 1e-6
KINDS = ("call", "put")
# Surfaces smaller than this are evaluated on one thread unless the caller asks for more:
# a pass over them takes under 4 ms, a second thread saves at most a quarter of it on an
# idle core, and waiting for a busy one costs more (104 quotes: 0.3-0.4 ms per pass).
ONE_THREAD_QUOTES = 1000
# The one rule for quotes that carry no information on the volatility: a vega (per unit
# of volatility) below MIN_VEGA * S. Prices are accurate to about 1e-12 S, which then
# moves the implied vol by more than 0.01 vol point; and a price error divided by such a
# vega, the residual where the model's price has no usable implied vol, is noise times
# 1e8 or more. Such quotes are refused, and a model price whose implied vol has such a
# vega is compared by that price error instead.
MIN_VEGA = 1e-8
# Implied vols above this (500 %) are refused as percentages entered for fractions.
PERCENT_LIKE = 5.0
# Maturities outside [one minute, 100 years] are refused as entered in the wrong unit.
MATURITY_RANGE = (1.0 / (365.0 * 24.0 * 60.0), 100.0)
# Rates and yields beyond this in magnitude are warned of as percentages.
RATE_LIKE = 1.0
# A put-call pair whose parity forward is further than this from the one of the inputs
# is warned of: the spot, rate or forward is likely another underlying's or date's.
PARITY_GAP = 0.01
# The weighting rule. A quote's implied vol is known to within u = max(h / vega, VOL_TICK),
# h its price uncertainty: half the bid-ask spread (of the prices, or of the prices of the
# bid and ask vols), and at least PRICE_TICK of the discounted forward (the last digit of
# a quoted price). Its residual is weighted by VOL_TICK / u times its own weight: 1 for a
# quote known to 0.1 vol point, less for wide spreads and small vegas alike.
VOL_TICK = 1e-3
PRICE_TICK = 1e-5
# The search's passes sum the Fourier integrals to error goals raised by these many e-folds
# above the pricing API's (prices e^-35 and sensitivities e^-40 of the discounted forward):
# residuals from prices at e^-15, Jacobians from sensitivities at e^-16 (their row of
# prices is not used). Where the model's vega is near the market's, as it is near the
# optimum, a price error of e^-15 moves a weighted residual by at most 100 times it
# (PRICE_TICK caps the weight of a small vega), 3e-5, against 1e-3 for a quote known to
# VOL_TICK; measured at the fits of the Bates sample, 7e-7 and Jacobians within 3e-5 of
# their columns' size. The sums take a quarter to a half of the nodes. The fit's reported
# prices, residuals and standard errors come from passes at the full goals.
SEARCH_LOOSEN = 20.0
JACOBIAN_LOOSEN = 24.0
# A later local run is stopped where it joins the best optimum so far (_stop_where_joined).
JOINED = 5e-2
# A direction of the free parameters (each scaled by the width of its start box) along
# which the residuals change less than this fraction of the steepest one is not
# identified by the quotes.
IDENTIFIED = 1e-8


@dataclass(frozen=True, repr=False)
class CalibrationResult(Generic[ModelT]):
    """What :func:`calibrate` found.

    Attributes
    ----------
    model : the fitted model.
    rmse_iv : root mean square of ``residuals``, in volatility units (0.001 = 0.1 vol point).
    rmse_price : root mean square of model minus market prices of the quoted options.
    residuals : model minus market implied volatility per fitted quote (where the model's
        price has no implied vol with a vega of at least 1e-8 S, its price error divided
        by the market vega).
    nfev : evaluations of the model's prices over the surface, all starts together.
    njev : Jacobians the optimiser asked for, each from a pass of the prices' parameter
        sensitivities.
    elapsed : wall-clock seconds of the whole fit.
    success : whether the fit is a converged, finite optimum: the best local run stopped
        on one of the optimiser's convergence tests (small enough a change of the cost, a
        step or a gradient; not its evaluation limit), and every residual and both RMSEs
        are finite. ``tarnwick calibrate`` exits with status 1 where it is not.
    standard_errors : Gauss-Newton standard error of each free parameter, from the
        Jacobian at the optimum and the residuals' scatter: inf for parameters the quotes
        do not identify (a near null direction of the Jacobian), NaN for all when there
        are exactly as many quotes as free parameters (no scatter to estimate); either
        comes with a RuntimeWarning.
    quotes : the fitted quotes as arrays: strike, maturity, rate, dividend, kind, iv,
        model_iv, price, model_price, weight (of the residual in the fit), row (position
        in the input).
    S : the spot price of the fit.
    dropped : positions in the input of the quotes left out (``drop_invalid=True``).
    """

    model: ModelT
    rmse_iv: float
    rmse_price: float
    residuals: Array
    nfev: int
    njev: int
    elapsed: float
    success: bool
    standard_errors: Dict[str, float]
    quotes: Dict[str, Any]
    S: float
    dropped: Tuple[int, ...]

    def rmse_by_maturity(self) -> Dict[float, float]:
        """RMSE of the implied-vol residuals per maturity, in increasing maturity.

        Examples
        --------
        >>> sample = tw.sample_quotes()
        >>> fit = tw.calibrate(tw.BlackScholes, sample.quotes, sample.S)
        >>> len(fit.rmse_by_maturity())
        8
        """
        maturity = self.quotes["maturity"]
        return {
            float(T): float(np.sqrt(np.mean(self.residuals[maturity == T] ** 2)))
            for T in np.unique(maturity)
        }

    def __repr__(self) -> str:
        status = "converged" if self.success else "NOT converged"
        values = ", ".join(f"{name}={getattr(self.model, name):.6g}"
                           for name in self.model.parameter_names)  # type: ignore[attr-defined]
        return (f"<CalibrationResult {type(self.model).__name__}({values}): "
                f"{self.residuals.size} quotes, RMSE {100 * self.rmse_iv:.4g} vol pts, {status}>")

    def summary(self) -> str:
        """A readable report: the fitted parameters with their standard errors, the RMSE
        overall and per maturity, the quotes left out.

        Examples
        --------
        >>> sample = tw.sample_quotes()
        >>> fit = tw.calibrate(tw.BlackScholes, sample.quotes, sample.S)
        >>> print(fit.summary())  # doctest: +ELLIPSIS
        BlackScholes fitted to 104 quotes (S=100) in ... s, ... model evaluations, converged
          parameter       value  std. error
          sigma      0.23299172     0.00509
        RMSE 5.1695 vol pts in implied vol, 0.69393 in price
          maturity  quotes  RMSE (vol pts)
          0.083333      13          6.8591
          0.166667      13          6.4036
              0.25      13          5.9621
        ...
                 2      13          3.2660
        """
        status = "converged" if self.success else "NOT converged"
        # Standard errors to three digits and RMSEs to 1e-4 vol point: more would be noise.
        parameters = [(name, float(getattr(self.model, name)),
                       f"{self.standard_errors[name]:.3g}" if name in self.standard_errors
                       else "fixed")
                      for name in self.model.parameter_names]  # type: ignore[attr-defined]
        by_maturity = [(T, int(np.sum(self.quotes["maturity"] == T)), f"{100 * error:.4f}")
                       for T, error in self.rmse_by_maturity().items()]
        lines = [f"{type(self.model).__name__} fitted to {self.residuals.size} quotes "
                 f"(S={self.S:g}) in {self.elapsed:.3f} s, {self.nfev} model evaluations, "
                 f"{status}"]
        lines += _table.aligned(["parameter", "value", "std. error"], parameters, "  ")
        lines.append(f"RMSE {100 * self.rmse_iv:.4f} vol pts in implied vol, "
                     f"{self.rmse_price:.6g} in price")
        lines += _table.aligned(["maturity", "quotes", "RMSE (vol pts)"], by_maturity, "  ")
        if self.dropped:
            lines.append(f"left out (no implied volatility to fit): rows {list(self.dropped)}")
        return "\n".join(lines)

    def to_frame(self) -> Any:
        """The fitted quotes as a pandas DataFrame, one row per quote, indexed by its
        position in the input (``row``): strike, maturity, rate, dividend, kind, market
        and model implied vol, their residual (the fit's, in volatility units), market
        and model price and their difference.

        Raises
        ------
        ImportError
            Without pandas (``pip install 'tarnwick[pandas]'``).

        Examples
        --------
        >>> sample = tw.sample_quotes()
        >>> fit = tw.calibrate(tw.BlackScholes, sample.quotes, sample.S)
        >>> frame = fit.to_frame()  # doctest: +SKIP
        >>> frame.groupby("maturity")["residual"].abs().max()  # doctest: +SKIP
        """
        try:
            import pandas as pd
        except ImportError:
            raise ImportError("to_frame needs pandas: pip install 'tarnwick[pandas]'") from None
        q = self.quotes
        columns = {name: q[name] for name in ("strike", "maturity", "rate", "dividend", "kind",
                                              "iv", "model_iv")}
        columns["residual"] = self.residuals
        columns.update(price=q["price"], model_price=q["model_price"],
                       price_residual=q["model_price"] - q["price"])
        return pd.DataFrame(columns, index=pd.Index(q["row"], name="row"))


# --- the quotes ---------------------------------------------------------------------------


def _rows(mask: npt.NDArray[np.bool_]) -> List[int]:
    return [int(i) for i in np.flatnonzero(mask)]


def _shown(rows: Sequence[int]) -> str:
    return str(rows[:20])[:-1] + (", ...]" if len(rows) > 20 else "]")


@dataclass(frozen=True)
class Surface:
    """Validated quotes as float arrays (and the derived market numbers)."""

    S: float
    strike: Array
    maturity: Array
    rate: Array
    dividend: Array
    call: npt.NDArray[np.bool_]  # the quoted kind
    iv: Array
    price: Array  # of the quoted kind
    otm_call: npt.NDArray[np.bool_]  # the kind the implied vols are read from
    otm_kind: npt.NDArray[np.str_]
    otm_price: Array
    vega: Array  # Black-Scholes vega at the market vol
    weight: Array  # of each residual in the fit
    row: npt.NDArray[np.int64]
    dropped: Tuple[int, ...]


def _setting(quotes: Any, name: str, given: Any) -> Any:
    """The argument if given, else the quotes' entry of one value (a file's header line
    or a constant column), else None."""
    if given is not None or name not in quotes:
        return given
    values = np.asarray(quotes[name]).ravel()
    if values.size == 0 or np.any(values != values[0]):
        raise ValueError(f"quotes: {name} must be one value for all quotes, got {shown(values)}")
    return values[0]


def _spot(S: Any) -> float:
    spot = real_number(S)
    if spot is None or not 0.0 < spot < math.inf:
        raise ValueError(f"S must be a finite number > 0, got {S!r}")
    return spot


def _source(quotes: Any, name: str, given: Any, replaces: str, argument: Any) -> Any:
    """The forward or discount factors from the argument or the quotes' column (not both),
    and never with the column or argument they replace."""
    if given is not None and name in quotes:
        raise ValueError(f"quotes: {name} given as a column and as an argument; keep one")
    values = quotes[name] if given is None and name in quotes else given
    if values is not None and replaces in quotes:
        raise ValueError(f"quotes: {name} and {replaces} both given; the {name} sets the "
                         f"{replaces}: keep one")
    if values is not None and real_number(argument) != 0.0:
        raise ValueError(f"{name} and {'r' if replaces == 'rate' else 'q'} both given; the "
                         f"{name} sets the {replaces}: keep one")
    return values


def _columns(quotes: Any, S: Any, r: Any, q: Any, inputs: Mapping[str, Any]
             ) -> Tuple[float, Array, Array, Array, Array, Any]:
    """spot, strike, maturity (in years), rate, dividend and kind, as arrays of one length,
    each checked; the arguments r and q where the quotes have no such column, a discount
    factor as the rate -ln(D) / T and a forward as the dividend yield r - ln(F / S) / T."""
    missing = [name for name in ("strike", "maturity") if name not in quotes]
    if not any(all(name in quotes for name in names) for names in QUOTED):
        missing.append("iv or price (or bid and ask, or bid_iv and ask_iv)")
    if missing:
        found = ", ".join(map(str, quotes)) or "none"
        raise ValueError(f"quotes: missing column(s) {', '.join(missing)}; the quotes need "
                         "strike, maturity and iv or price (optional: kind, rate, dividend, "
                         f"forward, discount, weight); the columns found are: {found}")
    strike = as_float_array("quotes: strike", quotes["strike"]).ravel()
    if strike.size == 0:
        raise ValueError("quotes: no rows")
    valuation = _setting(quotes, "valuation", inputs.get("valuation"))
    day_count = _setting(quotes, "day_count", inputs.get("day_count")) or DEFAULT_DAY_COUNT
    maturity = quote_column(quotes, "maturity", strike.size, None,
                            lambda label, values: to_years(label, values, valuation, day_count))
    dated = " (an expiry on or before the valuation date)" if valuation is not None else ""
    for name, values in (("strike", strike), ("maturity", maturity)):
        bad = _rows(~(np.isfinite(values) & (values > 0)))
        if bad:
            raise ValueError(f"quotes: {name} must be finite and > 0; not so at rows {_shown(bad)}"
                             + (dated if name == "maturity" else ""))
    _check_maturities(maturity)

    def by_expiry(name: str, given: Any, replaces: str, argument: Any) -> Optional[Array]:
        values = _source(quotes, name, given, replaces, argument)
        if values is None:
            return None
        column: Array = quote_column({name: per_expiry(name, values, maturity, valuation,
                                                       day_count)}, name, strike.size)
        bad = _rows(~(np.isfinite(column) & (column > 0)))
        if bad:
            raise ValueError(f"quotes: {name} must be finite and > 0; not so at rows {_shown(bad)}")
        return column

    discount = by_expiry("discount", inputs.get("discount"), "rate", r)
    rate = (-np.log(discount) / maturity if discount is not None
            else quote_column(quotes, "rate", strike.size, ("r", r)))
    forward_value = by_expiry("forward", inputs.get("forward"), "dividend", q)
    spot = _setting(quotes, "spot", S)
    if spot is None and forward_value is not None:
        # Without a spot the forward of the shortest maturity stands in: the options
        # depend on the forwards alone, and S is then only the scale of the result.
        spot = forward_value[np.argmin(maturity)]
    if spot is None:
        raise ValueError("S: no spot given; pass S, or give the quotes a spot column or "
                         "'# spot:' line, or forwards")
    spot = _spot(spot)
    dividend = (rate - np.log(forward_value / spot) / maturity if forward_value is not None
                else quote_column(quotes, "dividend", strike.size, ("q", q)))
    for name, values in (("rate", rate), ("dividend", dividend)):
        if not np.isfinite(values).all():
            raise ValueError(f"quotes: {name} must be finite; not so at rows "
                             f"{_shown(_rows(~np.isfinite(values)))}")
        large = _rows(np.abs(values) > RATE_LIKE)
        if large:
            warnings.warn(f"calibrate: {name} beyond {RATE_LIKE:g} in magnitude at rows "
                          f"{_shown(large)} (e.g. {values[large[0]]:g}): rates are fractions "
                          "(0.05 for 5 %); were percentages entered, or a spot, forward or "
                          "discount factor of another expiry?", UserWarning, stacklevel=4)
    kind = np.char.lower(np.char.strip(quote_column(quotes, "kind", strike.size, ("kind", "call"))))
    bad = _rows(~np.isin(kind, KINDS))
    if bad:
        raise ValueError(f"quotes: kind must be 'call' or 'put'; not so at rows {_shown(bad)}")
    return spot, strike, maturity, rate, dividend, kind


def _check_maturities(maturity: Array) -> None:
    low, high = MATURITY_RANGE
    for bad, what, hint in (
            (maturity > high, "over 100 years", "were days entered? (30 days is 0.0822; or "
             "give dates with a valuation date, or durations)"),
            (maturity < low, "under a minute", "were they entered in another unit, or is the "
             "valuation date the expiry?")):
        rows = _rows(bad)
        if rows:
            raise ValueError(f"quotes: maturities {what} at rows {_shown(rows)} (e.g. "
                             f"{maturity[rows[0]]:g}): maturities are in years; {hint}")


# Each way a quote gives its market value: the first columns present are read.
QUOTED = (("iv",), ("price",), ("bid_iv", "ask_iv"), ("bid", "ask"))


def quote_column(quotes: Any, name: str, count: int,
                 default: Optional[Tuple[str, Any]] = None, read: Any = None) -> Any:
    """A column of the quotes (or the argument that stands in for it) as an array of count
    rows: text for kind, numbers otherwise, durations read as years for maturity (or as
    ``read(label, values)`` reads them)."""
    label, values = (f"quotes: {name}", quotes[name]) if default is None or name in quotes \
        else default
    if name == "kind":
        array = np.asarray(values, dtype=str)
    elif read is not None:
        array = read(label, values)
    else:
        array = as_float_array(label, values, durations=name == "maturity")
    array = np.broadcast_to(array, (count,)) if array.ndim == 0 else array.ravel()
    if array.shape != (count,):
        raise ValueError(f"quotes: column {name!r} has {array.size} rows, strike {count}")
    return array


def _bid_ask(quotes: Any, names: Tuple[str, str], count: int) -> Tuple[Array, Array]:
    bid, ask = (quote_column(quotes, name, count) for name in names)
    bad = _rows(~(np.isfinite(bid) & np.isfinite(ask) & (bid >= 0) & (bid <= ask)))
    if bad:
        raise ValueError(f"quotes: {names[0]} and {names[1]} must be finite with 0 <= "
                         f"{names[0]} <= {names[1]}; not so at rows {_shown(bad)}")
    return bid, ask


def _market_values(quotes: Any, market: Tuple[float, Array, Array, Array, Array], call: Any
                   ) -> Tuple[Optional[Array], Optional[Array], Array]:
    """The quoted implied vol or price (the mid where bid and ask are given; the other is
    None) and half the bid-ask spread in price, 0 where there is none."""
    count = market[1].size
    iv = price = None
    if "iv" in quotes:
        iv = quote_column(quotes, "iv", count)
    elif "price" in quotes:
        price = quote_column(quotes, "price", count)
    half = np.zeros(count)
    if "bid" in quotes and "ask" in quotes:
        bid, ask = _bid_ask(quotes, ("bid", "ask"), count)
        half = 0.5 * (ask - bid)
        price = 0.5 * (bid + ask) if iv is None and price is None else price
    elif "bid_iv" in quotes and "ask_iv" in quotes:
        bid, ask = _bid_ask(quotes, ("bid_iv", "ask_iv"), count)
        spot, strike, maturity, rate, dividend = market
        ask_price, bid_price = (black_price(vol, spot, strike, maturity, rate, dividend, call)
                                for vol in (ask, bid))
        half = 0.5 * (ask_price - bid_price)
        iv = 0.5 * (bid + ask) if iv is None and price is None else iv
    return iv, price, half


def _weights(quotes: Any, count: int, half: Array, vega: Array, scale: Array) -> Array:
    """The weighting rule (VOL_TICK, PRICE_TICK) times the quotes' own weight column."""
    own = quote_column(quotes, "weight", count, ("weight", 1.0))
    bad = _rows(~(np.isfinite(own) & (own > 0)))
    if bad:
        raise ValueError(f"quotes: weight must be finite and > 0 (leave a quote out rather than "
                         f"weigh it 0); not so at rows {_shown(bad)}")
    with np.errstate(divide="ignore", invalid="ignore"):
        known = np.maximum(np.maximum(half, PRICE_TICK * scale) / vega, VOL_TICK)
    return np.asarray(own * (VOL_TICK / known), dtype=np.float64)


def _warn_parity(spot: float, strike: Array, maturity: Array, rate: Array, dividend: Array,
                 call: Any, price: Array) -> None:
    """A warning where a call and a put of one strike and maturity imply, by parity
    C - P = D (F - K), a forward more than PARITY_GAP away from the inputs' one."""
    pairs: Dict[Tuple[float, float], List[int]] = {}
    for i, key in enumerate(zip(maturity.tolist(), strike.tolist())):
        pairs.setdefault(key, []).append(i)
    worst = None
    for rows in pairs.values():
        calls = [i for i in rows if call[i]]
        puts = [i for i in rows if not call[i]]
        if not (calls and puts and np.isfinite(price[calls[0]]) and np.isfinite(price[puts[0]])):
            continue
        c, p = calls[0], puts[0]
        given = spot * math.exp((rate[c] - dividend[c]) * maturity[c])
        implied = (price[c] - price[p]) * math.exp(rate[c] * maturity[c]) + strike[c]
        gap = abs(implied / given - 1.0)
        if gap > PARITY_GAP and (worst is None or gap > worst[0]):
            worst = (gap, maturity[c], strike[c], implied, given)
    if worst is not None:
        gap, T, K, implied, given = worst
        warnings.warn(f"calibrate: put-call parity of the quotes at maturity {T:.4g} and strike "
                      f"{K:g} implies a forward of {implied:.6g}, {100 * gap:.0f} % from the "
                      f"inputs' {given:.6g} (from the spot {spot:g}, rate and dividend, or the "
                      "forward): are they this underlying's and this date's?", UserWarning, stacklevel=4)


def read_surface(quotes: Any, S: Any, r: Any, q: Any, drop_invalid: bool,
                 threads: Optional[int], inputs: Optional[Mapping[str, Any]] = None) -> Surface:
    """The quotes checked and completed: market vols from prices or prices from vols, the
    out-of-the-money kind and the weight per quote. ``inputs`` holds calibrate's forward,
    discount, valuation and day_count.

    A quote is fitted only where its price (given, or Black's price of its implied vol)
    lies strictly inside the no-arbitrage bounds in double precision and its vega is at
    least MIN_VEGA * S: one test for implied-vol and price quotes alike."""
    spot, strike, maturity, rate, dividend, kind = _columns(quotes, S, r, q, inputs or {})
    market = (spot, strike, maturity, rate, dividend)
    call = kind == "call"
    quoted_iv, quoted_price, half = _market_values(quotes, market, call)
    percent = np.zeros(strike.size, dtype=bool)
    if quoted_iv is not None:
        iv = quoted_iv
        percent = iv > PERCENT_LIKE
        quoted = np.isfinite(iv) & (iv > 0) & ~percent
        price = np.where(quoted, black_price(np.where(quoted, iv, 1.0), *market, call), np.nan)
        # A vol whose price rounds onto a bound is as void as that price.
        implied = tw.implied_volatility(price, *market, kind, threads=threads)
        inside = quoted & np.isfinite(implied) & (implied > 0)
    else:
        price = np.asarray(quoted_price, dtype=float)
        iv = np.asarray(tw.implied_volatility(price, *market, kind, threads=threads), dtype=float)
        inside = np.isfinite(iv) & (iv > 0)
    _warn_parity(spot, strike, maturity, rate, dividend, call, price)
    vega = black_vega(np.where(inside, iv, 1.0), *market)
    informative = inside & (vega >= MIN_VEGA * spot)
    outside, flat, large = _rows(~inside & ~percent), _rows(inside & ~informative), _rows(percent)
    bad = sorted(outside + flat + large)
    if bad and not drop_invalid:
        reasons = [f"{what} at rows {_shown(rows)}" for what, rows in (
            (f"implied volatilities above {PERCENT_LIKE:g} (500 %: they are fractions, 0.2 for "
             "20 %; were percentages entered? Divide them by 100)", large),
            ("outside the no-arbitrage bounds (no positive implied volatility)", outside),
            (f"with a vega below {MIN_VEGA:g} S (the price does not determine the volatility)",
             flat)) if rows]
        raise ValueError(f"quotes: {len(bad)} quote(s) cannot be fitted: {'; '.join(reasons)}; "
                         "pass drop_invalid=True to fit without them")
    weight = _weights(quotes, strike.size, half, vega, spot * np.exp(-dividend * maturity))
    keep = np.flatnonzero(informative)
    strike, maturity, rate, dividend = strike[keep], maturity[keep], rate[keep], dividend[keep]
    # Implied vols are read from the out-of-the-money side: a deep in-the-money price is
    # mostly intrinsic value, and its time value (which carries the vol) loses digits.
    otm_call = strike >= forward(spot, maturity, rate, dividend)
    otm_price = black_price(iv[keep], spot, strike, maturity, rate, dividend, otm_call)
    return Surface(spot, strike, maturity, rate, dividend, call[keep], iv[keep], price[keep],
                   otm_call, np.where(otm_call, "call", "put"), otm_price, vega[keep],
                   weight[keep], keep.astype(np.int64), tuple(bad))


# --- the objective --------------------------------------------------------------------------


class Objective:
    """Residuals and their Jacobian in the free parameters."""

    def __init__(self, model_class: Any, names: Sequence[str], free: Sequence[str],
                 fixed: Mapping[str, float], surface: Surface, target: str,
                 threads: Optional[int]) -> None:
        self.model_class, self.names, self.free = model_class, list(names), list(free)
        self.fixed, self.surface, self.target = dict(fixed), surface, target
        # The surface is checked once (read_surface); each evaluation then hands its flat
        # arrays straight to the extensions, without the public functions' validation and
        # broadcasting (about a third of a 100-quote price's time).
        flat = [np.ascontiguousarray(a, dtype=np.float64)
                for a in (surface.strike, surface.maturity, surface.rate, surface.dividend)]
        self._market: Tuple[Array, Array, Array, Array, Array, npt.NDArray[np.int8]] = (
            np.full(surface.strike.size, surface.S), flat[0], flat[1], flat[2], flat[3],
            surface.otm_call.astype(np.int8))
        self._threads = resolve_threads(threads)
        if threads is None and surface.strike.size < ONE_THREAD_QUOTES:
            self._threads = self._threads or 1  # TARNWICK_NUM_THREADS still counts
        # Rows of the sensitivities table (price first) that belong to the free parameters.
        self._free_rows = [1 + self.names.index(name) for name in self.free]
        self.evaluations = self.jacobians = 0
        self._x: Optional[bytes] = None
        self._value: Tuple[Array, Array] = (np.empty(0), np.empty(0))

    def model(self, x: Array) -> Any:
        values = dict(self.fixed)
        values.update(zip(self.free, (float(v) for v in x)))
        return self.model_class(**{name: values[name] for name in self.names})

    def _pass(self, output: int, model: Any, loosen: float) -> Array:
        """The table of one pass over the surface (output 0 prices, 2 sensitivities) with
        the sums' goals raised by loosen e-folds (0: tw.price's and tw.sensitivities' own)."""
        table, status = _pricing.coarse(output, model._code, np.array(model._parameters()),
                                        *self._market, loosen, self._threads)
        warn_failures(status, list(zip(("S", "K", "T", "r", "q", "kind"), self._market)))
        return table

    def sensitivities(self, model: Any, loosen: float = 0.0) -> Array:
        """The table of prices (row 0) and their derivatives in each model parameter."""
        return self._pass(2, model, loosen)

    def prices(self, model: Any, loosen: float = 0.0) -> Array:
        return self._pass(0, model, loosen)[0, :]

    def model_ivs(self, prices: Array) -> Array:
        return _volatility.implied_volatility(np.ascontiguousarray(prices, dtype=float),
                                              *self._market, self._threads)

    def vol_residuals(self, prices: Array) -> Tuple[Array, Array]:
        """Model minus market implied vol per quote, and the vega that turns a price
        change into a vol change there. Where the model's price has no implied vol with
        a vega of at least MIN_VEGA * S (underflowed, or past a bound while a start is
        still far off), the market-vega weighted price error stands in: continuous, of
        the same size, and bounded since every quote's vega passes that test."""
        s = self.surface
        iv = self.model_ivs(prices)
        finite = np.isfinite(iv)
        vega = black_vega(np.where(finite, iv, 1.0), s.S, s.strike, s.maturity, s.rate,
                          s.dividend)
        has_iv = finite & (vega >= MIN_VEGA * s.S)
        residuals = np.where(has_iv, iv - s.iv, (prices - s.otm_price) / s.vega)
        return residuals, np.where(has_iv, vega, s.vega)

    def residuals_and_scale(self, prices: Array) -> Tuple[Array, Array]:
        """The weighted residuals of these out-of-the-money prices for the target, and the
        vega over the weight that divides their derivatives."""
        s = self.surface
        if self.target == "price":
            # Price errors in units of vol: divided by the market vega, the first-order
            # change of price per unit of implied vol. No inversion in the loop.
            residuals, vega = (prices - s.otm_price) / s.vega, s.vega
        else:
            residuals, vega = self.vol_residuals(prices)
        return residuals * s.weight, vega / s.weight

    def at(self, x: Array) -> Tuple[Array, Array]:
        """Residuals and vega scale at x (kept for the Jacobian least_squares asks for
        next), from a price pass at the search's goal."""
        key = np.asarray(x, dtype=float).tobytes()
        if key != self._x:
            self.evaluations += 1
            # Out-of-the-money options whatever the target: their prices are all time
            # value, and parity makes the two kinds' errors the same.
            self._x = key
            self._value = self.residuals_and_scale(self.prices(self.model(x), SEARCH_LOOSEN))
        return self._value

    def residuals(self, x: Array) -> Array:
        return self.at(x)[0]

    def jacobian(self, x: Array) -> Array:
        """d residual / d free parameter: dIV/dθ = (dV/dθ) / vega, at the model's vol, or
        the market's for price errors; from a pass of its own at JACOBIAN_LOOSEN."""
        _, scale = self.at(x)
        self.jacobians += 1
        table = self.sensitivities(self.model(x), JACOBIAN_LOOSEN)
        return (table[self._free_rows] / scale).T

    def cost(self, x: Array) -> float:
        """Half the sum of squared residuals, for screening starts."""
        return 0.5 * float(np.sum(self.residuals(x) ** 2))

    def reported(self, x: Array) -> Tuple[Array, Array]:
        """The out-of-the-money prices at x and the Jacobian there (empty without free
        parameters), both at the pricing API's goals."""
        model = self.model(x)
        prices = self.prices(model)
        if not self.free:
            return prices, np.empty((prices.size, 0))
        table = self.sensitivities(model, 0.0)
        _, scale = self.residuals_and_scale(prices)
        return prices, (table[self._free_rows] / scale).T


# --- starting points -----------------------------------------------------------------------

# One base per dimension of the Halton sequence: enough for models of up to 12 free
# parameters before a base repeats (and two dimensions move in lockstep).
PRIMES = (2, 3, 5, 7, 11, 13, 17, 19, 23, 29, 31, 37)


def radical_inverse(index: int, base: int) -> float:
    """The index-th point of van der Corput's sequence in this base (digits mirrored)."""
    value, scale = 0.0, 1.0 / base
    while index:
        index, digit = divmod(index, base)
        value += digit * scale
        scale /= base
    return value


def start_points(free: Sequence[Parameter], bounds: Mapping[str, Tuple[float, float]],
                 count: int) -> List[Array]:
    """count points of the unscrambled Halton sequence (from index 1, whose point is the
    middle of the box) mapped into each parameter's start box, within its bounds."""
    points = []
    for index in range(1, count + 1):
        point = []
        for dim, parameter in enumerate(free):
            low, high = bounds[parameter.name]
            start_low, start_high = max(parameter.start[0], low), min(parameter.start[1], high)
            u = radical_inverse(index, PRIMES[dim % len(PRIMES)])
            if parameter.logarithmic and start_low > 0:
                value = start_low * (start_high / start_low) ** u
            else:
                value = start_low + (start_high - start_low) * u
            point.append(value)
        points.append(np.array(point))
    return points


def model_implied_vols(model: Any, S: float, K: Any, T: Any, r: Any, q: Any,
                       threads: Optional[int] = None) -> Array:
    """The model's implied vols, read from its out-of-the-money option at every strike."""
    K, T, r, q = np.broadcast_arrays(*(np.asarray(a, dtype=float) for a in (K, T, r, q)))
    kind = np.where(K >= forward(S, T, r, q), "call", "put")
    prices = tw.price(model, S, K, T, r, q, kind, threads=threads)
    return np.asarray(tw.implied_volatility(prices, S, K, T, r, q, kind, threads=threads),
                      dtype=float)


class FellerRatio:
    """Coordinates in which the Feller condition 2 kappa theta >= xi^2 is a bound: xi is
    replaced by c = xi^2 / (2 kappa theta), kept in [FELLER_LOW, 1]. The identity when the
    condition is not asked for."""

    def __init__(self, free: Sequence[str], fixed: Mapping[str, float], enabled: bool) -> None:
        self.enabled, self.fixed = enabled, dict(fixed)
        self.index = {name: (free.index(name) if name in free else None) for name in ("kappa", "theta", "xi")}

    def _value(self, x: Array, name: str) -> float:
        i = self.index[name]
        return float(x[i]) if i is not None else self.fixed[name]

    def coordinates(self, x: Array) -> Array:
        y = np.array(x, dtype=float)
        if self.enabled:
            i = self.index["xi"]
            y[i] = x[i] ** 2 / (2.0 * self._value(x, "kappa") * self._value(x, "theta"))
        return y

    def parameters(self, y: Array) -> Array:
        x = np.array(y, dtype=float)
        if self.enabled:
            i = self.index["xi"]
            x[i] = math.sqrt(2.0 * self._value(y, "kappa") * self._value(y, "theta") * y[i])
        return x

    def jacobian(self, jacobian: Array, y: Array) -> Array:
        """d/dy from d/dx: xi = sqrt(2 kappa theta c) moves with kappa, theta and c."""
        if not self.enabled:
            return jacobian
        x = self.parameters(y)
        i = self.index["xi"]
        by_xi = jacobian[:, i]
        out = np.array(jacobian, dtype=float)
        out[:, i] = by_xi * x[i] / (2.0 * y[i])
        for name in ("kappa", "theta"):
            j = self.index[name]
            if j is not None:
                out[:, j] += by_xi * x[i] / (2.0 * x[j])
        return out


class LogScale:
    """Coordinates of the optimiser: the log of each parameter bounded away from zero
    (sigma, eta1, eta2, s), the parameter itself otherwise. Scale parameters then move by
    factors rather than increments, which conditions the problem better: a local run
    needs about a quarter fewer evaluations."""

    def __init__(self, logged: npt.NDArray[np.bool_]) -> None:
        self.logged = logged

    def coordinates(self, x: Array) -> Array:
        u = np.array(x, dtype=float)
        u[self.logged] = np.log(u[self.logged])
        return u

    def parameters(self, u: Array) -> Array:
        x = np.array(u, dtype=float)
        x[self.logged] = np.exp(x[self.logged])
        return x

    def jacobian(self, jacobian: Array, u: Array) -> Array:
        """d/du from d/dx: times dx/du, which is x for a logged coordinate."""
        factor: Array = np.where(self.logged, self.parameters(u), 1.0)
        return jacobian * factor


# --- the fit -------------------------------------------------------------------------------


class _Joined(Exception):
    """A local run has reached the basin of an earlier run's optimum."""


def _stop_where_joined(best: Any, u: Array, residuals: Array) -> None:
    """Raise _Joined where u, in a later local run, lies within a few standard errors of
    the best optimum so far, best.x, at a cost within JOINED of it: there the rest of the
    run would converge to that optimum again (half its evaluations, for the Bates sample's
    Heston-Kou fit). The distance is Gauss-Newton's, 0.5 |J (u - x)|^2 below JOINED of
    that optimum's cost: with the scatter s^2 = 2 cost / dof, JOINED * dof standard
    errors squared, about 2.2 standard errors for 100 quotes."""
    if best is None:
        return
    limit = JOINED * best.cost
    if (0.5 * float(np.sum(residuals ** 2)) <= best.cost + limit
            and 0.5 * float(np.sum((best.jac @ (u - best.x)) ** 2)) <= limit):
        raise _Joined


class _NoBar:
    def __enter__(self) -> "_NoBar":
        return self

    def __exit__(self, *exc: Any) -> None:
        return None

    def update(self) -> None:
        return None


def _progress(enabled: bool, total: int) -> Any:
    if not enabled:
        return _NoBar()
    try:
        from tqdm import tqdm
    except ImportError:
        raise ImportError("progress=True needs tqdm: pip install 'tarnwick[progress]'") from None
    return tqdm(total=total, desc="calibration starts", unit="step")


def _valid_value(label: str, parameter: Parameter, value: Any) -> float:
    """value as a float within the parameter's range, else a ValueError starting with label."""
    number = real_number(value)
    if number is None or number not in parameter.valid:
        raise ValueError(f"{label}: {parameter.name} must be {parameter.valid.text}, got {value!r}")
    return number


def _box(parameters: Sequence[Parameter],
         bounds: Optional[Mapping[str, Tuple[float, float]]]) -> Dict[str, Tuple[float, float]]:
    """Each parameter's (low, high) for the optimiser: the registered bounds, or the
    caller's, which must be valid values of the parameter with low < high."""
    box = {parameter.name: parameter.bounds for parameter in parameters}
    by_name = {parameter.name: parameter for parameter in parameters}
    for name, pair in (bounds or {}).items():
        if name not in by_name:
            raise ValueError(f"bounds: unknown parameter {name!r}; the parameters are {list(by_name)}")
        try:
            pair_low, pair_high = (_valid_value("bounds", by_name[name], v) for v in pair)
        except TypeError:
            raise ValueError(f"bounds: expected a pair (low, high) for {name!r}, got {pair!r}") from None
        if not pair_low < pair_high:
            raise ValueError(f"bounds: expected low < high for {name!r}, got {pair!r}")
        box[name] = (pair_low, pair_high)
    return box


def standard_errors(jacobian: Array, residuals: Array, free: Sequence[Parameter]) -> Dict[str, float]:
    """Gauss-Newton standard errors sqrt(diag((J'J)^-1) s^2), s^2 the residuals' scatter
    per degree of freedom: inf for the parameters of directions the Jacobian does not
    resolve, NaN for all without a degree of freedom; both with a RuntimeWarning."""
    if not free:
        return {}
    names = [parameter.name for parameter in free]
    dof = residuals.size - len(free)
    if dof == 0 or not np.isfinite(jacobian).all():
        reason = ("as many quotes as free parameters leave no scatter to estimate" if dof == 0
                  else "the Jacobian at the fit is not finite")
        warnings.warn(f"calibrate: {reason}; the standard errors are NaN", RuntimeWarning,
                      stacklevel=3)
        return dict.fromkeys(names, math.nan)
    scatter = float(np.sum(residuals ** 2)) / dof
    # Columns in units of each start box, so that the test below compares like with like.
    scale = np.array([parameter.start[1] - parameter.start[0] for parameter in free])
    _, singular, directions = np.linalg.svd(jacobian * scale, full_matrices=False)
    resolved = singular > IDENTIFIED * singular.max() if singular.max() > 0 else singular > 0
    covariance = (directions[resolved].T / singular[resolved] ** 2) @ directions[resolved]
    errors = np.sqrt(np.diag(covariance) * scatter) * scale
    # A parameter with any weight in an unresolved direction can move along it unseen.
    unresolved = np.any(np.abs(directions[~resolved]) > math.sqrt(IDENTIFIED), axis=0)
    errors[unresolved] = math.inf
    if unresolved.any():
        warnings.warn(f"calibrate: the quotes do not identify {[n for n, u in zip(names, unresolved) if u]} "
                      "(the Jacobian is singular there); their standard errors are inf",
                      RuntimeWarning, stacklevel=3)
    return dict(zip(names, (float(e) for e in errors)))


def calibrate(
    model_class: Type[ModelT],
    quotes: Any,
    S: Optional[float] = None,
    r: float = 0.0,
    q: float = 0.0,
    *,
    forward: Any = None,
    discount: Any = None,
    valuation: Any = None,
    day_count: Optional[str] = None,
    target: str = "iv",
    fixed: Optional[Mapping[str, float]] = None,
    x0: Union[None, Mapping[str, float], Any] = None,
    bounds: Optional[Mapping[str, Tuple[float, float]]] = None,
    starts: int = DEFAULT_STARTS,
    progress: bool = False,
    drop_invalid: bool = False,
    threads: Optional[int] = None,
    feller: bool = False,
) -> CalibrationResult[ModelT]:
    """Fit a model's parameters to option quotes by bounded least squares.

    Minimises the squared differences between the model's and the market's implied
    volatilities (``target="iv"``), or between their prices divided by the market's
    Black-Scholes vega (``target="price"``: nearly the same errors, faster, with no
    implied-vol inversion in the loop). The Jacobian comes from the model's analytic price
    sensitivities (:func:`tarnwick.sensitivities`), never from finite differences. The
    ``starts`` deterministic points spread over the parameters' usual range are screened by
    their errors, the best two are run to convergence by
    :func:`scipy.optimize.least_squares` (the second stopped where it joins the first's
    optimum), and the best fit is kept. The search prices to about 3e-7 of the discounted
    forward, far below the quotes' own uncertainty; the fit's reported prices, errors and
    standard errors are priced to the pricing API's full accuracy.

    A quote is fitted only where its price (given, or the Black-Scholes price of its
    implied vol) lies strictly inside the no-arbitrage bounds in double precision and its
    vega is at least 1e-8 S per unit of volatility: below that the pricing error of about
    1e-12 S moves the implied vol by more than 0.01 vol point, so the quote says nothing
    about the volatility. Implied-vol and price quotes pass the same test.

    Each residual is weighted by how well the market knows the quote's implied vol,
    u = max(h / vega, 0.001), h the half bid-ask spread in price (at least 1e-5 of the
    discounted forward): the weight is 0.001 / u times the quote's ``weight``, 1 for a
    quote known to 0.1 vol point, smaller for wide spreads and small vegas alike.

    Parameters
    ----------
    model_class : tw.Kou, tw.Merton, tw.BlackScholes, tw.Heston, tw.Bates or tw.HestonKou.
    quotes : pandas DataFrame or mapping of column name to array (as
        :func:`tarnwick.read_quotes` returns). Columns ``strike``, ``maturity`` and ``iv``
        (e.g. 0.2 for 20 %) or ``price``, or ``bid`` and ``ask`` (prices) or ``bid_iv`` and
        ``ask_iv``, whose mid is fitted; optional ``kind`` ('call' or 'put', default call),
        ``rate`` and ``dividend`` (per-quote r and q, which take the place of the
        arguments r and q), ``forward`` and ``discount`` (as the arguments below),
        ``weight`` (> 0, multiplies the spread weight) and ``spot``, ``valuation`` and
        ``day_count`` (one value each, as the arguments). ``maturity`` is in years,
        durations (numpy.timedelta64, datetime.timedelta, pandas.Timedelta) or, with a
        valuation date, expiry dates. Booleans, complex numbers and masked entries are
        refused in every column.
    S : spot price; default the quotes' ``spot``, else (with forwards) the forward of the
        shortest maturity, which then only scales the result.
    r, q : risk-free rate and dividend yield, continuously compounded, for every quote.
    forward, discount : the forward and the discount factor of each quote's expiry: a
        scalar, an array of one per quote or a mapping of expiry (as the maturity column
        gives it) to value; or columns of the quotes. A discount factor D gives the rate
        -ln(D) / T and a forward F the dividend yield r - ln(F / S) / T; neither may come
        with the rate or the dividend it sets.
    valuation : the valuation date (numpy.datetime64, pandas.Timestamp, datetime.date or
        an ISO string) from which dated maturities are counted.
    day_count : 'ACT/365F' (default), 'ACT/365.25' or 'ACT/360': the year of dates and
        durations.
    target : "iv" or "price".
    fixed : parameters held at given values, e.g. ``{"p": 0.3}``.
    x0 : one starting point (a mapping of free parameter to value, or a model) instead of
        the multi-start.
    bounds : per-parameter (low, high) replacing the registered ones, valid values of the
        parameter.
    starts : number of starting points of the multi-start, 1 to 1000.
    progress : show a progress bar over the starts (needs tqdm: ``tarnwick[progress]``).
    drop_invalid : leave out the quotes that cannot be fitted instead of raising.
    threads : threads of the pricing calls, 1 to 1024 (None: all cores, or one for fewer
        than 1000 quotes, whose passes are too short to gain from more).
    feller : keep the Feller condition 2 kappa theta >= xi^2 (stochastic-volatility
        models; xi must be free). The fit then moves xi^2 / (2 kappa theta) between 1e-6
        and 1 in place of xi's own bounds.

    Returns
    -------
    CalibrationResult
        Its ``success`` is true only for a converged, finite optimum.

    Raises
    ------
    ValueError
        Missing columns (listing those found), non-positive strikes or maturities, values
        in the wrong unit (implied vols above 5, maturities over 100 years or under a
        minute), bid above ask, quotes that cannot be fitted (with their rows), fewer
        quotes than free parameters, unknown parameters, bad bounds or values, or a
        forward or discount factor given with the dividend or rate it sets.
    TypeError
        A model_class that is not one of the models.

    Warns
    -----
    RuntimeWarning
        Parameters the quotes do not identify (their standard errors are inf), or no
        degrees of freedom left (NaN).
    UserWarning
        Suspicious inputs: a rate or dividend yield beyond 1 in magnitude, or a call and a
        put of one strike and maturity whose parity implies a forward more than 1 % from
        the inputs' one.

    Examples
    --------
    >>> import tarnwick as tw
    >>> sample = tw.sample_quotes()
    >>> fit = tw.calibrate(tw.Kou, sample.quotes, sample.S, fixed={"p": 0.3})
    >>> fit.success, fit.rmse_iv < 0.002
    (True, True)

    Bid and ask prices at dated expiries with forwards and discount factors, the spot and
    valuation date in the file's header lines:

    >>> desk = tw.sample_quotes("market")
    >>> fit = tw.calibrate(tw.Kou, desk.quotes)
    >>> fit.S, fit.success, round(float(fit.quotes["weight"].min()), 2)
    (4800.0, True, 0.07)
    """
    started = time.perf_counter()
    parameters = registration(model_class).parameters
    names = [parameter.name for parameter in parameters]
    if target not in ("iv", "price"):
        raise ValueError(f"target must be 'iv' or 'price', got {target!r}")
    if (isinstance(starts, (bool, np.bool_)) or not isinstance(starts, (int, np.integer))
            or not 1 <= starts <= MAX_STARTS):
        raise ValueError(f"starts must be an integer from 1 to {MAX_STARTS}, got {starts!r}")
    unknown = sorted(set(fixed or {}) - set(names))
    if unknown:
        raise ValueError(f"fixed: unknown parameter(s) {unknown} of {model_class.__name__}, "
                         f"whose parameters are {names}")
    fixed = {p.name: _valid_value("fixed", p, (fixed or {})[p.name])
             for p in parameters if p.name in (fixed or {})}
    free = [parameter for parameter in parameters if parameter.name not in fixed]
    box = _box(parameters, bounds)
    if feller and not {"kappa", "theta", "xi"} <= set(names):
        raise ValueError(f"feller: {model_class.__name__} has no Feller condition (no kappa, theta, xi)")
    if feller and "xi" in fixed:
        raise ValueError("feller: the condition is kept by moving xi, which is fixed; leave xi free")
    surface = read_surface(quotes, S, r, q, drop_invalid, threads,
                           {"forward": forward, "discount": discount, "valuation": valuation,
                            "day_count": day_count})
    if surface.strike.size == 0:
        raise ValueError("quotes: no quote can be fitted")
    if surface.strike.size < len(free):
        raise ValueError(f"quotes: {surface.strike.size} quote(s) to fit for {len(free)} free "
                         f"parameters {[p.name for p in free]}; give at least as many quotes, "
                         "or hold some parameters with fixed=")
    objective = Objective(model_class, names, [p.name for p in free], fixed, surface, target,
                          threads)

    if x0 is not None:
        given = (dict(x0) if isinstance(x0, Mapping)
                 else {name: getattr(x0, name) for name in names})
        missing = [p.name for p in free if p.name not in given]
        if missing:
            raise ValueError(f"x0: no value for the free parameter(s) {missing}")
        points = [np.array([_valid_value("x0", p, given[p.name]) for p in free])]
    else:
        points = start_points(free, box, starts)
    ratio = FellerRatio([p.name for p in free], fixed, feller)
    box.update({"xi": (FELLER_LOW, 1.0)} if feller else {})
    low = np.array([box[p.name][0] for p in free])
    high = np.array([box[p.name][1] for p in free])

    best: Any = None
    if free:
        # trf wants starts strictly inside the bounds.
        inner_low, inner_high = low + 1e-9 * (1 + abs(low)), high - 1e-9 * (1 + abs(high))
        points = [np.clip(ratio.coordinates(point), inner_low, inner_high) for point in points]
        scale = LogScale(low > 0)

        def values(u: Array) -> Array:
            return ratio.parameters(scale.parameters(u))

        local_runs = min(LOCAL_RUNS, len(points))
        with _progress(progress, len(points) + local_runs if x0 is None else 1) as bar:
            if x0 is None:
                # Each start's cost from prices alone (no sensitivities), then local runs
                # from the lowest few: most of a local run is spent converging, and starts
                # in one basin end at the same optimum.
                costs = []
                for point in points:
                    costs.append(objective.cost(ratio.parameters(point)))
                    bar.update()
                points = [points[i] for i in np.argsort(costs, kind="stable")[:local_runs]]
            for point in points:
                def run_residuals(u: Array, best: Any = best) -> Array:
                    at_u = objective.residuals(values(u))
                    _stop_where_joined(best, u, at_u)
                    return at_u

                try:
                    result = least_squares(
                        run_residuals, scale.coordinates(point),
                        jac=lambda u: scale.jacobian(ratio.jacobian(objective.jacobian(values(u)),
                                                                    scale.parameters(u)), u),
                        bounds=(scale.coordinates(low), scale.coordinates(high)), method="trf",
                        x_scale="jac", max_nfev=200)
                except _Joined:
                    result = None
                if result is not None and (best is None or result.cost < best.cost):
                    best = result
                bar.update()
        # status > 0: stopped by the cost, step or gradient test; 0 is the evaluation limit.
        x, converged = values(best.x), best.status > 0
    else:
        x, converged = np.empty(0), True
    model = objective.model(x)
    # The vol residuals of the fitted model, whatever the target, and the prices of the
    # quoted kinds from the out-of-the-money ones by parity, C - P = S e^-qT - K e^-rT.
    otm_prices, jacobian = objective.reported(x)
    residuals, _ = objective.vol_residuals(otm_prices)
    model_iv = objective.model_ivs(otm_prices)
    forward_value = (surface.S * np.exp(-surface.dividend * surface.maturity)
                     - surface.strike * np.exp(-surface.rate * surface.maturity))
    side = surface.call.astype(float) - surface.otm_call.astype(float)
    model_price = otm_prices + side * forward_value
    rmse_iv = float(np.sqrt(np.mean(residuals ** 2)))
    rmse_price = float(np.sqrt(np.mean((model_price - surface.price) ** 2)))
    quotes_out = {
        "strike": surface.strike, "maturity": surface.maturity, "rate": surface.rate,
        "dividend": surface.dividend, "kind": np.where(surface.call, "call", "put"),
        "iv": surface.iv, "model_iv": model_iv, "price": surface.price,
        "model_price": model_price, "weight": surface.weight, "row": surface.row,
    }
    return CalibrationResult(
        model=model,
        rmse_iv=rmse_iv,
        rmse_price=rmse_price,
        residuals=residuals,
        nfev=objective.evaluations,
        njev=objective.jacobians,
        elapsed=time.perf_counter() - started,
        success=bool(converged and np.isfinite(residuals).all()
                     and math.isfinite(rmse_iv) and math.isfinite(rmse_price)),
        standard_errors=standard_errors(jacobian, residuals * surface.weight, free),
        quotes=quotes_out,
        S=surface.S,
        dropped=surface.dropped,
    )
