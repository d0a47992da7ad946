"""The command line: the demo tables, the kou and merton tables, and usage errors."""

import importlib.metadata
import csv
import json
import math
import os
import subprocess
import sys
import sysconfig
import tempfile
from pathlib import Path

import numpy as np
import pytest

import tarnwick as tw
from tarnwick._models import registration
from tarnwick.cli import main

KOU_HEADER = "Kou call prices (T=0.5, S=100, r=0.05, sigma=0.16, lam=1, p=0.4, eta1=10, eta2=5)"
KOU_PUT_HEADER = KOU_HEADER.replace("call", "put")
MERTON_HEADER = "Merton call prices (T=1, S=100, sigma=0.2, r=0.05, lam=1, m=-0.1, s=0.2)"


def run_main(capsys, *argv):
    main(list(argv))
    out, err = capsys.readouterr()
    assert err == ""
    return out.splitlines()


def rows(lines):
    """{first cell: the other cells} of the table lines below the title and column line."""
    return {line.split()[0]: line.split()[1:] for line in lines[2:]}


def test_demo_shows_a_smile_then_a_calibration_and_its_picture(capsys, monkeypatch, tmp_path):
    monkeypatch.setattr(tempfile, "tempdir", str(tmp_path))
    lines = run_main(capsys)
    assert lines[0].startswith("tarnwick: European option prices, Greeks, implied vols")
    start = lines.index("A Kou smile: Kou(sigma=0.16, lam=1.0, p=0.4, eta1=10.0, eta2=5.0); "
                        "S=100, r=0.05, q=0")
    assert lines[start + 1].split() == ["T", "K", "call", "delta", "gamma", "vega", "theta",
                                        "impl.vol"]
    table = [line.split() for line in lines[start + 2:start + 12]]
    assert [(row[0], row[1]) for row in table] == [
        (T, K) for T in ("0.25", "1") for K in ("80", "90", "100", "110", "120")]
    model = tw.Kou(sigma=0.16, lam=1.0, p=0.4, eta1=10.0, eta2=5.0)
    for row in table:
        T, K, call, vol = float(row[0]), float(row[1]), float(row[2]), float(row[7])
        assert call > 0
        assert call == pytest.approx(tw.price(model, 100.0, K, T, 0.05), abs=1e-6)
        bs = tw.price(tw.BlackScholes(vol), 100.0, K, T, 0.05)
        assert bs == pytest.approx(call, abs=1e-4)
    fit = lines.index(next(line for line in lines if line.startswith("Kou fitted to 104 quotes")))
    assert "converged" in lines[fit]
    assert [line.split()[0] for line in lines[fit + 2:fit + 7]] == ["sigma", "lam", "p", "eta1",
                                                                     "eta2"]
    assert lines[fit + 7].startswith("RMSE 0.08")
    picture = tmp_path / "tarnwick-demo" / "sample_fit.png"
    assert f"picture of the fit: {picture}" in lines
    assert picture.read_bytes()[:4] == b"\x89PNG"
    # The whole demo fits a first screen of a large terminal.
    assert len(lines) <= 40


def test_kou_strike_range_gives_a_row_per_strike(capsys):
    lines = run_main(capsys, "kou", "--strikes", "90:110:5")
    assert lines[0] == KOU_HEADER
    assert lines[1].split() == ["K", "n", "=", "10"]
    table = rows(lines)
    assert list(table) == ["90", "95", "100", "105", "110"]
    assert table["100"] == ["7.95942920294"]
    assert table["90"] == ["14.8118905451"] and table["110"] == ["3.59964981452"]
    assert all(float(a[0]) > float(b[0]) for a, b in zip(table.values(), list(table.values())[1:]))


def test_fractional_strike_step_includes_the_upper_end(capsys):
    assert list(rows(run_main(capsys, "kou", "--strikes", "99.7:100:0.1"))) == [
        "99.7", "99.8", "99.9", "100"
    ]


def test_terms_give_a_convergence_column_for_one_strike(capsys):
    lines = run_main(capsys, "kou", "--put", "--terms", "0:3")
    assert lines[0] == KOU_PUT_HEADER
    assert lines[1].split() == ["n", "K", "=", "100"]
    assert rows(lines) == {
        "0": ["2.16739370364"], "1": ["4.72404367594"], "2": ["5.37103424144"], "3": ["5.47645944849"]
    }


