"""Timings of tarnwick's prices, called from Python, set against two baselines, as one table.

- Kou (``dexpjump``): the call at n = 5 ... 170 and the put at n = 10, against a literal
  evaluation of the same call in C++ (``literal_call_bench``: plain recursion, nothing
  cached, the same compiler flags as the extension), run as a subprocess.
- Merton (``lognjump``): the call at n = 10, 50, 170, against QuantLib pricing the same
  option in the same process.
- Both: rows where the literal evaluation is not accurate and is replaced (Kou: a
  cancelling closed form, lam T = 1000; Merton: overflowing weights, lam T = 1000).

Every time is the median over repeats of a batch mean, each batch long enough (by default
>= 0.1 s) that the clock does not matter. Nothing passes or fails: the "target" column only
says whether a number is under its goal on this machine, this time.

Run by ``make bench`` after the C++ benchmarks are built; ``python bench/bench.py --help``.
"""

from __future__ import annotations

import argparse
import math
import os
import platform
import statistics
import subprocess
import sys
import time
import timeit
from dataclasses import dataclass
from importlib import metadata
from pathlib import Path
from typing import Dict, List, Mapping, Optional, Tuple

import QuantLib as ql

from tarnwick.models import dexpjump, lognjump

ROOT = Path(__file__).resolve().parent.parent

# Kou reference option and market: KouEuropeanCall(0.5, 100), S = 100, r = 0.05,
# sigma = 0.16, lam = 1, p = 0.4, eta1 = 10, eta2 = 5. The literal program prices the same.
KOU_T, KOU_K = 0.5, 100.0
KOU_ARGS = (100.0, 0.05, 0.16, 1.0, 0.4, 10.0, 5.0)
KOU_CALL_TERMS = (5, 10, 20, 25, 30, 50, 100, 170)
KOU_PUT_TERMS = (10,)
LITERAL_TERMS = (5, 10, 20, 25)

# Merton reference option and market: MertonEuropeanCall(100, 1), S = 100, sigma = 0.2,
# r = 0.05, lam = 1, m = -0.1, s = 0.2.
MERTON_K, MERTON_T = 100.0, 1.0
MERTON_S, MERTON_SIGMA, MERTON_R, MERTON_LAM, MERTON_M, MERTON_SJ = 100.0, 0.2, 0.05, 1.0, -0.1, 0.2
MERTON_TERMS = (10, 50, 170)
COMPARISON_STRIKES = (80.0, 85.0, 90.0, 95.0, 100.0, 105.0, 110.0, 115.0, 120.0)

# QuantLib's Python package has no JumpDiffusionEngine (not in 1.20, 1.30, 1.36, 1.40
# nor 1.44), so Merton's model is priced there as Bates' model (Heston + Merton jumps)
# whose variance cannot move: v0 = theta = sigma^2, vol of vol ~ 0 (QuantLib refuses exactly 0), rho = 0.
# Its jump parameters are those of the log jump: nu = mean, delta = standard deviation.
QL_VOL_OF_VOL = 1e-8
QL_KAPPA = 1.0
# Gauss-Laguerre points of the analytic Bates engine: the smallest of these orders whose
# prices agree with tarnwick's converged ones to QL_TOLERANCE at every comparison strike
# (the cheapest setting that is as accurate as asked for), and QuantLib's default order.
QL_ORDERS = (8, 12, 16, 20, 24, 32, 48, 64, 96, 144)
QL_TOLERANCE = 1e-8
QL_DEFAULT_ORDER = 144

# Goals on the project's 2-core machines, in seconds per price called from Python.
KOU_CALL_TARGETS = {10: 10e-6, 30: 100e-6, 170: 10e-3}
MERTON_TARGET_TERMS, MERTON_TARGET = 50, 5e-6


# Where the literal evaluation is not accurate and another evaluation of the same cut
# series replaces it: (label, T, arguments, n). K = 100, r = 0.03.
KOU_ACCURATE_CASES = (
    ("cancelling", 5.0, (100.0, 0.03, 0.2, 5.0, 0.3, 60.0, 40.0), 10),
    ("cancelling", 5.0, (100.0, 0.03, 0.2, 5.0, 0.3, 60.0, 40.0), 2**31 - 1),
    ("lam T 1000", 1.0, (100.0, 0.03, 0.2, 1000.0, 0.4, 10.0, 5.0), 2**31 - 1),
)
KOU_ACCURATE_TARGET = 200e-6
# (label, lam, n) with the Merton option and market above but m = -0.02, s = 0.05.
MERTON_ACCURATE_CASES = (
    ("lam T 70", 70.0, 170.0),
    ("lam T 1000", 1000.0, math.inf),
)
MERTON_ACCURATE_TARGET = 50e-6


