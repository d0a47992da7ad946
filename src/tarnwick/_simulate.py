"""Spot paths of the models on a time grid, for Monte Carlo pricing of any payoff."""

import math
import secrets
from typing import Any, Optional

import numpy as np
from numpy.typing import NDArray

from . import _simulation
from ._inputs import as_float_array, resolve_threads, shown
from ._models import Model, registration

# The largest array one call returns: 2**28 float64 values, 2 GiB (10**6 paths of 252 steps
# fit). Larger runs go in batches, which first_path makes add up to one run.
MAX_VALUES = 2**28
# Each grid time keeps its step's constants (some 64 bytes): a bound on the grid keeps them
# small beside the paths.
MAX_TIMES = 10**6
SEEDS = 2**64
# e**709.78 is the largest double: a forward beyond it overflows.
_LOG_MAX = math.log(np.finfo(np.float64).max)


def simulate(model: Model, S: Any, T: Any = None, steps: Optional[int] = None, paths: int = 10_000, *,
             r: Any = 0.0, q: Any = 0.0, seed: Optional[int] = None, times: Any = None,
             first_path: int = 0, threads: Optional[int] = None) -> "NDArray[np.float64]":
    """Spot paths of a model under the risk-neutral measure, on a time grid.

    Paths start at ``S`` and grow by ``e^{(r - q) t}`` in mean: the model's log price is
    compensated so that ``E[S_t] = S e^{(r - q) t}``. Kou's, Merton's and Black-Scholes'
    paths are exact in law at every grid time, whatever the step: each increment is drawn
    exactly (a normal, a Poisson count of jumps and each jump's size). Heston's, Bates' and
    HestonKou's variance takes Andersen's quadratic-exponential steps, with a drift
    correction that keeps the discrete price a martingale and the jumps drawn exactly; their
    prices carry a discretisation bias that falls with the step (the README's table measures
    it against the Fourier prices: for usual parameters about 0.01 of a spot of 100 from 12
    steps a year on, below the Monte Carlo error of 10**6 paths).

    Path ``i`` comes from a random stream of its own, fixed by ``seed`` and ``first_path +
    i``: the paths do not depend on the thread count, and batches of consecutive
    ``first_path`` ranges concatenate to exactly the paths of one large call.

    Parameters
    ----------
    model : a model: tw.Kou, tw.Merton, tw.BlackScholes, tw.Heston, tw.Bates, tw.HestonKou
    S : float
        Spot at t = 0; finite and > 0.
    T : float, optional
        Horizon in years (or a duration, read as days / 365), finite and > 0; the grid is
        ``steps + 1`` equally spaced times from 0 to T. Give either T or ``times``.
    steps : int, optional
        Steps of the grid from 0 to T, 1 to 10**6; default 252.
    paths : int, optional
        Paths to draw, 0 or more; default 10,000.
    r, q : float, optional
        Continuously compounded rate and dividend yield; finite.
    seed : int, optional
        0 to 2**64 - 1; default a fresh random seed (then no two calls agree).
    times : array_like, optional
        An explicit grid instead of T and steps: 1 to 10**6 strictly increasing times
        >= 0, in years or durations. A first time of 0 gives a column equal to S.
    first_path : int, optional
        The index of the first path drawn; ``simulate(..., paths=n, first_path=k)`` is rows
        k to k + n of one call with more paths. Default 0.
    threads : int, optional
        Threads to use, 1 to 1024; default the environment variable TARNWICK_NUM_THREADS,
        else all cores.

    Returns
    -------
    ndarray
        float64 array of shape ``(paths, steps + 1)`` (``(paths, len(times))``): row i is
        path ``first_path + i`` at the grid times, column 0 is S when the grid starts at 0.

    Raises
    ------
    ValueError
        An argument out of range or not a number of the right kind (booleans are refused),
        T given with times or neither, a forward ``S e^{(r - q) t}`` beyond the doubles'
        range, a request of more than 2**28 values (2 GiB; split it with first_path), a
        model whose jumps no simulation can carry (an overflowing jump mean, more than 10**6
        expected jumps per path), or parameters beyond what the scheme carries in doubles
        (a value that came out NaN: nothing is returned). The message names the argument.
    TypeError
        A model that is not one of the package's models.
    KeyboardInterrupt
        On Ctrl-C, within a fraction of a second; nothing is returned.

    Examples
    --------
    Any payoff is priced as the discounted mean of its values on the paths, with the
    standard error of that mean. An Asian call on the average of 12 monthly fixings:

    >>> import numpy as np, tarnwick as tw
    >>> kou = tw.Kou(sigma=0.16, lam=1.0, p=0.4, eta1=10.0, eta2=5.0)
    >>> s = tw.simulate(kou, 100.0, 1.0, steps=12, paths=200_000, r=0.05, seed=7)
    >>> s.shape
    (200000, 13)
    >>> values = np.exp(-0.05 * 1.0) * np.maximum(s[:, 1:].mean(axis=1) - 100.0, 0.0)
    >>> price, error = values.mean(), values.std(ddof=1) / np.sqrt(values.size)
    >>> print(f"{price:.2f} +- {error:.2f}")
    7.17 +- 0.02

    The European call on the same paths agrees with the Fourier price within its error:

    >>> call = np.exp(-0.05) * np.maximum(s[:, -1] - 100.0, 0.0)
    >>> bool(abs(call.mean() - tw.price(kou, 100.0, 100.0, 1.0, 0.05)) < 4 * call.std() / np.sqrt(call.size))
    True
    """
    if not isinstance(model, Model):
        registration(type(model), "model")  # a TypeError naming the models
    spot = _scalar("S", S)
    if not (math.isfinite(spot) and spot > 0.0):
        raise ValueError(f"S must be finite and > 0, got {shown(S)}")
    grid = _grid(T, steps, times)
    count = _count("paths", paths, 0, None)
    start = _count("first_path", first_path, 0, SEEDS - 1)
    if start + count > SEEDS:
        raise ValueError(f"first_path + paths must be at most 2**64, got {start} + {count}")
    if count * grid.size > MAX_VALUES:
        raise ValueError(f"paths * times = {count} * {grid.size} values exceed the limit of 2**28 "
                         "(2 GiB); draw them in batches with first_path")
    carry = _carry(r, q, spot, grid[-1])
    key = secrets.randbits(64) if seed is None else _count("seed", seed, 0, SEEDS - 1)
    workers = resolve_threads(threads)
    params = np.array(model._parameters(), dtype=np.float64)
    return _simulation.simulate(model._code, params, spot, grid, carry, count, start, key, workers)


