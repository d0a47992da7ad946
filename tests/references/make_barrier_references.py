"""Barrier option references under Black-Scholes, Kou and Merton.

    python tests/references/make_barrier_references.py [--paths 2000000]
    python tests/references/make_barrier_references.py --continuous-jumps-only

writes barrier_prices.csv beside itself (nice'd, in the background); the second form
recomputes only the continuously monitored Kou and Merton rows from their deterministic
methods (about 10 minutes on two cores), keeping their stored Monte Carlo estimates and
every other row. Nothing here uses tarnwick. Eight kinds: down/up, in/out, call/put; a
cash rebate R paid at expiry by a knock-in that never knocked in and at the hit by a
knock-out.

- Black-Scholes, continuous monitoring: the closed forms (Merton 1973, Reiner and
  Rubinstein 1991, with the rebate terms) in mpmath at 40 digits ("closed"), checked
  against the Monte Carlo below on the three regular markets (price2; the run prints the
  largest deviation in standard errors: 3.2 in the stored file) and, by the tests,
  against in + out = vanilla. The textbook combinations multiply Phi(y) ~ 1 - tiny by
  (H/S)^(2 mu), so the digits they need grow with |2 mu ln(H/S)| / ln 10; every stored
  row keeps that below 5 (sigma 0.02 with H/S = 1.03 is the largest), far inside the 40.
  (With sigma 1e-8 over 30 seconds it is about 10^6 digits, and these forms are no
  reference at all.)
- Kou, continuous monitoring: Kou and Wang's first-passage transforms inverted in the
  maturity (kou_laplace.py; "laplace", Talbot's contour at 30 digits, De Hoog's inversion
  agreeing to 1e-30), and the PIDE below as the second method (price3, "pide"); they
  agree within 3e-11 K on every row of the stored file, and the Laplace inversion at
  lam = 1e-14 gives the Black-Scholes closed forms to 2e-14. `error` is the larger of that
  spread and each method's own estimate. The Monte Carlo estimate stays in price2 (within
  3.2 standard errors of the Laplace values).
- Merton, continuous monitoring: the PIDE ("pide", `error` its extrapolation estimate,
  4e-11 K at most), the Monte Carlo in price2 (within 2.3 standard errors). There is no
  second deterministic method for Merton here.
- PIDE (continuous monitoring, make_american_references.py's solver): ln S on a uniform
  grid with the barrier an end of it and the spot on a node, Dirichlet values at the
  barrier (the knock-out's rebate) and beyond it for the jumps, the payoff averaged over
  each cell (the strike falls between nodes), Richardson extrapolation over three nested
  grids (dx, steps) = (0.004, 100) / 2^i in dx^2 then dx^4. A knock-in is the European
  price less the knock-out that pays payoff - R at expiry.
- Discrete monitoring (M equally spaced dates m T / M, m = 1..M; daily is M = 252 T,
  weekly 52 T): COS backward induction over the monitoring dates (levy_cos.py), exact in
  time, its truncation error estimated by doubling the terms and widening the range (the
  error column; 1e-10 or less); and the Monte Carlo on the same dates as the second method
  (largest deviation 2.5 standard errors in the stored file). Only the Monte Carlo checks
  COS here, to its standard errors (up to 1e-4 S); no second deterministic method.

Monte Carlo: the log price is simulated exactly at the jump times and on a fixed time
grid; between them it is a Brownian motion with drift, whose probability of crossing the
barrier given both ends is exp(-2 (x0 - h)(x1 - h) / (sigma^2 dt)). A path carries the
product of those survival probabilities (zero once a jump lands beyond the barrier), so
the estimator of a knock-out is e^{-rT} payoff(S_T) * survival(T) with no bias. The rebate
at the hit, R E[e^{-r tau}; tau <= T], is R (e^{-rT} P(tau <= T) + r int_0^T e^{-rt}
P(tau <= t) dt), the integral by 24-point Gauss-Legendre on nodes that are grid points of
every path, so each P(tau <= t_g) is estimated without bias too.

Columns: model, sigma, lam, p, eta1, eta2, m, s, S, K, H, T, r, q, kind
("down-in-call", ...), rebate, monitoring (0 = continuous, else the number of dates M),
price, method, error (the reference's error estimate: a standard error for "mc"), price2,
method2, error2 (a second method where there is one), vanilla (the European price of
the same call or put, Black-Scholes closed form or COS), price3, method3, error3 (the
third method: the PIDE of the continuously monitored Kou rows).
"""

