"""High-precision reference prices and Greeks for the pricing API's tests.

Run once (nice'd, in the background; it takes a while) and commit the CSV files it
writes beside itself; the tests only read them:

    python tests/references/make_pricing_references.py [--what prices] [--model kou]

Routes, independent of the package's pricer (another contour, other quadrature, other
formulas, 30+ significant digits):

- Merton: the Poisson series of Black-Scholes prices, with the Poisson weights in log
  space and the series cut where the remaining weight is below 1e-30.
- Kou: Lewis' inversion along Re w = 1/2 (inside the strip -eta2 < Re w < eta1 of both
  models), by Gauss-Legendre quadrature in mpmath on pieces of a few oscillations up to
  where the integrand is below 1e-30; the call follows from the residue at w = 1, the put
  from parity, both at 35 digits.
- Greeks and parameter sensitivities: central finite differences of those references
  (fourth order, relative step 1e-4 .. 1e-3), at a working precision where rounding stays
  far below the truncation error.

The stress grid samples sigma 0.05-0.8, lam 0 and 0.01-1000, p 0-1, eta1 1.5-200,
eta2 0.5-200, m -1-0.5, s 0.01-1, T one day to 30 years, K/S 0.25-4, q 0-0.1,
r -0.01-0.1, calls and puts, from a fixed seed, plus the corners of those ranges.
Rows marked "default" are checked by the default test run, the others by the slow one.
"""

import argparse
import csv
import itertools
import math
import multiprocessing
import random
import sys
from pathlib import Path

import mpmath as mp

HERE = Path(__file__).resolve().parent
DPS = 35

KOU_FIELDS = ["sigma", "lam", "p", "eta1", "eta2"]
MERTON_FIELDS = ["sigma", "lam", "m", "s"]
MARKET_FIELDS = ["S", "K", "T", "r", "q", "kind"]
GREEKS = ["price", "delta", "gamma", "vega", "theta", "rho", "epsilon", "vanna", "charm", "speed", "colour",
          "zomma", "vomma"]


# ---------------------------------------------------------------- Black-Scholes, Merton

def bs_price(S, K, T, r, q, sigma, call):
    S, K, T, r, q, sigma = map(mp.mpf, (S, K, T, r, q, sigma))
    sd = sigma * mp.sqrt(T)
    d1 = (mp.log(S / K) + (r - q + sigma * sigma / 2) * T) / sd
    d2 = d1 - sd
    if call:
        return S * mp.exp(-q * T) * mp.ncdf(d1) - K * mp.exp(-r * T) * mp.ncdf(d2)
    return K * mp.exp(-r * T) * mp.ncdf(-d2) - S * mp.exp(-q * T) * mp.ncdf(-d1)


def merton_price(S, K, T, r, q, call, sigma, lam, m, s):
    """Sum over the number of jumps n of Black-Scholes terms given n jumps:

        call = sum_n P'(n) S e^{-qT} N(d1_n) - P(n) K e^{-rT} N(d2_n),

    P(n) the Poisson(lam T) weights, P'(n) the Poisson(lam (1 + kappa) T) ones (the share
    leg is weighted by the jumps' growth), d_n with variance sigma^2 T + n s^2 and drift
    (r - q - lam kappa) T + n (m + s^2/2). The two legs peak at different n, so the
    sum covers both peaks; each weight is formed in log space."""
    S, K, T, r, q, sigma, lam, m, s = map(mp.mpf, (S, K, T, r, q, sigma, lam, m, s))
    if lam == 0:
        return bs_price(S, K, T, r, q, sigma, call)
    log_jump = m + s * s / 2
    kappa = mp.expm1(log_jump)
    means = (lam * T, lam * (1 + kappa) * T)
    # Beyond 13 standard deviations plus 60 a Poisson weight is below e^-80 of the total.
    lo = max(0, int(min(means) - 13 * mp.sqrt(min(means)) - 60))
    hi = int(max(means) + 13 * mp.sqrt(max(means)) + 60)
    spot, strike = S * mp.exp(-q * T), K * mp.exp(-r * T)
    sign = 1 if call else -1
    total = mp.mpf(0)
    for n in range(lo, hi + 1):
        log_w = -means[0] + n * mp.log(means[0]) - mp.loggamma(n + 1)
        log_w_share = -means[1] + n * mp.log(means[1]) - mp.loggamma(n + 1)
        if max(log_w, log_w_share) < -85:
            continue
        sd = mp.sqrt(sigma * sigma * T + n * s * s)
        d1 = (mp.log(S / K) + (r - q - lam * kappa) * T + n * log_jump + sd * sd / 2) / sd
        d2 = d1 - sd
        total += sign * (mp.exp(log_w_share) * spot * mp.ncdf(sign * d1) - mp.exp(log_w) * strike * mp.ncdf(sign * d2))
    return total


