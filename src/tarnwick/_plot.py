"""Smile pictures: market against model implied volatility, one panel per maturity."""

import datetime
import math
from typing import Any, Callable, Dict, Optional, Tuple

import numpy as np

from tarnwick._black import forward, forward_delta, log_moneyness
from tarnwick._calibrate import CalibrationResult, model_implied_vols, read_surface

# Model curves are drawn through this many strikes per maturity, a little beyond the
# quoted range on both sides.
CURVE_POINTS = 81
MARGIN = 0.05
# Panels per row: four keep a panel about 3.5 inches wide on a page-wide figure.
MAX_COLUMNS = 4
PANEL_WIDTH, PANEL_HEIGHT = 3.5, 3.6
# Below this width the title block (the model's parameters) and the legend do not fit
# side by side above one or two panels.
MIN_WIDTH = 7.5
X_AXES = {"log-moneyness": "log-moneyness ln(K/F)", "strike": "strike K",
          "delta": "call delta N(d1) (forward)"}
EXPIRY_LABELS = ("years", "days", "dates")


def _figure(**options: Any) -> Any:
    # A Figure of its own, not pyplot's: no global figure registry, no GUI backend needed.
    try:
        from matplotlib.figure import Figure
    except ImportError:
        raise ImportError("plot_smile needs matplotlib: pip install 'tarnwick[plot]'") from None
    # Constrained layout sizes the margins to the labels: no cut tick labels or titles,
    # and a legend placed outside the panels stays clear of them.
    return Figure(constrained_layout=True, **options)


def _describe(model: Any) -> str:
    values = ", ".join(f"{name}={getattr(model, name):.4g}"
                       for name in model.parameter_names)
    return f"{type(model).__name__}({values})"


def _expiry_label(labels: str, valuation: Any) -> Callable[[float], str]:
    """T in years as a panel title: years, whole days (ACT/365F) or the expiry date."""
    if labels not in EXPIRY_LABELS:
        raise ValueError(f"labels must be one of {', '.join(EXPIRY_LABELS)}, got {labels!r}")
    if labels == "years":
        return lambda T: f"T = {T:.3g} y"
    if labels == "days":
        return lambda T: f"T = {T * 365.0:.4g} d"
    if valuation is None:
        raise ValueError("labels='dates' needs the valuation date: valuation='2026-12-09'")
    try:
        day = np.datetime64(valuation, "D") if not isinstance(valuation, datetime.datetime) \
            else np.datetime64(valuation.date(), "D")
    except (TypeError, ValueError):
        raise ValueError(f"valuation must be a date (ISO string, datetime.date, "
                         f"numpy.datetime64, pandas.Timestamp), got {valuation!r}") from None
    # ACT/365F: T years are T * 365 days, whole ones for expiries given as dates.
    return lambda T: str(day + np.timedelta64(int(round(T * 365.0)), "D"))


def _abscissa(x_axis: str, K: Any, x: Any, vol: Any, T: float) -> Any:
    """The x coordinate of strikes K, at log-moneyness x and implied vol vol."""
    if x_axis == "strike":
        return K
    return forward_delta(vol, x, T) if x_axis == "delta" else x


def _fit_data(fit: Any, quotes: Any, S: Optional[float], r: float, q: float,
              threads: Optional[int]) -> Tuple[Any, Dict[str, Any], float, float]:
    """The model, the quotes' columns (with model_iv), the spot and the overall RMSE."""
    if isinstance(fit, CalibrationResult):
        return fit.model, fit.quotes, fit.S, fit.rmse_iv
    if quotes is None or S is None:
        raise ValueError("plot_smile: give a calibration result, or a model with quotes and S")
    model, spot = fit, float(S)
    surface = read_surface(quotes, spot, r, q, drop_invalid=True, threads=threads)
    data = {"strike": surface.strike, "maturity": surface.maturity, "rate": surface.rate,
            "dividend": surface.dividend, "iv": surface.iv}
    data["model_iv"] = model_implied_vols(model, spot, surface.strike, surface.maturity,
                                          surface.rate, surface.dividend, threads)
    rmse = float(np.sqrt(np.nanmean((data["model_iv"] - surface.iv) ** 2)))
    return model, data, spot, rmse


def _half_height(error: Any) -> float:
    """Half the height of a residual strip: a little beyond the largest residual, and at
    least 0.01 vol point, so that a perfect fit still has an axis."""
    finite = np.abs(error[np.isfinite(error)])
    return max(1.15 * float(finite.max()) if finite.size else 0.0, 0.01)


