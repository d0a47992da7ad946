"""Black-Scholes implied volatility of European option prices."""

import os
from typing import Any, Optional, Tuple, Union

import numpy as np
import numpy.typing as npt
from numpy.typing import ArrayLike

from tarnwick import _volatility as _native

__all__ = ["implied_volatility"]

def _threads(threads: Optional[int]) -> int:
    """Worker threads: the argument, else TARNWICK_NUM_THREADS, else 0 (every core)."""
    if threads is None:
        setting = os.environ.get("TARNWICK_NUM_THREADS", "").strip()
        if not setting:
            return 0
        try:
            threads = int(setting)
        except ValueError:
            raise ValueError(f"TARNWICK_NUM_THREADS must be a positive integer, got {setting!r}") from None
        name = "TARNWICK_NUM_THREADS"
    else:
        name = "threads"
    if isinstance(threads, bool) or not isinstance(threads, (int, np.integer)) or threads < 1:
        raise ValueError(f"{name} must be a positive integer, got {threads!r}")
    return int(threads)


def _market_arguments(**named: Any) -> Tuple[Tuple[npt.NDArray[Any], ...], npt.NDArray[Any], Tuple[int, ...]]:
    """Validates and broadcasts the keyword arguments price, S, K, T, r, q and kind.

    Returns the six numeric arrays and the kind array (1 for a call, 0 for a put), each
    contiguous and flat, and the broadcast shape. Raises ValueError naming the argument
    that is not numeric, not finite or not positive where it must be, an unknown kind, or
    shapes that do not broadcast.
    """
    numeric = {}
    for name in ("price", "S", "K", "T", "r", "q"):
        try:
            value = np.asarray(named[name], dtype=np.float64)
        except (TypeError, ValueError):
            raise ValueError(f"{name} must be a real number or an array of them") from None
        if name in ("S", "K", "T") and not np.all(np.isfinite(value) & (value > 0)):
            raise ValueError(f"{name} must be finite and > 0")
        if name in ("r", "q") and not np.all(np.isfinite(value)):
            raise ValueError(f"{name} must be finite")
        numeric[name] = value
    kind = np.asarray(named["kind"])
    call = kind == "call" if kind.dtype.kind == "U" else None
    if call is None or not np.all(call | (kind == "put")):
        raise ValueError(f"kind must be 'call' or 'put' (or an array of them), got {named['kind']!r}")
    call = np.asarray(call).view(np.int8)
    try:
        arrays = np.broadcast_arrays(*numeric.values(), call)
    except ValueError:
        shapes = ", ".join(f"{name} {np.shape(value)}" for name, value in {**numeric, "kind": kind}.items())
        raise ValueError(f"shapes do not broadcast: {shapes}") from None
    shape = arrays[0].shape
    flat = tuple(np.ascontiguousarray(a).ravel() for a in arrays)
    return flat[:6], flat[6], shape


def implied_volatility(
    price: ArrayLike,
    S: ArrayLike,
    K: ArrayLike,
    T: ArrayLike,
    r: ArrayLike = 0.0,
    q: ArrayLike = 0.0,
    kind: ArrayLike = "call",
    *,
    threads: Optional[int] = None,
) -> Union[float, npt.NDArray[Any]]:
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
        Time to expiry in years, finite and > 0.
    r, q : array_like, optional
        Continuously compounded interest rate and dividend yield, finite (default 0).
    kind : {"call", "put"} or array_like of them, optional
        Option type (default "call").
    threads : int, optional
        Worker threads for the batch. None uses the environment variable
        ``TARNWICK_NUM_THREADS`` if set, else every core. Results do not depend on it.

    Returns
    -------
    float or ndarray
        Implied volatility per square root of a year, in the broadcast shape of the
        arguments (a float if all are scalars). NaN exactly where the price is outside the
        no-arbitrage bounds: below the discounted intrinsic value
        ``max(S exp(-qT) - K exp(-rT), 0)`` of a call (``max(K exp(-rT) - S exp(-qT), 0)``
        of a put) or above ``S exp(-qT)`` for a call (``K exp(-rT)`` for a put). A price at
        the lower bound gives 0 and one at the upper bound gives inf.

    Raises
    ------
    ValueError
        If S, K or T is not finite and positive, r or q not finite, a kind is neither
        "call" nor "put", threads is not a positive integer, or the shapes do not
        broadcast. The message names the argument.

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
    (p, s, k, t, rr, qq), call, shape = _market_arguments(price=price, S=S, K=K, T=T, r=r, q=q, kind=kind)
    result = _native.implied_volatility(p, s, k, t, rr, qq, call, _threads(threads)).reshape(shape)
    return float(result) if result.ndim == 0 else result
