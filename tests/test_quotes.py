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


def test_csv_with_comments_text_and_numbers(tmp_path):
    path = tmp_path / "quotes.csv"
    path.write_text("# made up\n\nstrike, maturity,kind,price\n90,0.5, put ,1.25\n"
                    "# between rows\n110,1,call,2.5\n")
    quotes = tw.read_quotes(path)
    assert sorted(quotes) == ["kind", "maturity", "price", "strike"]
    np.testing.assert_array_equal(quotes["strike"], [90.0, 110.0])
    np.testing.assert_array_equal(quotes["price"], [1.25, 2.5])
    assert list(quotes["kind"]) == ["put", "call"]


@pytest.mark.parametrize("text, message", [
    ("", "no header line"),
    ("strike,maturity\n90\n", "data row 1 has 1 fields, the header 2"),
    ("strike,maturity\n90,soon\n", "column 'maturity'"),
])
def test_malformed_csv_is_a_value_error(tmp_path, text, message):
    path = tmp_path / "bad.csv"
    path.write_text(text)
    with pytest.raises(ValueError, match=message):
        tw.read_quotes(path)


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
    with pytest.raises(ValueError, match="model must be one of 'kou', 'bates', got 'heston'"):
        tw.sample_quotes("heston")


@pytest.mark.parametrize("name", ["kou", "bates"])
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