import argparse
import csv
import math
import multiprocessing
import sys
from pathlib import Path

import mpmath as mp
import numpy as np

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

from kou_laplace import kou_barrier  # noqa: E402
from levy_cos import Cos, cumulants, drift, increment_cf  # noqa: E402
from make_american_references import fd_grid, fd_solve, richardson  # noqa: E402

mp.mp.dps = 40
PARAMETERS = ["sigma", "lam", "p", "eta1", "eta2", "m", "s"]
COLUMNS = ["model"] + PARAMETERS + ["S", "K", "H", "T", "r", "q", "kind", "rebate", "monitoring", "price", "method",
                                    "error", "price2", "method2", "error2", "vanilla", "price3", "method3", "error3"]
KINDS = [f"{direction}-{knock}-{payoff}" for direction in ("down", "up") for knock in ("in", "out")
         for payoff in ("call", "put")]


# ------------------------------------------------------------------ Black-Scholes closed forms

def _ncdf(z):
    # erfc takes the complex arguments that the rebate's lambda has when r < 0.
    return mp.erfc(-z / mp.sqrt(2)) / 2


def bs_vanilla(S, K, T, r, q, sigma, call):
    S, K, T, r, q, sigma = map(mp.mpf, (S, K, T, r, q, sigma))
    s = sigma * mp.sqrt(T)
    d1 = (mp.log(S / K) + (r - q) * T) / s + s / 2
    phi = 1 if call else -1
    return phi * (S * mp.exp(-q * T) * _ncdf(phi * d1) - K * mp.exp(-r * T) * _ncdf(phi * (d1 - s)))


def bs_barrier(S, K, H, T, r, q, sigma, kind, rebate):
    """Continuously monitored barrier option (Reiner and Rubinstein's A..F terms)."""
    direction, knock, payoff = kind.split("-")
    call = payoff == "call"
    S, K, H, T, r, q, sigma, R = map(mp.mpf, (S, K, H, T, r, q, sigma, rebate))
    down = direction == "down"
    if (S <= H) if down else (S >= H):  # already at or beyond the barrier
        return bs_vanilla(S, K, T, r, q, sigma, call) if knock == "in" else R
    b = r - q
    s = sigma * mp.sqrt(T)
    mu = (b - sigma ** 2 / 2) / sigma ** 2
    lam = mp.sqrt(mu ** 2 + 2 * r / sigma ** 2 + 0j)
    eta = 1 if down else -1
    phi = 1 if call else -1
    x1 = mp.log(S / K) / s + (1 + mu) * s
    x2 = mp.log(S / H) / s + (1 + mu) * s
    y1 = mp.log(H ** 2 / (S * K)) / s + (1 + mu) * s
    y2 = mp.log(H / S) / s + (1 + mu) * s
    z = mp.log(H / S) / s + lam * s
    fwd, disc = S * mp.exp(-q * T), K * mp.exp(-r * T)
    ratio = H / S
    A = phi * fwd * _ncdf(phi * x1) - phi * disc * _ncdf(phi * x1 - phi * s)
    B = phi * fwd * _ncdf(phi * x2) - phi * disc * _ncdf(phi * x2 - phi * s)
    C = (phi * fwd * ratio ** (2 * (mu + 1)) * _ncdf(eta * y1)
         - phi * disc * ratio ** (2 * mu) * _ncdf(eta * y1 - eta * s))
    D = (phi * fwd * ratio ** (2 * (mu + 1)) * _ncdf(eta * y2)
         - phi * disc * ratio ** (2 * mu) * _ncdf(eta * y2 - eta * s))
    E = R * mp.exp(-r * T) * (_ncdf(eta * x2 - eta * s) - ratio ** (2 * mu) * _ncdf(eta * y2 - eta * s))
    F = R * (ratio ** (mu + lam) * _ncdf(eta * z) + ratio ** (mu - lam) * _ncdf(eta * z - 2 * eta * lam * s))
    above = K > H
    table = {
        "down-in-call": C + E if above else A - B + D + E,
        "up-in-call": A + E if above else B - C + D + E,
        "down-in-put": B - C + D + E if above else A + E,
        "up-in-put": A - B + D + E if above else C + E,
        "down-out-call": A - C + F if above else B - D + F,
        "up-out-call": F if above else A - B + C - D + F,
        "down-out-put": A - B + C - D + F if above else F,
        "up-out-put": B - D + F if above else A - C + F,
    }
    return mp.re(table[kind])