@dataclass
class Timing:
    median: float  # seconds per call
    samples: List[float]  # seconds per call, one per batch
    number: int  # calls per batch

    @property
    def best(self) -> float:
        return min(self.samples)

    @property
    def spread(self) -> float:
        """Interquartile range of the samples relative to their median."""
        if len(self.samples) < 4:
            return float("nan")
        q = statistics.quantiles(self.samples, n=4)
        return (q[2] - q[0]) / self.median


def time_per_call(stmt: str, namespace: Mapping[str, object], repeats: int, min_batch: float) -> Timing:
    """Median time of one execution of ``stmt``: batches of 1, 2, 5, 10, ... executions
    until one batch takes at least ``min_batch`` seconds, then ``repeats`` batches of that
    size, timed with perf_counter_ns (garbage collection off, as timeit does)."""
    timer = timeit.Timer(stmt, globals=dict(namespace), timer=time.perf_counter_ns)
    min_batch_ns = min_batch * 1e9
    number, multiples = 1, (1, 2, 5)
    while True:
        found = False
        for multiple in multiples:
            if timer.timeit(number * multiple) >= min_batch_ns:
                number *= multiple
                found = True
                break
        if found:
            break
        number *= 10
    samples = [t / number * 1e-9 for t in timer.repeat(repeat=repeats, number=number)]
    return Timing(statistics.median(samples), samples, number)


def call_statement(arguments: Tuple[float, ...], n: int) -> str:
    """A price call as a user writes it: the bound method with literal positional arguments."""
    return f"price({', '.join(map(repr, arguments))}, {n})"


def machine_lines() -> List[str]:
    model, family, cpu_model, mhz, virtual = "unknown", "?", "?", "?", False
    try:
        with open("/proc/cpuinfo") as cpuinfo:
            for line in cpuinfo:
                key, _, value = line.partition(":")
                key, value = key.strip(), value.strip()
                if key == "model name" and model == "unknown":
                    model = value
                elif key == "cpu family" and family == "?":
                    family = value
                elif key == "model" and cpu_model == "?":
                    cpu_model = value
                elif key == "cpu MHz" and mhz == "?":
                    mhz = f"{float(value):.0f}"
                elif key == "flags":
                    virtual = virtual or "hypervisor" in value.split()
    except OSError:
        pass
    usable = len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else os.cpu_count()
    load = " ".join(f"{x:.2f}" for x in os.getloadavg())
    return [
        f"CPU:      {model} (family {family}, model {cpu_model}, {mhz} MHz"
        f"{', virtual machine' if virtual else ''}); {os.cpu_count()} cores, {usable} usable",
        f"Python:   {platform.python_implementation()} {platform.python_version()} on "
        f"{platform.system()} {platform.release()} {platform.machine()}",
        f"Packages: tarnwick {metadata.version('tarnwick')}, QuantLib {ql.__version__}",
        f"Load:     {load} (1, 5, 15 min) at start",
    ]


def run_literal(program: Path, terms: Tuple[int, ...]) -> Dict[int, Tuple[float, float, int]]:
    """n -> (seconds per price, price, samples) from the literal C++ call benchmark."""
    output = subprocess.run(
        [str(program), *map(str, terms)], check=True, capture_output=True, text=True
    ).stdout
    results = {}
    for line in output.splitlines():
        name, *fields = line.split()
        if name != "literal_call":
            continue
        values = dict(field.split("=", 1) for field in fields)
        results[int(values["n"])] = (
            float(values["seconds_per_price"]),
            float(values["price"]),
            int(values["samples"]),
        )
    missing = set(terms) - set(results)
    if missing:
        raise RuntimeError(f"{program} gave no time for n = {sorted(missing)}:\n{output}")
    return results


