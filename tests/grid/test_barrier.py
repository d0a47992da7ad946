"""Barrier options: the stored references (closed forms, Kou's Laplace inversion, COS over
the monitoring dates, the PIDE), Greeks against differences of prices, a spot already beyond the barrier,
and what is refused. The grid itself is checked against the Black-Scholes closed forms in
tests/native/test_grid_barrier.cpp."""

import csv
import os
from collections import defaultdict

import numpy as np
import pytest

import tarnwick as tw

REFERENCES = os.path.join(os.path.dirname(__file__), os.pardir, "references", "barrier_prices.csv")
PARAMETERS = {"BlackScholes": ("sigma",), "Kou": ("sigma", "lam", "p", "eta1", "eta2"),
              "Merton": ("sigma", "lam", "m", "s")}


def daily(T, M):
    """M equally spaced monitoring times over T, the last at expiry."""
    return np.arange(1, M + 1) * T / M


def reference_groups():
    """The rows by model, barrier kind, monitoring and maturity: one call of tw.price each."""
    with open(REFERENCES) as f:
        rows = list(csv.DictReader(f))
    groups = defaultdict(list)
    for row in rows:
        up_down, in_out, payoff = row["kind"].split("-")
        model = getattr(tw, row["model"])(*(float(row[name]) for name in PARAMETERS[row["model"]]))
        key = (model, f"{up_down}-and-{in_out}", int(row["monitoring"]), float(row["T"]) if row["monitoring"] != "0" else 0)
        groups[key].append(dict(row, payoff=payoff))
    # Daily dates take a second or more per option: those groups run under the slow marker,
    # the 26-date ones covering the same steps by default.
    return [pytest.param(*key, rows, id=f"{key[0]!r}-{key[1]}-M{key[2]}", marks=pytest.mark.slow if key[2] > 26 else ())
            for key, rows in groups.items()]


@pytest.mark.parametrize("model, barrier_kind, M, T, rows", reference_groups())
def test_reference_prices(model, barrier_kind, M, T, rows):
    # Every reference deterministic (closed forms, Laplace inversion, COS, the PIDE): 1e-6 K.
    column = {name: np.array([float(row[name]) for row in rows]) for name in ("S", "K", "H", "T", "r", "q", "rebate",
                                                                               "price")}
    kind = [row["payoff"] for row in rows]
    monitoring = daily(T, M) if M else None
    got = tw.price(model, column["S"], column["K"], column["T"], column["r"], column["q"], kind, barrier=column["H"],
                   barrier_kind=barrier_kind, rebate=column["rebate"], monitoring=monitoring)
    tolerance = 1e-6 * column["K"]
    worst = np.argmax(np.abs(got - column["price"]) / tolerance)
    assert abs(got[worst] - column["price"][worst]) <= tolerance[worst], rows[worst]


KOU = tw.Kou(sigma=0.2, lam=1.0, p=0.4, eta1=10.0, eta2=5.0)
MERTON = tw.Merton(sigma=0.2, lam=1.0, m=-0.1, s=0.15)


