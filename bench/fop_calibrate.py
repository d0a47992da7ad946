"""fourier-option-pricer's calibrate on quotes read from stdin (JSON), timed; run by
bench/bench.py under an interpreter that has that package (it needs Python >= 3.10).

Input: {"S", "r", "q", "strikes", "maturities", "ivs", "start": {name: value}, "repeats"},
optionally "model" (a model of anchor_foureng.PARAMS, default "kou") and "bounds"
({name: [low, high]}), both in tarnwick's parameter names.
Output (JSON): median and best seconds per fit from the start, rmse_iv, values (in the
library's names), nfev.
"""

import dataclasses
import json
import statistics
import sys
import time
from importlib import metadata

import numpy as np
import foureng as fe

from anchor_foureng import PARAMS


def main() -> None:
    given = json.load(sys.stdin)
    quotes = fe.MarketQuotes(S0=given["S"], r=given["r"], q=given["q"],
                             maturities=np.array(given["maturities"]),
                             strikes=np.array(given["strikes"]), ivs=np.array(given["ivs"]))
    key, make = PARAMS[given.get("model", "kou")]
    start = make(given["start"])
    bounds = None
    if "bounds" in given:
        # Both ends through the same constructor: the library's names for tarnwick's.
        low = make({name: pair[0] for name, pair in given["bounds"].items()})
        high = make({name: pair[1] for name, pair in given["bounds"].items()})
        bounds = {field.name: (getattr(low, field.name), getattr(high, field.name))
                  for field in dataclasses.fields(low)}
    times = []
    for _ in range(given["repeats"]):
        started = time.perf_counter()
        fit = fe.calibrate(key, quotes, start, bounds=bounds)
        times.append(time.perf_counter() - started)
    residuals = np.asarray(fit.iv_residuals)
    values = fit.values if isinstance(fit.values, dict) else vars(fit.values)
    print(json.dumps({
        "version": metadata.version("fourier-option-pricer"),
        "median": statistics.median(times), "best": min(times),
        "rmse_iv": float(np.sqrt(np.mean(residuals ** 2))),
        "values": {k: float(v) for k, v in dict(values).items()},
        "nfev": getattr(fit, "nfev", "-"),
    }))


if __name__ == "__main__":
    main()