class QuantLibMerton:
    """One European call under Merton's model in QuantLib, repriced on demand."""

    def __init__(self) -> None:
        self.today = ql.Date(1, ql.January, 2025)
        ql.Settings.instance().evaluationDate = self.today
        self.day_counter = ql.Actual365Fixed()
        self.maturity = self.today + 365  # 2026-01-01: 365 days, no leap day
        self.year_fraction = self.day_counter.yearFraction(self.today, self.maturity)
        if self.year_fraction != MERTON_T:
            raise RuntimeError(f"QuantLib's year fraction is {self.year_fraction!r}, not {MERTON_T}")
        self.spot = ql.SimpleQuote(MERTON_S)
        self.rates = ql.YieldTermStructureHandle(
            ql.FlatForward(self.today, MERTON_R, self.day_counter, ql.Continuous)
        )
        self.dividends = ql.YieldTermStructureHandle(
            ql.FlatForward(self.today, 0.0, self.day_counter, ql.Continuous)
        )
        discount = self.rates.discount(self.maturity)
        if abs(discount - math.exp(-MERTON_R * MERTON_T)) > 1e-15:
            raise RuntimeError(f"QuantLib's discount factor is {discount!r}")
        self.model = self.bates_model(MERTON_M)
        self.use_order(QL_DEFAULT_ORDER)

    def bates_model(self, log_jump_mean: float) -> "ql.BatesModel":
        variance = MERTON_SIGMA * MERTON_SIGMA
        process = ql.BatesProcess(
            self.rates, self.dividends, ql.QuoteHandle(self.spot),
            variance, QL_KAPPA, variance, QL_VOL_OF_VOL, 0.0,
            MERTON_LAM, log_jump_mean, MERTON_SJ,
        )
        return ql.BatesModel(process)

    def option(self, strike: float, engine: Optional["ql.PricingEngine"] = None) -> "ql.VanillaOption":
        option = ql.EuropeanOption(
            ql.PlainVanillaPayoff(ql.Option.Call, strike), ql.EuropeanExercise(self.maturity)
        )
        option.setPricingEngine(engine or self.engine)
        return option

    def use_order(self, order: int) -> None:
        self.order = order
        self.engine = ql.BatesEngine(self.model, order)

    def price(self, strike: float) -> float:
        return self.option(strike).NPV()

    def fresh_price(self, strike: float) -> float:
        """Everything built anew: quote, curves, process, model, engine, option, NPV."""
        fresh = QuantLibMerton()
        fresh.use_order(self.order)
        return fresh.price(strike)

    def choose_order(self, reference: Dict[float, float]) -> Tuple[int, float]:
        """The smallest order of QL_ORDERS (else the largest) whose prices are within
        QL_TOLERANCE of `reference` (strike -> price) at every strike; its difference."""
        for order in QL_ORDERS:
            self.use_order(order)
            difference = max(abs(self.price(k) - price) for k, price in reference.items())
            if difference <= QL_TOLERANCE:
                break
        return order, difference


def fmt_time(seconds: float) -> str:
    if seconds < 1e-6:
        return f"{seconds * 1e9:.0f} ns"
    if seconds < 1e-3:
        return f"{seconds * 1e6:.2f} us"
    if seconds < 1.0:
        return f"{seconds * 1e3:.2f} ms"
    return f"{seconds:.2f} s"


def fmt_ratio(ratio: float) -> str:
    return f"{ratio:.3g}x" if ratio < 100 else f"{ratio:,.0f}x"


def fmt_limit(seconds: float) -> str:
    return fmt_time(seconds).replace(".00", "")


