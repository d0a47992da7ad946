"""The smile picture: what it draws, and the message without matplotlib."""

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
