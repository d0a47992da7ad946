"""Smile pictures: market against model implied volatility, one panel per maturity."""

import math
from typing import Any, Optional

import numpy as np

from tarnwick._black import forward, log_moneyness
from tarnwick._calibrate import CalibrationResult, model_implied_vols, read_surface

# Model curves are drawn through this many strikes per maturity, a little beyond the
# quoted range on both sides.
CURVE_POINTS = 81
MARGIN = 0.05


def _figure(**options: Any) -> Any:
    # A Figure of its own, not pyplot's: no global figure registry, no GUI backend needed.
    try:
        from matplotlib.figure import Figure
    except ImportError:
        raise ImportError("plot_smile needs matplotlib: pip install 'tarnwick[plot]'") from None
    return Figure(**options)


def _describe(model: Any) -> str:
    values = ", ".join(f"{name}={getattr(model, name):.4g}"
                       for name in model.parameter_names)
    return f"{type(model).__name__}({values})"


def plot_smile(fit: Any, quotes: Any = None, S: Optional[float] = None, r: float = 0.0,
               q: float = 0.0, *, threads: Optional[int] = None) -> Any:
    """Market and model implied volatility against log-moneyness, a panel per maturity.

    Dots are the market's implied vols, the line the model's through the same maturity,
    and a thin vertical segment joins each quote to the model (its residual). Each panel
    states its RMSE in vol points.

    Parameters
    ----------
    fit : a :class:`CalibrationResult` from :func:`tarnwick.calibrate`, or a model (then
        ``quotes`` and ``S`` are needed, and ``r``, ``q`` as in :func:`tarnwick.calibrate`).
    quotes, S, r, q : the quotes to draw a model against, read as :func:`tarnwick.calibrate`
        reads them (maturities in years, or durations read as ACT/365F: days / 365).
    threads : threads of the pricing calls.

    Returns
    -------
    matplotlib.figure.Figure

    Raises
    ------
    ImportError
        Without matplotlib (``pip install 'tarnwick[plot]'``).

    Examples
    --------
    >>> import tarnwick as tw
    >>> sample = tw.sample_quotes()
    >>> fit = tw.calibrate(tw.Kou, sample.quotes, sample.S)
    >>> figure = tw.plot_smile(fit)
    >>> figure.savefig("smile.png")  # doctest: +SKIP
    """
    if isinstance(fit, CalibrationResult):
        model, data, spot = fit.model, fit.quotes, fit.S
        rmse = fit.rmse_iv
    else:
        if quotes is None or S is None:
            raise ValueError("plot_smile: give a calibration result, or a model with quotes and S")
        model, spot = fit, float(S)
        surface = read_surface(quotes, spot, r, q, drop_invalid=True, threads=threads)
        data = {"strike": surface.strike, "maturity": surface.maturity, "rate": surface.rate,
                "dividend": surface.dividend, "iv": surface.iv}
        model_iv = model_implied_vols(model, spot, surface.strike, surface.maturity, surface.rate,
                             surface.dividend, threads)
        data["model_iv"] = model_iv
        rmse = float(np.sqrt(np.nanmean((model_iv - surface.iv) ** 2)))

    maturities = np.unique(data["maturity"])
    columns = min(4, maturities.size)
    rows = math.ceil(maturities.size / columns)
    figure = _figure(figsize=(3.5 * columns + 0.5, 3.8 * rows + 0.8), dpi=100)
    # Per maturity, the smile above and its residuals in a strip below, on one x axis.
    outer = figure.add_gridspec(rows, columns, hspace=0.32, wspace=0.08)
    first_smile = first_residual = None
    for index, T in enumerate(maturities):
        row, column = divmod(index, columns)
        inner = outer[row, column].subgridspec(2, 1, height_ratios=[3.0, 1.1], hspace=0.06)
        smile = figure.add_subplot(inner[0], sharey=first_smile)
        residual = figure.add_subplot(inner[1], sharex=smile, sharey=first_residual)
        first_smile, first_residual = first_smile or smile, first_residual or residual
        at = data["maturity"] == T
        K, r_t, q_t = data["strike"][at], data["rate"][at], data["dividend"][at]
        x = log_moneyness(spot, K, T, r_t, q_t)
        market, fitted = 100 * data["iv"][at], 100 * data["model_iv"][at]
        # The curve at the maturity's median rates: a line, not a zigzag, when rates vary.
        r_c, q_c = float(np.median(r_t)), float(np.median(q_t))
        span = x.max() - x.min()
        line = np.linspace(x.min() - MARGIN * span, x.max() + MARGIN * span, CURVE_POINTS)
        curve = 100 * model_implied_vols(model, spot, forward(spot, T, r_c, q_c) * np.exp(line),
                                         T, r_c, q_c, threads)
        smile.plot(line, curve, color="tab:blue", linewidth=1.6, label="model")
        smile.plot(x, market, "o", color="black", markersize=3.5, label="market")
        err = float(np.sqrt(np.nanmean((fitted - market) ** 2)))
        smile.set_title(f"T = {T:.3g} y   (RMSE {err:.2f} vol pts)", fontsize=10)
        residual.axhline(0.0, color="gray", linewidth=0.8)
        residual.vlines(x, 0.0, fitted - market, color="tab:red", linewidth=1.2)
        residual.plot(x, fitted - market, "o", color="tab:red", markersize=2.5,
                      label="residual (model - market)")
        smile.tick_params(labelbottom=False, labelsize=9)
        residual.tick_params(labelsize=9)
        for axis in (smile, residual):
            axis.grid(True, alpha=0.3)
        if column == 0:
            smile.set_ylabel("implied vol (%)", fontsize=9)
            residual.set_ylabel("resid. (vol pts)", fontsize=9)
        else:
            smile.tick_params(labelleft=False)
            residual.tick_params(labelleft=False)
        if index + columns >= maturities.size:
            residual.set_xlabel("log-moneyness ln(K/F)", fontsize=9)
    handles = [h for axis in figure.axes[:2] for h in axis.get_legend_handles_labels()[0]]
    figure.legend(handles, [h.get_label() for h in handles], loc="upper right", ncol=3,
                  fontsize=9, frameon=False)
    figure.suptitle(f"{_describe(model)}\nRMSE {100 * rmse:.3f} vol pts over "
                    f"{data['strike'].size} quotes", fontsize=10, x=0.01, ha="left")
    figure.subplots_adjust(left=0.06, right=0.99, top=0.86 if rows == 1 else 0.9, bottom=0.09)
    return figure