def bs_no_hit_discounted(S, H, T, r, q, sigma):
    """e^{-rT} P(barrier not reached by T): the value of R paid at expiry if never hit."""
    return bs_barrier(S, 1, H, T, r, q, sigma, ("down" if S > H else "up") + "-in-call", 1) - \
        bs_barrier(S, 1, H, T, r, q, sigma, ("down" if S > H else "up") + "-in-call", 0)


def bs_hit_discounted(S, H, T, r, q, sigma):
    """E[e^{-r tau}; tau <= T]: the value of 1 paid at the hit."""
    kind = ("down" if S > H else "up") + "-out-call"
    return bs_barrier(S, 1, H, T, r, q, sigma, kind, 1) - bs_barrier(S, 1, H, T, r, q, sigma, kind, 0)


# ------------------------------------------------------------------ COS, discrete monitoring

def cos_discrete(model, S, K, H, T, r, q, kind, rebate, M, N, width=12.0):
    """Discretely monitored barrier option by backward induction over the M dates.

    Out: at each date the value is the rebate where the barrier is breached, else the
    discounted expectation of the next date's value. In: vanilla - out(payoff - R) with no
    rebate, the never-knocked-in rebate folded into the terminal value."""
    direction, knock, payoff = kind.split("-")
    call = payoff == "call"
    c1, c2, c4 = cumulants(model, T, r, q)
    x0, h = math.log(S / K), math.log(H / K)
    half = width * math.sqrt(c2 + math.sqrt(c4))
    a = min(x0 + c1 - half, h - 0.1, -0.1)
    b = max(x0 + c1 + half, h + 0.1, 0.1)
    cos = Cos(a, b, N)
    alive = (h, b) if direction == "down" else (a, h)
    dead = (a, h) if direction == "down" else (h, b)
    money = (0.0, b) if call else (a, 0.0)
    lo, hi = max(alive[0], money[0]), min(alive[1], money[1])
    phi = increment_cf(model, cos.u, T / M, r, q)
    discount = math.exp(-r * T / M)
    out_rebate = rebate if knock == "out" else 0.0
    V = cos.payoff(lo, hi, call, K) + cos.constant(*dead, out_rebate)
    if knock == "in":
        V = V - cos.constant(*alive, rebate)
    for _ in range(M - 1):
        V = discount * cos.restricted(phi * V, *alive) + cos.constant(*dead, out_rebate)
    value = discount * cos.expectation(phi * V, x0)[0]
    if knock == "out":
        return value
    return cos_vanilla(cos, model, x0, K, T, r, q, call) - value


def cos_vanilla(cos, model, x0, K, T, r, q, call):
    phi = increment_cf(model, cos.u, T, r, q)
    V = cos.payoff(0.0, cos.b, True, K) if call else cos.payoff(cos.a, 0.0, False, K)
    return math.exp(-r * T) * cos.expectation(phi * V, x0)[0]


def cos_discrete_converged(model, S, K, H, T, r, q, kind, rebate, M):
    """The COS value at N and 2N terms and a wider range: the value and the change."""
    dt = T / M
    c1, c2, c4 = cumulants(model, T, r, q)
    span = 24.0 * math.sqrt(c2 + math.sqrt(c4)) + 1.0
    N = max(512, 1 << math.ceil(math.log2(12.0 / (model["sigma"] * math.sqrt(dt)) * span / math.pi)))
    first = cos_discrete(model, S, K, H, T, r, q, kind, rebate, M, N)
    second = cos_discrete(model, S, K, H, T, r, q, kind, rebate, M, 2 * N, width=16.0)
    return second, abs(second - first)


# ------------------------------------------------------------------ PIDE, continuous monitoring

def cell_average_payoff(x, dx, K, call):
    """The payoff averaged over [x - dx/2, x + dx/2] (ln S): the strike is off the nodes
    that hold the barrier and the spot, and averaging keeps the error an expansion in dx^2
    (a sampled kink leaves an error that oscillates with the strike's place in its cell)."""
    k = math.log(K)
    lo, hi = x - dx / 2, x + dx / 2
    if call:
        lo = np.maximum(lo, k)
        return np.where(hi > lo, (np.exp(hi) - np.exp(lo) - K * (hi - lo)) / dx, 0.0)
    hi = np.minimum(hi, k)
    return np.where(hi > lo, (K * (hi - lo) - np.exp(hi) + np.exp(lo)) / dx, 0.0)


