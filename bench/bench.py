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

A second table (bench/pricing_api.py) times the pricing API (tw.price, tw.greeks) beside
fourier-option-pricer's engines and QuantLib, then American puts (bench/american.py) and
barrier options (bench/barrier.py) per model beside QuantLib's and fourier-option-pricer's
engines; the stochastic-volatility tables
(bench/stochastic_volatility.py) do the same for Heston, Bates and Heston with Kou's jumps,
and fit them to the packaged Bates sample beside QuantLib's and fourier-option-pricer's
calibrations. The last table (bench/simulation.py) times tw.simulate beside NumPy.

Run by ``make bench`` after the C++ benchmarks are built; ``python bench/bench.py --help``.
"""

from __future__ import annotations

import argparse
import json
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
from typing import Any, Callable, Dict, List, Mapping, Optional, Tuple

import numpy as np
import QuantLib as ql
from scipy.special import ndtr
from vollib.black_scholes_merton.implied_volatility import implied_volatility as vollib_implied_volatility

import american
import barrier
import pricing_api
import simulation
import stochastic_volatility
import tarnwick as tw
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


# Implied volatility: a batch of random European options priced by the Black-Scholes
# formula (NumPy), inverted by tarnwick on 1 and 2 threads and, on a slice of the batch
# (it runs a Python loop), by vollib.
IV_BATCH = 1_000_000
IV_VOLLIB_SLICE = 2_000
IV_TARGET = 0.25e-6

# Where the literal evaluation is not accurate and another evaluation of the same cut
# series replaces it: (label, T, arguments, n, target). K = 100, r = 0.03.
KOU_ACCURATE_TARGET = 200e-6
KOU_ANY_N_TARGET = 10e-3
KOU_ACCURATE_CASES = (
    ("cancelling", 5.0, (100.0, 0.03, 0.2, 5.0, 0.3, 60.0, 40.0), 10, KOU_ACCURATE_TARGET),
    ("cancelling", 5.0, (100.0, 0.03, 0.2, 5.0, 0.3, 60.0, 40.0), 2**31 - 1, KOU_ACCURATE_TARGET),
    ("lam T 1000", 1.0, (100.0, 0.03, 0.2, 1000.0, 0.4, 10.0, 5.0), 2**31 - 1, KOU_ACCURATE_TARGET),
    # The cut in the middle of a Poisson window of thousands of counts: the slowest kind
    # of case, which only has to return promptly.
    ("lam T 1e4, cut at the mean", 1.0, (100.0, 0.03, 0.2, 1e4, 0.4, 10.0, 5.0), 10000,
     KOU_ANY_N_TARGET),
)
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


def implied_volatility_batch(count: int, seed: int = 20261208) -> Dict[str, np.ndarray]:
    """Random options: S = 100, K/S log-uniform in [0.5, 2], T in [1 week, 5 years],
    sigma in [0.05, 1], r in [0, 0.08], q in [0, 0.05], calls and puts; with their prices."""
    rng = np.random.default_rng(seed)
    S = np.full(count, 100.0)
    K = S * np.exp(rng.uniform(np.log(0.5), np.log(2.0), count))
    T = rng.uniform(7 / 365, 5.0, count)
    sigma = rng.uniform(0.05, 1.0, count)
    r, q = rng.uniform(0.0, 0.08, count), rng.uniform(0.0, 0.05, count)
    call = rng.random(count) < 0.5
    root = sigma * np.sqrt(T)
    d1 = (np.log(S / K) + (r - q) * T) / root + 0.5 * root
    d2 = d1 - root
    spot, strike = S * np.exp(-q * T), K * np.exp(-r * T)
    price = np.where(call, spot * ndtr(d1) - strike * ndtr(d2), strike * ndtr(-d2) - spot * ndtr(-d1))
    kind = np.where(call, "call", "put")
    return {"price": price, "S": S, "K": K, "T": T, "r": r, "q": q, "kind": kind, "sigma": sigma}


def implied_volatility_rows(repeats: int, min_batch: float) -> List[Tuple[str, str, Timing, str, str, str, str, str]]:
    """(case, n, timing per volatility, baseline, baseline time, speed-up, worst relative
    difference from the sigma the prices were made with, target) for tarnwick on one and
    two threads, beside vollib's Let's-be-rational on a slice of the same batch."""
    batch = implied_volatility_batch(IV_BATCH)
    arguments = tuple(batch[name] for name in ("price", "S", "K", "T", "r", "q", "kind"))
    # The forward formula's own rounding leaves sigma undetermined where the vega is tiny;
    # the difference column looks only at options with vega * sigma > 1e-3 S.
    d1 = (np.log(batch["S"] / batch["K"]) + (batch["r"] - batch["q"]) * batch["T"]) / (
        batch["sigma"] * np.sqrt(batch["T"])) + 0.5 * batch["sigma"] * np.sqrt(batch["T"])
    vega = batch["S"] * np.exp(-batch["q"] * batch["T"]) * np.exp(-0.5 * d1 * d1) * np.sqrt(batch["T"] / (2 * np.pi))
    determined = vega * batch["sigma"] > 1e-3 * batch["S"]

    def worst(values: np.ndarray, where: slice = slice(None)) -> str:
        error = np.abs(values - batch["sigma"][where]) / batch["sigma"][where]
        return f"{np.nanmax(error[determined[where]]):.1e}"

    sliced = slice(0, IV_VOLLIB_SLICE)
    vollib_arguments = list(zip(*(batch[name][sliced].tolist()
                                  for name in ("price", "S", "K", "T", "r", "q")),
                                ("c" if kind == "call" else "p" for kind in batch["kind"][sliced])))

    def vollib_one(*arguments: object) -> float:
        try:
            return vollib_implied_volatility(*arguments)
        except Exception:  # vollib raises where tarnwick returns NaN (a price below intrinsic)
            return math.nan

    def vollib_loop() -> List[float]:
        return [vollib_one(*arguments) for arguments in vollib_arguments]

    vollib_timing = time_per_call("loop()", {"loop": vollib_loop}, repeats, min_batch)
    vollib_per = Timing(vollib_timing.median / IV_VOLLIB_SLICE,
                        [t / IV_VOLLIB_SLICE for t in vollib_timing.samples], vollib_timing.number)
    ours_on_slice = tw.implied_volatility(*(a[sliced] for a in arguments), threads=1)
    vollib_worst = f"{worst(np.array(vollib_loop()), sliced)} (tarnwick {worst(ours_on_slice, sliced)})"

    rows = []
    single: Optional[Timing] = None
    for threads in (1, 2):
        timing = time_per_call("iv(*arguments, threads=threads)",
                               {"iv": tw.implied_volatility, "arguments": arguments, "threads": threads},
                               repeats, min_batch)
        per = Timing(timing.median / IV_BATCH, [t / IV_BATCH for t in timing.samples], timing.number)
        single = single or per
        values = tw.implied_volatility(*arguments, threads=threads)
        if threads == 1:
            target = f"<= {fmt_limit(IV_TARGET)}: {'met' if per.median <= IV_TARGET else 'NOT met'}"
            baseline, ratio = "vollib", fmt_ratio(vollib_per.median / per.median)
        else:
            target = f"{single.median / per.median:.2f}x 1 thread"
            baseline, ratio = "1 thread", fmt_ratio(single.median / per.median)
        rows.append((f"implied vol, {threads} thread{'s' * (threads > 1)}", "10^6", per, baseline,
                     fmt_time(vollib_per.median if threads == 1 else single.median), ratio, worst(values), target))
    rows.append((f"implied vol, vollib {metadata.version('vollib')}", f"{IV_VOLLIB_SLICE}", vollib_per,
                 "-", "-", "-", vollib_worst, "-"))
    return rows


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
    parser.add_argument("--anchor-python", type=Path, default=None,
                        help="a Python >= 3.10 with fourier-option-pricer, for the pricing API's "
                        "anchors and the calibration's")
    parser.add_argument("--random-count", type=int, default=1_000_000,
                        help="options in the random batch of the pricing API's table (default 10^6)")
    parser.add_argument("--sv-random-count", type=int, default=20_000,
                        help="options in the random batch of the stochastic-volatility table (default 20,000)")
    parser.add_argument("--global-check", action="store_true",
                        help="also search the fits globally (differential evolution, slow)")
    for flag, section in (("--calibration-only", "the calibration section"),
                          ("--american-only", "the American table"),
                          ("--barrier-only", "the barrier table"),
                          ("--implied-volatility-only", "the implied-volatility rows"),
                          ("--extended-grid-only", "the pricing API on the extended reference grid"),
                          ("--stochastic-volatility-only", "the stochastic-volatility tables (pricing and calibration)"),
                          ("--sv-pricing-only", "the stochastic-volatility pricing table"),
                          ("--sv-calibration-only", "the stochastic-volatility calibration table"),
                          ("--simulation-only", "the simulation table")):
        parser.add_argument(flag, action="store_true", help=f"only {section}")
    args = parser.parse_args(argv)
    repeats = max(args.repeats, 7)

    def stochastic_volatility_tables(pricing: bool = True, calibration: bool = True) -> None:
        if pricing:
            stochastic_volatility.pricing_table(time_per_call, fmt_time, repeats, args.min_batch,
                                                args.anchor_python, args.sv_random_count)
        if calibration:
            stochastic_volatility.calibration_table(fmt_time, 3, args.anchor_python, args.global_check)

    if args.stochastic_volatility_only or args.sv_pricing_only or args.sv_calibration_only:
        for machine_line in machine_lines():
            print(machine_line)
        stochastic_volatility_tables(not args.sv_calibration_only, not args.sv_pricing_only)
        print(f"Load:     {' '.join(f'{x:.2f}' for x in os.getloadavg())} (1, 5, 15 min) at end")
        return 0
    if args.simulation_only:
        simulation.table(fmt_time)
    if args.american_only:
        american.table(time_per_call, fmt_time, repeats, args.min_batch, args.anchor_python)
        return 0
    if args.barrier_only:
        barrier.table(time_per_call, fmt_time, repeats, args.min_batch, args.anchor_python)
        return 0
    if args.extended_grid_only:
        pricing_api.extended_grid(time_per_call, fmt_time, repeats, args.min_batch, args.anchor_python)
        return 0
    if args.calibration_only:
        calibration_section(max(3, repeats // 2), args.anchor_python, args.global_check)
        return 0
    if args.implied_volatility_only:
        for case, n, timing, baseline, baseline_time, ratio, difference, target in implied_volatility_rows(
                repeats, args.min_batch):
            print(f"{case:28} {n:>5}  {fmt_time(timing.median):>9}  best {fmt_time(timing.best):>9}  "
                  f"{baseline} {baseline_time} {ratio}  max |diff| {difference}  {target}")
        return 0

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
    # about 27, at a few terms and converged), many jumps (lam T = 1000, converged), and a
    # cut inside a window of thousands of counts.
    for label, T, kou_args, n, limit in KOU_ACCURATE_CASES:
        option = dexpjump.KouEuropeanCall(T, KOU_K)
        timing = time_per_call(call_statement(kou_args, n), {"price": option.priceByKouJumpDiffusion},
                               repeats, args.min_batch)
        met = timing.median <= limit
        add(f"Kou call, accurate: {label}", str(n), timing, "-", "-", "-",
            f"{option.priceByKouJumpDiffusion(*kou_args, n):.12f}", "-",
            f"<= {fmt_limit(limit)}: {'met' if met else 'NOT met'}")

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

    for case, n, timing, baseline, baseline_time, ratio, difference, target in implied_volatility_rows(
            repeats, args.min_batch):
        add(case, n, timing, baseline, baseline_time, ratio, "-", difference, target)

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
    print("implied vol: time per volatility over a batch of random options (S = 100, K/S 0.5..2, T 1 week.."
          "5 years, sigma 0.05..1, calls and puts); max |diff|: worst |iv - sigma| / sigma where vega * sigma "
          "> 1e-3 S; vollib loops in Python over the first options of the batch (tarnwick's difference on those in parentheses).")
    print(f"QuantLib's nu is the log-jump mean: with nu = m the largest difference at n = "
          f"{MERTON_TERMS[-1]} is {differences[MERTON_TERMS[-1]]:.1e}; with nu = exp(m + s^2/2) - 1 "
          f"(the mean relative jump) the K=100 price would be {ql_wrong_mean:.6f} instead.")
    pricing_api.table(time_per_call, fmt_time, repeats, args.min_batch, args.anchor_python, args.random_count)
    american.table(time_per_call, fmt_time, repeats, args.min_batch, args.anchor_python)
    barrier.table(time_per_call, fmt_time, repeats, args.min_batch, args.anchor_python)
    pricing_api.extended_grid(time_per_call, fmt_time, repeats, args.min_batch, args.anchor_python)
    calibration_section(max(3, repeats // 2), args.anchor_python, args.global_check)
    stochastic_volatility_tables()
    simulation.table(fmt_time)
    print(f"Load:     {' '.join(f'{x:.2f}' for x in os.getloadavg())} (1, 5, 15 min) at end; "
          "numbers are noisy when other work shares the 2 cores.")
    return 0


# --- calibration ---------------------------------------------------------------------------

# Goals for a Kou fit to the 104-quote sample surface (8 maturities x 13 strikes).
CALIBRATION_START_TARGET, CALIBRATION_TOTAL_TARGET = 15e-3, 0.1
FOP_SCRIPT = Path(__file__).resolve().with_name("fop_calibrate.py")


def median_time(function: Callable[[], object], repeats: int) -> Tuple[float, float, object]:
    """Median and best wall-clock seconds of repeats calls, and the last result."""
    times, result = [], None
    for _ in range(repeats):
        started = time.perf_counter()
        result = function()
        times.append(time.perf_counter() - started)
    return statistics.median(times), min(times), result


def run_fop(python: Optional[Path], sample: Any, start: Mapping[str, float],
            repeats: int) -> Optional[Dict[str, object]]:
    """fourier-option-pricer's calibrate on the same quotes, in its own interpreter (it
    needs Python >= 3.10); None when that interpreter is missing or the run fails."""
    if python is None or not python.exists():
        return None
    quotes = sample.quotes
    payload = {
        "S": sample.S, "r": float(quotes["rate"][0]), "q": float(quotes["dividend"][0]),
        "strikes": quotes["strike"].tolist(), "maturities": quotes["maturity"].tolist(),
        "ivs": quotes["iv"].tolist(), "start": dict(start), "repeats": repeats,
    }
    done = subprocess.run([str(python), str(FOP_SCRIPT)], input=json.dumps(payload),
                          capture_output=True, text=True, timeout=600)
    if done.returncode != 0:
        print(f"fourier-option-pricer run failed: {done.stderr.strip().splitlines()[-1:]}")
        return None
    return json.loads(done.stdout)


def calibration_section(repeats: int, fop_python: Optional[Path], global_check: bool) -> None:
    """Kou fitted to the sample surface: each local start, the whole multi-start, a global
    search for comparison, and fourier-option-pricer's calibrate on the same quotes."""
    import numpy as np
    from scipy.optimize import differential_evolution

    import tarnwick as tw
    from tarnwick._calibrate import DEFAULT_STARTS, LOCAL_RUNS, Objective, read_surface, start_points
    from tarnwick._models import registration

    sample = tw.sample_quotes()
    names = tw.Kou.parameter_names
    parameters = registration(tw.Kou).parameters
    bounds = {parameter.name: parameter.bounds for parameter in parameters}
    fit_all = lambda: tw.calibrate(tw.Kou, sample.quotes, sample.S)  # noqa: E731
    total, total_best, fit = median_time(fit_all, repeats)
    starts = start_points(parameters, bounds, DEFAULT_STARTS)
    local = []
    for point in starts:
        x0 = dict(zip(names, point))
        seconds, _, one = median_time(
            lambda: tw.calibrate(tw.Kou, sample.quotes, sample.S, x0=x0), max(3, repeats // 3))
        local.append((seconds, one))
    per_start = statistics.median(seconds for seconds, _ in local)
    reached = sum(one.rmse_iv <= fit.rmse_iv * (1 + 1e-6) for _, one in local)

    print()
    print(f"Calibration: Kou to the sample surface ({sample.quotes['strike'].size} quotes, "
          f"{np.unique(sample.quotes['maturity']).size} maturities; synthetic, 0.1 vol-point noise)")
    rows = [["tarnwick, one local start (median over the starts)", fmt_time(per_start),
             f"{statistics.median(one.nfev for _, one in local):g}/"
             f"{statistics.median(one.njev for _, one in local):g}",
             f"{100 * statistics.median(one.rmse_iv for _, one in local):.4f}",
             f"<= {fmt_limit(CALIBRATION_START_TARGET)}: "
             f"{'met' if per_start <= CALIBRATION_START_TARGET else 'NOT met'}"],
            [f"tarnwick, multi-start ({DEFAULT_STARTS} screened, {LOCAL_RUNS} local runs)",
             fmt_time(total), f"{fit.nfev}/{fit.njev}", f"{100 * fit.rmse_iv:.4f}",
             f"<= {fmt_limit(CALIBRATION_TOTAL_TARGET)}: "
             f"{'met' if total <= CALIBRATION_TOTAL_TARGET else 'NOT met'}"]]
    fop = run_fop(fop_python, sample, dict(zip(names, starts[0])), repeats)
    if fop is not None:
        rows.append([f"fourier-option-pricer {fop['version']} calibrate, one start",
                     fmt_time(float(fop["median"])), str(fop.get("nfev", "-")),
                     f"{100 * float(fop['rmse_iv']):.4f}", "anchor"])
    else:
        rows.append(["fourier-option-pricer calibrate", "not run", "-", "-",
                     "needs Python >= 3.10 (make bench sets up build/anchor-venv)"])
    header = ["case", "time", "prices/jacobians", "rmse (vol pts)", "target"]
    widths = [max(len(row[i]) for row in rows + [header]) for i in range(len(header))]
    for cells in [header, ["-" * w for w in widths]] + rows:
        print("  ".join(c.ljust(w) if i in (0, 4) else c.rjust(w)
                        for i, (c, w) in enumerate(zip(cells, widths))).rstrip())
    print("prices/jacobians: evaluations of the model over the surface (in local runs prices "
          "and sensitivities in one pass) and Jacobians used (fourier-option-pricer: its nfev)")
    print(f"starts reaching the multi-start's optimum on their own: {reached} of {len(local)}; "
          f"multi-start best batch {fmt_time(total_best)}")
    print("fit:      " + ", ".join(f"{n}={getattr(fit.model, n):.5g} +- "
                                   f"{fit.standard_errors[n]:.2g}" for n in names))
    print("stated:   sigma=0.14, lam=0.8, p=0.3, eta1=12, eta2=6 (the sample's generator)")
    if fop is not None:
        print("fourier-option-pricer: " + ", ".join(f"{n}={v:.5g}" for n, v in fop["values"].items()))
    if global_check:
        surface = read_surface(sample.quotes, sample.S, 0.0, 0.0, False, None)
        objective = Objective(tw.Kou, names, names, {}, surface, "iv", None)
        started = time.perf_counter()
        found = differential_evolution(objective.cost, [bounds[n] for n in names], seed=1,
                                       tol=1e-10, maxiter=300, polish=False)
        seconds = time.perf_counter() - started
        rmse = math.sqrt(2 * found.fun / surface.strike.size)
        print(f"global:   differential_evolution over the bounds ({objective.evaluations} "
              f"evaluations, {seconds:.0f} s): rmse {100 * rmse:.4f} vol pts at "
              + ", ".join(f"{n}={v:.5g}" for n, v in zip(names, found.x)))
        verdict = "the same optimum" if fit.rmse_iv <= rmse * (1 + 1e-6) else "a worse optimum"
        print(f"          the multi-start's rmse {100 * fit.rmse_iv:.4f}: {verdict}")


if __name__ == "__main__":
    sys.exit(main())
