"""Time and memory of the closed forms on hostile inputs: draws many argument sets of
extreme doubles (and, for Kou, term counts up to 2^31 - 1), prices each once and prints
the slowest calls (by the process's CPU time, which other work on a shared machine does
not inflate, and their wall time) and the growth of the process's peak memory.

    python scripts/hostile_inputs.py [draws per module] [seed]

Each value is drawn from a mix of the extremes (0, subnormals, 1e-308, 1e308, signs),
log-uniform magnitudes over the whole double range and ordinary sizes, so that most
draws land in the model's domain and in its far corners at once.
"""

import math
import random
import resource
import sys
import time

from tarnwick.models.dexpjump import KouEuropeanCall, KouEuropeanPut
from tarnwick.models.lognjump import MertonEuropeanCall

SPECIAL = [0.0, 5e-324, 1e-308, 1e308, 1.0, 1.000000000000001, math.inf, math.nan]


def value(rng, positive=True):
    kind = rng.random()
    if kind < 0.15:
        x = rng.choice(SPECIAL)
    elif kind < 0.6:
        x = 10.0 ** rng.uniform(-320, 308)
    else:
        x = 10.0 ** rng.uniform(-3, 3)
    if not positive and rng.random() < 0.3:
        x = -x
    return x


def probability(rng):
    return rng.choice([0.0, 1.0, 1e-308, 1 - 1e-16, rng.random(), 10.0 ** rng.uniform(-300, 0)])


def term_count(rng):
    return rng.choice([0, 1, 7, 170, 171, 2**31 - 1, rng.randrange(-2**31, 2**31), rng.randrange(0, 400)])


def kou_draw(rng):
    return (value(rng), value(rng)), (value(rng), value(rng, False), value(rng), value(rng),
                                      probability(rng), 1.0 + value(rng), value(rng), term_count(rng))


def merton_draw(rng):
    n = rng.choice([0.0, 10.0, 170.0, 1e9, math.inf, rng.uniform(0, 400)])
    return (value(rng), value(rng)), (value(rng), value(rng), value(rng, False), value(rng),
                                      value(rng, False) * rng.choice([1e-300, 1e-3, 1.0]), value(rng), n)


def peak_mb():
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024.0


def run(name, draw, price, count, rng):
    start_peak = peak_mb()
    slowest = []
    for _ in range(count):
        terms, args = draw(rng)
        start, start_cpu = time.perf_counter(), time.process_time()
        result = price(terms, args)
        cpu, wall = time.process_time() - start_cpu, time.perf_counter() - start
        assert type(result) is float
        slowest.append((cpu, wall, terms, args))
        slowest = sorted(slowest, reverse=True)[:3]
    print(f"{name}: {count} draws, peak memory +{peak_mb() - start_peak:.1f} MB")
    for cpu, wall, terms, args in slowest:
        print(f"  {cpu * 1e3:8.2f} ms CPU ({wall * 1e3:.2f} ms wall)  {terms} {args}")


def main():
    count = int(sys.argv[1]) if len(sys.argv) > 1 else 20000
    rng = random.Random(int(sys.argv[2]) if len(sys.argv) > 2 else 1)
    kinds = [KouEuropeanCall, KouEuropeanPut]
    run("Kou", kou_draw, lambda t, a: rng.choice(kinds)(*t).priceByKouJumpDiffusion(*a), count, rng)
    run("Merton", merton_draw, lambda t, a: MertonEuropeanCall(t[1], t[0]).JDAnalyticalPrice(*a), count, rng)


if __name__ == "__main__":
    main()
