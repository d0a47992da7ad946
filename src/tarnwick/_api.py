"""Vectorised prices, Greeks and parameter sensitivities of European options, and prices
and Greeks of American, Bermudan and barrier ones."""

# Annotations stay text, so that help() shows the short names of _types.
from __future__ import annotations

from typing import Any, Dict, List, NamedTuple, Optional, Tuple, Union, overload

import numpy as np
from numpy.typing import NDArray

from . import _pricing
from ._barrier import check_barrier_keywords, evaluate_barrier
from ._frames import keeps_index
from ._inputs import as_float_array, check_threads, market_arguments, resolve_threads, scalar_arguments
from ._market import DEFAULT_DAY_COUNT, market_inputs
from ._models import Model, registration, require_grid_model
from ._status import batch_rows, one_row
from ._types import (ArrayOrFloat, Column, Kind, KindColumn, Kinds, Labelled, Maturities, Maturity, Number,
                     Numbers, Values)



class Greeks(NamedTuple):
    """The price and twelve Greeks of :func:`greeks`, each an array (or a float).

    Conventions (V the price, S spot, T maturity in years, sigma the model's diffusion
    volatility, r the rate, q the dividend yield): delta = dV/dS, gamma = d2V/dS2,
    vega = dV/dsigma (per unit sigma, not per percent), theta = -dV/dT (per year),
    rho = dV/dr, epsilon = dV/dq, vanna = d2V/dS dsigma, charm = -d2V/dS dT,
    speed = d3V/dS3, colour = -d3V/dS2 dT, zomma = d3V/dS2 dsigma, vomma = d2V/dsigma2.

    Examples
    --------
    >>> import tarnwick as tw
    >>> g = tw.greeks(tw.BlackScholes(0.2), 100.0, 100.0, 1.0, r=0.05)
    >>> round(g.delta, 10), round(g.vega, 10)
    (0.6368306512, 37.5240346917)
    """

    price: ArrayOrFloat
    delta: ArrayOrFloat
    gamma: ArrayOrFloat
    vega: ArrayOrFloat
    theta: ArrayOrFloat
    rho: ArrayOrFloat
    epsilon: ArrayOrFloat
    vanna: ArrayOrFloat
    charm: ArrayOrFloat
    speed: ArrayOrFloat
    colour: ArrayOrFloat
    zomma: ArrayOrFloat
    vomma: ArrayOrFloat


_OUTPUTS = {"price": 0, "greeks": 1, "sensitivities": 2}
_MARKET = ("S", "K", "T", "r", "q", "kind")


_AMERICAN, _BERMUDAN = 1, 2
_NO_DATES = np.empty(0)


def exercise_style(exercise: Any) -> Optional[Tuple[int, "NDArray[np.float64]"]]:
    """None for European exercise; else the exercise code and the Bermudan times (increasing)."""
    if isinstance(exercise, str):
        style = exercise.lower()
        if style == "european":
            return None
        if style == "american":
            return _AMERICAN, _NO_DATES
        raise ValueError(f"exercise must be 'european', 'american' or a 1-D array of exercise times, got {exercise!r}")
    times = as_float_array("exercise", exercise, durations=True)
    if times.ndim != 1:
        raise ValueError(f"exercise times must be a 1-D array, got shape {times.shape}")
    if not np.all(np.isfinite(times) & (times >= 0.0)):
        raise ValueError("exercise times must be finite and >= 0 (years from now)")
    return _BERMUDAN, np.unique(times)


def _early(output: str, model: Any, style: Tuple[int, "NDArray[np.float64]"], S: Any, K: Any, T: Any, r: Any, q: Any,
           kind: Any, threads: Optional[int]) -> List[ArrayOrFloat]:
    require_grid_model(model, "early exercise is priced", "; use exercise='european'")
    scalars = scalar_arguments(S, K, T, r, q, kind)
    if scalars is not None:  # one option from Python numbers: no arrays, on the calling thread
        check_threads(threads)
        return one_row(*_pricing.early_exercise_one(_OUTPUTS[output], model._code, model._values, *scalars, *style),
                       _MARKET, scalars)
    count = resolve_threads(threads)
    shape, a = market_arguments(S, K, T, r, q, kind)
    params = np.array(model._parameters(), dtype=np.float64)
    table, status = _pricing.early_exercise(_OUTPUTS[output], model._code, params, a["S"], a["K"], a["T"], a["r"],
                                            a["q"], a["kind"], style[0], style[1], count)
    return batch_rows(table, status, a, _MARKET, shape)


