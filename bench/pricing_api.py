"""The pricing API's table for bench.py: tw.price / tw.greeks timings beside the anchors
(fourier-option-pricer's contour and COS engines, QuantLib's Bates engine for Merton),
all measured in the same run.

Cases: one maturity with 1,000 strikes (Kou, Merton; per option), one option (per call
from Python), 10^6 random (S, K, T) options on one and two threads, and all 13 Greeks
against the price.

A second section (extended_grid) times tw.price, tw.greeks and tw.sensitivities alone on
every case of the extended reference grid (tests/references/*_extended.csv: tiny
diffusions, blink maturities, extreme tails) against an ordinary option of the same model
and against fourier-option-pricer's contour engine on the same case.
"""

import csv
import json
import os
import statistics
import subprocess
import timeit
from pathlib import Path
from typing import Any, Callable, Dict, List, Optional

import numpy as np
import QuantLib as ql

import tarnwick as tw

KOU = dict(S=100.0, K=100.0, T=0.5, r=0.05, params=dict(sigma=0.16, lam=1.0, p=0.4, eta1=10.0, eta2=5.0))
MERTON = dict(S=100.0, K=100.0, T=1.0, r=0.05, params=dict(sigma=0.2, lam=1.0, m=-0.1, s=0.2))
STRIKES = np.linspace(50.0, 150.0, 1000)
QL_ORDER = 20
BLACK_SCHOLES = dict(S=100.0, K=100.0, T=1.0, r=0.05, params=dict(sigma=0.2))
REFERENCES = Path(__file__).resolve().parent.parent / "tests" / "references"
EXTENDED_MODELS = {"kou": (tw.Kou, KOU), "merton": (tw.Merton, MERTON), "blackscholes": (tw.BlackScholes, BLACK_SCHOLES)}
# Goal: no option of the extended grid costs more than this many ordinary options.
EXTENDED_RATIO = 20.0

# Goals per option (seconds) and ratios.
CHAIN_TARGET, ONE_TARGET, RANDOM_TARGET, TWO_THREAD_SPEEDUP, GREEKS_RATIO = 1e-6, 20e-6, 20e-6, 1.7, 3.0


def print_rows(header: List[str], rows: List[List[str]]) -> None:
    """A plain-text table, columns padded to their widest cell."""
    widths = [max(len(r[i]) for r in rows + [header]) for i in range(len(header))]
    print("  ".join(h.ljust(w) for h, w in zip(header, widths)).rstrip())
    print("  ".join("-" * w for w in widths))
    for r in rows:
        print("  ".join(c.ljust(w) for c, w in zip(r, widths)).rstrip())


def quantlib_merton_chain(strikes: np.ndarray) -> Callable[[], List[float]]:
    """Merton's model as QuantLib's Bates model with frozen variance (its Python package has
    no jump-diffusion engine), one option object per strike, repriced on each call."""
    today = ql.Date(1, ql.January, 2025)
    ql.Settings.instance().evaluationDate = today
    dc = ql.Actual365Fixed()
    maturity = today + 365
    curve = lambda rate: ql.YieldTermStructureHandle(ql.FlatForward(today, rate, dc, ql.Continuous))
    p = MERTON["params"]
    v = p["sigma"] ** 2
    process = ql.BatesProcess(curve(MERTON["r"]), curve(0.0), ql.QuoteHandle(ql.SimpleQuote(MERTON["S"])),
                              v, 1.0, v, 1e-8, 0.0, p["lam"], p["m"], p["s"])
    engine = ql.BatesEngine(ql.BatesModel(process), QL_ORDER)
    options = []
    for k in strikes:
        option = ql.EuropeanOption(ql.PlainVanillaPayoff(ql.Option.Call, float(k)), ql.EuropeanExercise(maturity))
        option.setPricingEngine(engine)
        options.append(option)

    def run() -> List[float]:
        values = []
        for option in options:
            option.recalculate()
            values.append(option.NPV())
        return values

    return run


def foureng_anchor(python: Optional[Path], repeats: int, job: Optional[dict] = None) -> Dict[str, Any]:
    """Runs anchor_foureng.py under an interpreter that has fourier-option-pricer: the
    one-option and chain timings, or the job given."""
    if python is None or not python.exists():
        return {}
    job = job or dict(kou=KOU, merton=MERTON, strikes=STRIKES.tolist(), repeats=repeats)
    script = Path(__file__).resolve().parent / "anchor_foureng.py"
    env = dict(os.environ, OMP_NUM_THREADS="1", OPENBLAS_NUM_THREADS="1")
    result = subprocess.run([str(python), str(script)], input=json.dumps(job), capture_output=True, text=True,
                            env=env)
    if result.returncode != 0:
        print(f"fourier-option-pricer anchor failed:\n{result.stderr[-2000:]}")
        return {}
    return json.loads(result.stdout)