def plot_smile(fit: Any, quotes: Any = None, S: Optional[float] = None, r: float = 0.0,
               q: float = 0.0, *, x_axis: str = "log-moneyness", labels: str = "years",
               valuation: Any = None, sharey: bool = True,
               threads: Optional[int] = None) -> Any:
    """Market and model implied volatility, a panel per maturity.

    Dots are the market's implied vols, the line the model's through the same maturity,
    and a thin vertical segment joins each quote to the model (its residual). Each panel
    states its RMSE in vol points. Four panels to a row; the figure grows with the number
    of maturities, and the layout keeps every label inside it.

    Parameters
    ----------
    fit : a :class:`CalibrationResult` from :func:`tarnwick.calibrate`, or a model (then
        ``quotes`` and ``S`` are needed, and ``r``, ``q`` as in :func:`tarnwick.calibrate`).
    quotes, S, r, q : the quotes to draw a model against, read as :func:`tarnwick.calibrate`
        reads them (maturities in years, or durations read as ACT/365F: days / 365).
    x_axis : {"log-moneyness", "strike", "delta"}
        ln(K/F) (default), the strike, or the call's forward delta N(d1) (each point at its
        own implied vol: market dots at the market's, the curve at the model's), drawn
        from 1 on the left to 0 so that strikes still rise to the right.
    labels : {"years", "days", "dates"}
        Panel titles: T in years (default), in days (T * 365), or the expiry date
        ``valuation + T * 365`` days (ACT/365F), which needs ``valuation``.
    valuation : the valuation date for ``labels="dates"``: ISO string, datetime.date,
        numpy.datetime64 or pandas.Timestamp.
    sharey : one implied-vol scale for every panel (default); False gives each panel the
        scale of its own smile, for surfaces whose short and long ends differ widely.
    threads : threads of the pricing calls.

    Returns
    -------
    matplotlib.figure.Figure

    Raises
    ------
    ImportError
        Without matplotlib (``pip install 'tarnwick[plot]'``).
    ValueError
        An unknown ``x_axis`` or ``labels``, or ``labels="dates"`` without a valuation date.

    Examples
    --------
    >>> import tarnwick as tw
    >>> sample = tw.sample_quotes()
    >>> fit = tw.calibrate(tw.Kou, sample.quotes, sample.S)
    >>> figure = tw.plot_smile(fit, labels="days", x_axis="delta")
    >>> figure.savefig("smile.png")  # doctest: +SKIP
    """
    if x_axis not in X_AXES:
        raise ValueError(f"x_axis must be one of {', '.join(X_AXES)}, got {x_axis!r}")
    title_of = _expiry_label(labels, valuation)
    model, data, spot, rmse = _fit_data(fit, quotes, S, r, q, threads)

    maturities = np.unique(data["maturity"])
    columns = min(MAX_COLUMNS, maturities.size)
    rows = math.ceil(maturities.size / columns)
    figure = _figure(figsize=(max(PANEL_WIDTH * columns, MIN_WIDTH), PANEL_HEIGHT * rows + 1.0),
                     dpi=100)
    # Per maturity, the smile above and its residuals in a strip below, on one x axis.
    outer = figure.add_gridspec(rows, columns)
    first_smile = first_residual = None
    spans = []
    for index, T in enumerate(maturities):
        row, column = divmod(index, columns)
        inner = outer[row, column].subgridspec(2, 1, height_ratios=[3.0, 1.2])
        smile = figure.add_subplot(inner[0], sharey=first_smile if sharey else None)
        residual = figure.add_subplot(inner[1], sharex=smile,
                                      sharey=first_residual if sharey else None)
        first_smile, first_residual = first_smile or smile, first_residual or residual
        at = data["maturity"] == T
        K, r_t, q_t = data["strike"][at], data["rate"][at], data["dividend"][at]
        # The curve at the maturity's median rates: a line, not a zigzag, when rates vary.
        r_c, q_c = float(np.median(r_t)), float(np.median(q_t))
        x_quotes = log_moneyness(spot, K, T, r_t, q_t)
        span = x_quotes.max() - x_quotes.min()
        line = np.linspace(x_quotes.min() - MARGIN * span, x_quotes.max() + MARGIN * span,
                           CURVE_POINTS)
        K_line = forward(spot, T, r_c, q_c) * np.exp(line)
        curve = model_implied_vols(model, spot, K_line, T, r_c, q_c, threads)
        market, fitted = data["iv"][at], data["model_iv"][at]
        x = _abscissa(x_axis, K, x_quotes, market, T)
        smile.plot(_abscissa(x_axis, K_line, line, curve, T), 100 * curve, color="tab:blue", linewidth=1.6,
                   label="model")
        smile.plot(x, 100 * market, "o", color="black", markersize=3.5, label="market")
        error = 100 * (fitted - market)
        smile.set_title(f"{title_of(float(T))}   (RMSE "
                        f"{math.sqrt(float(np.nanmean(error ** 2))):.2f} vol pts)", fontsize=9.5)
        residual.axhline(0.0, color="gray", linewidth=0.8)
        residual.vlines(x, 0.0, error, color="tab:red", linewidth=1.2)
        residual.plot(x, error, "o", color="tab:red", markersize=2.5,
                      label="residual (model - market)")
        if x_axis == "delta":
            smile.invert_xaxis()  # and the residual strip's, which it shares
        smile.tick_params(labelbottom=False, labelsize=8.5)
        residual.tick_params(labelsize=8.5)
        # Few ticks: a panel is 3.5 inches wide, and ticks such as -0.075 need room. The
        # strip is symmetric about 0, so that a negative tick is there to read.
        residual.locator_params(axis="y", nbins=4, symmetric=True)
        residual.locator_params(axis="x", nbins=5)
        spans.append(_half_height(error))
        if not sharey:
            residual.set_ylim(-spans[-1], spans[-1])
        for axis in (smile, residual):
            axis.grid(True, alpha=0.3)
        if column == 0 or not sharey:
            smile.set_ylabel("implied vol (%)" if column == 0 else "", fontsize=9)
            residual.set_ylabel("resid. (vol pts)" if column == 0 else "", fontsize=9)
        else:
            smile.tick_params(labelleft=False)
            residual.tick_params(labelleft=False)
        if index + columns >= maturities.size:
            residual.set_xlabel(X_AXES[x_axis], fontsize=9)
    if sharey and first_residual is not None:
        first_residual.set_ylim(-max(spans), max(spans))
    handles = [h for axis in figure.axes[:2] for h in axis.get_legend_handles_labels()[0]]
    figure.suptitle(f"{_describe(model)}\nRMSE {100 * rmse:.3f} vol pts over "
                    f"{data['strike'].size} quotes", fontsize=10, x=0.02, ha="left")
    # Beneath the panels, where it covers neither the title nor a smile.
    figure.legend(handles, [h.get_label() for h in handles], loc="outside lower center",
                  ncol=3, fontsize=9, frameon=False)
    return figure
