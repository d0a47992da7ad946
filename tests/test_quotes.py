"""Quotes from CSV files, and the sample surface with the script that makes it."""

import importlib.util
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

import tarnwick as tw
from tarnwick._calibrate import model_implied_vols

ROOT = Path(__file__).resolve().parents[1]
SCRIPT = ROOT / "scripts" / "make_sample_quotes.py"


def generators():
    """The script's samples: name -> the model each file was made with."""
    spec = importlib.util.spec_from_file_location("make_sample_quotes", SCRIPT)
    script = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(script)
    return {name: sample.model for name, sample in script.SAMPLES.items()}


def test_a_file_as_people_save_it(tmp_path):
    # A byte-order mark, headers in any case, semicolons with decimal commas, comment
    # lines, a symbol column, dated expiries and header lines for what all quotes share.
    path = tmp_path / "quotes.csv"
    path.write_bytes("\ufeff# exported 2026-12-09\n# Valuation: 2026-12-09\n# spot: 4800\n"
                     "# rate: 0.25 0.02, 1 0.04\n\nSymbol; Expiry ;Strike;KIND;Bid;ASK\n"
                     "SPX C;2027-06-09;4900;call;101,5;102,5\n# between rows\n"
                     "SPX P;2027-12-09;4500;PUT;80;81,25\n".encode("utf-8"))
    with pytest.warns(UserWarning, match=r"column 'symbol' holds text \('SPX C' on line 7\) .*left out"):
        quotes = tw.read_quotes(path)
    assert sorted(quotes) == ["ask", "bid", "kind", "maturity", "rate", "spot", "strike", "valuation"]
    assert list(quotes["maturity"]) == [np.datetime64("2027-06-09"), np.datetime64("2027-12-09")]
    np.testing.assert_array_equal(quotes["ask"], [102.5, 81.25])
    np.testing.assert_array_equal(quotes["spot"], [4800.0, 4800.0])
    # Half a year less a day, between the pillars, and one year, on one.
    np.testing.assert_allclose(quotes["rate"], [0.02 + 0.02 * (182 / 365 - 0.25) / 0.75, 0.04],
                               rtol=1e-14)
    assert list(quotes["kind"]) == ["call", "PUT"]


CSV = "strike,maturity,iv\n90,0.5,0.2\n"


@pytest.mark.parametrize("text, message", [
    ("", "no header line"),
    ("strike,maturity\n90\n", r"bad.csv, line 2: 1 fields, the header \(line 1\) 2"),
    ("# c\nstrike,maturity,iv\n90,0.5,0.2\n95,soon,0.2\n",
     r"line 4: column 'maturity': 'soon' is neither a number of years nor a date"),
    ("strike,maturity,iv\n90,0.5,0.2\n\n90,0.5,20 %\n", r"line 4: column 'iv': '20 %' is not a number"),
    ("Strike,strike,iv\n90,0.5,0.2\n", r"line 1: repeated column\(s\) \['strike'\]"),
    ("# spot: lots\n" + CSV, r"line 1: '# spot:' 'lots'"),
    ("# valuation: yesterday\n" + CSV, r"line 1: '# valuation:' 'yesterday'.*must be dates"),
    ("# day count: 30/360\n" + CSV, r"day_count must be one of 'ACT/365F'"),
    ("# rate: 0.03\nstrike,maturity,iv,rate\n90,0.5,0.2,0.03\n",
     r"line 1: '# rate:' and a column 'rate' both given"),
    ("# rate: 1 0.03, 0.5 0.02\n" + CSV, r"increasing maturities in years"),
    ("# rate: 0.5 0.02, 1 0.03\nstrike,maturity,iv\n90,2027-06-01,0.2\n",
     r"a curve with dated maturities needs a '# valuation:' line"),
    # Read, then refused by calibrate with the columns it found.
    ("Strike,Expiry_Date,IV\n90,0.5,0.2\n",
     r"missing column\(s\) maturity; .*the columns found are: strike, expiry_date, iv"),
    ("# valuation: 2027-06-01\nstrike,expiry,iv\n90,2027-06-01,0.2\n",
     r"maturity must be finite and > 0; not so at rows \[0\] \(an expiry on or before the valuation"),
])
def test_bad_files_are_value_errors_with_line_and_value(tmp_path, text, message):
    path = tmp_path / "bad.csv"
    path.write_text(text)
    with pytest.raises(ValueError, match=message):
        tw.calibrate(tw.BlackScholes, tw.read_quotes(path), 100.0)


