"""Prices and Greeks against the stored high-precision references.

The references (tests/references/*.csv) come from make_pricing_references.py: Merton by
its Poisson series of Black-Scholes prices, Kou by Lewis' inversion on another contour
with mpmath quadrature, Greeks by finite differences of those, all at 30+ digits. Rows
marked "default" run always, the rest under the slow marker.
"""

import csv
import math
from pathlib import Path

import numpy as np
import pytest

import tarnwick as tw

REFERENCES = Path(__file__).resolve().parent.parent / "references"
MODELS = {"kou": tw.Kou, "merton": tw.Merton}
GREEKS = list(tw.Greeks._fields)

# Goals: every price within 1e-12 S, and 1e-9 relative where the price exceeds 1e-6 S.
PRICE_ABS, PRICE_REL, PRICE_REL_FLOOR = 1e-12, 1e-9, 1e-6
# Greeks within 1e-7 relative or 1e-10 S absolute of the differenced references.
GREEK_ABS, GREEK_REL = 1e-10, 1e-7


def load(name):
    path = REFERENCES / name
    if not path.exists():
        pytest.skip(f"{path.name} not generated")
    with open(path, newline="") as handle:
        return list(csv.DictReader(handle))


def model_of(kind, row):
    cls = MODELS[kind]
    return cls(**{n: float(row[n]) for n in cls.parameter_names})


def market_of(row):
    return dict(S=float(row["S"]), K=float(row["K"]), T=float(row["T"]), r=float(row["r"]), q=float(row["q"]),
                kind=row["kind"])


def price_errors(kind, run):
    rows = [r for r in load(f"{kind}_prices.csv") if run == "all" or r["run"] == run]
    failures = []
    worst = 0.0
    for row in rows:
        market = market_of(row)
        want = float(row["price"])
        got = tw.price(model_of(kind, row), **market)
        err = abs(got - want)
        worst = max(worst, err / market["S"])
        ok = err <= PRICE_ABS * market["S"]
        if want > PRICE_REL_FLOOR * market["S"]:
            ok = ok and err <= PRICE_REL * want
        if not ok:
            failures.append((err / market["S"], got, want, row))
    return rows, failures, worst


def report(failures):
    failures.sort(key=lambda f: -f[0])
    return "\n".join(f"err/S={e:.3g} got={g!r} want={w!r} {dict(r)}" for e, g, w, r in failures[:10])


@pytest.mark.parametrize("kind", MODELS)
def test_prices_default_sample(kind):
    rows, failures, worst = price_errors(kind, "default")
    assert rows
    assert not failures, f"{len(failures)} of {len(rows)} outside the goals:\n{report(failures)}"


@pytest.mark.slow
@pytest.mark.parametrize("kind", MODELS)
def test_prices_whole_grid(kind):
    rows, failures, worst = price_errors(kind, "slow")
    assert not failures, f"{len(failures)} of {len(rows)} outside the goals:\n{report(failures)}"


@pytest.mark.parametrize("kind", MODELS)
def test_prices_inside_chains(kind):
    # The reference strike in the middle of a chain of 25 at its maturity: it then shares
    # a contour, step and tail with its neighbours on the same side of the forward.
    rows = [r for r in load(f"{kind}_prices.csv") if r["run"] == "default"]
    failures = []
    for row in rows:
        market = market_of(row)
        strikes = market["K"] * np.exp(np.linspace(-0.3, 0.3, 25))
        got = tw.price(model_of(kind, row), market["S"], strikes, market["T"], market["r"], market["q"],
                       market["kind"])[12]
        want = float(row["price"])
        err = abs(got - want)
        if err > PRICE_ABS * market["S"] or (want > PRICE_REL_FLOOR * market["S"] and err > PRICE_REL * want):
            failures.append((err / market["S"], got, want, row))
    assert not failures, f"{len(failures)} of {len(rows)} outside the goals:\n{report(failures)}"


def greek_disagreements(kind, run):
    rows = [r for r in load(f"{kind}_greeks.csv") if r["run"] == run]
    cls = MODELS[kind]
    bad = []
    for row in rows:
        model, market = model_of(kind, row), market_of(row)
        g = tw.greeks(model, **market)._asdict()
        d = tw.sensitivities(model, **market)
        got = {**g, **{"d_" + n: d[n] for n in cls.parameter_names}}
        for name, value in got.items():
            want = float(row[name])
            if not abs(value - want) <= max(GREEK_ABS * market["S"], GREEK_REL * abs(want)):
                bad.append(f"{name}: got {value!r} want {want!r} in {dict(row)}")
    return rows, bad


@pytest.mark.parametrize("kind", MODELS)
def test_greeks_and_parameter_sensitivities(kind):
    rows, bad = greek_disagreements(kind, "default")
    assert rows
    assert not bad, f"{len(bad)} disagreements:\n" + "\n".join(bad[:15])


@pytest.mark.slow
@pytest.mark.parametrize("kind", MODELS)
def test_greeks_and_parameter_sensitivities_whole_sample(kind):
    rows, bad = greek_disagreements(kind, "slow")
    assert not bad, f"{len(bad)} disagreements:\n" + "\n".join(bad[:15])
