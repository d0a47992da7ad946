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
  (fourth order; steps 1e-5 (Merton) or 1e-3 (Kou) of each variable's scale, S sigma sqrt(T)
  for S), at a working precision where rounding stays far below the truncation error.
  `--check-steps 0.5` recomputes the stored Greeks with half the steps: the change is
  nearly all of the stored values' truncation error plus the rounding that the smaller
  steps amplify, and should stay well inside the tests' allowance.

The stress grid samples sigma 0.05-0.8, lam 0 and 0.01-1000, p 0-1, eta1 1.5-200,
eta2 0.5-200, m -1-0.5, s 0.01-1, T one day to 30 years, K/S 0.25-4, q 0-0.1,
r -0.01-0.1, calls and puts, from a fixed seed, plus the corners of those ranges.
The Greeks have a smaller sample of their own (a case costs ~75 prices), with Merton's
lam T at most 1e4 and Kou's sigma sqrt(T) at least 0.01 (lam and T lowered or raised).
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
# Bounds that keep one Greek case (~75 reference prices) near a minute or less: Merton's
# lam T (its series' length), Kou's diffusion spread sigma sqrt(T) (its quadrature's).
MERTON_GREEK_LAM_T = 10000.0
KOU_GREEK_SPREAD = 0.01

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

def derivative(f, x, order, h):
    """Fourth-order central difference of f at x with step h (order 1, 2 or 3)."""
    if order == 1:
        return (f(x - 2 * h) - 8 * f(x - h) + 8 * f(x + h) - f(x + 2 * h)) / (12 * h)
    if order == 2:
        return (-f(x - 2 * h) + 16 * f(x - h) - 30 * f(x) + 16 * f(x + h) - f(x + 2 * h)) / (12 * h * h)
    if order == 3:
        return (f(x - 3 * h) - 8 * f(x - 2 * h) + 13 * f(x - h) - 13 * f(x + h) + 8 * f(x + 2 * h)
                - f(x + 3 * h)) / (8 * h ** 3)
    raise ValueError(order)


def steps(S, T, r, q, params, rel_step, spread=None):
    """Absolute steps, each a fixed fraction of the scale on which the price varies in that
    variable: in S the spread of ln S_T times S (by default the diffusion's sigma sqrt(T):
    a short-dated price bends within it around the strike), in T the maturity itself, in p
    1 / (lam T), elsewhere the value (at least 0.01).
    They are fixed from the row's own values, so that the inner differences of a mixed
    derivative use the same step at every outer point."""
    h = {name: rel_step * max(abs(value), mp.mpf("0.01")) for name, value in params.items()}
    if "p" in params:
        # p moves the exponent by lam T times the difference of the two tails' transforms,
        # not in proportion to p itself: with lam T = 40 and eta2 = 0.5, a step of 1e-3
        # left d_p 3e-7 (relative) short.
        h["p"] = rel_step / max(1, params["lam"] * T)
    if spread is None:
        spread = params["sigma"] * mp.sqrt(T)
    h.update(S=rel_step * S * min(1, spread), T=rel_step * T,
             r=rel_step * max(abs(r), mp.mpf("0.01")), q=rel_step * max(abs(q), mp.mpf("0.01")))
    return h


