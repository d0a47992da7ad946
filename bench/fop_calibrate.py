"""fourier-option-pricer's calibrate on quotes read from stdin (JSON), timed; run by
bench/bench.py under an interpreter that has that package (it needs Python >= 3.10).

Input: {"S", "r", "q", "strikes", "maturities", "ivs", "start": {name: value}, "repeats"}.
Output (JSON): median and best seconds per fit from the start, rmse_iv, values, nfev.
"""

import json
import statistics
import sys
import time
from importlib import metadata

import numpy as np
import foureng as fe


def main() -> None:
    given = json.load(sys.stdin)
    quotes = fe.MarketQuotes(S0=given["S"], r=given["r"], q=given["q"],
                             maturities=np.array(given["maturities"]),
                             strikes=np.array(given["strikes"]), ivs=np.array(given["ivs"]))
    start = fe.KouParams(**given["start"])
    times = []
    for _ in range(given["repeats"]):
        started = time.perf_counter()
        fit = fe.calibrate("kou", quotes, start)
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