WIDTH = 1.5


def pide_knockout(model, S, K, H, T, r, q, call, rebate, at_expiry, dx, steps):
    """e^{-rT} E[(payoff - at_expiry) 1{tau > T}] + rebate E[e^{-r tau}; tau <= T] on one grid
    in ln S with the barrier and the spot on nodes: the barrier an end of the grid with the
    rebate there and beyond it (a jump across knocks out), the far end with the discounted
    forward payoff. Beyond the far end the jumps see the payoff, not its discounted
    forward: WIDTH more in ln S than the ten standard deviations of ln S_T keeps what that
    costs far below 1e-10 K at the spot (with ten alone Kou's up-and-out puts move by
    7e-11 K, their heavier lower tail reaching the far end)."""
    down = S > H
    x, dx, centre = fd_grid(model, T, r, q, math.log(H), math.log(S), dx, extra_width=WIDTH)
    x = x[centre:] if down else x[: centre + 1]
    terminal = cell_average_payoff(x, dx, K, call) - at_expiry
    terminal[0 if down else -1] = rebate

    def far(tau):
        # Deep in or out of the money the option is its discounted forward payoff or 0.
        forward = math.exp(x[-1 if down else 0] - q * tau) - K * math.exp(-r * tau)
        return max(forward if call else -forward, 0.0) - at_expiry * math.exp(-r * tau)

    def ends(tau):
        return (rebate, far(tau)) if down else (far(tau), rebate)

    def outside(x_beyond):
        beyond_barrier = x_beyond <= x[0] if down else x_beyond >= x[-1]
        payoff = np.maximum(np.exp(x_beyond) - K, 0.0) if call else np.maximum(K - np.exp(x_beyond), 0.0)
        return np.where(beyond_barrier, rebate, payoff - at_expiry)

    v = fd_solve(model, T, r, q, x, dx, terminal, 1, steps, ends, outside, scale=K)
    spot = round(abs(math.log(S / H)) / dx)
    return float(v[spot if down else -1 - spot])


def pide_barrier(model, S, K, H, T, r, q, kind, rebate, dx0=0.004, steps0=100, levels=3):
    """Grids (dx0 / 2^i, steps0 2^i), exactly nested, extrapolated assuming errors in dx^2
    then dx^4 (central differences on smooth data, Crank-Nicolson on graded steps). A
    knock-in is the European price less the knock-out paying payoff - R at expiry: the
    rebate R then arrives at expiry exactly when the barrier was never hit."""
    direction, knock, payoff = kind.split("-")
    call = payoff == "call"
    gap = abs(math.log(S / H))
    cells = max(1, round(gap / dx0))
    out_rebate, at_expiry = (rebate, 0.0) if knock == "out" else (0.0, rebate)
    values = [pide_knockout(model, S, K, H, T, r, q, call, out_rebate, at_expiry, gap / (cells << i), steps0 << i)
              for i in range(levels)]
    value, estimate = richardson(values, [2, 4])
    if knock == "out":
        return value, estimate
    return european(model, S, K, T, r, q, call) - value, estimate


# ------------------------------------------------------------------ Monte Carlo

def jump_sums(model, counts, rng):
    """The sum of counts[i] log jumps for every path i."""
    if model["model"] == "Merton":
        return model["m"] * counts + model["s"] * np.sqrt(counts) * rng.standard_normal(counts.size)
    total = np.zeros(counts.size)
    for j in range(int(counts.max(initial=0))):
        more = counts > j
        up = rng.random(more.sum()) < model["p"]
        size = rng.exponential(1.0, more.sum())
        total[more] += np.where(up, size / model["eta1"], -size / model["eta2"])
    return total


