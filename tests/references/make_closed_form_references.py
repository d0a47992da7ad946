"""Write the stored references of the closed-form accuracy tests (run once, ~10 minutes).

    python tests/references/make_closed_form_references.py

Two independent references, neither of which uses tarnwick:
- closed_form_mp: the truncated series in high precision (mpmath), enough digits to
  survive the cancellation of Kou's closed form;
- fourier: Lewis' Fourier inversion of each model's characteristic function (quad).

Files (CSV, one case a row, S = 100 and r = 0.03 throughout):
- closed_form_kou.csv: model parameters, n (-1 means converged), reference price,
  which reference produced it (mp or fourier), and for converged cases with few jumps
  the mpmath series at 40 jumps as a second reference;
- closed_form_merton.csv: the same for Merton, with both references for converged prices.
The grid is random with a fixed seed, over the stress ranges: sigma 0.05-0.8, lam 0-1000
with lam T <= 10,000, eta1 1.5-200, eta2 0.5-200, p 0-1, m -1-0.5, s 0.01-1, T one day to
30 years, K/S 0.25-4.
- closed_form_kou_corners.csv, closed_form_merton_corners.csv: the same columns over the
  models' corners: for Kou sigma sqrt(T) 1e-8-1e-2 with T from 1e-8 years, eta1 from
  1.001, eta2 from 0.01, p at 0 and 1 as well; for Merton s from 0, m -5-5, sigma up to 5;
- closed_form_kou_realistic.csv: realistic Kou inputs (sigma 0.1-0.3, lam 0.3-10,
  p 0.2-0.6, eta1 5-60, eta2 3-40, T one week to 10 years, K/S 0.6-1.5, n 5, 10, 15) with
  the mpmath series, on which the literal evaluation is mostly right to 1e-13 S.

    python tests/references/make_closed_form_references.py kou-corners merton-corners kou-realistic

writes only the named files (a few minutes for these three).
"""

import csv
import math
import os
import random
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path[:0] = [HERE, os.path.dirname(HERE)]

import closed_form_mp  # noqa: E402
import fourier  # noqa: E402

S, R = 100.0, 0.03


def log_uniform(rng, lo, hi):
    return math.exp(rng.uniform(math.log(lo), math.log(hi)))


def draw(rng):
    T = log_uniform(rng, 1 / 365, 30.0)
    lam = 0.0 if rng.random() < 0.05 else min(log_uniform(rng, 0.1, 1000.0), 10000.0 / T)
    return dict(T=T, K=S * log_uniform(rng, 0.25, 4.0), sigma=rng.uniform(0.05, 0.8), lam=lam,
                p=rng.uniform(0, 1), eta1=log_uniform(rng, 1.5, 200.0),
                eta2=log_uniform(rng, 0.5, 200.0), m=rng.uniform(-1.0, 0.5),
                s=log_uniform(rng, 0.01, 1.0))


def kou_rows(rng, converged, truncated):
    rows = []
    while converged:
        c = draw(rng)
        ref = fourier.kou_call(S, c["K"], c["T"], R, c["sigma"], c["lam"], c["p"], c["eta1"], c["eta2"])
        # Where few jumps matter and the closed form needs few digits, the series at 40
        # jumps (Poisson tail below 1e-30) is a second, independent converged reference.
        zeta = c["p"] * c["eta1"] / (c["eta1"] - 1) + (1 - c["p"]) * c["eta2"] / (c["eta2"] + 1) - 1
        X = max(c["eta1"] - 1, c["eta2"] + 1) * c["sigma"] * math.sqrt(c["T"])
        series = ""
        if c["lam"] * c["T"] * max(1.0, 1 + zeta) <= 2.0 and X <= 12:
            series = closed_form_mp.kou_call(c["T"], c["K"], S, R, c["sigma"], c["lam"], c["p"],
                                             c["eta1"], c["eta2"], 40)
        rows.append([c["T"], c["K"], c["sigma"], c["lam"], c["p"], c["eta1"], c["eta2"], -1, ref,
                     "fourier", series])
        converged -= 1
    while truncated:
        c = draw(rng)
        X = max(c["eta1"] - 1, c["eta2"] + 1) * c["sigma"] * math.sqrt(c["T"])
        if X > 40:  # beyond, the series needs thousands of digits
            continue
        for n in (0, 1, 5, 10, 30) if truncated % 10 == 0 else (0, 1, 5, 10):
            ref = closed_form_mp.kou_call(c["T"], c["K"], S, R, c["sigma"], c["lam"], c["p"],
                                          c["eta1"], c["eta2"], n)
            rows.append([c["T"], c["K"], c["sigma"], c["lam"], c["p"], c["eta1"], c["eta2"], n, ref, "mp", ""])
        truncated -= 1
    return rows