def test_strikes_and_terms_together_give_a_grid(capsys):
    lines = run_main(capsys, "merton", "--strikes", "90:100:10", "--terms", "0:1", "--T", "1")
    assert lines[0] == MERTON_HEADER
    assert lines[1].split() == ["K", "n", "=", "0", "n", "=", "1"]
    assert list(rows(lines)) == ["90", "100"]
    assert rows(lines)["100"][0] == "5.91976866583"


def test_parameter_flags_reach_the_price(capsys):
    lines = run_main(capsys, "merton", "--K", "110", "--T", "2", "--lam", "0", "--n", "0")
    assert lines[0] == MERTON_HEADER.replace("T=1", "T=2").replace("lam=1", "lam=0")
    assert list(rows(lines)) == ["110"]
    # Without jumps, Black-Scholes: S=100, K=110, T=2, r=0.05, sigma=0.2.
    d1 = (math.log(100 / 110) + (0.05 + 0.02) * 2) / (0.2 * math.sqrt(2))
    d2 = d1 - 0.2 * math.sqrt(2)
    phi = lambda x: 0.5 * math.erfc(-x / math.sqrt(2))  # noqa: E731
    black_scholes = 100 * phi(d1) - 110 * math.exp(-0.1) * phi(d2)
    assert float(rows(lines)["110"][0]) == pytest.approx(black_scholes, abs=1e-10)
    put = rows(run_main(capsys, "kou", "--put", "--K", "110", "--n", "10"))["110"]
    assert put == ["10.8837401376"]


@pytest.mark.parametrize(
    "argv, message",
    [
        (["kou", "--strikes", "90:110"], "expected LO:HI:STEP, got '90:110'"),
        (["kou", "--strikes", "110:90:5"], "expected finite LO <= HI and STEP > 0"),
        (["kou", "--strikes", "90:110:0"], "expected finite LO <= HI and STEP > 0"),
        (["kou", "--strikes", "90:inf:5"], "expected finite LO <= HI and STEP > 0"),
        (["kou", "--strikes", "nan:nan:1"], "expected finite LO <= HI and STEP > 0"),
        (["kou", "--strikes", "90:110:1e-300"], "more than 1000 values"),
        # An infinite step printed a nan row (kou) or a traceback (price) before.
        (["kou", "--strikes", "80:120:inf"], "argument --strikes: expected finite LO <= HI"),
        (["price", "kou", "--K", "80:120:inf"], "argument --K: expected finite LO <= HI"),
        (["price", "kou", "--T", "0.1:1e6:1e-3"], "argument --T: more than 1000 values"),
        (["price", "bs", "--K", "1:1000:1", "--T", "1:100:1"],
         "arguments --K, --T: 1000 strikes times 100 maturities make 100000 rows; at most 10000"),
        (["kou", "--strikes", "1:1000:1", "--terms", "0:99"],
         "arguments --strikes, --terms: 1000 strikes times 100 term counts"),
        (["calibrate", "--sample", "--starts", "2147483647"],
         "argument --starts: expected an integer from 1 to 1000"),
        (["merton", "--terms", "5:1"], "expected LO <= HI, got '5:1'"),
        (["merton", "--terms", "0:1.5"], "expected LO:HI, got '0:1.5'"),
        (["kou", "--terms", "0:2000000000"], "more than 1000 term counts"),
        (["kou", "--terms", "2147483647:2147483648"], "expected 32-bit integers"),
        (["kou", "--n", "1.5"], "expected an integer, got '1.5'"),
        (["kou", "--n", "2147483648"], "expected an integer from -2147483648 to 2147483647"),
        (["kou", "--sigma", "abc"], "argument --sigma: invalid float value: 'abc'"),
        (["kou", "--spot", "1e999"], "argument --spot/--S: expected a finite number"),
        (["merton", "--put"], "unrecognized arguments: --put"),
        (["kou", "--strike", "100"], "unrecognized arguments: --strike 100"),
        (["kou", "--sig", "0.2"], "unrecognized arguments: --sig 0.2"),
        (["black-scholes"], "invalid choice: 'black-scholes'"),
    ],
)
def test_bad_arguments_are_usage_errors(capsys, argv, message):
    with pytest.raises(SystemExit) as exit:
        main(argv)
    assert exit.value.code == 2
    out, err = capsys.readouterr()
    assert out == ""
    assert err.startswith("usage: tarnwick")
    assert message in err.splitlines()[-1]