def _scalar(name: str, value: Any, durations: bool = False) -> float:
    array = as_float_array(name, value, durations)
    if array.ndim != 0:
        raise ValueError(f"{name} must be a single number, got an array of shape {array.shape}")
    return float(array)


def _count(name: str, value: Any, low: int, high: Optional[int]) -> int:
    """An integer argument within [low, high]; booleans and floats are refused."""
    if isinstance(value, (bool, np.bool_)) or not isinstance(value, (int, np.integer)):
        raise ValueError(f"{name} must be an integer, got {shown(value)}")
    number = int(value)
    if number < low or (high is not None and number > high):
        upper = "" if high is None else f" and <= {high}"
        raise ValueError(f"{name} must be >= {low}{upper}, got {number}")
    return number


def _grid(T: Any, steps: Optional[int], times: Any) -> "NDArray[np.float64]":
    """The grid times: 0 to T in equal steps, or the explicit times."""
    if times is not None:
        if T is not None or steps is not None:
            raise ValueError("give either T (and steps) or times, not both")
        grid = as_float_array("times", times, durations=True)
        if grid.ndim != 1 or not 1 <= grid.size <= MAX_TIMES:
            raise ValueError(f"times must be a 1-D array of 1 to {MAX_TIMES} times, got shape {grid.shape}")
        if not np.all(np.isfinite(grid)) or grid[0] < 0.0 or np.any(np.diff(grid) <= 0.0):
            raise ValueError(f"times must be finite, >= 0 and strictly increasing, got {shown(times)}")
        return np.ascontiguousarray(grid)
    if T is None:
        raise ValueError("give T (the horizon in years) or times")
    horizon = _scalar("T", T, durations=True)
    if not (math.isfinite(horizon) and horizon > 0.0):
        raise ValueError(f"T must be finite and > 0, got {shown(T)}")
    n = _count("steps", 252 if steps is None else steps, 1, MAX_TIMES - 1)
    # (j / n) T rather than (j T) / n: the last time is T itself.
    return np.arange(n + 1, dtype=np.float64) / n * horizon


def _carry(r: Any, q: Any, spot: float, horizon: float) -> float:
    """r - q, refused where the forward S e^{(r - q) t} overflows on the grid."""
    rate, dividend = _scalar("r", r), _scalar("q", q)
    for name, value, given in (("r", rate, r), ("q", dividend, q)):
        if not math.isfinite(value):
            raise ValueError(f"{name} must be finite, got {shown(given)}")
    carry = rate - dividend
    if not math.isfinite(carry) or math.log(spot) + carry * horizon > _LOG_MAX:
        raise ValueError(f"r - q = {carry!r} over T = {horizon!r} makes the forward S e^((r - q) T) "
                         "overflow a double")
    return carry
