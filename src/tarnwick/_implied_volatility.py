"""Black-Scholes implied volatility of European option prices."""

# Annotations stay text, so that help() shows the short names of _types.
from __future__ import annotations

from typing import Any, Optional, Union, overload

from . import _volatility as _native
from ._frames import keeps_index
from ._inputs import market_arguments, resolve_threads
from ._market import DEFAULT_DAY_COUNT, market_inputs
from ._types import (Column, Kind, KindColumn, Kinds, Labelled, Maturities, Maturity, Number,
                     Numbers, Values)

__all__ = ["implied_volatility"]


@overload
def implied_volatility(price: Number, S: Optional[Number], K: Number,  # type: ignore[overload-overlap]
                       T: Maturity, r: Number = ..., q: Number = ..., kind: Kind = ..., *,
                       forward: Optional[Number] = ..., discount: Optional[Number] = ...,
                       valuation: Any = ..., day_count: str = ...,
                       threads: Optional[int] = ...) -> float: ...
@overload
def implied_volatility(price: Numbers, S: Optional[Numbers], K: Numbers, T: Maturities,
                       r: Numbers = ..., q: Numbers = ..., kind: Kinds = ..., *,
                       forward: Optional[Numbers] = ..., discount: Optional[Numbers] = ...,
                       valuation: Any = ..., day_count: str = ...,
                       threads: Optional[int] = ...) -> Values: ...
@overload
def implied_volatility(price: Column, S: Optional[Column], K: Column, T: Column, r: Column = ...,
                       q: Column = ..., kind: KindColumn = ..., *,
                       forward: Optional[Column] = ..., discount: Optional[Column] = ...,
                       valuation: Any = ..., day_count: str = ...,
                       threads: Optional[int] = ...) -> Labelled: ...


@keeps_index("iv")
def implied_volatility(price: Column, S: Optional[Column], K: Column, T: Column, r: Column = 0.0,
                       q: Column = 0.0, kind: KindColumn = "call", *,
                       forward: Optional[Column] = None, discount: Optional[Column] = None,
                       valuation: Any = None, day_count: str = DEFAULT_DAY_COUNT,
                       threads: Optional[int] = None) -> Union[float, Labelled]:
    """Black-Scholes implied volatility of European option prices.

    Finds sigma such that the Black-Scholes price of the option equals ``price``, with
    Jaeckel's "Let's be rational" method: a rational start and two Householder steps,
    accurate to about machine precision relative to how much the price determines sigma.

    Parameters
    ----------
    price : array_like
        Option prices.
    S, K : array_like
        Spot price and strike, finite and > 0.
    T : array_like
        Time to expiry in years, finite and > 0; or durations (numpy.timedelta64 of a
        fixed unit, datetime.timedelta, pandas.Timedelta or a Series of them), read as
        years by ACT/365F: days / 365; or expiry dates with ``valuation``.
    r, q : array_like, optional
        Continuously compounded interest rate and dividend yield, finite (default 0).
    kind : {"call", "put"} or array_like of them, optional
        Option type (default "call").
    forward, discount, valuation, day_count : optional
        A forward and a discount factor in place of S, q and r, and expiry dates with a
        valuation date in place of T, as for :func:`tarnwick.price`.
    threads : int, optional
        Worker threads for the batch, 1 to 1024. None uses the environment variable
        ``TARNWICK_NUM_THREADS`` if set, else every core. Results do not depend on it.

    Returns
    -------
    float, ndarray or pandas.Series
        Implied volatility per square root of a year, in the broadcast shape of the
        arguments (a float if all are scalars; a Series named "iv" on the index of the
        Series among the arguments, as for :func:`tarnwick.price`). NaN exactly where the price is outside the
        no-arbitrage bounds: below the discounted intrinsic value
        ``max(S exp(-qT) - K exp(-rT), 0)`` of a call (``max(K exp(-rT) - S exp(-qT), 0)``
        of a put) or above ``S exp(-qT)`` for a call (``K exp(-rT)`` for a put). A price at
        the lower bound gives 0 and one at the upper bound gives inf.

    Raises
    ------
    ValueError
        If S, K or T is not finite and positive, r or q not finite, an argument is not
        real numbers (booleans, complex numbers, strings, dates and masked entries are
        refused), a kind is neither "call" nor "put", threads is not an integer from 1 to
        1024, or the shapes do not broadcast. The message names the argument.

    Examples
    --------
    >>> import tarnwick as tw
    >>> round(tw.implied_volatility(10.450583572185565, S=100, K=100, T=1.0, r=0.05), 12)
    0.2

    Arrays broadcast; a put above its upper bound K exp(-rT) has no implied volatility,
    and one at its intrinsic value has zero:

    >>> tw.implied_volatility([7.0, 10.0, 120.0], S=100, K=[105, 100, 100], T=0.5, kind="put").round(6)
    array([0.138918, 0.355424,      nan])
    >>> tw.implied_volatility(5.0, S=100, K=105, T=0.5, kind="put")
    0.0
    """
    S, T, r, q = market_inputs(S, T, r, q, forward, discount, valuation, day_count)
    shape, a = market_arguments(S, K, T, r, q, kind, extra=(("price", price),))
    result = _native.implied_volatility(a["price"], a["S"], a["K"], a["T"], a["r"], a["q"], a["kind"],
                                        resolve_threads(threads)).reshape(shape)
    return float(result) if result.ndim == 0 else result