def main(argv: Optional[List[str]] = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build-dir", type=Path, default=ROOT / "build" / "bench",
                        help="where literal_call_bench was built (default: build/bench)")
    parser.add_argument("--repeats", type=int, default=9, help="batches per case (default 9, at least 7)")
    parser.add_argument("--min-batch", type=float, default=0.1,
                        help="shortest batch in seconds (default 0.1)")
    args = parser.parse_args(argv)
    repeats = max(args.repeats, 7)

    print("tarnwick benchmark: time per price, median of "
          f"{repeats} batches of >= {args.min_batch:g} s (perf_counter_ns)")
    for machine_line in machine_lines():
        print(machine_line)

    literal = run_literal(args.build_dir / "literal_call_bench", LITERAL_TERMS)

    merton_args = (MERTON_S, MERTON_SIGMA, MERTON_R, MERTON_LAM, MERTON_M, MERTON_SJ)
    converged = {
        strike: lognjump.MertonEuropeanCall(strike, MERTON_T).JDAnalyticalPrice(*merton_args, 170)
        for strike in COMPARISON_STRIKES
    }
    quantlib = QuantLibMerton()
    order, order_difference = quantlib.choose_order(converged)
    print("QuantLib: Merton's model as ql.BatesEngine(ql.BatesModel(ql.BatesProcess(...)), "
          f"integrationOrder) with v0 = theta = sigma^2 = {MERTON_SIGMA ** 2:g}, kappa = {QL_KAPPA:g},")
    print(f"          vol of vol = {QL_VOL_OF_VOL:g}, rho = 0, lambda = {MERTON_LAM:g}, "
          f"nu = m = {MERTON_M:g} (log-jump mean), delta = s = {MERTON_SJ:g} "
          "(this QuantLib package has no JumpDiffusionEngine);")
    print(f"          flat continuous r = {MERTON_R:g}, q = 0, Actual/365 Fixed, "
          f"{quantlib.today.ISO()} to {quantlib.maturity.ISO()}, year fraction "
          f"{quantlib.year_fraction!r}.")
    print(f"          integrationOrder = {order} (Gauss-Laguerre): the smallest of "
          f"{', '.join(map(str, QL_ORDERS))} within {QL_TOLERANCE:g} of tarnwick (n = 170) "
          f"at K = {COMPARISON_STRIKES[0]:g}..{COMPARISON_STRIKES[-1]:g} "
          f"(largest difference {order_difference:.1e}); QuantLib's default is {QL_DEFAULT_ORDER}.")
    print("          QuantLib time: option.recalculate() + option.NPV() on one option (a full "
          "engine run, nothing cached);")
    print("          'fresh' = quote, curves, process, model, engine and option built anew, then NPV.")

    rows: List[List[str]] = []

    def add(case: str, n: str, timing: Optional[Timing], baseline: str, baseline_time: str,
            ratio: str, price: str, difference: str, target: str) -> None:
        rows.append([case, n, fmt_time(timing.median) if timing else "-",
                     f"{timing.spread * 100:.0f}%" if timing else "-",
                     fmt_time(timing.best) if timing else "-",
                     baseline, baseline_time, ratio, price, difference, target])

    # Kou calls and puts, called from Python.
    call = dexpjump.KouEuropeanCall(KOU_T, KOU_K)
    put = dexpjump.KouEuropeanPut(KOU_T, KOU_K)
    for kind, option, terms in (("Kou call", call, KOU_CALL_TERMS), ("Kou put", put, KOU_PUT_TERMS)):
        namespace = {"price": option.priceByKouJumpDiffusion}
        for n in terms:
            timing = time_per_call(call_statement(KOU_ARGS, n), namespace, repeats, args.min_batch)
            value = option.priceByKouJumpDiffusion(*KOU_ARGS, n)
            baseline = baseline_time = ratio = difference = "-"
            if kind == "Kou call" and n in literal:
                literal_seconds, literal_price, _ = literal[n]
                baseline, baseline_time = "literal C++", fmt_time(literal_seconds)
                ratio = fmt_ratio(literal_seconds / timing.median)
                difference = f"{abs(literal_price - value):.1e}"
            target = "-"
            if kind == "Kou call" and n in KOU_CALL_TARGETS:
                limit = KOU_CALL_TARGETS[n]
                target = f"<= {fmt_limit(limit)}: {'met' if timing.median <= limit else 'NOT met'}"
            add(kind, str(n), timing, baseline, baseline_time, ratio, f"{value:.12f}", difference, target)

    # Kou where the literal closed form is not accurate: it cancels (eta sigma sqrt(T) of
    # about 27, at a few terms and converged), and many jumps (lam T = 1000, converged).
    for label, T, kou_args, n in KOU_ACCURATE_CASES:
        option = dexpjump.KouEuropeanCall(T, KOU_K)
        timing = time_per_call(call_statement(kou_args, n), {"price": option.priceByKouJumpDiffusion},
                               repeats, args.min_batch)
        met = timing.median <= KOU_ACCURATE_TARGET
        add(f"Kou call, accurate: {label}", str(n), timing, "-", "-", "-",
            f"{option.priceByKouJumpDiffusion(*kou_args, n):.12f}", "-",
            f"<= {fmt_limit(KOU_ACCURATE_TARGET)}: {'met' if met else 'NOT met'}")

    # Merton: QuantLib first (its cost does not depend on a term count), then each n.
    ql_recalculate = "option.recalculate(); option.NPV()"
    ql_timing = time_per_call(ql_recalculate, {"option": quantlib.option(MERTON_K)},
                              repeats, args.min_batch)
    ql_default = time_per_call(
        ql_recalculate,
        {"option": quantlib.option(MERTON_K, ql.BatesEngine(quantlib.model, QL_DEFAULT_ORDER))},
        repeats, args.min_batch,
    )
    ql_default_price = quantlib.option(
        MERTON_K, ql.BatesEngine(quantlib.model, QL_DEFAULT_ORDER)).NPV()
    ql_fresh = time_per_call("build(strike)", {"build": quantlib.fresh_price, "strike": MERTON_K},
                             repeats, args.min_batch)
    ql_prices = {strike: quantlib.price(strike) for strike in COMPARISON_STRIKES}
    ql_wrong_mean = quantlib.option(
        MERTON_K,
        ql.BatesEngine(quantlib.bates_model(math.exp(MERTON_M + 0.5 * MERTON_SJ ** 2) - 1.0),
                       QL_DEFAULT_ORDER),
    ).NPV()

    merton = lognjump.MertonEuropeanCall(MERTON_K, MERTON_T)
    differences: Dict[int, float] = {}
    for n in MERTON_TERMS:
        timing = time_per_call(call_statement(merton_args, n), {"price": merton.JDAnalyticalPrice},
                               repeats, args.min_batch)
        value = merton.JDAnalyticalPrice(*merton_args, n)
        merton_difference = max(
            abs(lognjump.MertonEuropeanCall(strike, MERTON_T).JDAnalyticalPrice(*merton_args, n)
                - ql_prices[strike])
            for strike in COMPARISON_STRIKES
        )
        differences[n] = merton_difference
        target = "-"
        if n == MERTON_TARGET_TERMS:
            met = timing.median <= MERTON_TARGET and timing.median < ql_timing.median
            target = f"<= {fmt_limit(MERTON_TARGET)}, < QL: {'met' if met else 'NOT met'}"
        add("Merton call", str(n), timing, f"QuantLib {order}", fmt_time(ql_timing.median),
            fmt_ratio(ql_timing.median / timing.median), f"{value:.12f}",
            f"{merton_difference:.1e}", target)
    for label, lam, n in MERTON_ACCURATE_CASES:
        accurate_args = (MERTON_S, MERTON_SIGMA, MERTON_R, lam, -0.02, 0.05)
        timing = time_per_call(call_statement(accurate_args, n),
                               {"price": merton.JDAnalyticalPrice, "inf": math.inf},
                               repeats, args.min_batch)
        met = timing.median <= MERTON_ACCURATE_TARGET
        add(f"Merton call, accurate: {label}", repr(n), timing, "-", "-", "-",
            f"{merton.JDAnalyticalPrice(*accurate_args, n):.12f}", "-",
            f"<= {fmt_limit(MERTON_ACCURATE_TARGET)}: {'met' if met else 'NOT met'}")
    add(f"Merton, QuantLib {order}", "-", ql_timing, "-", "-", "-", f"{ql_prices[MERTON_K]:.12f}",
        "-", "-")
    add(f"Merton, QuantLib {QL_DEFAULT_ORDER}", "-", ql_default, "-", "-", "-",
        f"{ql_default_price:.12f}", "-", "-")
    add(f"Merton, QuantLib {order} fresh", "-", ql_fresh, "-", "-", "-",
        f"{quantlib.fresh_price(MERTON_K):.12f}", "-", "-")

    header = ["case", "n", "time", "iqr", "best", "baseline", "baseline time", "speed-up",
              "price (K=100)", "max |diff|", "target"]
    widths = [max(len(row[i]) for row in rows + [header]) for i in range(len(header))]
    right = {1, 2, 3, 4, 6, 7, 8, 9}

    def line(cells: List[str]) -> str:
        return "  ".join(c.rjust(w) if i in right else c.ljust(w)
                         for i, (c, w) in enumerate(zip(cells, widths))).rstrip()

    print()
    print(line(header))
    print("  ".join("-" * w for w in widths))
    for row in rows:
        print(line(row))
    print()
    print("time: median wall-clock time per price (targets are judged on it), tarnwick called "
          "from Python (bound method, float arguments) or QuantLib's engine;")
    print("iqr: interquartile range of the batches / median; best: fastest batch, closest to an "
          "idle machine. Speed-ups use the medians.")
    print("speed-up: baseline time / time. max |diff|: Kou, |literal - fast| at K=100; Merton, "
          f"|tarnwick - QuantLib| over K = {COMPARISON_STRIKES[0]:g}..{COMPARISON_STRIKES[-1]:g} "
          f"step {COMPARISON_STRIKES[1] - COMPARISON_STRIKES[0]:g}.")
    print(f"QuantLib's nu is the log-jump mean: with nu = m the largest difference at n = "
          f"{MERTON_TERMS[-1]} is {differences[MERTON_TERMS[-1]]:.1e}; with nu = exp(m + s^2/2) - 1 "
          f"(the mean relative jump) the K=100 price would be {ql_wrong_mean:.6f} instead.")
    print(f"Load:     {' '.join(f'{x:.2f}' for x in os.getloadavg())} (1, 5, 15 min) at end; "
          "numbers are noisy when other work shares the 2 cores.")
    return 0


if __name__ == "__main__":
    sys.exit(main())