def _evaluate(output: str, model: Any, S: Any, K: Any, T: Any, r: Any, q: Any, kind: Any,
              threads: Optional[int], exercise: Any = "european", barrier: Any = None, barrier_kind: Any = None,
              rebate: Any = 0.0, monitoring: Any = None, forward: Any = None, discount: Any = None,
              valuation: Any = None, day_count: Any = DEFAULT_DAY_COUNT) -> List[ArrayOrFloat]:
    if not isinstance(model, Model):
        registration(type(model), "model")  # a TypeError naming the models
    # One European option from Python numbers with every other keyword at its default is
    # the commonest call and costs about a microsecond in the kernel: it skips the
    # keyword checks, each of which would cost a good part of that again.
    scalars = scalar_arguments(S, K, T, r, q, kind)
    if scalars is None or not (
            barrier is None and barrier_kind is None and monitoring is None and forward is None and discount is None
            and valuation is None and type(exercise) is str and exercise == "european"
            and type(rebate) in (float, int) and rebate == 0 and day_count == DEFAULT_DAY_COUNT):
        S, T, r, q = market_inputs(S, T, r, q, forward, discount, valuation, day_count)
        if check_barrier_keywords(barrier, barrier_kind, rebate, monitoring, exercise):
            return evaluate_barrier(_OUTPUTS[output], model, S, K, T, r, q, kind, barrier, barrier_kind, rebate,
                                    monitoring, threads)
        style = exercise_style(exercise)
        if style is not None:
            return _early(output, model, style, S, K, T, r, q, kind, threads)
        scalars = scalar_arguments(S, K, T, r, q, kind)
        if scalars is None:
            count = resolve_threads(threads)
            shape, a = market_arguments(S, K, T, r, q, kind)
            params = np.array(model._parameters(), dtype=np.float64)
            table, status = getattr(_pricing, output)(model._code, params, a["S"], a["K"], a["T"], a["r"], a["q"],
                                                      a["kind"], count)
            return batch_rows(table, status, a, _MARKET, shape)
    check_threads(threads)
    values, status = _pricing.evaluate_one(_OUTPUTS[output], model._code, model._values, *scalars)
    return one_row(values, status, _MARKET, scalars)


@overload
def price(model: Model, S: Optional[Number], K: Number,  # type: ignore[overload-overlap]
          T: Maturity, r: Number = ..., q: Number = ..., kind: Kind = ..., *,
          forward: Optional[Number] = ..., discount: Optional[Number] = ...,
          valuation: Any = ..., day_count: str = ..., exercise: Any = ..., barrier: Any = ...,
          barrier_kind: Optional[str] = ..., rebate: Any = ..., monitoring: Any = ...,
          threads: Optional[int] = ...) -> float: ...
@overload
def price(model: Model, S: Optional[Numbers], K: Numbers, T: Maturities, r: Numbers = ...,
          q: Numbers = ..., kind: Kinds = ..., *,
          forward: Optional[Numbers] = ..., discount: Optional[Numbers] = ...,
          valuation: Any = ..., day_count: str = ..., exercise: Any = ..., barrier: Any = ...,
          barrier_kind: Optional[str] = ..., rebate: Any = ..., monitoring: Any = ...,
          threads: Optional[int] = ...) -> Values: ...
@overload
def price(model: Model, S: Optional[Column], K: Column, T: Column, r: Column = ..., q: Column = ...,
          kind: KindColumn = ..., *,
          forward: Optional[Column] = ..., discount: Optional[Column] = ...,
          valuation: Any = ..., day_count: str = ..., exercise: Any = ..., barrier: Any = ...,
          barrier_kind: Optional[str] = ..., rebate: Any = ..., monitoring: Any = ...,
          threads: Optional[int] = ...) -> Labelled: ...