def test_help_lists_every_flag(capsys):
    with pytest.raises(SystemExit) as exit:
        main(["kou", "--help"])
    assert exit.value.code == 0
    out = capsys.readouterr().out
    for flag in ["--spot", "--S", "--rate", "--r", "--sigma", "--lam", "--p", "--eta1", "--eta2",
                 "--T", "--K", "--n", "--strikes", "--terms", "--put"]:
        assert f"{flag} " in out


def test_merton_jump_flags_cannot_be_mistaken_for_the_spot(capsys):
    lines = run_main(capsys, "merton", "--spot", "90", "--jump-mean", "-0.2", "--jump-std", "0.1",
                     "--rate", "0.01")
    assert lines[0] == MERTON_HEADER.replace("S=100", "S=90").replace("m=-0.1", "m=-0.2") \
        .replace("s=0.2)", "s=0.1)").replace("r=0.05", "r=0.01")
    assert run_main(capsys, "merton", "--S", "90", "--r", "0.01", "--jump-mean", "-0.2",
                    "--jump-std", "0.1") == lines
    for old in ("--s", "--m"):
        with pytest.raises(SystemExit) as exit:
            main(["merton", old, "0.1"])
        assert exit.value.code == 2
        assert f"unrecognized arguments: {old} 0.1" in capsys.readouterr().err


def test_version(capsys):
    with pytest.raises(SystemExit) as exit:
        main(["--version"])
    assert exit.value.code == 0
    assert capsys.readouterr().out == f"tarnwick {importlib.metadata.version('tarnwick')}\n"


# Every value a model or an option cannot take, on the flag that carries it: the usage
# error names the flag, whichever of its spellings was typed.
INVALID = [
    ("kou", "--K", "0", "> 0"), ("kou", "--K", "-100", "> 0"), ("merton", "--K", "0", "> 0"),
    ("kou", "--T", "0", "> 0"), ("merton", "--T", "-1", "> 0"),
    ("kou", "--spot", "0", "> 0"), ("merton", "--S", "-5", "> 0"),
    ("kou", "--sigma", "0", "> 0"), ("merton", "--sigma", "-0.2", "> 0"),
    ("kou", "--eta1", "1", "> 1"), ("kou", "--eta1", "0.5", "> 1"),
    ("kou", "--eta2", "0", "> 0"),
    ("kou", "--p", "-0.1", "between 0 and 1"), ("kou", "--p", "1.5", "between 0 and 1"),
    ("kou", "--lam", "-1", ">= 0"), ("merton", "--lam", "-0.5", ">= 0"),
    ("merton", "--jump-std", "-0.1", ">= 0"),
    ("kou", "--strikes", "0:10:5", "numbers > 0"), ("kou", "--strikes", "-10:10:5", "numbers > 0"),
]
NON_FINITE = [
    (command, flag, value)
    for command, flags in [("kou", ["--rate", "--K", "--sigma", "--p"]),
                           ("merton", ["--jump-mean", "--T", "--spot"])]
    for flag in flags
    for value in ["nan", "inf", "-inf"]
]


@pytest.mark.parametrize("command, flag, value, condition", INVALID)
def test_values_outside_the_model_are_usage_errors(capsys, command, flag, value, condition):
    with pytest.raises(SystemExit) as exit:
        main([command, f"{flag}={value}"])  # -10:10:5 alone would read as a flag
    assert exit.value.code == 2
    out, err = capsys.readouterr()
    assert out == ""
    last = err.splitlines()[-1]
    assert last.startswith(f"tarnwick {command}: error: argument ")
    assert flag in last.split(":")[2]
    assert f"expected {condition}" in last or f"expected a number {condition}" in last


@pytest.mark.parametrize("command, flag, value", NON_FINITE)
def test_non_finite_numbers_are_usage_errors(capsys, command, flag, value):
    with pytest.raises(SystemExit) as exit:
        main([command, f"{flag}={value}"])
    assert exit.value.code == 2
    last = capsys.readouterr().err.splitlines()[-1]
    assert flag in last and f"expected a finite number, got '{value}'" in last