# ---------------------------------------------------------------- Kou by Lewis' inversion

def kou_exponent(w, sigma, lam, p, eta1, eta2):
    """ln E[exp(w X_1)] with X = ln(S_T / F): plain sum of diffusion, compensator and jumps."""
    phi = p * eta1 / (eta1 - w) + (1 - p) * eta2 / (eta2 + w)
    zeta = p * eta1 / (eta1 - 1) + (1 - p) * eta2 / (eta2 + 1) - 1
    return sigma * sigma * (w * w - w) / 2 + lam * (phi - 1) - lam * zeta * w


def merton_exponent(w, sigma, lam, m, s):
    zeta = mp.exp(m + s * s / 2) - 1
    return sigma * sigma * (w * w - w) / 2 + lam * (mp.exp(m * w + s * s * w * w / 2) - 1) - lam * zeta * w


def lewis_price(S, K, T, r, q, call, exponent):
    """c = 1 + (1/pi) int_0^inf Re[exp(T kappa(w) + (1 - w) k) / (w (w - 1))] du, w = 1/2 + iu,
    is the call in units of S e^{-qT}; k = ln(K / F)."""
    S, K, T, r, q = map(mp.mpf, (S, K, T, r, q))
    k = mp.log(K / S) - (r - q) * T
    half = mp.mpf(1) / 2

    def integrand(u):
        w = mp.mpc(half, u)
        return (mp.exp(T * exponent(w) + (1 - w) * k) / (w * (w - 1))).real

    def log_slope(u):  # d/du of the integrand's phase, for the oscillation rate
        w = mp.mpc(half, u)
        h = mp.mpf("1e-12")
        dk = (exponent(w + h) - exponent(w - h)) / (2 * h)
        return abs((T * dk - k - 1 / w - 1 / (w - 1)).real)

    # Upper end: where |integrand| * u is below 1e-30 on a doubling scan (the modulus
    # decays monotonically once the diffusion's Gaussian factor dominates).
    upper = mp.mpf(1)
    rate = log_slope(0) + 1
    while True:
        size = abs(mp.exp(T * exponent(mp.mpc(half, upper)) + (1 - mp.mpc(half, upper)) * k)) / upper
        rate = max(rate, log_slope(upper) + 1)
        if size < mp.mpf("1e-30") and upper > 4:
            break
        upper *= 2
    # Pieces of about two oscillations: Gauss-Legendre raises its degree until converged.
    piece = min(4 * mp.pi / rate, upper / 8)
    pieces = int(mp.ceil(upper / piece))
    points = [upper * j / pieces for j in range(pieces + 1)]
    value = mp.quad(integrand, points, method="gauss-legendre")
    call_value = S * mp.exp(-q * T) * (1 + value / mp.pi)
    if call:
        return call_value
    return call_value - S * mp.exp(-q * T) + K * mp.exp(-r * T)


def kou_price(S, K, T, r, q, call, sigma, lam, p, eta1, eta2):
    params = [mp.mpf(x) for x in (sigma, lam, p, eta1, eta2)]
    return lewis_price(S, K, T, r, q, call, lambda w: kou_exponent(w, *params))


# ---------------------------------------------------------------- finite differences

def derivative(f, x, order, rel_step):
    """Fourth-order central difference of f at x (order 1, 2 or 3)."""
    x = mp.mpf(x)
    h = rel_step * max(abs(x), mp.mpf("0.01"))
    if order == 1:
        return (f(x - 2 * h) - 8 * f(x - h) + 8 * f(x + h) - f(x + 2 * h)) / (12 * h)
    if order == 2:
        return (-f(x - 2 * h) + 16 * f(x - h) - 30 * f(x) + 16 * f(x + h) - f(x + 2 * h)) / (12 * h * h)
    if order == 3:
        return (f(x - 3 * h) - 8 * f(x - 2 * h) + 13 * f(x - h) - 13 * f(x + h) + 8 * f(x + 2 * h)
                - f(x + 3 * h)) / (8 * h ** 3)
    raise ValueError(order)


