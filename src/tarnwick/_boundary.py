"""The early-exercise boundary of an American option, and its picture."""

from typing import Any, NamedTuple, Optional

import numpy as np
from numpy.typing import NDArray

from . import _pricing
from ._inputs import kind_codes, scalar_arguments
from ._models import require_grid_model
from ._plot import _figure
from ._status import warn_failures


class ExerciseBoundary(NamedTuple):
    """Times from now (years, increasing) and the spot at which the option is exercised.

    A put is exercised at or below ``spot``, a call at or above; NaN where no spot of the
    grid is exercised at that time.
    """

    time: "NDArray[np.float64]"
    spot: "NDArray[np.float64]"


def exercise_boundary(model: Any, K: float, T: float, r: float = 0.0, q: float = 0.0,
                      kind: str = "put") -> ExerciseBoundary:
    """The early-exercise boundary of an American call or put.

    Computed with the option's price on the grid in log price (see :func:`price`), at
    every time step of its finer grid: a spot where the option is worth its exercise
    value, refined between nodes by the smooth fit of the value to the payoff.

    Parameters
    ----------
    model : tw.BlackScholes, tw.Kou or tw.Merton
    K, T, r, q : float
        Strike, maturity in years, rate and dividend yield (as for :func:`price`).
    kind : {'put', 'call'}, optional

    Returns
    -------
    ExerciseBoundary
        ``time`` in years from now, increasing towards ``T``, and ``spot``.

    Examples
    --------
    >>> import tarnwick as tw
    >>> b = tw.exercise_boundary(tw.BlackScholes(0.2), K=100.0, T=1.0, r=0.05)
    >>> bool(b.spot[0] < b.spot[-1] < 100.0)
    True
    """
    require_grid_model(model, "early exercise is priced", "; use exercise='european'")
    if not isinstance(kind, str):
        raise ValueError(f"kind must be 'call' or 'put', got {kind!r}")
    checked = scalar_arguments(1.0, K, T, r, q, kind)
    if checked is None:
        raise ValueError("K, T, r and q must be real numbers (floats)")
    _, K, T, r, q, call = checked
    tau, spot, status = _pricing.exercise_boundary(model._code, model._parameters(), K, T, r, q, call)
    if status:
        warn_failures(np.array([status], dtype=np.int8),
                      [("K", np.array([K])), ("T", np.array([T])), ("r", np.array([r])), ("q", np.array([q])),
                       ("kind", kind_codes(kind).reshape(1))])
    order = np.argsort(T - np.asarray(tau), kind="stable")
    return ExerciseBoundary(T - np.asarray(tau)[order], np.asarray(spot)[order])


def plot_exercise_boundary(model: Any, K: float, T: float, r: float = 0.0, q: float = 0.0,
                           kind: str = "put", *, ax: Optional[Any] = None) -> Any:
    """The exercise boundary of :func:`exercise_boundary` against time; needs matplotlib.

    Draws on ``ax`` if given, else on a new ``matplotlib.figure.Figure``; returns the figure.

    Examples
    --------
    >>> import tarnwick as tw
    >>> figure = tw.plot_exercise_boundary(tw.Kou(0.15, 0.1, 0.3445, 3.0465, 3.0775), 100.0, 0.25, 0.05)
    >>> figure.axes[0].get_xlabel()
    'time (years)'
    """
    boundary = exercise_boundary(model, K, T, r, q, kind)
    if ax is None:
        try:
            figure = _figure(figsize=(6.0, 4.0))
        except ImportError:
            raise ImportError("plot_exercise_boundary needs matplotlib: pip install 'tarnwick[plot]'") from None
        ax = figure.add_subplot()
    ax.plot(boundary.time, boundary.spot, label=f"exercise {kind.lower()} beyond")
    ax.axhline(K, color="grey", linewidth=0.8, linestyle=":", label="strike")
    ax.set_xlabel("time (years)")
    ax.set_ylabel("spot")
    ax.set_title(f"American {kind.lower()}: early-exercise boundary")
    ax.legend()
    return ax.figure