def test_boundary_values_are_accepted(capsys):
    # p at both ends, no jumps, degenerate Merton jumps: valid models, finite prices.
    for argv in (["kou", "--p", "0"], ["kou", "--p", "1", "--lam", "0"],
                 ["merton", "--jump-std", "0", "--lam", "0"]):
        price = float(run_main(capsys, *argv)[2].split()[1])
        assert math.isfinite(price) and price > 0


# The same program as a user starts it: a new interpreter, from a directory outside the
# checkout, once through -m and once through the installed console script.
COMMANDS = {
    "python -m": [sys.executable, "-m", "tarnwick"],
    "console script": [os.path.join(sysconfig.get_path("scripts"), "tarnwick")],
}


@pytest.mark.parametrize("command", sorted(COMMANDS))
def test_installed_commands(tmp_path, command):
    def run(*argv):
        return subprocess.run(COMMANDS[command] + list(argv), cwd=tmp_path, capture_output=True,
                              text=True, timeout=120)

    demo = run()
    assert demo.returncode == 0, demo.stderr
    assert demo.stderr == ""
    assert "Kou fitted to 104 quotes" in demo.stdout

    table = run("kou", "--strikes", "90:110:5")
    assert table.returncode == 0, table.stderr
    assert list(rows(table.stdout.splitlines())) == ["90", "95", "100", "105", "110"]

    bad = run("kou", "--terms", "3")
    assert bad.returncode == 2
    assert bad.stdout == ""
    assert bad.stderr.startswith("usage: tarnwick kou")
    assert bad.stderr.rstrip().endswith("expected LO:HI, got '3'")


def test_closed_pipe_ends_quietly(tmp_path):
    reader = subprocess.Popen(COMMANDS["python -m"], cwd=tmp_path, stdout=subprocess.PIPE,
                              stderr=subprocess.PIPE)
    reader.stdout.close()  # the reader goes away before the first line is written
    _, err = reader.communicate(timeout=120)
    assert reader.returncode == 0
    assert err == b""


# --- tarnwick price ----------------------------------------------------------------------


def table_of(lines):
    header = lines[1].split()
    return header, np.array([[float(v) for v in line.split()] for line in lines[2:]])


def test_price_table_over_strike_range_and_maturity_list(capsys):
    lines = run_main(capsys, "price", "kou", "--K", "90:110:10", "--T", "0.5,1", "--spot", "105",
                     "--rate", "0.02", "--dividend", "0.01", "--sigma", "0.2", "--greeks", "--iv")
    model = tw.Kou(sigma=0.2, lam=1.0, p=0.4, eta1=10.0, eta2=5.0)
    assert lines[0] == f"{model!r}; S=105, r=0.02, q=0.01"
    header, table = table_of(lines)
    assert header == ["T", "K", "call", "delta", "gamma", "vega", "theta", "rho", "impl.vol"]
    np.testing.assert_array_equal(table[:, :2], [[T, K] for T in (0.5, 1) for K in (90, 100, 110)])
    greeks = tw.greeks(model, 105.0, table[:, 1], table[:, 0], 0.02, 0.01)
    for column, name in enumerate(["price", "delta", "gamma", "vega", "theta", "rho"], start=2):
        np.testing.assert_allclose(table[:, column], getattr(greeks, name), atol=1e-6)
    # The implied vol column reprices the option under Black-Scholes, up to its last
    # printed digit (5e-7 of vol, times a vega below 40).
    repriced = [tw.price(tw.BlackScholes(v), 105.0, K, T, 0.02, 0.01) for T, K, v in
                table[:, [0, 1, 8]]]
    np.testing.assert_allclose(repriced, table[:, 2], atol=2e-5)


def test_price_puts_of_each_model(capsys):
    for argv, model in [
        (["merton", "--jump-mean", "-0.2", "--jump-std", "0.1"],
         tw.Merton(sigma=0.2, lam=1.0, m=-0.2, s=0.1)),
        (["bs", "--sigma", "0.3"], tw.BlackScholes(0.3)),
    ]:
        lines = run_main(capsys, "price", *argv, "--put", "--K", "95,105", "--T", "2")
        header, table = table_of(lines)
        assert header == ["T", "K", "put"]
        np.testing.assert_allclose(table[:, 2], tw.price(model, 100.0, [95, 105], 2.0, 0.05,
                                                         kind="put"), atol=1e-6)