def simulate(model, S, H, T, r, q, monitoring, paths, rng, nodes):
    """Per path: ln S_T, the survival probability to T given the path's simulated points,
    and E[e^{-r tau}; tau <= T | points]. Continuous monitoring (monitoring = 0) bridges
    between the points; discrete monitoring checks the M dates."""
    sigma, lam = model["sigma"], model.get("lam", 0.0)
    mu = drift(model, r, q)
    h = math.log(H)
    down = S > H
    x = np.full(paths, math.log(S))
    survival = np.ones(paths)
    hit_value = np.zeros(paths)  # sum over the quadrature nodes and the expiry term
    if monitoring:
        times = T * np.arange(1, monitoring + 1) / monitoring
    else:
        gl_t, gl_w = nodes
        times = np.append(gl_t, T)
    previous = 0.0

    def beyond(values):
        return values <= h if down else values >= h

    for t in times:
        dt = t - previous
        previous = t
        if monitoring:
            counts = rng.poisson(lam * dt, paths) if lam else np.zeros(paths, dtype=int)
            x = x + mu * dt + sigma * math.sqrt(dt) * rng.standard_normal(paths)
            if lam:
                x = x + jump_sums(model, counts, rng)
            newly = (survival > 0) & beyond(x)
            hit_value[newly] = math.exp(-r * t)
            survival[newly] = 0.0
            continue
        # Continuous: diffuse to each jump in (t - dt, t], jump, then diffuse to t.
        counts = rng.poisson(lam * dt, paths) if lam else np.zeros(paths, dtype=int)
        jump_times = np.sort(np.where(np.arange(int(counts.max(initial=0)))[None, :] < counts[:, None],
                                      rng.random((paths, int(counts.max(initial=0)))) * dt, dt), axis=1)
        elapsed = np.zeros(paths)
        for column in range(jump_times.shape[1] + 1):
            stop = jump_times[:, column] if column < jump_times.shape[1] else np.full(paths, dt)
            step = stop - elapsed
            elapsed = stop
            moved = x + mu * step + sigma * np.sqrt(step) * rng.standard_normal(paths)
            with np.errstate(divide="ignore", invalid="ignore"):
                crossing = np.where(step > 0, np.exp(-2.0 * (x - h) * (moved - h) / (sigma ** 2 * step)), 0.0)
            survival *= np.where(beyond(moved), 0.0, 1.0 - crossing)
            x = moved
            if column < jump_times.shape[1]:
                jumped = counts > column
                x = np.where(jumped, x + jump_sums(model, jumped.astype(int), rng), x)
                survival = np.where(jumped & beyond(x), 0.0, survival)
        if t < T:
            weight = gl_w[np.searchsorted(gl_t, t)]
            hit_value += r * weight * math.exp(-r * t) * (1.0 - survival)
    if not monitoring:
        hit_value += math.exp(-r * T) * (1.0 - survival)
    return x, survival, hit_value


def mc_barrier(model, S, Ks, H, T, r, q, rebates, monitoring, paths, seed, chunk=200_000):
    """Monte Carlo prices and standard errors of every kind on one barrier side, for
    each strike in Ks and rebate in rebates: {(kind, K, rebate): (price, se)}."""
    rng = np.random.default_rng(seed)
    gl_x, gl_w = np.polynomial.legendre.leggauss(24)
    nodes = (0.5 * T * (gl_x + 1.0), 0.5 * T * gl_w)
    direction = "down" if S > H else "up"
    sums = {}
    done = 0
    while done < paths:
        n = min(chunk, paths - done)
        done += n
        x, survival, hit = simulate(model, S, H, T, r, q, monitoring, n, rng, nodes)
        ST = np.exp(x)
        for K in Ks:
            for payoff in ("call", "put"):
                value = np.maximum(ST - K, 0.0) if payoff == "call" else np.maximum(K - ST, 0.0)
                value *= math.exp(-r * T)
                for rebate in rebates:
                    estimates = {
                        f"{direction}-out-{payoff}": value * survival + rebate * hit,
                        f"{direction}-in-{payoff}": value * (1.0 - survival) + rebate * math.exp(-r * T) * survival,
                    }
                    for kind, estimate in estimates.items():
                        s = sums.setdefault((kind, K, rebate), [0.0, 0.0])
                        s[0] += estimate.sum()
                        s[1] += (estimate * estimate).sum()
    result = {}
    for key, (s1, s2) in sums.items():
        mean = s1 / paths
        result[key] = (mean, math.sqrt(max(s2 / paths - mean * mean, 0.0) / (paths - 1)))
    return result


# ------------------------------------------------------------------ rows

