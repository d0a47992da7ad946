"""Black's formula on the Python side: the forward, the log-moneyness, the normal
distribution function, prices of either kind and vega, elementwise on arrays.

The pricing API's own Black-Scholes and implied volatility are native; this module serves
the quotes of a calibration (prices from implied vols, the vega that weighs them) and the
pictures.
"""

from typing import Any

import numpy as np
import numpy.typing as npt
# scipy ships no type information.
from scipy.special import ndtr  # type: ignore[import-untyped]

Array = npt.NDArray[np.float64]


def forward(S: Any, T: Any, r: Any, q: Any) -> Array:
    """The forward price S e^((r - q) T)."""
    return np.asarray(S * np.exp((np.asarray(r) - q) * T), dtype=np.float64)


def log_moneyness(S: Any, K: Any, T: Any, r: Any, q: Any) -> Array:
    """ln(K / F): from ln(K / S), so that no forward overflows on the way."""
    return np.asarray(np.log(np.asarray(K) / S) - (np.asarray(r) - q) * T, dtype=np.float64)


def normal_cdf(x: Any) -> Array:
    """The standard normal distribution function, accurate in both tails."""
    return np.asarray(ndtr(x), dtype=np.float64)


def _d1(sigma: Any, x: Array, root_t: Array) -> Array:
    """d1 = ln(F / K) / (sigma sqrt T) + sigma sqrt T / 2, from x = ln(K / F)."""
    total = sigma * root_t
    with np.errstate(divide="ignore", invalid="ignore"):
        return np.asarray(-x / total + 0.5 * total, dtype=np.float64)


def black_price(sigma: Any, S: Any, K: Any, T: Any, r: Any, q: Any, call: Any) -> Array:
    """Black-Scholes prices of calls (where ``call`` is true) and puts.

    Each kind from its own tails, not through parity, so that out-of-the-money prices keep
    their relative precision: S e^-qT N(d1) - K e^-rT N(d2) for a call,
    K e^-rT N(-d2) - S e^-qT N(-d1) for a put.
    """
    T, root_t = np.asarray(T, dtype=np.float64), np.sqrt(T)
    d1 = _d1(sigma, log_moneyness(S, K, T, r, q), root_t)
    d2 = d1 - sigma * root_t
    share, cash = S * np.exp(-np.asarray(q) * T), K * np.exp(-np.asarray(r) * T)
    price = np.where(call, share * normal_cdf(d1) - cash * normal_cdf(d2),
                     cash * normal_cdf(-d2) - share * normal_cdf(-d1))
    return np.asarray(price, dtype=np.float64)


def black_vega(sigma: Any, S: Any, K: Any, T: Any, r: Any, q: Any) -> Array:
    """dPrice/dsigma per unit of volatility, the same for calls and puts:
    S e^-qT sqrt(T) phi(d1). NaN where sigma is 0 at the forward (0/0 in d1)."""
    T, root_t = np.asarray(T, dtype=np.float64), np.sqrt(T)
    d1 = _d1(sigma, log_moneyness(S, K, T, r, q), root_t)
    density = np.exp(-0.5 * d1 * d1) / np.sqrt(2.0 * np.pi)
    return np.asarray(S * np.exp(-np.asarray(q) * T) * root_t * density, dtype=np.float64)


def forward_delta(sigma: Any, x: Any, T: Any) -> Array:
    """The forward delta N(d1) of a call at log-moneyness x = ln(K / F): 1 deep in the
    money, 0 far out; the axis on which desks read a smile."""
    return normal_cdf(_d1(sigma, np.asarray(x, dtype=np.float64), np.sqrt(T)))