def test_price_american_puts_and_refusal_for_stochastic_volatility(capsys):
    lines = run_main(capsys, "price", "bs", "--put", "--american", "--K", "95,105", "--T", "0.5")
    _, table = table_of(lines)
    np.testing.assert_allclose(table[:, 2], tw.price(tw.BlackScholes(0.2), 100.0, [95, 105], 0.5, 0.05,
                                                     kind="put", exercise="american"), atol=1e-6)
    with pytest.raises(SystemExit) as exit:
        main(["price", "heston", "--american"])
    assert exit.value.code == 2
    assert "--american" in capsys.readouterr().err.splitlines()[-1]


def test_price_barrier_options_and_their_usage_errors(capsys):
    lines = run_main(capsys, "price", "kou", "--barrier", "90", "--barrier-kind", "down-and-in", "--rebate", "2",
                     "--monitoring", "weekly", "--K", "95,105", "--T", "0.5")
    _, table = table_of(lines)
    expected = tw.price(tw.Kou(0.16, 1.0, 0.4, 10.0, 5.0), 100.0, [95, 105], 0.5, 0.05, barrier=90.0,
                        barrier_kind="down-and-in", rebate=2.0, monitoring=np.arange(1, 27) / 52)
    np.testing.assert_allclose(table[:, 2], expected, atol=1e-6)
    for argv, flag in ((["--rebate", "1"], "arguments --barrier-kind, --rebate"), (["--barrier", "90"], "argument --barrier"),
                       (["--barrier", "90", "--barrier-kind", "down-and-out", "--american"], "argument --barrier")):
        with pytest.raises(SystemExit):
            main(["price", "kou"] + argv)
        assert flag in capsys.readouterr().err.splitlines()[-1]


@pytest.mark.parametrize("argv, flag, condition", [
    (["kou", "--K=-100"], "--K", "numbers > 0"),
    (["kou", "--K", "0,100"], "--K", "numbers > 0"),
    (["merton", "--T", "0"], "--T", "numbers > 0"),
    (["bs", "--T", "0:1:0.5"], "--T", "numbers > 0"),
    (["kou", "--sigma", "0"], "--sigma", "a number > 0"),
    (["kou", "--eta1", "1"], "--eta1", "a number > 1"),
    (["kou", "--eta2", "-2"], "--eta2", "a number > 0"),
    (["kou", "--p", "1.1"], "--p", "a number between 0 and 1"),
    (["merton", "--lam", "-1"], "--lam", "a number >= 0"),
    (["merton", "--jump-std", "-0.1"], "--jump-std", "a number >= 0"),
    (["bs", "--spot", "0"], "--spot/--S", "a number > 0"),
    (["bs", "--dividend", "nan"], "--dividend/--q", "a finite number"),
])
def test_price_usage_errors_name_the_flag(capsys, argv, flag, condition):
    with pytest.raises(SystemExit) as exit:
        main(["price"] + argv)
    assert exit.value.code == 2
    last = capsys.readouterr().err.splitlines()[-1]
    assert last.startswith(f"tarnwick price {argv[0]}: error: argument {flag}: expected {condition}")


# --- tarnwick calibrate ------------------------------------------------------------------


def test_calibrate_the_sample_prints_parameters_and_rmse_per_maturity(capsys, tmp_path):
    picture = tmp_path / "fit.png"
    lines = run_main(capsys, "calibrate", "--sample", "--model", "merton", "--plot", str(picture))
    fit = tw.calibrate(tw.Merton, tw.sample_quotes().quotes, 100.0)
    assert lines[0].startswith("Merton fitted to 104 quotes (sample quotes, S=100) in ")
    assert lines[0].endswith(", converged")
    rows = {line.split()[0]: line.split()[1:] for line in lines[2:6]}
    assert list(rows) == ["sigma", "lam", "m", "s"]
    for name, (value, error) in rows.items():
        assert float(value) == pytest.approx(getattr(fit.model, name), rel=1e-7)
        assert float(error) == pytest.approx(fit.standard_errors[name], rel=2e-3)
    assert lines[6] == (f"RMSE {100 * fit.rmse_iv:.4f} vol pts in implied vol, "
                        f"{fit.rmse_price:.6g} in price")
    per_maturity = [line.split() for line in lines[8:16]]
    assert [float(row[0]) for row in per_maturity] == pytest.approx(
        list(fit.rmse_by_maturity()), rel=1e-3)
    assert [row[1] for row in per_maturity] == ["13"] * 8
    assert lines[-1] == f"picture: {picture}"
    assert picture.read_bytes()[:4] == b"\x89PNG"


