"""The barrier table for bench.py: a down-and-out call (barrier 90) and an up-and-out put
(barrier 110), S = K = 100, T = 0.5, r = 0.05, q = 0.02, per model, each with its time
and its error against the stored references (tests/references/barrier_prices.csv):

- watched continuously: Black-Scholes against the closed forms in mpmath, beside QuantLib's
  AnalyticBarrierEngine and FdBlackScholesBarrierEngine and fourier-option-pricer's closed
  form; Kou against Laplace inversion in the maturity (checked by a finite-difference
  solver) and Merton against that finite-difference solver;
- watched daily (126 dates, m T / 126): Kou and Merton against Fourier-cosine backward
  induction, beside fourier-option-pricer's Hilbert-transform engine at the cheapest of a
  few sinc steps that is within 1e-6 K.

One row times tw.greeks on one barrier option.
"""

import math
from pathlib import Path
from typing import List, Optional

import numpy as np
import QuantLib as ql

import tarnwick as tw
from american import (GOAL_ERROR, anchor_case, anchor_row, market, model_of, ours_row,
                      quantlib_market, quantlib_rows, stored, timed)
from pricing_api import foureng_anchor, print_rows

# Per kind column of the stored rows: label, call or put, barrier, tarnwick's barrier_kind,
# fourier-option-pricer's barrier_type.
KINDS = {"down-out-call": ("down-and-out call", "call", 90.0, "down-and-out", "down_out"),
         "up-out-put": ("up-and-out put", "put", 110.0, "up-and-out", "up_out")}
MODELS = (("Black-Scholes", dict(model="BlackScholes", sigma=0.25)), ("Kou", dict(model="Kou")),
          ("Merton", dict(model="Merton")))
DAILY = 126
# fourier-option-pricer's Hilbert barrier engine, cheapest first: its sinc step h (its
# default pi/32 last).
HILBERT_SETTINGS = [{"h": math.pi / 8}, {"h": math.pi / 16}, {}]
QUANTLIB_GRIDS = ((100, 400), (400, 1600), (800, 3200))
GREEKS_CASE = "Kou, down-and-out call, continuous"
QL_BARRIER = {"down-out-call": ql.Barrier.DownOut, "up-out-put": ql.Barrier.UpOut}


def cases() -> List[tuple]:
    """(label, stored row, monitoring dates or None): continuous under every model, daily
    under the jump models."""
    out = []
    for name, match in MODELS:
        for monitoring in (0, DAILY) if name != "Black-Scholes" else (0,):
            for kind, (label, _, H, _, _) in KINDS.items():
                row = stored("barrier_prices.csv", **match, S=100.0, K=100.0, H=H, T=0.5, kind=kind, rebate=0.0,
                             monitoring=monitoring)
                watched = "daily" if monitoring else "continuous"
                out.append((f"{name}, {label}, {watched}", row))
    return out


def table(time_per_call, fmt_time, repeats: int, min_batch: float, anchor_python: Optional[Path] = None) -> None:
    chosen = cases()
    anchored = [(label, row) for label, row in chosen if row["model"] == "BlackScholes" or int(row["monitoring"])]
    job = dict(repeats=repeats, exotics=[
        anchor_case(row, kind=KINDS[row["kind"]][1], product="barrier", barrier=float(row["H"]),
                    barrier_type=KINDS[row["kind"]][4], monitoring=int(row["monitoring"]),
                    settings=HILBERT_SETTINGS if int(row["monitoring"]) else [{}])
        for _, row in anchored])
    anchors = dict(zip([label for label, _ in anchored],
                       foureng_anchor(anchor_python, repeats, job).get("exotics") or [None] * len(anchored)))
    rows: List[List[str]] = []
    for label, row in chosen:
        model, (S, K, T, r, q), reference = model_of(row), market(row), float(row["price"])
        _, kind, H, barrier_kind, _ = KINDS[row["kind"]]
        count = int(row["monitoring"])
        dates = np.arange(1, count + 1) * T / count if count else None

        def barrier(greeks: bool = False) -> object:
            return (tw.greeks if greeks else tw.price)(model, S, K, T, r, q, kind, barrier=H,
                                                      barrier_kind=barrier_kind, monitoring=dates)

        seconds, value = timed(barrier, time_per_call, repeats, min_batch)
        anchor = anchors.get(label)
        ours = ours_row(label, value, reference, K, seconds, anchor, fmt_time)
        rows.append(ours)
        if label in anchors:
            rows.append(anchor_row(anchor, "Hilbert barrier" if count else "closed form", fmt_time))
        if row["model"] == "BlackScholes":
            process, maturity = quantlib_market(S, float(row["sigma"]), r, q, T)
            option = ql.BarrierOption(QL_BARRIER[row["kind"]], H, 0.0,
                                      ql.PlainVanillaPayoff(ql.Option.Call if kind == "call" else ql.Option.Put, K),
                                      ql.EuropeanExercise(maturity))
            engines = [("AnalyticBarrierEngine", ql.AnalyticBarrierEngine(process))]
            engines += [(f"FD {t}x{x}", ql.FdBlackScholesBarrierEngine(process, t, x)) for t, x in QUANTLIB_GRIDS]
            rows += quantlib_rows(option, engines, reference, time_per_call, fmt_time, repeats, min_batch)
        if label == GREEKS_CASE:
            greeks_seconds, _ = timed(lambda: barrier(greeks=True), time_per_call, repeats, min_batch)
            rows.append(["  tw.greeks, all 13", "", "", fmt_time(greeks_seconds), "",
                         f"{greeks_seconds / seconds:.2g}x the price"])

    print()
    print_rows(["barrier option", "price", "error vs stored", "time", "speed-up vs fop", "<= 2 ms and |error| <= 1e-6 K"], rows)
    print("S 100, K 100, T 0.5, r 0.05, q 0.02, no rebate; Black-Scholes sigma 0.25; Kou sigma 0.2, lam 1, p 0.4, "
          "eta1 10, eta2 5; Merton sigma 0.2, lam 1, m -0.1, s 0.2. Daily: 126 dates m T / 126.")
    print("error: against tests/references/barrier_prices.csv: Black-Scholes continuous, closed forms in mpmath; "
          "Kou continuous, Laplace inversion (a finite-difference solver agrees to 3e-11 K); Merton continuous, "
          "that finite-difference solver (a bridge Monte Carlo agrees within 2.3 standard errors); "
          "daily, Fourier-cosine backward induction (1e-10).")
    print("fourier-option-pricer: bsm_barrier_price (closed form) for Black-Scholes; hilbert_barrier_price at the "
          "largest sinc step h of pi/8, pi/16, pi/32 (its default) within 1e-6 K for daily monitoring. It has no "
          "continuously watched barrier under Kou or Merton (its Fourier barrier engines watch given dates): "
          "no anchor and no speed-up there.")
    print("QuantLib (Black-Scholes only): T = 180 days under Actual/360; FD tGrid x xGrid, its default scheme. "
          f"Goal per option: <= 2 ms, |error| <= {GOAL_ERROR:g} K, >= 10x faster than fourier-option-pricer.")