def greeks_by_differences(pricer, market, params, names, rel_step, step_sizes=steps, vol=None):
    """The 13 Greeks and d price / d parameter for every model parameter; step_sizes gives
    the absolute step of each variable (see steps). vol = (step name, value, changes): vega,
    vanna, zomma and vomma are derivatives in that volatility, moved to v by the parameter
    changes changes(v); by default sigma itself."""
    S, K, T, r, q = map(mp.mpf, market[:5])
    call = market[5]
    h = step_sizes(S, T, r, q, params, rel_step)
    memo = {}

    def V(S=S, T=T, r=r, q=q, **changes):
        # The stencils share many points (the centre, the S points of delta, gamma and
        # speed, vega and d_sigma): each distinct price is computed once.
        p = dict(params)
        p.update(changes)
        key = (S, T, r, q) + tuple(sorted(p.items()))
        if key not in memo:
            memo[key] = pricer(S, K, T, r, q, call, **p)
        return memo[key]

    vol_step, vol_value, vol_changes = vol or ("sigma", params["sigma"], lambda v: {"sigma": v})
    d_S = lambda order, **kw: derivative(lambda s: V(S=s, **kw), S, order, h["S"])
    d_sigma = lambda g, order=1: derivative(g, vol_value, order, h[vol_step])
    d_T = lambda g: -derivative(g, T, 1, h["T"])
    out = {"price": V()}
    out["delta"] = d_S(1)
    out["gamma"] = d_S(2)
    out["speed"] = d_S(3)
    out["vega"] = d_sigma(lambda v: V(**vol_changes(v)))
    out["vomma"] = d_sigma(lambda v: V(**vol_changes(v)), 2)
    out["theta"] = d_T(lambda t: V(T=t))
    out["rho"] = derivative(lambda x: V(r=x), r, 1, h["r"])
    out["epsilon"] = derivative(lambda x: V(q=x), q, 1, h["q"])
    out["vanna"] = d_sigma(lambda v: d_S(1, **vol_changes(v)))
    out["zomma"] = d_sigma(lambda v: d_S(2, **vol_changes(v)))
    out["charm"] = d_T(lambda t: d_S(1, T=t))
    out["colour"] = d_T(lambda t: d_S(2, T=t))
    for name in names:
        out["d_" + name] = derivative(lambda v: V(**{name: v}), params[name], 1, h[name])
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
    rows = extreme_combinations(extremes)
    for row in rows:
        row.update(S=100.0, r=0.05, q=0.1)
    return rows


def extreme_combinations(extremes):
    """Every combination of the values listed per name, as dicts."""
    names = list(extremes)
    return [dict(zip(names, values)) for values in itertools.product(*(extremes[n] for n in names))]


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
    """The Greeks of one row; step_factor scales the finite-difference steps (1 for the
    stored references; another value checks them)."""
    model, row, step_factor = args
    fields = KOU_FIELDS if model == "kou" else MERTON_FIELDS
    pricer = kou_price if model == "kou" else merton_price
    # Merton's series is cheap to carry at 45 digits, which leaves room for steps of 1e-5;
    # Kou's quadrature stays at 35 with steps of 1e-3. Either way the rounding that the
    # third differences amplify (digits / step^3) stays far below the truncation error.
    with mp.workdps(DPS + 10 if model == "merton" else DPS):
        market = (row["S"], row["K"], row["T"], row["r"], row["q"], row["kind"] == "call")
        params = {n: mp.mpf(row[n]) for n in fields}
        step = (mp.mpf("1e-5") if model == "merton" else mp.mpf("1e-3")) * step_factor
        out = greeks_by_differences(pricer, market, params, fields, step)
        return {k: mp.nstr(v, 20, strip_zeros=False) for k, v in out.items()}


def greek_cases(model, count, corner_count, seed):
    """The Greeks' own sample: random grid points, then corners, each moved to where one
    case costs at most about a minute (a case takes ~75 distinct reference prices)."""
    rows, corner_rows = cases(model, count, seed)
    rows = rows + corner_rows[:corner_count]
    for row in rows:
        # lam >= 0.01 keeps the differences in lam inside lam >= 0.
        row["lam"] = max(row["lam"], 0.01)
        if model == "merton":
            # The series has ~lam T (1 + kappa) + 26 sqrt(lam T) terms.
            row["lam"] = min(row["lam"], MERTON_GREEK_LAM_T / row["T"])
        else:
            # Lewis' integrand decays like exp(-sigma^2 T u^2 / 2): the quadrature's length
            # grows like 1 / (sigma sqrt(T)).
            row["T"] = max(row["T"], (KOU_GREEK_SPREAD / row["sigma"]) ** 2)
    return rows