@pytest.mark.parametrize("name", ["kou", "bates"])
def test_the_sample_is_labelled_synthetic_and_has_8_by_13_quotes(name):
    sample = tw.sample_quotes(name)
    assert sample.S == 100.0
    assert "Synthetic quotes, not market data" in sample.path.read_text()
    quotes = sample.quotes
    assert len(np.unique(quotes["maturity"])) == 8 and quotes["strike"].size == 104
    forward = sample.S * np.exp((quotes["rate"] - quotes["dividend"]) * quotes["maturity"])
    # Out of the money on both sides.
    assert (np.where(quotes["strike"] >= forward, "call", "put") == quotes["kind"]).all()


def test_an_unknown_sample_names_the_argument_and_the_choices():
    with pytest.raises(ValueError, match="model must be one of 'kou', 'bates', 'market', got 'heston'"):
        tw.sample_quotes("heston")


@pytest.mark.parametrize("name", ["kou", "bates", "market"])
def test_the_sample_file_is_what_its_script_makes(tmp_path, name):
    # The header states the parameters it is made from, so this checks them too.
    out = tmp_path / "sample.csv"
    subprocess.run([sys.executable, str(SCRIPT), "--sample", name, str(out)],
                   check=True, capture_output=True, timeout=120)
    assert out.read_text() == tw.sample_quotes(name).path.read_text()


@pytest.mark.parametrize("name, model_class", [("kou", tw.Kou), ("bates", tw.Bates)])
def test_a_fit_to_the_sample_finds_its_stated_parameters(name, model_class):
    sample = tw.sample_quotes(name)
    stated = generators()[name]
    assert isinstance(stated, model_class)
    fit = tw.calibrate(model_class, sample.quotes, sample.S)
    for parameter in model_class.parameter_names:
        error = abs(getattr(fit.model, parameter) - getattr(stated, parameter))
        assert error <= 3 * fit.standard_errors[parameter], parameter
    quotes = sample.quotes
    exact = model_implied_vols(stated, sample.S, quotes["strike"], quotes["maturity"],
                               quotes["rate"], quotes["dividend"])
    noise = np.sqrt(np.mean((quotes["iv"] - exact) ** 2))
    assert abs(noise - 0.001) < 0.00015  # as stated, up to the sampling error of 104 draws
    assert 0.9 * noise <= fit.rmse_iv <= noise


def test_the_desk_sample_fits_from_its_file_alone():
    # Spot, valuation date, dated expiries, forwards, discount factors and bid/ask prices
    # all come from the file: no argument but the model.
    sample = tw.sample_quotes("market")
    with pytest.warns(UserWarning, match="column 'symbol'"):
        quotes = tw.read_quotes(sample.path)
    fit = tw.calibrate(tw.Kou, quotes)
    assert fit.success and fit.S == sample.S == 4800.0
    stated = generators()["kou"]
    for parameter in tw.Kou.parameter_names:
        error = abs(getattr(fit.model, parameter) - getattr(stated, parameter))
        assert error <= 3 * fit.standard_errors[parameter], parameter
    # The quotes' forwards come back through the implied dividend yields.
    forward = fit.S * np.exp((fit.quotes["rate"] - fit.quotes["dividend"]) * fit.quotes["maturity"])
    np.testing.assert_allclose(forward, quotes["forward"], rtol=1e-14)
    # Spreads of 0.2 vol point and more weigh less than the tight wings.
    assert 0.05 < fit.quotes["weight"].min() < 0.5 and fit.quotes["weight"].max() == 1.0