def table(time_per_call, fmt_time, repeats: int, min_batch: float, anchor_python: Optional[Path],
          random_count: int) -> None:
    kou = tw.Kou(**KOU["params"])
    merton = tw.Merton(**MERTON["params"])
    anchors = foureng_anchor(anchor_python, repeats)
    rows = []

    def add(case, seconds, target, anchor="-", anchor_seconds=None, note=""):
        met = "-" if target is None else ("met" if seconds <= target else "NOT met")
        rows.append([case, fmt_time(seconds), "-" if target is None else f"<= {fmt_time(target)}: {met}",
                     anchor, fmt_time(anchor_seconds) if anchor_seconds else "-", note])

    for name, model, m in (("Kou", kou, KOU), ("Merton", merton, MERTON)):
        ns = dict(tw=tw, model=model, K=STRIKES, m=m)
        chain = time_per_call("tw.price(model, m['S'], K, m['T'], m['r'], threads=1)", ns, repeats, min_batch)
        ours = tw.price(model, m["S"], STRIKES, m["T"], m["r"])
        first = True
        for engine in ("contour", "cos"):
            a = anchors.get(f"{name.lower()}/{engine}")
            if a:
                diff = np.max(np.abs(np.array(a["prices"]) - ours))
                add(f"{name}, 1,000 strikes, per option" if first else "", chain.median / len(STRIKES),
                    CHAIN_TARGET if first else None, f"fourier-option-pricer {engine}", a["chain"],
                    f"max |price diff| {diff:.1e}")
                first = False
        if name == "Merton":
            run = quantlib_merton_chain(STRIKES[::10])
            ql_time = time_per_call("run()", dict(run=run), repeats, min_batch).median / len(STRIKES[::10])
            diff = np.max(np.abs(np.array(run()) - ours[::10]))
            add("" if not first else f"{name}, 1,000 strikes, per option", chain.median / len(STRIKES),
                CHAIN_TARGET if first else None, f"QuantLib Bates engine, order {QL_ORDER}", ql_time,
                f"max |price diff| {diff:.1e}")
            first = False
        if first:
            add(f"{name}, 1,000 strikes, per option", chain.median / len(STRIKES), CHAIN_TARGET)

        one = time_per_call("tw.price(model, 100.0, 100.0, m['T'], m['r'])", ns, repeats, min_batch)
        first = True
        for engine in ("contour", "cos"):
            a = anchors.get(f"{name.lower()}/{engine}")
            if a:
                add(f"{name}, one option" if first else "", one.median, ONE_TARGET if first else None,
                    f"fourier-option-pricer {engine}", a["one"])
                first = False
        if first:
            add(f"{name}, one option", one.median, ONE_TARGET)
        greeks = time_per_call("tw.greeks(model, 100.0, 100.0, m['T'], m['r'])", ns, repeats, min_batch)
        ratio = greeks.median / one.median
        add(f"{name}, 13 Greeks, one option", greeks.median, None, "tw.price", one.median,
            f"{ratio:.2f}x the price (<= {GREEKS_RATIO:g}x: {'met' if ratio <= GREEKS_RATIO else 'NOT met'})")

    rng = np.random.default_rng(2026)
    S = rng.uniform(50.0, 150.0, random_count)
    K = S * np.exp(rng.uniform(-0.5, 0.5, random_count))
    T = rng.uniform(0.05, 3.0, random_count)
    for name, model in (("Kou", kou), ("Merton", merton)):
        ns = dict(tw=tw, model=model, S=S, K=K, T=T)
        # One batch of 10^6 options takes seconds: two runs each are enough.
        single = time_per_call("tw.price(model, S, K, T, 0.03, threads=1)", ns, 2, 0.0).median / random_count
        double = time_per_call("tw.price(model, S, K, T, 0.03, threads=2)", ns, 2, 0.0).median / random_count
        speedup = single / double
        add(f"{name}, {random_count:,} random (S, K, T), 1 thread", single, RANDOM_TARGET)
        add(f"{name}, {random_count:,} random (S, K, T), 2 threads", double, RANDOM_TARGET, "1 thread", single,
            f"{speedup:.2f}x faster (>= {TWO_THREAD_SPEEDUP:g}x: {'met' if speedup >= TWO_THREAD_SPEEDUP else 'NOT met'})")
        few = slice(0, max(1, random_count // 100))
        ns_few = dict(tw=tw, model=model, S=S[few], K=K[few], T=T[few])
        g = time_per_call("tw.greeks(model, S, K, T, 0.03, threads=1)", ns_few, 3, 0.0).median
        p = time_per_call("tw.price(model, S, K, T, 0.03, threads=1)", ns_few, 3, 0.0).median
        add(f"{name}, 13 Greeks, random options", g / len(S[few]), None, "tw.price", p / len(S[few]),
            f"{g / p:.2f}x the price (<= {GREEKS_RATIO:g}x: {'met' if g / p <= GREEKS_RATIO else 'NOT met'})")

    header = ["pricing API case", "time", "target", "anchor", "anchor time", "note"]
    print()
    print_rows(header, rows)
    print(f"Kou: sigma 0.16, lam 1, p 0.4, eta1 10, eta2 5, S 100, T 0.5, r 0.05; Merton: sigma 0.2, lam 1, "
          f"m -0.1, s 0.2, S 100, T 1, r 0.05; strikes 50..150. Random: S U(50, 150), K = S e^U(-0.5, 0.5), "
          f"T U(0.05, 3). Times per option, median; anchors single-threaded in their own process"
          f"{'' if anchors else ' (fourier-option-pricer not available: needs Python >= 3.10)'}.")


def extended_cases() -> List[Dict[str, Any]]:
    """Every price row of the extended reference grid, as model, params and market."""
    cases = []
    for model, (cls, _) in EXTENDED_MODELS.items():
        path = REFERENCES / f"{model}_extended.csv"
        if not path.exists():
            continue
        with open(path, newline="") as handle:
            for row in csv.DictReader(handle):
                cases.append(dict(model=model, params={n: float(row[n]) for n in cls.parameter_names},
                                  kind=row["kind"], case=row["case"], **{n: float(row[n]) for n in "SKTrq"}))
    return cases


def one_call_seconds(stmt: str, namespace: Dict[str, Any], time_per_call) -> float:
    """A call slower than 20 ms is timed once; faster ones by the median of 3 batches of
    at least 10 ms."""
    first = timeit.Timer(stmt, globals=namespace).timeit(1)
    return first if first > 0.02 else time_per_call(stmt, namespace, 3, 0.01).median


def describe(case: Dict[str, Any]) -> str:
    params = ", ".join(f"{v:.3g}" for v in case["params"].values())
    where = f"S {case['S']:g}, K {case['K']:g}, T {case['T']:.3g}, {case['kind']}"
    return f"{case['case'] or 'grid'}: ({params}), {where}"


def extended_grid(time_per_call, fmt_time, repeats: int, min_batch: float, anchor_python: Optional[Path]) -> None:
    cases = extended_cases()
    print()
    if not cases:
        print("extended grid: no reference files (tests/references/make_extended_references.py)")
        return
    anchor_job = dict(cases=cases, repeats=3)
    anchor = foureng_anchor(anchor_python, repeats, anchor_job).get("cases")
    header = ["extended grid", "cases", "median", "worst", "x ordinary", f"target <= {EXTENDED_RATIO:g}x",
              "contour, same case", "worst case"]
    rows = []
    notes = []
    for model, (cls, ordinary) in EXTENDED_MODELS.items():
        mine = [(i, c) for i, c in enumerate(cases) if c["model"] == model]
        if not mine:
            continue
        base = dict(tw=tw, model=cls(**ordinary["params"]), m=ordinary)
        for what in ("price", "greeks", "sensitivities"):
            usual = time_per_call(f"tw.{what}(model, 100.0, 100.0, m['T'], m['r'])", base, repeats, min_batch).median
            seconds, refused = {}, 0
            for i, case in mine:
                ns = dict(tw=tw, model=cls(**case["params"]), c=case)
                stmt = f"tw.{what}(model, c['S'], c['K'], c['T'], c['r'], c['q'], c['kind'])"
                try:
                    seconds[i] = one_call_seconds(stmt, ns, time_per_call)
                except ValueError:
                    refused += 1
            if not seconds:
                continue
            worst = max(seconds, key=seconds.get)
            over = sum(t > EXTENDED_RATIO * usual for t in seconds.values())
            ratio = seconds[worst] / usual
            contour = "-"
            if anchor and "seconds" in anchor[worst]:
                contour = f"{fmt_time(anchor[worst]['seconds'])} ({seconds[worst] / anchor[worst]['seconds']:.2g}x)"
            elif anchor:
                contour = "cannot price it"
            rows.append([f"{model}, tw.{what}", f"{len(seconds)}" + (f" ({refused} refused)" if refused else ""),
                         fmt_time(statistics.median(seconds.values())), fmt_time(seconds[worst]), f"{ratio:.3g}x",
                         "met" if over == 0 else f"NOT met ({over} cases over)", contour, describe(cases[worst])])
        if anchor:
            skipped = [i for i, _ in mine if "error" in anchor[i]]
            priced = [(i, c) for i, c in mine if "seconds" in anchor[i]]
            notes.append(f"{model}: the contour engine priced {len(priced)} of {len(mine)} cases, median "
                         f"{fmt_time(statistics.median(anchor[i]['seconds'] for i, _ in priced)) if priced else '-'}"
                         f"; skipped {len(skipped)} it cannot price"
                         + (f" (first: {anchor[skipped[0]]['error']})" if skipped else ""))
    print_rows(header, rows)
    print("Each case priced alone from Python (median of 3 batches of >= 10 ms; a call over 20 ms timed once); "
          "x ordinary: the worst case against the same call on the model's ordinary option (the one-option rows; "
          "Black-Scholes: sigma 0.2, T 1).")
    for note in notes:
        print(note)
    if not anchor:
        print("fourier-option-pricer not available: no contour times (needs Python >= 3.10).")