@keeps_index("price")
def price(model: Model, S: Optional[Column], K: Column, T: Column, r: Column = 0.0, q: Column = 0.0,
          kind: KindColumn = "call", *, forward: Optional[Column] = None,
          discount: Optional[Column] = None, valuation: Any = None,
          day_count: str = DEFAULT_DAY_COUNT, exercise: Any = "european", barrier: Any = None,
          barrier_kind: Optional[str] = None, rebate: Any = 0.0, monitoring: Any = None,
          threads: Optional[int] = None) -> Union[float, Labelled]:
    """Prices of European, American or Bermudan options under a model.

    European calls and puts are each priced directly, by a Fourier integral of the model's
    characteristic function along a contour chosen per option (Black-Scholes in closed
    form), to about 1e-13 of the spot. American and Bermudan options (BlackScholes, Kou and
    Merton) are priced on a grid in log price, to about 1e-6 of the strike.

    Parameters
    ----------
    model : a model: tw.Kou, tw.Merton, tw.BlackScholes, tw.Heston, tw.Bates, tw.HestonKou
    S, K : array_like
        Spot and strike; finite and > 0.
    T : array_like
        Maturity in years, finite and > 0; or durations (numpy.timedelta64 of a fixed
        unit, datetime.timedelta, pandas.Timedelta or a Series of them), read as years by
        ACT/365F: days / 365; or expiry dates with ``valuation``.
    r, q : array_like, optional
        Continuously compounded rate and dividend yield; finite.
    kind : {'call', 'put'} or array_like of them, optional
        Case-insensitive.
    forward, discount : array_like, optional
        The forward price F and the discount factor D to expiry (finite and > 0), as
        desks quote them. ``forward`` replaces S and q (pass ``S=None`` and leave q at 0),
        ``discount`` replaces r (leave r at 0); with both, S = F and r = q = -ln(D) / T
        price the same options as S e^{-qT} = F D, K e^{-rT} = K D. Without ``discount``
        the forward is discounted at r.
    valuation : date, optional
        The valuation date; T is then expiry dates (numpy.datetime64, pandas.Timestamp,
        datetime.date or ISO strings such as '2027-03-19'), each a maturity of
        (expiry - valuation) in days over the day count's year.
    day_count : {'ACT/365F', 'ACT/365.25', 'ACT/360'}, optional
        The year of dates and durations: 365, 365.25 or 360 days (default 'ACT/365F').
    exercise : {'european', 'american'} or 1-D array_like of float, optional
        When the option may be exercised: at expiry only (default), at any time up to it,
        or (Bermudan) at the given times in years from now and at expiry; times after an
        option's expiry do not concern it. Case-insensitive. Early exercise is priced under
        BlackScholes, Kou and Merton.
    barrier : array_like, optional
        A barrier level H (finite, > 0) makes the options barrier options (European
        exercise, BlackScholes, Kou and Merton), priced to about 1e-6 of the strike: in
        closed form under BlackScholes watched continuously, else on the grid.
    barrier_kind : {'down-and-out', 'down-and-in', 'up-and-out', 'up-and-in'}, optional
        Required with ``barrier``; case-insensitive. A spot at or beyond the barrier now
        has knocked the option out (its value is the rebate) or in (a European option).
    rebate : array_like, optional
        Cash (finite, >= 0, default 0) paid by a knock-out at the moment it knocks out and
        by a knock-in at expiry if it never knocked in.
    monitoring : None or 1-D array_like of float, optional
        When the barrier is watched: always (None, default), or only at the given times in
        years from now (or durations), e.g. ``np.arange(1, 127) / 252`` for daily over half
        a year; times after an option's expiry do not concern it. The spot now is always
        checked.
    threads : int, optional
        Threads to use, 1 to 1024; default the environment variable TARNWICK_NUM_THREADS,
        else all cores.

    All array arguments broadcast together (NumPy rules); ``exercise``, ``barrier_kind``
    and ``monitoring`` are one for all. Where any argument is a pandas Series, the result
    is a Series on its index (named "price"); every Series argument must have that same
    index (they are not combined by position), and the others must broadcast to its length.

    Returns
    -------
    ndarray, float or pandas.Series
        Prices of the broadcast shape; a float when every argument is a scalar. Each
        European price lies within the no-arbitrage bounds that :func:`implied_volatility` takes,
        ``[max(S exp(-qT) - K exp(-rT), 0), S exp(-qT)]`` for a call and
        ``[max(K exp(-rT) - S exp(-qT), 0), K exp(-rT)]`` for a put, so it always has an
        implied volatility.

    Raises
    ------
    ValueError
        An argument that is out of range, not real numbers (booleans, complex numbers,
        strings and masked entries included), a bad kind, shapes that do not broadcast,
        a bad exercise or a thread count outside 1 to 1024. The message names the argument.
        Series with different indexes, or a Series with arguments that broadcast to more
        than its length.
        Barrier keywords without a barrier, or a barrier without its kind.
    TypeError
        A model that is not one of the package's models.
    NotImplementedError
        Early exercise or a barrier under a stochastic-volatility model; a barrier with
        early exercise.
    KeyboardInterrupt
        On Ctrl-C during a batch, within a fraction of a second; nothing is returned.

    Warns
    -----
    AccuracyWarning
        Where an option cannot be priced to the accuracy above (the quadrature would need
        more nodes than its bound allows), its price is NaN and the warning says how many
        failed, why, and the first one's inputs. The same holds for :func:`greeks` and
        :func:`sensitivities`.

    Examples
    --------
    >>> import numpy as np, tarnwick as tw
    >>> kou = tw.Kou(sigma=0.16, lam=1.0, p=0.4, eta1=10.0, eta2=5.0)
    >>> tw.price(kou, S=100, K=np.array([90.0, 100.0, 110.0]), T=0.5, r=0.05).round(8)
    array([14.81189055,  7.9594292 ,  3.59964981])
    >>> round(tw.price(kou, 100, 100, 0.5, 0.05, kind="put"), 8)
    5.49042041

    The same put from its forward and discount factor, expiring 180 days on (ACT/360):

    >>> import math
    >>> F, D = 100 * math.exp(0.05 * 0.5), math.exp(-0.05 * 0.5)
    >>> round(tw.price(kou, None, 100, "2027-06-07", forward=F, discount=D, kind="put",
    ...                valuation="2026-12-09", day_count="ACT/360"), 8)
    5.49042041

    A column of a DataFrame gives a Series on the same index:

    >>> import pandas as pd
    >>> chain = pd.DataFrame({"K": [90.0, 110.0]}, index=["A", "B"])
    >>> tw.price(kou, 100, chain["K"], 0.5, 0.05).round(6)
    A    14.811891
    B     3.599650
    Name: price, dtype: float64

    American exercise:

    >>> round(tw.price(kou, 100, 100, 0.5, 0.05, kind="put", exercise="american"), 5)
    5.70224
    >>> tw.price(kou, 100, [95.0, 105.0], 0.5, 0.05, barrier=90.0, barrier_kind="down-and-out").round(5)
    array([10.50336,  5.27669])
    >>> daily = np.arange(1, 127) / 252
    >>> round(tw.price(kou, 100, 100, 0.5, 0.05, kind="put", barrier=110.0, barrier_kind="up-and-in",
    ...                rebate=1.0, monitoring=daily), 5)
    1.2831
    """
    return _evaluate("price", model, S, K, T, r, q, kind, threads, exercise, barrier, barrier_kind, rebate,
                     monitoring, forward, discount, valuation, day_count)[0]