BS_SETUPS = [  # S, T, r, q, sigma, down barrier, up barrier
    (100.0, 0.5, 0.05, 0.02, 0.25, 90.0, 110.0),
    (100.0, 1.0, 0.03, 0.0, 0.15, 95.0, 105.0),
    (100.0, 0.1, 0.08, 0.04, 0.4, 80.0, 120.0),
]
# Where a careful evaluation matters: the barrier a hair from the spot, a maturity of an
# hour, a small volatility against the drift, negative rates (in and out prices from
# 1e-40 to the vanilla price), and a rate so negative that the rebate's lambda is
# imaginary (r = q = -2%).
BS_CORNERS = [
    (100.0, 0.5, 0.05, 0.02, 0.2, 99.99, 100.01),
    (100.0, 1e-4, 0.05, 0.0, 0.2, 99.0, 101.0),
    (100.0, 1.0, 0.05, 0.0, 0.02, 97.0, 103.0),
    (100.0, 2.0, -0.01, 0.0, 0.1, 80.0, 125.0),
    (100.0, 1.0, -0.02, -0.02, 0.2, 90.0, 110.0),
]
STRIKES = (85.0, 100.0, 115.0)
REBATES = (0.0, 3.0)
JUMP_MODELS = [
    {"model": "Kou", "sigma": 0.2, "lam": 1.0, "p": 0.4, "eta1": 10.0, "eta2": 5.0},
    {"model": "Merton", "sigma": 0.2, "lam": 1.0, "m": -0.1, "s": 0.2},
]
JUMP_SETUP = (100.0, 0.5, 0.05, 0.02, 90.0, 110.0)  # S, T, r, q, down and up barriers


def row(model, S, K, H, T, r, q, kind, rebate, monitoring, price, method, error, second=None, vanilla="",
        third=None):
    columns = {"model": model["model"], **{name: model.get(name, "") for name in PARAMETERS}, "S": S, "K": K, "H": H,
               "T": T, "r": r, "q": q, "kind": kind, "rebate": rebate, "monitoring": monitoring,
               "price": repr(float(price)), "method": method, "error": f"{error:.3g}", "vanilla": repr(float(vanilla))}
    for suffix, method_error in (("2", second), ("3", third)):
        value, name, estimate = method_error or ("", "", "")
        columns.update({"price" + suffix: value if value == "" else repr(float(value)), "method" + suffix: name,
                        "error" + suffix: estimate if estimate == "" else f"{estimate:.3g}"})
    return columns


def z_score(value, reference, se):
    """|value - reference| in standard errors (an estimate with no variance, such as an
    option that cannot pay, must be exact)."""
    if se > 0.0:
        return abs(value - reference) / se
    return 0.0 if abs(value - reference) <= 1e-12 * max(1.0, abs(reference)) else float("inf")


def black_scholes_rows(paths, seed, worst):
    rows = []
    for number, (S, T, r, q, sigma, down, up) in enumerate(BS_SETUPS + BS_CORNERS):
        model = {"model": "BlackScholes", "sigma": sigma}
        mc = {}
        if number < len(BS_SETUPS):
            for H in (down, up):
                mc.update(mc_barrier(model, S, STRIKES, H, T, r, q, REBATES, 0, paths, seed + number))
        for K in STRIKES:
            for kind in KINDS:
                H = down if kind.startswith("down") else up
                for rebate in REBATES:
                    price = bs_barrier(S, K, H, T, r, q, sigma, kind, rebate)
                    vanilla = bs_vanilla(S, K, T, r, q, sigma, kind.endswith("call"))
                    second = None
                    if (kind, K, rebate) in mc:
                        value, se = mc[kind, K, rebate]
                        second = (value, "mc", se)
                        worst.append(z_score(value, float(price), se))
                    rows.append(row(model, S, K, H, T, r, q, kind, rebate, 0, price, "closed", 0.0, second, vanilla))
    return rows


def jump_rows(paths, seed, worst, processes):
    rows = []
    S, T, r, q, down, up = JUMP_SETUP
    for number, model in enumerate(JUMP_MODELS):
        for monitoring in (0, round(52 * T), round(252 * T)):
            mc = {}
            for H in (down, up):
                mc.update(mc_barrier(model, S, STRIKES if not monitoring else (100.0,), H, T, r, q, REBATES,
                                     monitoring, paths, seed + 100 * number + monitoring))
            if not monitoring:
                cases = [(model, S, K, down if kind.startswith("down") else up, T, r, q, kind, rebate, value, se)
                         for (kind, K, rebate), (value, se) in sorted(mc.items())]
                rows += continuous_jump_rows(cases, processes)
                continue
            for (kind, K, rebate), (value, se) in sorted(mc.items()):
                H = down if kind.startswith("down") else up
                vanilla = european(model, S, K, T, r, q, kind.endswith("call"))
                price, change = cos_discrete_converged(model, S, K, H, T, r, q, kind, rebate, monitoring)
                worst.append(z_score(value, price, se))
                rows.append(row(model, S, K, H, T, r, q, kind, rebate, monitoring, price, "cos", change,
                                (value, "mc", se), vanilla))
            print(model["model"], monitoring, "done", flush=True)
    return rows