def test_calibrate_a_file_with_fixed_parameters(capsys, tmp_path):
    sample = tw.sample_quotes()
    path = tmp_path / "quotes.csv"
    # Without the rate and dividend columns: the flags give them.
    keep = ["strike", "maturity", "kind", "iv"]
    path.write_text(",".join(keep) + "\n" + "\n".join(
        ",".join(str(sample.quotes[c][i]) for c in keep) for i in range(104)) + "\n")
    lines = run_main(capsys, "calibrate", str(path), "--spot", "100", "--rate", "0.03",
                     "--dividend", "0.01", "--fix", "p=0.3", "--fix", "eta1=12",
                     "--target", "price")
    rows = {line.split()[0]: line.split()[1:] for line in lines[2:7]}
    assert rows["p"] == ["0.3", "fixed"] and rows["eta1"] == ["12", "fixed"]
    assert abs(float(rows["sigma"][0]) - 0.14) < 3 * float(rows["sigma"][1])
    assert lines[0].startswith(f"Kou fitted to 104 quotes ({path}, S=100)")


@pytest.mark.parametrize("argv, message", [
    ([], "give either a quotes file or --sample"),
    (["q.csv", "--sample"], "give either a quotes file or --sample"),
    (["{missing}", "--spot", "100"], "quotes: [Errno 2]"),
    (["{nospot}"], "argument --spot/--S is required: the file has no spot column, '# spot:' line"),
    (["{file}", "--spot", "100", "--fix", "rho=1"],
     "argument --fix: kou has no parameter 'rho'; its parameters are sigma, lam, p, eta1, eta2"),
    (["--sample", "--model", "merton", "--fix", "s=-1"], "argument --fix: s must be >= 0, got -1"),
    (["{file}", "--spot", "100", "--fix", "p"], "argument --fix: expected NAME=VALUE"),
    (["{file}", "--spot", "-1"], "argument --spot/--S: expected a number > 0"),
    (["--sample", "--model", "sabr"], "argument --model: invalid choice: 'sabr'"),
    (["{bad}", "--spot", "100"], "missing column(s) maturity"),
])
def test_calibrate_usage_errors(capsys, tmp_path, argv, message):
    (tmp_path / "bad.csv").write_text("strike,iv\n100,0.2\n")
    (tmp_path / "nospot.csv").write_text("strike,maturity,iv\n100,0.5,0.2\n")
    argv = [a.format(missing=tmp_path / "none.csv", file=tw.sample_quotes().path,
                     bad=tmp_path / "bad.csv", nospot=tmp_path / "nospot.csv") for a in argv]
    with pytest.raises(SystemExit) as exit:
        main(["calibrate"] + argv)
    assert exit.value.code == 2
    err = capsys.readouterr().err
    assert err.startswith("usage: tarnwick calibrate")
    assert message in err.splitlines()[-1]


def test_calibrate_progress_bar_only_when_asked_or_on_a_terminal(capsys):
    run_main_err = main(["calibrate", "--sample", "--model", "bs"])
    assert run_main_err is None
    assert "calibration starts" not in capsys.readouterr().err  # captured: not a terminal
    main(["calibrate", "--sample", "--model", "bs", "--progress"])
    assert "calibration starts" in capsys.readouterr().err


