"""Prices and Greeks against the stored high-precision references.

The references (tests/references/*.csv) come from make_pricing_references.py: Merton by
its Poisson series of Black-Scholes prices, Kou by Lewis' inversion on another contour
with mpmath quadrature, Greeks by finite differences of those, all at 30+ digits; and from
make_sv_references.py for the stochastic-volatility models: Lewis' inversion of their
characteristic function, checked by a second contour and the Riccati equations
integrated numerically. Rows
marked "default" run always, the rest under the slow marker.
"""

import csv
import math
from pathlib import Path

import numpy as np
import pytest

import tarnwick as tw

REFERENCES = Path(__file__).resolve().parent.parent / "references"
MODELS = {"kou": tw.Kou, "merton": tw.Merton, "heston": tw.Heston, "bates": tw.Bates, "hestonkou": tw.HestonKou}
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
            # A Greek named like a model parameter (Heston's theta and rho) has its own column.
            want = float(row[name + "_greek" if name in cls.parameter_names else name])
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


# The extended grid (make_extended_references.py): a diffusion down to sd = sigma sqrt(T)
# = 1e-8 and below, T down to 1e-100, tails from eta1 = 1.001 and eta2 = 1e-6, Merton's
# s = 0 and m up to +-5, huge Black-Scholes volatilities, and the reproductions users
# reported. Greeks are allowed 1e-10 S in units of the Greek (S per S^i T^j for i
# derivatives in S and j in T, T capped at 1), so that gamma and speed near a blink
# are judged on their own scale, or 1e-7 relative.
EXTENDED_MODELS = {"kou": tw.Kou, "merton": tw.Merton, "blackscholes": tw.BlackScholes}
S_ORDER = dict(delta=1, gamma=2, speed=3, vanna=1, charm=1, colour=2, zomma=2)
T_ORDER = dict(theta=1, charm=1, colour=1)


def extended_price_failures(kind, rows):
    failures = []
    for row in rows:
        market = market_of(row)
        S, K, T, r, q = (market[n] for n in "SKTrq")
        want = float(row["price"])
        try:
            got = tw.price(model_of_extended(kind, row), **market)
        except ValueError as error:
            failures.append((math.inf, f"ValueError {error}", want, row))
            continue
        err = abs(got - want)
        spot, strike = S * math.exp(-q * T), K * math.exp(-r * T)
        # The bounds themselves carry the rounding of their two discounted legs.
        slack = 4 * np.finfo(float).eps * (spot + strike)
        inside = (0 <= got <= spot + slack) if market["kind"] == "call" else got >= max(strike - spot, 0.0) - slack
        if not inside or err > PRICE_ABS * S or (want > PRICE_REL_FLOOR * S and err > PRICE_REL * want):
            failures.append((err / S if inside else math.inf, got, want, row))
    return failures


def extended_greek_failures(kind, rows):
    cls = EXTENDED_MODELS[kind]
    failures = []
    for row in rows:
        model, market = model_of_extended(kind, row), market_of(row)
        try:
            g = tw.greeks(model, **market)._asdict()
            d = tw.sensitivities(model, **market)
            price = tw.price(model, **market)
        except ValueError as error:
            failures.append((math.inf, f"ValueError {error}", "", row))
            continue
        if g["price"] != price:
            failures.append((math.inf, f"greeks().price {g['price']!r} != price() {price!r}", "", row))
        got = {**g, **{"d_" + n: d[n] for n in cls.parameter_names}}
        for name, value in got.items():
            want = float(row[name])
            unit = market["S"] ** (1 - S_ORDER.get(name, 0)) / min(market["T"], 1.0) ** T_ORDER.get(name, 0)
            allowed = max(GREEK_ABS * unit, GREEK_REL * abs(want))
            if not abs(value - want) <= allowed:
                failures.append((abs(value - want) / allowed, f"{name} {value!r}", want, row))
    return failures


def model_of_extended(kind, row):
    cls = EXTENDED_MODELS[kind]
    return cls(**{n: float(row[n]) for n in cls.parameter_names})


@pytest.mark.parametrize("kind, run", [(kind, run) if run == "default" else pytest.param(kind, run, marks=pytest.mark.slow)
                                       for kind in EXTENDED_MODELS for run in ("default", "slow")])
def test_extended_grid(kind, run):
    prices = [r for r in load(f"{kind}_extended.csv") if r["run"] == run]
    greek_file = REFERENCES / f"{kind}_extended_greeks.csv"
    greek_rows = [r for r in load(greek_file.name) if r["run"] == run] if greek_file.exists() else []
    price_bad = extended_price_failures(kind, prices)
    greek_bad = extended_greek_failures(kind, greek_rows)
    assert not price_bad and not greek_bad, (
        f"prices: {len(price_bad)} of {len(prices)} outside the goals or the bounds (err/S, inf: out of bounds "
        f"or refused)\n{report(price_bad)}\nGreeks: {len(greek_bad)} misses in {len(greek_rows)} rows "
        f"(error / allowance)\n{report(greek_bad)}")