@keeps_index("greeks")
def greeks(model: Model, S: Optional[Column], K: Column, T: Column, r: Column = 0.0,
           q: Column = 0.0, kind: KindColumn = "call", *, forward: Optional[Column] = None,
           discount: Optional[Column] = None, valuation: Any = None,
           day_count: str = DEFAULT_DAY_COUNT, exercise: Any = "european", barrier: Any = None,
           barrier_kind: Optional[str] = None, rebate: Any = 0.0, monitoring: Any = None,
           threads: Optional[int] = None) -> Greeks:
    """The price and twelve Greeks of European options under a model.

    Every Greek is an integral of its own derivative of the pricing integrand (no finite
    differences); the price is exactly that of :func:`price` for the same arguments.
    Conventions: vega per unit sigma (the model's diffusion volatility), theta = -dV/dT
    per year, rho = dV/dr, epsilon = dV/dq, vanna = d2V/dS dsigma, charm = -d2V/dS dT,
    speed = d3V/dS3, colour = -d3V/dS2 dT, zomma = d3V/dS2 dsigma, vomma = d2V/dsigma2.

    Parameters and broadcasting as for :func:`price` (T in years, or durations read as
    ACT/365F: days / 365). With ``forward`` the derivatives are taken at S = F,
    q = r: delta, gamma and speed are in the forward (discount fixed), and rho + epsilon
    is the derivative in the zero rate -ln(D) / T with the forward fixed.

    With early exercise (``exercise='american'`` or Bermudan times) delta, gamma, speed and
    theta come from the grid solution itself, the others from central differences of grid
    solutions on the same grid with sigma, r, q or T moved by 0.1 %. The same holds for
    barrier options (``barrier=`` and its keywords as for :func:`price`), whose Greeks
    always come from the grid; moving T moves the monitoring times with the expiry, as
    time passing does. A knock-in's are the European option's less those of a knock-out.

    Returns
    -------
    Greeks
        A named tuple (price, delta, gamma, vega, theta, rho, epsilon, vanna, charm, speed,
        colour, zomma, vomma) of arrays of the broadcast shape, or of floats (of pandas
        Series, each named after its Greek, where an argument is a Series).

    Examples
    --------
    >>> import tarnwick as tw
    >>> mer = tw.Merton(sigma=0.2, lam=1.0, m=-0.1, s=0.2)
    >>> g = tw.greeks(mer, 100, 100, [0.25, 0.5, 1.0], 0.05, kind="put")
    >>> g.delta.round(6)
    array([-0.396434, -0.373982, -0.346834])
    """
    return Greeks(*_evaluate("greeks", model, S, K, T, r, q, kind, threads, exercise, barrier, barrier_kind,
                             rebate, monitoring, forward, discount, valuation, day_count))