def continuous_jump_row(case):
    """The row of a continuously monitored Kou or Merton option from its deterministic
    methods, the Monte Carlo estimate (value, se) kept as the check of the last resort.
    Kou: Laplace inversion (Talbot; De Hoog's inversion bounds the inversion error) and
    the PIDE; Merton: the PIDE alone."""
    model, S, K, H, T, r, q, kind, rebate, value, se = case
    vanilla = european(model, S, K, T, r, q, kind.endswith("call"))
    pide, pide_error = pide_barrier(model, S, K, H, T, r, q, kind, rebate)
    if model["model"] != "Kou":
        return row(model, S, K, H, T, r, q, kind, rebate, 0, pide, "pide", pide_error, (value, "mc", se), vanilla)
    laplace = float(kou_barrier(model, S, K, H, T, r, q, kind, rebate))
    inversion_error = abs(laplace - float(kou_barrier(model, S, K, H, T, r, q, kind, rebate, method="dehoog")))
    error = max(abs(laplace - pide), pide_error, inversion_error)
    print(model["model"], kind, K, rebate, laplace, "PIDE - Laplace", pide - laplace, flush=True)
    return row(model, S, K, H, T, r, q, kind, rebate, 0, laplace, "laplace", error, (value, "mc", se), vanilla,
               (pide, "pide", pide_error))


def continuous_jump_rows(cases, processes):
    with multiprocessing.Pool(processes) as pool:
        return pool.map(continuous_jump_row, cases, chunksize=1)


def stored_continuous_jump_cases():
    """The continuously monitored Kou and Merton rows of the stored file as cases, with
    their Monte Carlo estimates (the "mc" column, wherever the row keeps it)."""
    with open(HERE / "barrier_prices.csv") as f:
        stored = list(csv.DictReader(f))
    cases = {}
    for number, line in enumerate(stored):
        if line["model"] in ("Kou", "Merton") and line["monitoring"] == "0":
            model = {"model": line["model"], **{name: float(line[name]) for name in PARAMETERS if line[name] != ""}}
            mc = "" if line["method"] == "mc" else "2"
            cases[number] = (model, *(float(line[name]) for name in ("S", "K", "H", "T", "r", "q")), line["kind"],
                             float(line["rebate"]), float(line["price" + mc]), float(line["error" + mc]))
    return stored, cases


def european(model, S, K, T, r, q, call):
    c1, c2, c4 = cumulants(model, T, r, q)
    half = 16.0 * math.sqrt(c2 + math.sqrt(c4))
    x0 = math.log(S / K)
    cos = Cos(min(x0 + c1 - half, -0.1), max(x0 + c1 + half, 0.1), 4096)
    return cos_vanilla(cos, model, x0, K, T, r, q, call)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--paths", type=int, default=2_000_000)
    parser.add_argument("--seed", type=int, default=20261209)
    parser.add_argument("--processes", type=int, default=2)
    parser.add_argument("--continuous-jumps-only", action="store_true",
                        help="recompute the continuously monitored Kou and Merton rows of the stored file from "
                             "their deterministic methods, keeping their Monte Carlo estimates and every other row")
    args = parser.parse_args()
    if args.continuous_jumps_only:
        rows, cases = stored_continuous_jump_cases()
        for number, new in zip(cases, continuous_jump_rows(list(cases.values()), args.processes)):
            rows[number] = new
    else:
        worst = []
        rows = black_scholes_rows(args.paths, args.seed, worst)
        print("Black-Scholes: largest |MC - closed form| / SE", max(worst), flush=True)
        worst.clear()
        rows += jump_rows(args.paths, args.seed, worst, args.processes)
        print("discrete: largest |MC - COS| / SE", max(worst), flush=True)
    with open(HERE / "barrier_prices.csv", "w", newline="") as f:
        writer = csv.DictWriter(f, COLUMNS, restval="")
        writer.writeheader()
        writer.writerows(rows)


if __name__ == "__main__":
    main()
