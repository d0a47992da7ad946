"""The American table for bench.py: one American put per model (the published cases:
K = 100, T = 0.25, sigma = 0.15, r = 0.05; Merton's jumps from d'Halluin, Forsyth and
Vetzal, Kou's from Toivanen), its time and its error against the published value, beside
QuantLib's finite-difference engine at lam = 0 (FdBlackScholesVanillaEngine, its default
scheme) on two grids. A strike chain of one maturity shows the cost per option in a batch
on one and two threads.
"""

from typing import Callable, List

import numpy as np
import QuantLib as ql

import tarnwick as tw
from pricing_api import print_rows

K, T, SIGMA, R = 100.0, 0.25, 0.15, 0.05
MODELS = {
    "Merton": tw.Merton(sigma=SIGMA, lam=0.1, m=-0.9, s=0.45),
    "Kou": tw.Kou(sigma=SIGMA, lam=0.1, p=0.3445, eta1=3.0465, eta2=3.0775),
    "Black-Scholes": tw.BlackScholes(SIGMA),
}
# The papers' converged values (six decimals) at S = 90, 100, 110 (None: not compared).
PUBLISHED = {"Merton": (10.003822, 3.241251, 1.419803), "Kou": (10.005071, 2.807879, None)}
SPOTS = (90.0, 100.0, 110.0)
# Goal per option (seconds).
ONE_TARGET = 2e-3
# QuantLib's maturity is a date: 91 days, read as 91/365 years; both sides are priced there.
DAYS = 91


def quantlib_american_put(S: float, t_grid: int, x_grid: int) -> Callable[[], float]:
    today = ql.Date(1, ql.January, 2025)
    ql.Settings.instance().evaluationDate = today
    dc = ql.Actual365Fixed()
    curve = lambda rate: ql.YieldTermStructureHandle(ql.FlatForward(today, rate, dc, ql.Continuous))
    vol = ql.BlackVolTermStructureHandle(ql.BlackConstantVol(today, ql.NullCalendar(), SIGMA, dc))
    process = ql.BlackScholesMertonProcess(ql.QuoteHandle(ql.SimpleQuote(S)), curve(0.0), curve(R), vol)
    maturity = today + DAYS
    option = ql.VanillaOption(ql.PlainVanillaPayoff(ql.Option.Put, K), ql.AmericanExercise(today, maturity))
    option.setPricingEngine(ql.FdBlackScholesVanillaEngine(process, t_grid, x_grid))

    def price() -> float:
        option.recalculate()
        return option.NPV()

    return price


def table(time_per_call, fmt_time, repeats: int, min_batch: float) -> None:
    rows: List[List[str]] = []
    for name, model in MODELS.items():
        for i, S in enumerate(SPOTS):
            ns = dict(tw=tw, model=model, S=S, K=K, T=T, r=R)
            stmt = "tw.price(model, S, K, T, r, kind='put', exercise='american')"
            seconds = time_per_call(stmt, ns, repeats, min_batch).median
            value = tw.price(model, S, K, T, R, kind="put", exercise="american")
            published = PUBLISHED.get(name, (None,) * len(SPOTS))[i]
            if published is not None:
                error = f"{value - published:+.1e}"
                target = "met" if seconds <= ONE_TARGET and abs(value - published) <= 1e-6 * K + 5e-7 else "NOT met"
            else:
                error, target = "", "met" if seconds <= ONE_TARGET else "NOT met"
            rows.append([f"{name}, S {S:g}", f"{value:.6f}", error, fmt_time(seconds), target])
        if name == "Black-Scholes":
            for t_grid, x_grid in ((100, 400), (800, 3200)):
                for S in SPOTS:
                    price = quantlib_american_put(S, t_grid, x_grid)
                    seconds = time_per_call("price()", dict(price=price), max(3, repeats // 3), min_batch).median
                    ours = tw.price(model, S, K, DAYS / 365, R, kind="put", exercise="american")
                    rows.append([f"QuantLib FD {t_grid}x{x_grid}, S {S:g}", f"{price():.6f}",
                                 f"{price() - ours:+.1e} vs tarnwick", fmt_time(seconds), ""])
    strikes = np.linspace(80.0, 120.0, 41)
    for threads in (1, 2):
        ns = dict(tw=tw, model=MODELS["Kou"], K=strikes, threads=threads)
        seconds = time_per_call("tw.price(model, 100.0, K, 0.25, 0.05, kind='put', exercise='american', "
                                "threads=threads)", ns, 3, 0.0).median
        rows.append([f"Kou, chain of {len(strikes)} strikes, {threads} thread(s)", "", "",
                     f"{fmt_time(seconds / len(strikes))} per option", ""])

    header = ["American put", "price", "error vs published", "time", "<= 2 ms and 1e-6 K"]
    print()
    print_rows(header, rows)
    print("K 100, T 0.25, sigma 0.15, r 0.05; Merton lam 0.1, m -0.9, s 0.45 (d'Halluin, Forsyth, Vetzal); "
          "Kou lam 0.1, p 0.3445, eta1 3.0465, eta2 3.0775 (Toivanen). QuantLib rows: T = 91/365 on both sides. "
          "fourier-option-pricer's COS American is not compared yet.")