def test_calibrate_exits_1_when_the_fit_does_not_converge(capsys, tmp_path):
    sample = tw.sample_quotes().quotes
    path = tmp_path / "six.csv"  # one maturity: five parameters the optimiser cannot settle
    path.write_text("strike,maturity,kind,iv\n" + "".join(
        f"{sample['strike'][i]},{sample['maturity'][i]},{sample['kind'][i]},{sample['iv'][i]}\n"
        for i in range(40, 46)))
    with pytest.raises(SystemExit) as exit:
        main(["calibrate", str(path), "--spot", "100", "--rate", "0.03", "--dividend", "0.01"])
    assert exit.value.code == 1
    assert capsys.readouterr().out.splitlines()[0].endswith(", NOT converged")


# --- output formats and the picture -------------------------------------------------------


def parsed(lines, form):
    """(column names, rows of floats) of a price table in any of the formats."""
    if form == "json":
        document = json.loads("\n".join(lines))
        names = list(document["rows"][0])
        return names, np.array([[row[n] for n in names] for row in document["rows"]])
    if form == "csv":
        table = list(csv.reader(lines))
        return table[0], np.array(table[1:], dtype=float)
    body = lines[1:]
    # Right-aligned columns: every line ends where the header does, numbers of any size.
    assert len({len(line) for line in body}) == 1
    return body[0].split(), np.array([line.split() for line in body[1:]], dtype=float)


@pytest.mark.parametrize("form", ["table", "csv", "json"])
def test_price_and_calibrate_in_every_format(capsys, form):
    # Heston Greeks with prices from 100 down to 1e-73, which a fixed count of decimals
    # prints as 0.
    lines = run_main(capsys, "price", "heston", "--K", "0.1,100,160", "--T", "0.02,1",
                     "--greeks", "--format", form)
    names, table = parsed(lines, form)
    assert names == ["T", "K", "call", "delta", "gamma", "vega", "theta", "rho"]
    heston = tw.Heston(**{p.name: p.default for p in registration(tw.Heston).parameters})
    greeks = tw.greeks(heston, 100.0, table[:, 1], table[:, 0], 0.05)
    digits = 1e-7 if form == "table" else 0.0  # eight significant digits, else every bit
    for column, name in enumerate(["price", "delta", "gamma", "vega", "theta", "rho"], start=2):
        np.testing.assert_allclose(table[:, column], getattr(greeks, name), rtol=digits, atol=0)
    assert 0 < table[2, 2] < 1e-70  # the 160 call a week out, not 0.000000

    out = run_main(capsys, "calibrate", "--sample", "--model", "bs", "--format", form)
    fit = tw.calibrate(tw.BlackScholes, tw.sample_quotes().quotes, 100.0)
    if form == "table":
        assert out[0].startswith("BlackScholes fitted to 104 quotes (sample quotes, S=100)")
    elif form == "csv":
        rows = list(csv.DictReader(out))
        assert len(rows) == 104
        np.testing.assert_array_equal([float(r["residual"]) for r in rows], fit.residuals)
    else:
        document = json.loads("\n".join(out))
        assert document["parameters"] == {"sigma": fit.model.sigma} and document["success"]
        assert len(document["quotes"]) == 104


def test_plot_path_is_checked_before_the_fit_and_a_failed_picture_keeps_the_report(
        capsys, tmp_path, monkeypatch):
    for path, message in [(tmp_path / "none" / "fit.png", "no folder"),
                          (tmp_path / "fit.xyz", "does not write .xyz files")]:
        with pytest.raises(SystemExit) as exit:
            main(["calibrate", "--sample", "--model", "bs", "--plot", str(path)])
        out, err = capsys.readouterr()
        assert exit.value.code == 2 and out == "" and message in err  # no fit was run
    assert list(tmp_path.iterdir()) == []  # no folder made
    lines = run_main(capsys, "calibrate", "--sample", "--model", "bs", "--plot", str(tmp_path / "fit"))
    assert lines[-1] == f"picture: {tmp_path / 'fit.png'}"  # the file written, extension added
    assert (tmp_path / "fit.png").read_bytes()[:4] == b"\x89PNG"

    def fail(fit, path):
        raise OSError("disk full")
    monkeypatch.setattr("tarnwick.cli.save_picture", fail)
    with pytest.raises(SystemExit) as exit:
        main(["calibrate", "--sample", "--model", "bs", "--plot", str(tmp_path / "b.svg")])
    out, err = capsys.readouterr()
    assert exit.value.code == 1 and out.startswith("BlackScholes fitted to 104 quotes")
    assert "picture not written: disk full" in err