@overload
def sensitivities(model: Model, S: Optional[Number], K: Number,  # type: ignore[overload-overlap]
                  T: Maturity, r: Number = ..., q: Number = ..., kind: Kind = ..., *,
                  forward: Optional[Number] = ..., discount: Optional[Number] = ...,
                  valuation: Any = ..., day_count: str = ...,
                  threads: Optional[int] = ...) -> Dict[str, float]: ...
@overload
def sensitivities(model: Model, S: Optional[Numbers], K: Numbers, T: Maturities, r: Numbers = ...,
                  q: Numbers = ..., kind: Kinds = ..., *,
                  forward: Optional[Numbers] = ..., discount: Optional[Numbers] = ...,
                  valuation: Any = ..., day_count: str = ...,
                  threads: Optional[int] = ...) -> Dict[str, Values]: ...
@overload
def sensitivities(model: Model, S: Optional[Column], K: Column, T: Column, r: Column = ...,
                  q: Column = ..., kind: KindColumn = ..., *,
                  forward: Optional[Column] = ..., discount: Optional[Column] = ...,
                  valuation: Any = ..., day_count: str = ...,
                  threads: Optional[int] = ...) -> Dict[str, Labelled]: ...


@keeps_index("sensitivities")
def sensitivities(model: Model, S: Optional[Column], K: Column, T: Column, r: Column = 0.0,
                  q: Column = 0.0, kind: KindColumn = "call", *, forward: Optional[Column] = None,
                  discount: Optional[Column] = None, valuation: Any = None,
                  day_count: str = DEFAULT_DAY_COUNT,
                  threads: Optional[int] = None) -> Dict[str, Any]:
    """The price and its derivative in each model parameter.

    Parameters and broadcasting as for :func:`price` (T in years, or durations read as
    ACT/365F: days / 365).

    Returns
    -------
    dict
        ``"price"``, then one entry per name in ``model.parameter_names`` holding
        dV/d(parameter), each an array of the broadcast shape (a float for scalar input, a
        pandas Series where an argument is a Series).

    Examples
    --------
    >>> import tarnwick as tw
    >>> kou = tw.Kou(sigma=0.16, lam=1.0, p=0.4, eta1=10.0, eta2=5.0)
    >>> d = tw.sensitivities(kou, 100, 100, 0.5, 0.05)
    >>> sorted(d)
    ['eta1', 'eta2', 'lam', 'p', 'price', 'sigma']
    >>> round(d["sigma"], 6) == round(tw.greeks(kou, 100, 100, 0.5, 0.05).vega, 6)
    True
    """
    values = _evaluate("sensitivities", model, S, K, T, r, q, kind, threads, forward=forward,
                       discount=discount, valuation=valuation, day_count=day_count)
    return dict(zip(("price",) + model.parameter_names, values))