@pytest.mark.parametrize("model, kind, barrier_kind, H, M", [
    (KOU, "call", "down-and-out", 90.0, 0),
    (MERTON, "put", "up-and-in", 110.0, 13),
    (tw.BlackScholes(0.25), "put", "down-and-in", 90.0, 0),
], ids=["kou-continuous", "merton-discrete", "blackscholes"])
def test_greeks_against_differences_of_prices(model, kind, barrier_kind, H, M):
    S, K, T, r, q, rebate = 100.0, 100.0, 0.5, 0.05, 0.02, 3.0
    dates = daily(T, M) if M else None

    def price(S=S, T=T, r=r, q=q, model=model, shift=0.0):
        return tw.price(model, S, K, T, r, q, kind, barrier=H, barrier_kind=barrier_kind, rebate=rebate,
                        monitoring=None if dates is None else dates + shift)

    g = tw.greeks(model, S, K, T, r, q, kind, barrier=H, barrier_kind=barrier_kind, rebate=rebate, monitoring=dates)
    # Steps small enough that the differences' truncation (dS^2 / 6 of speed, large by the
    # barrier) stays below 1e-6 relative.
    dS, dx = 0.05, 1e-3
    sigma = model.sigma
    bumped = [type(model)(*((sigma + d,) + tuple(getattr(model, f) for f in PARAMETERS[type(model).__name__][1:])))
              for d in (dx * sigma, -dx * sigma)]
    differences = {
        "price": price(),
        "delta": (price(S + dS) - price(S - dS)) / (2 * dS),
        "gamma": (price(S + dS) - 2 * price() + price(S - dS)) / dS**2,
        "vega": (price(model=bumped[0]) - price(model=bumped[1])) / (2 * dx * sigma),
        "theta": -(price(T=T + dx * T, shift=dx * T) - price(T=T - dx * T, shift=-dx * T)) / (2 * dx * T),
        "rho": (price(r=r + dx) - price(r=r - dx)) / (2 * dx),
        "epsilon": (price(q=q + dx) - price(q=q - dx)) / (2 * dx),
    }
    # The second difference of prices good to ~1e-10 over dS^2 = 2.5e-3: gamma to 1e-4. A
    # knock-in's Greeks are differences of the European option's and a knock-out's: 1e-6
    # absolute where they cancel. With monitoring dates, the steps per segment between them
    # change with T, and the prices at T +- dT carry remainders that differ by ~1e-7 K: their
    # difference is good to ~2e-4 of theta only.
    rel = {"gamma": 1e-4, "theta": 2e-4 if M else 1e-5}
    mismatched = {name: (getattr(g, name), value) for name, value in differences.items()
                  if getattr(g, name) != pytest.approx(value, rel=rel.get(name, 1e-5), abs=1e-6)}
    assert not mismatched


def test_spot_beyond_the_barrier_has_its_immediate_value():
    S = np.array([85.0, 90.0])  # below and on a down barrier at 90
    out = tw.price(KOU, S, 100.0, 0.5, 0.05, barrier=90.0, barrier_kind="down-and-out", rebate=3.0)
    np.testing.assert_array_equal(out, [3.0, 3.0])
    knocked_in = tw.price(KOU, S, 100.0, 0.5, 0.05, barrier=90.0, barrier_kind="Down-And-In", rebate=3.0,
                          monitoring=[0.25, 0.5])
    np.testing.assert_allclose(knocked_in, tw.price(KOU, S, 100.0, 0.5, 0.05), rtol=1e-14)
    g = tw.greeks(KOU, 85.0, 100.0, 0.5, 0.05, barrier=90.0, barrier_kind="down-and-out", rebate=3.0)
    assert g.price == 3.0 and g.delta == g.vega == g.theta == 0.0


@pytest.mark.parametrize("keywords, error, match", [
    (dict(barrier=90.0), ValueError, "barrier_kind"),
    (dict(barrier=90.0, barrier_kind="down-out"), ValueError, "barrier_kind must be one of"),
    (dict(barrier_kind="down-and-out"), ValueError, "need a barrier"),
    (dict(rebate=1.0), ValueError, "need a barrier"),
    (dict(barrier=-90.0, barrier_kind="down-and-out"), ValueError, "barrier must be"),
    (dict(barrier=90.0, barrier_kind="down-and-out", rebate=-1.0), ValueError, "rebate must be >= 0"),
    (dict(barrier=90.0, barrier_kind="down-and-out", rebate=np.inf), ValueError, "rebate must be finite"),
    (dict(barrier=90.0, barrier_kind="down-and-out", monitoring=[]), ValueError, "monitoring"),
    (dict(barrier=90.0, barrier_kind="down-and-out", monitoring=[0.1, np.nan]), ValueError, "monitoring"),
    (dict(barrier=90.0, barrier_kind="down-and-out", exercise="american"), NotImplementedError, "european"),
])
def test_refused(keywords, error, match):
    with pytest.raises(error, match=match):
        tw.price(KOU, 100.0, 100.0, 0.5, 0.05, **keywords)


def test_refused_under_stochastic_volatility():
    with pytest.raises(NotImplementedError, match="BlackScholes, Kou and Merton"):
        tw.greeks(tw.Heston(v0=0.04, kappa=2.0, theta=0.04, xi=0.3, rho=-0.7), 100.0, 100.0, 0.5, barrier=90.0,
                  barrier_kind="down-and-out")
