"""The simulation table for bench.py: tw.simulate drawing 10^6 Kou paths of 252 steps (one
call, 2 GB of float64) on one and two threads, beside a plain NumPy simulation of the
same law (vectorised over paths in batches of 10^5, on one thread): per step a normal and a
Poisson count of jumps, and where there are any a binomial split of them into up and down
jumps and a gamma sum of each side's exponential sizes; then a cumulative sum and exp. Both are exact in law;
the median of a few runs is reported with the grid values per second.
"""

import statistics
import time
from typing import Callable, List

import numpy as np

import tarnwick as tw

KOU = dict(sigma=0.16, lam=1.0, p=0.4, eta1=10.0, eta2=5.0)
S, T, R, STEPS, PATHS = 100.0, 1.0, 0.03, 252, 10**6
NUMPY_BATCH = 10**5


def numpy_kou_paths(rng: np.random.Generator, paths: int) -> np.ndarray:
    sigma, lam, p, eta1, eta2 = (KOU[k] for k in ("sigma", "lam", "p", "eta1", "eta2"))
    dt = T / STEPS
    compensator = lam * (p * eta1 / (eta1 - 1.0) + (1.0 - p) * eta2 / (eta2 + 1.0) - 1.0)
    drift = (R - 0.5 * sigma ** 2 - compensator) * dt
    x = drift + sigma * np.sqrt(dt) * rng.standard_normal((paths, STEPS))
    # Jumps only where a step has any (a few in a hundred steps).
    count = rng.poisson(lam * dt, (paths, STEPS))
    hit = count > 0
    n = count[hit]
    up = rng.binomial(n, p)
    x[hit] += rng.gamma(np.maximum(up, 1), 1.0 / eta1) * (up > 0) - \
        rng.gamma(np.maximum(n - up, 1), 1.0 / eta2) * (n > up)
    out = np.empty((paths, STEPS + 1))
    out[:, 0] = S
    out[:, 1:] = S * np.exp(np.cumsum(x, axis=1))
    return out


def median_seconds(run: Callable[[], object], repeats: int) -> float:
    times: List[float] = []
    for _ in range(repeats):
        start = time.perf_counter()
        run()
        times.append(time.perf_counter() - start)
    return statistics.median(times)


def table(fmt_time: Callable[[float], str], repeats: int = 3) -> None:
    model = tw.Kou(**KOU)
    values = PATHS * STEPS
    print()
    print(f"Simulation: {PATHS:,} Kou paths x {STEPS} steps (T = {T:g}), median of {repeats} runs")
    rng = np.random.default_rng(1)
    anchor = median_seconds(lambda: [numpy_kou_paths(rng, NUMPY_BATCH) for _ in range(PATHS // NUMPY_BATCH)],
                            repeats)
    rows = [("NumPy, vectorised (batches of 10^5)", anchor)]
    for threads in (1, 2):
        seconds = median_seconds(lambda: tw.simulate(model, S, T, STEPS, PATHS, r=R, seed=1, threads=threads),
                                 repeats)
        rows.append((f"tw.simulate, {threads} thread{'s' if threads > 1 else ''}", seconds))
    for name, seconds in rows:
        print(f"  {name:38} {fmt_time(seconds):>9}  {values / seconds / 1e6:7.1f} M values/s  "
              f"speed-up {anchor / seconds:5.2f}x")
