"""The command line: the demo tables, the kou and merton tables, and usage errors."""

import importlib.metadata
import math
import os
import subprocess
import sys
import sysconfig
from pathlib import Path

import pytest

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


def test_demo_prints_merton_then_kou_call_and_put(capsys):
    lines = run_main(capsys)
    titles = [line for line in lines if line.endswith(")")]
    assert titles == [MERTON_HEADER, KOU_HEADER, KOU_PUT_HEADER]
    merton, call, put = "\n".join(lines).split("\n\n")
    merton, call, put = merton.splitlines(), call.splitlines(), put.splitlines()
    assert merton[1].split() == ["K", "n", "=", "0", "n", "=", "2", "n", "=", "10", "n", "=", "50"]
    assert list(rows(merton)) == ["80", "90", "100", "110", "120"]
    assert rows(merton)["100"][3] == "13.6886812613"
    assert list(rows(call)) == list(rows(put)) == ["90", "100", "110"]
    assert rows(call)["100"] == ["4.6364025008", "7.1930524731", "7.9593278245", "7.9594292029"]
    assert rows(put)["100"][0] == "2.1673937036"
    # put - call = K exp(-rT) - S in every cell
    for strike in (90, 100, 110):
        for c, p in zip(rows(call)[str(strike)], rows(put)[str(strike)]):
            parity = strike * 0.9753099120283326 - 100  # exp(-0.05 * 0.5)
            assert float(p) - float(c) == pytest.approx(parity, abs=2e-10)


def test_kou_strike_range_gives_a_row_per_strike(capsys):
    lines = run_main(capsys, "kou", "--strikes", "90:110:5")
    assert lines[0] == KOU_HEADER
    assert lines[1].split() == ["K", "n", "=", "10"]
    table = rows(lines)
    assert list(table) == ["90", "95", "100", "105", "110"]
    assert table["100"] == ["7.9594292029"]
    assert table["90"] == ["14.8118905451"] and table["110"] == ["3.5996498145"]
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
        "0": ["2.1673937036"], "1": ["4.7240436759"], "2": ["5.3710342414"], "3": ["5.4764594485"]
    }


def test_strikes_and_terms_together_give_a_grid(capsys):
    lines = run_main(capsys, "merton", "--strikes", "90:100:10", "--terms", "0:1", "--T", "1")
    assert lines[0] == MERTON_HEADER
    assert lines[1].split() == ["K", "n", "=", "0", "n", "=", "1"]
    assert list(rows(lines)) == ["90", "100"]
    assert rows(lines)["100"][0] == "5.9197686658"


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
        (["kou", "--strikes", "110:90:5"], "expected LO <= HI and STEP > 0"),
        (["kou", "--strikes", "90:110:0"], "expected LO <= HI and STEP > 0"),
        (["kou", "--strikes", "90:inf:5"], "expected LO <= HI and STEP > 0"),
        (["kou", "--strikes", "nan:nan:1"], "expected LO <= HI and STEP > 0"),
        (["kou", "--strikes", "90:110:1e-300"], "more than 1000 strikes"),
        (["merton", "--terms", "5:1"], "expected LO <= HI, got '5:1'"),
        (["merton", "--terms", "0:1.5"], "expected LO:HI, got '0:1.5'"),
        (["kou", "--terms", "0:2000000000"], "more than 1000 term counts"),
        (["kou", "--terms", "2147483647:2147483648"], "expected 32-bit integers"),
        (["kou", "--n", "1.5"], "expected an integer, got '1.5'"),
        (["kou", "--n", "2147483648"], "expected a 32-bit integer"),
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
    ("kou", "--p", "-0.1", "in [0, 1]"), ("kou", "--p", "1.5", "in [0, 1]"),
    ("kou", "--lam", "-1", ">= 0"), ("merton", "--lam", "-0.5", ">= 0"),
    ("merton", "--jump-std", "-0.1", ">= 0"),
    ("kou", "--strikes", "0:10:5", "strikes > 0"), ("kou", "--strikes", "-10:10:5", "strikes > 0"),
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
    assert demo.stdout.splitlines()[0] == MERTON_HEADER
    assert "13.6886812613" in demo.stdout and "7.9594292029" in demo.stdout

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