def greeks_by_differences(pricer, market, params, names, step):
    """The 13 Greeks and d price / d parameter for every model parameter."""
    S, K, T, r, q, call = market

    def V(S=S, T=T, r=r, q=q, **changes):
        p = dict(params)
        p.update(changes)
        return pricer(S, K, T, r, q, call, **p)

    sigma = params["sigma"]
    d_S = lambda order, **kw: derivative(lambda s: V(S=s, **kw), S, order, step)
    d_sigma = lambda g: derivative(lambda v: g(v), sigma, 1, step)
    out = {"price": V()}
    out["delta"] = d_S(1)
    out["gamma"] = d_S(2)
    out["speed"] = d_S(3)
    out["vega"] = derivative(lambda v: V(sigma=v), sigma, 1, step)
    out["vomma"] = derivative(lambda v: V(sigma=v), sigma, 2, step)
    out["theta"] = -derivative(lambda t: V(T=t), T, 1, step)
    out["rho"] = derivative(lambda x: V(r=x), r, 1, step)
    out["epsilon"] = derivative(lambda x: V(q=x), q, 1, step)
    out["vanna"] = d_sigma(lambda v: d_S(1, sigma=v))
    out["zomma"] = d_sigma(lambda v: d_S(2, sigma=v))
    out["charm"] = -derivative(lambda t: d_S(1, T=t), T, 1, step)
    out["colour"] = -derivative(lambda t: d_S(2, T=t), T, 1, step)
    for name in names:
        out["d_" + name] = derivative(lambda v: V(**{name: v}), params[name], 1, step)
    return out


# ---------------------------------------------------------------- the grid

def log_uniform(rng, lo, hi):
    return math.exp(rng.uniform(math.log(lo), math.log(hi)))


def market_sample(rng):
    S = 100.0
    return dict(S=S, K=round(S * log_uniform(rng, 0.25, 4.0), 6), T=log_uniform(rng, 1 / 365, 30.0),
                r=rng.uniform(-0.01, 0.1), q=rng.uniform(0.0, 0.1), kind=rng.choice(["call", "put"]))


def jump_rate(rng):
    return 0.0 if rng.random() < 0.08 else log_uniform(rng, 0.01, 1000.0)


def kou_sample(rng):
    return dict(sigma=log_uniform(rng, 0.05, 0.8), lam=jump_rate(rng), p=rng.uniform(0.0, 1.0),
                eta1=log_uniform(rng, 1.5, 200.0), eta2=log_uniform(rng, 0.5, 200.0))


def merton_sample(rng):
    return dict(sigma=log_uniform(rng, 0.05, 0.8), lam=jump_rate(rng), m=rng.uniform(-1.0, 0.5),
                s=log_uniform(rng, 0.01, 1.0))


def corners(model):
    """Every combination of the extreme values, thinned to a fixed pseudo-random subset."""
    extremes = dict(sigma=(0.05, 0.8), lam=(0.0, 1000.0), T=(1 / 365, 30.0), K=(25.0, 400.0), kind=("call", "put"))
    if model == "kou":
        extremes.update(p=(0.0, 1.0), eta1=(1.5, 200.0), eta2=(0.5, 200.0))
    else:
        extremes.update(m=(-1.0, 0.5), s=(0.01, 1.0))
    names = list(extremes)
    rows = []
    for values in itertools.product(*(extremes[n] for n in names)):
        row = dict(zip(names, values))
        row.update(S=100.0, r=0.05, q=0.1)
        rows.append(row)
    return rows


def cases(model, count, seed):
    rng = random.Random(seed)
    sample = kou_sample if model == "kou" else merton_sample
    rows = []
    for _ in range(count):
        row = sample(rng)
        row.update(market_sample(rng))
        rows.append(row)
    # Corner combinations: a thinned subset keeps the run time bounded.
    corner_rows = corners(model)
    rng.shuffle(corner_rows)
    return rows, corner_rows