def check_steps(model, factor, rows_slice, processes):
    """Recomputes the stored Greek rows of a slice with the steps times factor and prints the
    largest change of each, in units of the tests' allowance max(1e-10 S, 1e-7 |value|).
    Halving fourth-order steps removes 15/16 of the truncation error and multiplies the
    rounding by at most 8 (third differences): a change well below 1 means both are."""
    with open(HERE / f"{model}_greeks.csv", newline="") as handle:
        rows = list(csv.DictReader(handle))[rows_slice]
    fields = KOU_FIELDS if model == "kou" else MERTON_FIELDS
    for row in rows:
        for name in fields + MARKET_FIELDS[:-1]:
            row[name] = float(row[name])
    with multiprocessing.Pool(processes) as pool:
        report_step_changes(model, rows, pool.imap(greek_row, [(model, r, factor) for r in rows], chunksize=1),
                            lambda row: f"lam={row['lam']:.4g} T={row['T']:.4g} K={row['K']}")


def report_step_changes(model, rows, recomputed, describe):
    """Prints, for each stored row and its recomputation, the largest change in units of
    the tests' allowance max(1e-10 S, 1e-7 |value|), then the largest of all."""
    worst = 0.0
    for row, other in zip(rows, recomputed):
        changes = {k: abs(float(other[k]) - float(row[k])) / max(1e-10 * row["S"], 1e-7 * abs(float(row[k])))
                   for k in other}
        name = max(changes, key=changes.get)
        worst = max(worst, changes[name])
        print(f"{changes[name]:.3g} {name} {describe(row)}", flush=True)
    print(f"{model}: {len(rows)} rows, largest change {worst:.3g} of the allowance", file=sys.stderr)


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
    parser.add_argument("--greek-cases", type=int, default=None, help="random Greek cases per model (Kou 48, Merton 110)")
    parser.add_argument("--greek-corners", type=int, default=None, help="Greek corner cases per model (Kou 4, Merton 10)")
    parser.add_argument("--default-share", type=int, default=4, help="every n-th row is in the default run")
    parser.add_argument("--check-steps", type=float, default=None, metavar="FACTOR",
                        help="write nothing; recompute the stored Greeks with the steps times FACTOR and compare")
    parser.add_argument("--check-rows", type=lambda text: slice(*(int(x) if x else None for x in text.split(":"))),
                        default=slice(None), metavar="START:STOP:STEP", help="with --check-steps, these stored rows")
    parser.add_argument("--processes", type=int, default=2)
    args = parser.parse_args()
    models = ["merton", "kou"] if args.model == "both" else [args.model]
    if args.check_steps is not None:
        for model in models:
            check_steps(model, args.check_steps, args.check_rows, args.processes)
        return
    with multiprocessing.Pool(args.processes) as pool:
        for model in models:
            fields = (KOU_FIELDS if model == "kou" else MERTON_FIELDS) + MARKET_FIELDS
            seed = 20261208 if model == "kou" else 20261209
            count = args.random if args.random is not None else (240 if model == "kou" else 600)
            corner_count = args.corners if args.corners is not None else (32 if model == "kou" else 96)
            if args.what in ("prices", "all"):
                rows, corner_rows = cases(model, count, seed)
                price_rows = rows + corner_rows[:corner_count]
                mark_runs(price_rows, args.default_share)
                values = pool.imap(price_row, [(model, r) for r in price_rows], chunksize=1)
                write_as_computed(HERE / f"{model}_prices.csv", price_rows, fields, ["price", "run"],
                                  ({"price": v} for v in values))
            if args.what in ("greeks", "all"):
                greek_count = args.greek_cases if args.greek_cases is not None else (48 if model == "kou" else 110)
                greek_corners = args.greek_corners if args.greek_corners is not None else (4 if model == "kou" else 10)
                greek_rows = greek_cases(model, greek_count, greek_corners, seed + 100)
                mark_runs(greek_rows, args.default_share)
                names = GREEKS + ["d_" + n for n in (KOU_FIELDS if model == "kou" else MERTON_FIELDS)]
                values = pool.imap(greek_row, [(model, r, 1) for r in greek_rows], chunksize=1)
                write_as_computed(HERE / f"{model}_greeks.csv", greek_rows, fields, names + ["run"], values)


def mark_runs(rows, default_share):
    for i, row in enumerate(rows):
        row["run"] = "default" if i % default_share == 0 else "slow"


if __name__ == "__main__":
    main()
