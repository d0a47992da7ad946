"""The smile picture: what it draws, a layout that keeps every label readable from one
maturity to twenty, and the message without matplotlib."""

import sys

import numpy as np
import pytest

import tarnwick as tw

pytest.importorskip("matplotlib")


@pytest.fixture(scope="module")
def fit():
    sample = tw.sample_quotes()
    return tw.calibrate(tw.Merton, sample.quotes, sample.S)


def smiles_and_residuals(figure):
    smiles = [a for a in figure.axes if a.get_ylabel() == "implied vol (%)" or a.get_title()]
    residuals = [a for a in figure.axes if a not in smiles]
    return smiles, residuals


def test_a_panel_per_maturity_with_market_model_and_residuals(fit, tmp_path):
    figure = tw.plot_smile(fit)
    smiles, residuals = smiles_and_residuals(figure)
    maturities = np.unique(fit.quotes["maturity"])
    assert len(smiles) == len(residuals) == maturities.size == 8
    assert [a.get_title().split("   ")[0] for a in smiles] == [f"T = {T:.3g} y" for T in maturities]
    for smile, T in zip(smiles, maturities):
        at = fit.quotes["maturity"] == T
        model, market = smile.get_lines()[:2]
        assert model.get_label() == "model" and market.get_label() == "market"
        # Market dots are the quotes in percent at their log-moneyness ln(K/F).
        forward = fit.S * np.exp((fit.quotes["rate"][at] - fit.quotes["dividend"][at]) * T)
        np.testing.assert_allclose(market.get_xdata(), np.log(fit.quotes["strike"][at] / forward))
        np.testing.assert_allclose(market.get_ydata(), 100 * fit.quotes["iv"][at])
        # The model line passes through the model's vols at the quoted strikes.
        curve = np.interp(market.get_xdata(), model.get_xdata(), model.get_ydata())
        np.testing.assert_allclose(curve, 100 * fit.quotes["model_iv"][at], atol=0.02)
    for residual, T in zip(residuals, maturities):
        at = fit.quotes["maturity"] == T
        dots = [line for line in residual.get_lines() if line.get_label().startswith("residual")]
        np.testing.assert_allclose(dots[0].get_ydata(), 100 * fit.residuals[at], atol=1e-9)
    labels = {a.get_xlabel() for a in residuals} | {a.get_ylabel() for a in figure.axes}
    assert {"log-moneyness ln(K/F)", "implied vol (%)", "resid. (vol pts)"} <= labels
    [legend] = figure.legends
    assert [t.get_text() for t in legend.get_texts()] == ["model", "market",
                                                           "residual (model - market)"]
    # Strikes or deltas on the x axis: the same dots, moved (delta falls as strikes rise).
    by_delta = tw.plot_smile(fit, x_axis="delta", labels="days", sharey=False)
    dots = smiles_and_residuals(by_delta)[0][0].get_lines()[1].get_xdata()
    assert np.all(np.diff(dots) < 0) and np.all((dots > 0) & (dots < 1))
    assert smiles_and_residuals(by_delta)[0][0].get_title().startswith("T = 30.42 d")
    path = tmp_path / "smile.png"
    figure.savefig(path)
    assert path.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"


def test_a_model_with_quotes_draws_the_same_smiles(fit):
    sample = tw.sample_quotes()
    figure = tw.plot_smile(fit.model, sample.quotes, sample.S)
    direct, _ = smiles_and_residuals(figure)
    fitted, _ = smiles_and_residuals(tw.plot_smile(fit))
    for a, b in zip(direct, fitted):
        np.testing.assert_allclose(a.get_lines()[0].get_ydata(), b.get_lines()[0].get_ydata())
    with pytest.raises(ValueError, match="quotes and S"):
        tw.plot_smile(fit.model)


def test_without_matplotlib_the_error_names_the_extra(fit, monkeypatch):
    monkeypatch.setitem(sys.modules, "matplotlib.figure", None)
    with pytest.raises(ImportError, match=r"pip install 'tarnwick\[plot\]'"):
        tw.plot_smile(fit)


def maturities_surface(count):
    """Kou's smile at count maturities from a week to two years, 11 strikes each, with a
    0.2 vol-point zigzag so that the residual strips have negative ticks."""
    T = np.repeat(np.geomspace(7 / 365, 2.0, count), 11)
    x = np.tile(np.linspace(-2.0, 1.5, 11), count) * 0.2 * np.sqrt(T)
    K = 100.0 * np.exp(x)
    iv = tw.implied_volatility(tw.price(tw.Kou(0.15, 0.6, 0.25, 14.0, 7.0), 100.0, K, T), 100.0, K, T)
    return {"strike": K, "maturity": T, "iv": iv + 0.002 * (-1.0) ** np.arange(T.size)}


def boxes(figure):
    """The window extents of the title, the legend and every visible label and tick label."""
    from matplotlib.backends.backend_agg import FigureCanvasAgg
    renderer = FigureCanvasAgg(figure).get_renderer()
    figure.draw(renderer)
    def drawn(labels, limits, coordinate):
        # Tick labels outside the axis' view are kept by matplotlib but not drawn.
        low, high = sorted(limits)
        return [t for t in labels if low <= t.get_position()[coordinate] <= high]

    texts = [figure._suptitle] + [t for a in figure.axes for t in
                                  (a.title, a.xaxis.label, a.yaxis.label,
                                   *drawn(a.get_xticklabels(), a.get_xlim(), 0),
                                   *drawn(a.get_yticklabels(), a.get_ylim(), 1))]
    shown = [t for t in texts if t.get_visible() and t.get_text()]
    return renderer, {t: t.get_window_extent(renderer) for t in shown}


@pytest.mark.parametrize("count", [1, 2, 8, 20])
def test_every_label_is_inside_the_figure_and_clear_of_the_legend(count):
    labels = ["years", "dates"][count % 2]
    figure = tw.plot_smile(tw.Kou(0.15, 0.6, 0.25, 14.0, 7.0), maturities_surface(count), 100.0,
                           labels=labels, valuation="2026-12-09")
    renderer, extents = boxes(figure)
    page = figure.bbox
    for text, box in extents.items():
        assert (box.x0 >= page.x0 - 1 and box.x1 <= page.x1 + 1 and box.y0 >= page.y0 - 1
                and box.y1 <= page.y1 + 1), f"{text.get_text()!r} ({text.get_position()}) is cut at the edge"
    [legend] = figure.legends
    key = legend.get_window_extent(renderer)
    titles = [figure._suptitle] + [a.title for a in figure.axes if a.get_title()]
    assert len(titles) == count + 1
    for text in titles:
        assert not key.overlaps(extents[text]), f"the legend covers {text.get_text()!r}"
    for axis in figure.axes:
        assert not key.overlaps(axis.get_window_extent(renderer))
    # The residual strips' negative ticks keep their minus sign.
    ticks = [t.get_text() for a in figure.axes[1::2] for t in a.get_yticklabels()
             if t.get_visible() and t in extents]
    assert any(t.startswith("\N{MINUS SIGN}") for t in ticks)
    if labels == "dates":
        assert figure.axes[0].get_title().startswith("2026-12-16")