def price_row(args):
    model, row = args
    with mp.workdps(DPS):
        market = (row["S"], row["K"], row["T"], row["r"], row["q"], row["kind"] == "call")
        if model == "kou":
            value = kou_price(*market, *(row[n] for n in KOU_FIELDS))
        else:
            value = merton_price(*market, *(row[n] for n in MERTON_FIELDS))
        return mp.nstr(value, 25, strip_zeros=False)


def greek_row(args):
    model, row = args
    fields = KOU_FIELDS if model == "kou" else MERTON_FIELDS
    pricer = kou_price if model == "kou" else merton_price
    with mp.workdps(DPS + 10 if model == "merton" else DPS):
        market = (row["S"], row["K"], row["T"], row["r"], row["q"], row["kind"] == "call")
        params = {n: mp.mpf(row[n]) for n in fields}
        step = mp.mpf("1e-5") if model == "merton" else mp.mpf("1e-3")
        out = greeks_by_differences(pricer, market, params, fields, step)
        return {k: mp.nstr(v, 20, strip_zeros=False) for k, v in out.items()}


def write_as_computed(path, rows, fields, extra, values):
    """Writes each row as soon as its values arrive (in order), so that an interrupted run
    leaves its finished rows behind."""
    with open(path, "w", newline="") as handle:
        writer = csv.writer(handle)
        writer.writerow(fields + extra)
        count = 0
        for row, value in zip(rows, values):
            row.update(value)
            writer.writerow([row[f] if isinstance(row[f], str) else repr(float(row[f])) for f in fields]
                            + [row[e] for e in extra])
            handle.flush()
            count += 1
    print(f"wrote {count} rows to {path}", file=sys.stderr)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--what", choices=["prices", "greeks", "all"], default="all")
    parser.add_argument("--model", choices=["kou", "merton", "both"], default="both")
    parser.add_argument("--random", type=int, default=None, help="random grid points per model (Kou 240, Merton 600)")
    parser.add_argument("--corners", type=int, default=None, help="corner combinations per model (Kou 32, Merton 96)")
    parser.add_argument("--greek-cases", type=int, default=None, help="Greek cases per model (Kou 10, Merton 30)")
    parser.add_argument("--default-share", type=int, default=4, help="every n-th row is in the default run")
    parser.add_argument("--processes", type=int, default=2)
    args = parser.parse_args()
    models = ["merton", "kou"] if args.model == "both" else [args.model]
    with multiprocessing.Pool(args.processes) as pool:
        for model in models:
            fields = (KOU_FIELDS if model == "kou" else MERTON_FIELDS) + MARKET_FIELDS
            seed = 20261208 if model == "kou" else 20261209
            count = args.random if args.random is not None else (240 if model == "kou" else 600)
            corner_count = args.corners if args.corners is not None else (32 if model == "kou" else 96)
            rows, corner_rows = cases(model, count, seed)
            if args.what in ("prices", "all"):
                price_rows = rows + corner_rows[:corner_count]
                for i, row in enumerate(price_rows):
                    row["run"] = "default" if i % args.default_share == 0 else "slow"
                values = pool.imap(price_row, [(model, r) for r in price_rows], chunksize=1)
                write_as_computed(HERE / f"{model}_prices.csv", price_rows, fields, ["price", "run"],
                                  ({"price": v} for v in values))
            if args.what in ("greeks", "all"):
                # A separate, smaller sample; greeks of the short-dated, far-from-the-money
                # corners are below the absolute floor anyway.
                greek_count = args.greek_cases if args.greek_cases is not None else (10 if model == "kou" else 30)
                greek_rows, _ = cases(model, greek_count, seed + 100)
                for row in greek_rows:
                    # Each Greek case costs ~45 reference prices: keep the series short
                    # (lam <= 50) and the Kou quadrature moderate (T >= 0.05). lam >= 0.01
                    # keeps the central differences in lam inside lam >= 0.
                    row["lam"] = min(max(row["lam"], 0.01), 50.0)
                    if model == "kou":
                        row["T"] = max(row["T"], 0.05)
                names = GREEKS + ["d_" + n for n in (KOU_FIELDS if model == "kou" else MERTON_FIELDS)]
                values = pool.imap(greek_row, [(model, r) for r in greek_rows], chunksize=1)
                write_as_computed(HERE / f"{model}_greeks.csv", greek_rows, fields, names, values)


if __name__ == "__main__":
    main()