def merton_rows(rng, converged, truncated):
    rows = []
    for _ in range(converged):
        c = draw(rng)
        args = (c["T"], c["K"], S, c["sigma"], R, c["lam"], c["m"], c["s"])
        mp_ref = closed_form_mp.merton_call(*args, math.inf)
        f_ref = fourier.merton_call(S, c["K"], c["T"], R, c["sigma"], c["lam"], c["m"], c["s"])
        rows.append([c["T"], c["K"], c["sigma"], c["lam"], c["m"], c["s"], -1, mp_ref, f_ref])
    for _ in range(truncated):
        c = draw(rng)
        for n in (0, 1, 5, 10, 30):
            args = (c["T"], c["K"], S, c["sigma"], R, c["lam"], c["m"], c["s"])
            rows.append([c["T"], c["K"], c["sigma"], c["lam"], c["m"], c["s"], n,
                         closed_form_mp.merton_call(*args, n), ""])
    return rows


def kou_corner_rows(rng, truncated, converged):
    rows = []
    while truncated or converged:
        T = log_uniform(rng, 1e-8, 30.0)
        sigma = log_uniform(rng, 1e-8, 1e-2) / math.sqrt(T)
        lam = log_uniform(rng, 0.1, 100.0)
        p = rng.choice([0.0, 1.0, rng.random()])
        eta1, eta2 = 1.0 + log_uniform(rng, 1e-3, 200.0), log_uniform(rng, 0.01, 200.0)
        K = S * log_uniform(rng, 0.25, 4.0)
        if truncated:
            n = rng.choice([1, 5, 10])
            truncated -= 1
        else:
            # The series cut at the end of the Poisson window of both measures is the
            # converged price to 1e-20; beyond some 100 counts the mpmath series is slow.
            zeta = p * eta1 / (eta1 - 1) + (1 - p) * eta2 / (eta2 + 1) - 1
            jumps = max(1.0, 1 + zeta) * lam * T
            if jumps > 10:
                continue
            n = int(math.ceil(jumps + 10 * math.sqrt(jumps) + 30))
            converged -= 1
        ref = closed_form_mp.kou_call(T, K, S, R, sigma, lam, p, eta1, eta2, n)
        rows.append([T, K, sigma, lam, p, eta1, eta2, -1 if n > 10 else n, ref, "mp", ""])
    return rows


def kou_realistic_rows(rng, count):
    rows = []
    for _ in range(count):
        T, K = log_uniform(rng, 7 / 365, 10.0), S * rng.uniform(0.6, 1.5)
        sigma, lam, p = rng.uniform(0.1, 0.3), log_uniform(rng, 0.3, 10.0), rng.uniform(0.2, 0.6)
        eta1, eta2, n = log_uniform(rng, 5.0, 60.0), log_uniform(rng, 3.0, 40.0), rng.choice([5, 10, 15])
        ref = closed_form_mp.kou_call(T, K, S, R, sigma, lam, p, eta1, eta2, n)
        rows.append([T, K, sigma, lam, p, eta1, eta2, n, ref, "mp", ""])
    return rows


def merton_corner_rows(rng, count):
    rows = []
    while count:
        T = log_uniform(rng, 1 / 365, 30.0)
        s = 0.0 if rng.random() < 0.3 else log_uniform(rng, 0.01, 1.0)
        m, sigma = rng.uniform(-5.0, 5.0), rng.uniform(0.05, 5.0)
        lam = min(log_uniform(rng, 0.1, 1000.0), 1e4 / T)
        if math.exp(m + s * s / 2) * lam * T > 2e5:  # the mpmath window would take minutes
            continue
        K = S * log_uniform(rng, 0.25, 4.0)
        args = (T, K, S, sigma, R, lam, m, s)
        n = rng.choice([0, 1, 5, 30, -1])
        mp_ref = closed_form_mp.merton_call(*args, math.inf if n < 0 else n)
        f_ref = fourier.merton_call(S, K, T, R, sigma, lam, m, s) if n < 0 else ""
        rows.append([T, K, sigma, lam, m, s, n, mp_ref, f_ref])
        count -= 1
    return rows


KOU_HEADER = ["T", "K", "sigma", "lam", "p", "eta1", "eta2", "n", "reference", "source", "series_40"]
MERTON_HEADER = ["T", "K", "sigma", "lam", "m", "s", "n", "mp", "fourier"]


def write(name, header, rows):
    with open(os.path.join(HERE, name), "w", newline="") as f:
        out = csv.writer(f)
        out.writerow(header)
        for row in rows:
            out.writerow([repr(v) if isinstance(v, float) else v for v in row])


def main():
    which = sys.argv[1:] or ["merton", "kou", "kou-corners", "merton-corners", "kou-realistic"]
    if "merton" in which:
        write("closed_form_merton.csv", MERTON_HEADER, merton_rows(random.Random(2024), 300, 60))
    if "kou" in which:
        write("closed_form_kou.csv", KOU_HEADER, kou_rows(random.Random(2025), 300, 60))
    if "kou-corners" in which:
        write("closed_form_kou_corners.csv", KOU_HEADER, kou_corner_rows(random.Random(2026), 24, 4))
    if "merton-corners" in which:
        write("closed_form_merton_corners.csv", MERTON_HEADER, merton_corner_rows(random.Random(2027), 20))
    if "kou-realistic" in which:
        write("closed_form_kou_realistic.csv", KOU_HEADER, kou_realistic_rows(random.Random(2028), 40))


if __name__ == "__main__":
    main()
