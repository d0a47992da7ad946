"""Timings of the fourier-option-pricer library (package foureng), an anchor for
bench.py's pricing-API table. It needs Python >= 3.10, so bench.py runs it in a venv of
its own and reads the JSON it prints:

    python anchor_foureng.py '{"kou": {...}, "merton": {...}, "strikes": [...], "repeats": 5}'

(or the same JSON on standard input, for jobs too long for a command line).

For each model and engine ("contour": Lord-Kahl contour with double-exponential
quadrature, the library's accurate engine; "cos": the COS method) it reports the
median seconds per option for the whole strike chain, for one option, and the prices.
The models are the job's "kou" and "merton" entries, or its "models" list (each with a
"model" name of PARAMS below, its params in tarnwick's names, S, K, T, r and q).

With a "cases" list instead (each: a model of PARAMS, its params, S, K, T, r, q, kind) it
prices each case alone with the contour engine and reports its seconds and price, or the
error where the engine cannot price it.

With an "exotics" list (each: model, params, S, K, T, r, q, kind, reference, tolerance,
"settings": keyword arguments to try from the cheapest, and "product": "american" for the
COS American engine, "barrier" with barrier, barrier_type and monitoring dates M for the
Hilbert barrier engine, or M = 0 for the Black-Scholes closed form) it prices each case at
its settings in turn until one is within the tolerance of the reference, and reports that
setting's price and median seconds (the last setting's where none is).
"""

import json
import statistics
import sys
import time

import numpy as np

import foureng as fe


def median_seconds(call, repeats):
    samples = []
    for _ in range(repeats):
        start = time.perf_counter()
        call()
        samples.append(time.perf_counter() - start)
    return statistics.median(samples)


def variance(p):
    """The stochastic variance's parameters in the library's names (nu: vol of variance)."""
    return dict(kappa=p["kappa"], theta=p["theta"], nu=p["xi"], rho=p["rho"], v0=p["v0"])


# tarnwick's model name -> the library's model key and its parameters from tarnwick's.
PARAMS = {
    "kou": ("kou", lambda p: fe.KouParams(**p)),
    "merton": ("merton_jd", lambda p: fe.MertonJDParams(sigma=p["sigma"], lam=p["lam"], muj=p["m"],
                                                         sigj=p["s"])),
    "blackscholes": ("bsm", lambda p: fe.BsmParams(**p)),
    "heston": ("heston", lambda p: fe.HestonParams(**variance(p))),
    "bates": ("bates", lambda p: fe.BatesParams(**variance(p), lam_j=p["lam"], mu_j=p["m"],
                                                 sigma_j=p["s"])),
    "hestonkou": ("heston_kou", lambda p: fe.HestonKouParams(**variance(p), lam_j=p["lam"], p_j=p["p"],
                                                              eta1=p["eta1"], eta2=p["eta2"])),
}


def contour_cases(cases, repeats):
    """Seconds and price of each case alone with the contour engine; a case slower than
    20 ms is timed once."""
    out = []
    for case in cases:
        key, make = PARAMS[case["model"]]
        fwd = fe.ForwardSpec(S0=case["S"], r=case["r"], q=case["q"], T=case["T"])
        cp = 1 if case["kind"] == "call" else -1
        one = lambda: fe.price_strip(key, "contour", [case["K"]], fwd, make(case["params"]), cp=cp)
        try:
            start = time.perf_counter()
            value = float(one()[0])
            first = time.perf_counter() - start
        except Exception as error:  # the engine refuses: reported, not timed
            out.append({"error": f"{type(error).__name__}: {error}"[:200]})
            continue
        if not np.isfinite(value):
            out.append({"error": f"non-finite price {value}"})
            continue
        seconds = first if first > 0.02 else median_seconds(one, repeats)
        out.append({"seconds": seconds, "price": value})
    return out


def exotic_pricer(case):
    """The library's call for one American or barrier case, given engine settings."""
    key, make = PARAMS[case["model"]]
    params = make(case["params"])
    fwd = fe.ForwardSpec(S0=case["S"], r=case["r"], q=case["q"], T=case["T"])
    cp = 1 if case["kind"] == "call" else -1
    if case["product"] == "american":
        option = fe.products.AmericanOption(strike=case["K"], maturity=case["T"], cp=cp)
        return lambda settings: fe.cos_american_price(key, fwd, params, option, **settings)
    if case["monitoring"] == 0:
        return lambda settings: fe.bsm_barrier_price(case["S"], case["K"], case["barrier"], case["r"], case["q"],
                                                     case["T"], case["params"]["sigma"], case["barrier_type"], cp)
    return lambda settings: fe.hilbert_barrier_price(
        key, fwd, params, strike=case["K"], barrier=case["barrier"], maturity=case["T"],
        barrier_type=case["barrier_type"], cp=cp, n_monitor=case["monitoring"], **settings)


def exotic_cases(cases, repeats):
    """Per case the cheapest of its settings that reaches the tolerance: settings, price,
    error, median seconds (fewer repeats for slow calls), and whether it reached it."""
    out = []
    for case in cases:
        pricer = exotic_pricer(case)
        for settings in case["settings"]:
            one = lambda: pricer(settings)
            start = time.perf_counter()
            value = float(one())
            first = time.perf_counter() - start
            error = value - case["reference"]
            if abs(error) <= case["tolerance"]:
                break
        runs = repeats if first < 0.2 else 3 if first < 3.0 else 1
        seconds = median_seconds(one, runs) if runs > 1 else first
        out.append({"settings": settings, "price": value, "error": error, "seconds": seconds,
                    "met": abs(error) <= case["tolerance"]})
    return out


def main():
    job = json.loads(sys.argv[1] if len(sys.argv) > 1 else sys.stdin.read())
    if "exotics" in job:
        print(json.dumps({"exotics": exotic_cases(job["exotics"], int(job["repeats"]))}))
        return
    if "cases" in job:
        print(json.dumps({"cases": contour_cases(job["cases"], int(job["repeats"]))}))
        return
    strikes = np.array(job["strikes"], dtype=float)
    repeats = int(job["repeats"])
    out = {}
    models = job.get("models") or [dict(job[name], model=name) for name in ("kou", "merton")]
    for m in models:
        model = m["model"]
        key, params = PARAMS[model]
        fwd = fe.ForwardSpec(S0=m["S"], r=m["r"], q=m.get("q", 0.0), T=m["T"])
        par = params(m["params"])
        for engine in ("contour", "cos"):
            chain = lambda: fe.price_strip(key, engine, strikes, fwd, par)
            one = lambda: fe.price_strip(key, engine, [m["K"]], fwd, par)
            chain()
            out[f"{model}/{engine}"] = {
                "chain": median_seconds(chain, repeats) / len(strikes),
                "one": median_seconds(one, repeats * 20),
                "prices": [float(v) for v in chain()],
                "price_one": float(one()[0]),
            }
    print(json.dumps(out))


if __name__ == "__main__":
    main()
