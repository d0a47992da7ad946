"""High-precision references for the pricing API's extended stress grid: a diffusion that
is tiny or all but absent, maturities down to a blink, tails from nearly flat to very
steep, and the reproductions users reported, each under its own name.

Run once (nice'd, in the background, one process; it takes a while) and commit the CSV
files it writes beside itself; the tests only read them:

    python tests/references/make_extended_references.py [--what prices] [--model kou]

It writes kou_extended.csv, merton_extended.csv, blackscholes_extended.csv (prices) and
kou_extended_greeks.csv, merton_extended_greeks.csv. A row's "case" names the
reproduction it stands for (empty for grid points); "route" says how it was computed.

Routes, independent of the package's pricer and of its contour:

- Kou, jump series. Given the jump sum J, the option is a Black-Scholes price, so the
  price is E_J[BS(F e^J)]. J is zero with probability e^{-lam T}, and otherwise a mixture
  of +Erlang(k, eta1) and -Erlang(k, eta2) laws; the mixture weights are summed over the
  jump count n by adding one jump at a time (memorylessness turns Erlang(k) - Exp into
  a geometric mixture of Erlang(j <= k) and -Exp), with all terms positive. The atom
  gives e^{-lam T} BS exactly. For the rest the order of integration is swapped: for a
  fixed diffusion value x = F e^{sd Z - sd^2/2} the expectation over the Erlang mixture is
  closed (regularized incomplete gamma functions of integer order, sums of positive
  terms), and Gauss-Legendre integrates it against the normal density in Z with a
  breakpoint where x crosses the strike (the only place it is not analytic). Nothing
  here needs sd to be large: sd = 1e-160 is no harder than sd = 1. The jump count is
  cut where the Poisson tail (with mean lam T and, for the share leg, lam (1 + zeta) T)
  is below 1e-34; rows with lam T max(1, 1 + zeta) above 150 use Lewis instead.
- Kou, Lewis' inversion (make_pricing_references.py) where the integrand decays: sd of
  order 1e-2 and above, or lam T large enough that e^{-lam T (1 + zeta/2)} kills its
  tail. Rows where both routes apply carry both; their difference is in "agreement".
- Merton: the Poisson series of Black-Scholes prices (make_pricing_references.py), any
  sd and s (s = 0 included).
- Black-Scholes: its closed form (make_pricing_references.py).

Working precision is 40 digits plus the digits that Black-Scholes loses near the money
when sd is small (its two legs agree to about log10(1/sd) digits), so that even a price of
1e-49 S is stored to 20 significant digits.

Greeks and parameter sensitivities: fourth-order central differences of those
references with steps 1e-4 (Kou) or 1e-5 (Merton) of each variable's scale: S sd in S
(the narrowest bend of the price in S, the atom's kink smoothed by the diffusion), T in T,
the value in sigma, lam, eta1, eta2 (eta1 below 2: eta1 (eta1 - 1); p: 1 / max(1, lam T);
r, q, m, s: the value, at least 0.01). Kou's come from the jump series at a fixed twelve Gauss-Legendre nodes a
piece (1e-22 relative, and smooth in every variable, which differences need), or from
Lewis where sd >= 0.01 and a steep tail (sd max(eta1, eta2) > 2) would need many pieces.
`--check-steps 0.5` recomputes stored Greek rows with half the steps and prints the
change in units of the tests' allowance; `--cross-check` prices stored rows by a second
route (Merton by Lewis, Kou by its closed form in closed_form_mp.py) and prints the
differences.

The grid: sd = sigma sqrt(T) log-uniform in 1e-8 ... 1e-2 with T log-uniform in
1e-8 ... 30 years (sigma capped at 5 by raising T), a fifth of the rows with sigma
0.8 ... 5 instead; lam 0 or 0.01 ... 1000 (with lam T max(1, 1 + zeta) <= 150 for Kou's
jump series, 5 for its Greek rows, and lam T max(1, e^(m + s^2/2)) <= 2e4 for Merton's,
2e3 for its Greek rows, T lowered to fit, sd kept unless sigma would pass 5); Kou
p 0 ... 1 (a tenth at 0 or 1), eta1 1.001 ... 200, eta2 0.01 ... 200; Merton m -5 ... 5,
s 0 (a tenth) or 1e-6 ... 1; K/S 0.25 ... 4, r -0.01 ... 0.1, q 0 ... 0.1, calls and
puts; random points from a fixed seed plus a thinned set of corners, and the named
reproductions and a block of 162 short-dated at-the-money cases (sd 1e-5 ... 0.1 times
nine tail shapes, calls and puts), which also has Greek rows (the stored file holds 137
of them: the run was cut short for time, and `--what greeks --model kou --resume`
completes it). Rows marked "default" are checked by the default test run, the others by
the slow one.
"""

import argparse
import csv
import functools
import math
import random
import sys
import time
from pathlib import Path

import mpmath as mp
from mpmath.calculus.quadrature import GaussLegendre

import make_pricing_references as base

HERE = Path(__file__).resolve().parent
BASE_DPS = 40
KOU_SERIES_LAM_T = 150.0
KOU_GREEK_LAM_T = 5.0
MERTON_LAM_T = 2e4
MERTON_GREEK_LAM_T = 2e3
# Beyond 13.5 standard deviations the normal density is below 1.2e-40.
Z_RANGE = 13.5
TAIL = mp.mpf("1e-34")

KOU_FIELDS = base.KOU_FIELDS
MERTON_FIELDS = base.MERTON_FIELDS
BS_FIELDS = ["sigma"]
MARKET_FIELDS = base.MARKET_FIELDS
FIELDS = {"kou": KOU_FIELDS, "merton": MERTON_FIELDS, "blackscholes": BS_FIELDS}
TAIL_SHAPES = [(eta1, eta2) for eta1 in (1.01, 10.0, 100.0) for eta2 in (0.05, 5.0, 100.0)]
BLOCK_SPREADS = (1e-5, 3e-5, 1e-4, 3e-4, 1e-3, 3e-3, 1e-2, 3e-2, 0.1)


def working_digits(sigma, T):
    """BASE_DPS plus the digits Black-Scholes loses near the money, in steps of 10 (mpmath
    caches its quadrature nodes per precision)."""
    lost = max(0.0, -math.log10(sigma * math.sqrt(T)))
    return BASE_DPS + 10 * math.ceil(lost / 10)


# ---------------------------------------------------------------- Kou by its jump series

def kou_zeta(p, eta1, eta2):
    """E[e^Y] - 1 for one jump Y."""
    return p * eta1 / (eta1 - 1) + (1 - p) * eta2 / (eta2 + 1) - 1


def jump_count(mean):
    """The jump count after which the Poisson(mean) tail is below TAIL."""
    n, log_term = 0, -mean
    while True:
        n += 1
        log_term += mp.log(mean) - mp.log(n) if mean > 0 else -mp.inf
        # Past the mode the terms fall at least geometrically with ratio mean / (n + 1).
        if n > mean and log_term - mp.log(1 - mean / (n + 1)) < mp.log(TAIL):
            return n


def jump_mixture(lam_T, p, eta1, eta2, count):
    """Law of the jump sum over jump counts 0 ... count, as weights: the atom at zero (no
    jump), up[k] of +Erlang(k, eta1) and down[k] of -Erlang(k, eta2), k = 1 ... count.

    One more jump moves the law of J_n: an up jump raises +Erlang(k) to +Erlang(k + 1);
    a down jump turns +Erlang(k) into +Erlang(j), j = k ... 1, with probability
    e1^(k - j) e2, or into -Exp(eta2) with probability e1^k (e1 = eta1 / (eta1 + eta2),
    e2 = 1 - e1: the down jump outlasts each up phase in turn), and symmetrically.
    The geometric sums run as suffix sums, so each jump costs O(count)."""
    e1, e2 = eta1 / (eta1 + eta2), eta2 / (eta1 + eta2)
    q = 1 - p
    up = [mp.mpf(0)] * (count + 2)
    down = [mp.mpf(0)] * (count + 2)
    total_up = [mp.mpf(0)] * (count + 2)
    total_down = [mp.mpf(0)] * (count + 2)
    poisson = mp.exp(-lam_T)
    atom_weight, at_zero = poisson, mp.mpf(1)
    for n in range(1, count + 1):
        poisson *= lam_T / n
        tail_up = [mp.mpf(0)] * (n + 1)
        tail_down = [mp.mpf(0)] * (n + 1)
        for j in range(n - 1, 0, -1):
            tail_up[j] = up[j] + e1 * tail_up[j + 1]
            tail_down[j] = down[j] + e2 * tail_down[j + 1]
        new_up = [mp.mpf(0)] * (count + 2)
        new_down = [mp.mpf(0)] * (count + 2)
        new_up[1] = p * (at_zero + e2 * tail_down[1])
        new_down[1] = q * (at_zero + e1 * tail_up[1])
        for j in range(1, n + 1):
            if j > 1:
                new_up[j] = p * up[j - 1]
                new_down[j] = q * down[j - 1]
            new_up[j] += q * e2 * tail_up[j]
            new_down[j] += p * e1 * tail_down[j]
        up, down, at_zero = new_up, new_down, mp.mpf(0)
        for j in range(1, n + 1):
            total_up[j] += poisson * up[j]
            total_down[j] += poisson * down[j]
    return atom_weight, total_up[1:count + 1], total_down[1:count + 1]


def poisson_terms(a, count):
    """t_j = e^-a a^j / j! for j = 0 ... count - 1."""
    terms = [mp.exp(-a)]
    for j in range(1, count):
        terms.append(terms[-1] * a / j)
    return terms


class ErlangLeg:
    """One side of the jump law, weights w_k of sign * Erlang(k, eta), k = 1 ... count,
    against a payoff in x e^{sign G}: the expectations over the mixture of
    E[e^{cG}; G > y] = (eta / (eta - c))^k Q(k, (eta - c) y) and the same with P below y,
    c = 0 (the cash leg) or c = sign (the share leg, ratio growth = eta / (eta - sign)).

    With t_j the Poisson(a) terms, sum_k v_k Q(k, a) = sum_{j < count} t_j V_{>j} and
    sum_k v_k P(k, a) = sum_{1 <= j < count} t_j V_{<=j} + V_{<=count} P(count, a): the
    suffix and prefix sums V of the weights are fixed per price, every term is positive,
    and one diffusion value costs O(count)."""

    def __init__(self, weights, eta, sign):
        self.eta, self.sign, self.count = eta, sign, len(weights)
        growth = eta / (eta - sign)
        share = []
        g = mp.mpf(1)
        for w in weights:
            g *= growth
            share.append(w * g)
        self.cash = self._sums(weights)
        self.share = self._sums(share)

    @staticmethod
    def _sums(values):
        prefix = [mp.mpf(0)]
        for v in values:
            prefix.append(prefix[-1] + v)
        # Suffix sums from the top: differences of prefix sums would cancel.
        suffix = [mp.mpf(0)] * len(prefix)
        running = mp.mpf(0)
        for j in range(len(values) - 1, -1, -1):
            running += values[j]
            suffix[j] = running
        return prefix, suffix

    def above(self, a, sums):
        """sum_k v_k Q(k, a)."""
        return mp.fsum(t * v for t, v in zip(poisson_terms(a, self.count), sums[1]))

    def below(self, a, sums):
        """sum_k v_k P(k, a) = sum_{j >= 1} t_j V_{<=min(j, count)}: the terms past count run
        until they stop counting (past the Poisson peak at a), unless a is so far beyond
        count that P(count, a) = 1 - Q(count, a) is at least 1/2 and loses nothing."""
        terms = poisson_terms(a, self.count)
        prefix, top = sums[0], sums[0][self.count]
        head = mp.fsum(terms[j] * prefix[j] for j in range(1, self.count))
        if a > 2 * self.count + 40:
            return head + top * (1 - mp.fsum(terms))
        tail, term, j, eps = mp.mpf(0), terms[-1] * a / self.count, self.count, mp.eps
        while j <= a or term * top > eps * (head + tail):
            tail += term * top
            j += 1
            term *= a / j
        return head + tail

    def total(self, sums):
        return sums[0][self.count]

    def call(self, x, Kd):
        """E[(x e^{sign G} - Kd)^+] summed over the weights: in the money where sign G > b."""
        b = self.sign * mp.log(Kd / x)
        if b <= 0:
            return x * self.total(self.share) - Kd * self.total(self.cash) if self.sign > 0 else mp.mpf(0)
        part = self.above if self.sign > 0 else self.below
        return x * part((self.eta - self.sign) * b, self.share) - Kd * part(self.eta * b, self.cash)

    def put(self, x, Kd):
        """E[(Kd - x e^{sign G})^+] summed over the weights."""
        b = self.sign * mp.log(Kd / x)
        if b <= 0:
            return mp.mpf(0) if self.sign > 0 else Kd * self.total(self.cash) - x * self.total(self.share)
        part = self.below if self.sign > 0 else self.above
        return Kd * part(self.eta * b, self.cash) - x * part((self.eta - self.sign) * b, self.share)


@functools.lru_cache(maxsize=None)
def standard_nodes(degree, prec):
    return GaussLegendre(mp.mp).get_nodes(-1, 1, degree, prec)


def gauss_legendre(f, points, degree):
    """Fixed-degree Gauss-Legendre (3 * 2^(degree - 1) nodes) on each piece between points:
    with fixed nodes the result is a smooth function of the row's variables, which the
    finite differences of the Greeks rely on."""
    nodes = standard_nodes(degree, mp.mp.prec)
    total = mp.mpf(0)
    for a, b in zip(points[:-1], points[1:]):
        half, middle = (b - a) / 2, (b + a) / 2
        total += half * mp.fsum(w * f(middle + half * x) for x, w in nodes)
    return total


def discounted_bs(Fd, Kd, sd, call):
    """Black-Scholes on the discounted forward Fd and strike Kd."""
    d1 = (mp.log(Fd / Kd) + sd * sd / 2) / sd
    d2 = d1 - sd
    if call:
        return Fd * mp.ncdf(d1) - Kd * mp.ncdf(d2)
    return Kd * mp.ncdf(-d2) - Fd * mp.ncdf(-d1)


def kou_series_price(S, K, T, r, q, call, sigma, lam, p, eta1, eta2, degree=4):
    S, K, T, r, q, sigma, lam, p, eta1, eta2 = map(mp.mpf, (S, K, T, r, q, sigma, lam, p, eta1, eta2))
    zeta = kou_zeta(p, eta1, eta2)
    sd = sigma * mp.sqrt(T)
    Fd = S * mp.exp(-q * T - lam * zeta * T)
    Kd = K * mp.exp(-r * T)
    count = jump_count(lam * T * max(1, 1 + zeta)) if lam > 0 else 0
    atom, up, down = jump_mixture(lam * T, p, eta1, eta2, count)
    value = atom * discounted_bs(Fd, Kd, sd, call)
    if count == 0:
        return value

    legs = (ErlangLeg(up, eta1, 1), ErlangLeg(down, eta2, -1))

    def integrand(z):
        x = Fd * mp.exp(sd * z - sd * sd / 2)
        return mp.npdf(z) * sum(leg.call(x, Kd) if call else leg.put(x, Kd) for leg in legs)

    # The call's legs grow like x: its integrand peaks near z = sd (the share measure).
    # Pieces of at most 2 in z, and at most 2 / eta in ln x where a steep tail makes the
    # legs bend faster than the normal density.
    hi = Z_RANGE + (sd if call else 0)
    width = 2 / max(1, sd * max(eta1, eta2))
    pieces = int(mp.ceil((hi + Z_RANGE) / width))
    points = [-Z_RANGE + (hi + Z_RANGE) * j / pieces for j in range(pieces + 1)]
    kink = (mp.log(Kd / Fd) + sd * sd / 2) / sd
    if -Z_RANGE < kink < hi:
        points = sorted(points + [kink])
    return value + gauss_legendre(integrand, points, degree)


def kou_routes(row, greeks=False):
    """The routes for a Kou row, the stored one first: the jump series while it is short and
    its legs bend no faster than the normal density (sd max(eta1, eta2) <= 2 for Greeks,
    20 for prices, which then get Lewis as a second opinion when sd >= 0.01 and its
    integrand turns slowly); Lewis where its integrand decays (sd >= 0.01, or lam T past
    the series' reach)."""
    zeta = kou_zeta(row["p"], row["eta1"], row["eta2"])
    sd = row["sigma"] * math.sqrt(row["T"])
    bend = sd * max(row["eta1"], row["eta2"])
    short = row["lam"] * row["T"] * max(1.0, 1.0 + zeta) <= KOU_SERIES_LAM_T
    if greeks:
        return [kou_series_price if short and (bend <= 2 or sd < 0.01) else base.kou_price]
    routes = [kou_series_price] if short and (bend <= 20 or sd < 0.01) else []
    # Lewis' integrand turns about lam T |zeta| times per unit of u: past a few tens of
    # turns a second opinion costs more than it tells.
    calm = row["lam"] * row["T"] * (1 + abs(zeta)) <= 20
    if (sd >= 0.01 and calm) or not routes:
        routes.append(base.kou_price)
    return routes


# ---------------------------------------------------------------- rows

def market_of(row):
    return (row["S"], row["K"], row["T"], row["r"], row["q"], row["kind"] == "call")


def price_row(model, row):
    """Price of one row at its working precision, with the route(s) used and, where two
    routes apply, their relative difference."""
    params = [row[n] for n in FIELDS[model]]
    with mp.workdps(working_digits(row["sigma"], row["T"])):
        if model == "blackscholes":
            return dict(price=mp.nstr(base.bs_price(*market_of(row)[:5], row["sigma"], market_of(row)[5]), 25,
                                      strip_zeros=False), route="closed form", agreement="")
        if model == "merton":
            value = base.merton_price(*market_of(row), *params)
            return dict(price=mp.nstr(value, 25, strip_zeros=False), route="poisson series", agreement="")
        routes = kou_routes(row)
        values = [route(*market_of(row), *params) for route in routes]
        agreement = ""
        if len(values) == 2:
            agreement = mp.nstr(abs(values[0] - values[1]) / max(abs(values[0]), mp.mpf(10) ** -30 * row["S"]), 3)
        names = {kou_series_price: "jump series", base.kou_price: "Lewis"}
        return dict(price=mp.nstr(values[0], 25, strip_zeros=False), route="+".join(names[r] for r in routes),
                    agreement=agreement)


def extended_steps(S, T, r, q, params, rel_step):
    """Absolute steps, each a fraction rel_step of the scale on which the price varies in
    that variable, fixed from the row's own values. S: S sd, the width of the atom's kink
    (narrower than any jump scale here); sigma, lam, eta1, eta2, T: the value itself (some
    are far below 0.01); p: 1 / max(1, lam T) (it moves the exponent by lam T times the
    difference of the tails); r, q, m, s: the value, at least 0.01 (s = 0 is a symmetric
    point: the price depends on s^2)."""
    h = {}
    for name, value in params.items():
        if name in ("sigma", "lam", "eta1", "eta2"):
            h[name] = rel_step * value
        if name == "eta1":
            # The share leg grows like (eta1 / (eta1 - 1))^k: below 2 its scale is eta1 - 1
            # (a step of 1e-4 eta1 at eta1 = 1.01 left d_eta1 4e-8 relative short).
            h[name] *= min(1, value - 1)
        elif name == "p":
            h[name] = rel_step / max(1, params["lam"] * T)
        else:
            h[name] = rel_step * max(abs(value), mp.mpf("0.01"))
    h.update(S=rel_step * S * min(1, params["sigma"] * mp.sqrt(T)), T=rel_step * T,
             r=rel_step * max(abs(r), mp.mpf("0.01")), q=rel_step * max(abs(q), mp.mpf("0.01")))
    return h


def greek_row(model, row, step_factor=1):
    fields = FIELDS[model]
    pricer = kou_routes(row, greeks=True)[0] if model == "kou" else base.merton_price
    if pricer is kou_series_price:
        # Twelve nodes a piece: 1e-22 relative, and smooth in the row's variables.
        pricer = functools.partial(kou_series_price, degree=3)
    # Rounding that the third differences amplify (10^-dps / step^3) stays far below their
    # truncation error (step^4).
    step = (mp.mpf("1e-4") if model == "kou" else mp.mpf("1e-5")) * step_factor
    with mp.workdps(working_digits(row["sigma"], row["T"]) + 5):
        params = {n: mp.mpf(row[n]) for n in fields}
        out = base.greeks_by_differences(pricer, market_of(row), params, fields, step, extended_steps)
        return {k: mp.nstr(v, 20, strip_zeros=False) for k, v in out.items()}


# ---------------------------------------------------------------- the grid

def log_uniform(rng, lo, hi):
    return math.exp(rng.uniform(math.log(lo), math.log(hi)))


def diffusion_and_maturity(rng):
    """(sigma, T): mostly sd = sigma sqrt(T) in 1e-8 ... 1e-2, a fifth with sigma 0.8 ... 5."""
    T = log_uniform(rng, 1e-8, 30.0)
    if rng.random() < 0.2:
        return log_uniform(rng, 0.8, 5.0), T
    sd = log_uniform(rng, 1e-8, 1e-2)
    T = max(T, (sd / 5.0) ** 2)
    return sd / math.sqrt(T), T


def unit_or_end(rng):
    u = rng.random()
    return 0.0 if u < 0.05 else 1.0 if u < 0.1 else rng.uniform(0.0, 1.0)


def sample(model, rng):
    sigma, T = diffusion_and_maturity(rng)
    row = dict(sigma=sigma, T=T, lam=0.0 if rng.random() < 0.08 else log_uniform(rng, 0.01, 1000.0))
    if model == "kou":
        row.update(p=unit_or_end(rng), eta1=log_uniform(rng, 1.001, 200.0), eta2=log_uniform(rng, 0.01, 200.0))
    else:
        row.update(m=rng.uniform(-5.0, 5.0), s=0.0 if rng.random() < 0.1 else log_uniform(rng, 1e-6, 1.0))
    row.update(S=100.0, K=round(100.0 * log_uniform(rng, 0.25, 4.0), 6), r=rng.uniform(-0.01, 0.1),
               q=rng.uniform(0.0, 0.1), kind=rng.choice(["call", "put"]))
    return row


def corners(model):
    extremes = dict(sd=(1e-8, 1e-2), T=(1e-8, 1.0), lam=(0.0, 1000.0), K=(25.0, 400.0), kind=("call", "put"))
    if model == "kou":
        extremes.update(p=(0.0, 1.0), eta1=(1.001, 200.0), eta2=(0.01, 200.0))
    else:
        extremes.update(m=(-5.0, 5.0), s=(0.0, 1.0))
    rows = base.extreme_combinations(extremes)
    for row in rows:
        sd = row.pop("sd")
        row["T"] = max(row["T"], (sd / 5.0) ** 2)
        row.update(sigma=sd / math.sqrt(row["T"]), S=100.0, r=0.05, q=0.1)
    return rows


def fit_cost(model, row, greeks):
    """Lowers T where the reference would cost too much: Kou's jump series (used for every
    Greek row, and for price rows with a small sd) needs lam T max(1, 1 + zeta) <= 150,
    Merton's Poisson series has about lam T max(1, e^(m + s^2/2)) terms. sd is kept."""
    sd = row["sigma"] * math.sqrt(row["T"])
    if model == "kou":
        if greeks or sd <= 0.01:
            spread = max(1.0, 1.0 + kou_zeta(row["p"], row["eta1"], row["eta2"]))
            limit = KOU_GREEK_LAM_T if greeks else KOU_SERIES_LAM_T
            row["T"] = min(row["T"], limit / spread / max(row["lam"], 1e-300))
    elif model == "merton":
        spread = max(1.0, math.exp(row["m"] + row["s"] ** 2 / 2))
        limit = MERTON_GREEK_LAM_T if greeks else MERTON_LAM_T
        row["T"] = min(row["T"], limit / spread / max(row["lam"], 1e-300))
    row["sigma"] = min(sd / math.sqrt(row["T"]), 5.0)
    return row


def grid(model, count, corner_count, seed, greeks):
    rng = random.Random(seed)
    rows = [sample(model, rng) for _ in range(count)]
    corner_rows = corners(model)
    rng.shuffle(corner_rows)
    rows += corner_rows[:corner_count]
    for row in rows:
        if greeks:
            # Differences in lam stay inside lam > 0.
            row["lam"] = max(row["lam"], 0.01)
        row["case"] = ""
        fit_cost(model, row, greeks)
    return rows


ISSUE_MARKET = dict(S=100.0, K=100.0, T=0.01, r=0.05, q=0.01)


def kou_named(sigma, lam, p, eta1, eta2, case, **market):
    return dict(sigma=sigma, lam=lam, p=p, eta1=eta1, eta2=eta2, case=case, **market)


def block(kinds):
    """The short-dated at-the-money block: sd 1e-5 ... 0.1 at T = 0.01 times nine tail
    shapes (eta1 1.01, 10, 100 by eta2 0.05, 5, 100), lam 0.01, p 0.3."""
    return [kou_named(sd / 0.1, 0.01, 0.3, eta1, eta2, f"block sd={sd:g} eta1={eta1:g} eta2={eta2:g}",
                      kind=kind, **ISSUE_MARKET)
            for sd in BLOCK_SPREADS for eta1, eta2 in TAIL_SHAPES for kind in kinds]


def named_kou_prices():
    pure_jump = dict(S=100.0, K=100.0, T=0.5, r=0.05, q=0.0)
    rows = [
        kou_named(1e-4, 0.01, 0.3, 10.0, 0.05, "issue: told 0.0466510", kind="call", **ISSUE_MARKET),
        kou_named(1e-3, 0.01, 0.3, 1.01, 0.05, "issue: eta1 1.01", kind="call", **ISSUE_MARKET),
        kou_named(1e-3, 0.01, 0.3, 1.01, 0.05, "issue: eta1 1.01", kind="put", **ISSUE_MARKET),
        kou_named(0.16, 1.0, 0.4, 10.0, 5.0, "issue: T 1e-100, K 110", S=100.0, K=110.0, T=1e-100, r=0.0, q=0.0,
                  kind="call"),
        kou_named(0.16, 1.0, 0.4, 10.0, 5.0, "issue: T 1e-100, told about 1e-49", S=100.0, K=100.0, T=1e-100,
                  r=0.0, q=0.0, kind="call"),
        kou_named(1e-160, 1.0, 0.4, 10.0, 5.0, "issue: sigma 1e-160, told 6.0341", kind="call", **pure_jump),
        kou_named(1e-160, 1.0, 0.4, 10.0, 5.0, "issue: sigma 1e-160", kind="put", **pure_jump),
        kou_named(0.16, 1.0, 0.4, 10.0, 1e-6, "issue: eta2 1e-6, told 27.757", kind="call", **pure_jump),
        kou_named(0.16, 1.0, 0.4, 10.0, 1e-6, "issue: eta2 1e-6", kind="put", **pure_jump),
        kou_named(0.01, 1e-12, 0.5, 1.001, 5.0, "issue: eta1 1.001, told 7.45e-6", S=100.0, K=100.5, T=0.02,
                  r=0.0, q=0.0, kind="call"),
        kou_named(0.003, 1e-12, 0.5, 1.05, 5.0, "issue: eta1 1.05, T 1/365", S=100.0, K=100.5, T=1 / 365,
                  r=0.0, q=0.0, kind="call"),
    ]
    return rows + block(("call", "put"))


def named_kou_greeks():
    rows = [
        kou_named(0.003, 0.01, 0.3, 1.01, 5.0, "issue: Greeks, price 0.29951", kind="call", **ISSUE_MARKET),
        kou_named(0.001, 0.01, 0.3, 10.0, 0.05, "issue: Greeks of a put", kind="put", **ISSUE_MARKET),
        kou_named(0.16, 1.0, 0.4, 10.0, 5.0, "issue: delta and gamma at T 1e-10", S=100.0, K=100.0, T=1e-10,
                  r=0.05, q=0.0, kind="call"),
    ]
    return rows + block(("call", "put"))


def named_merton_prices():
    return [dict(sigma=0.2, lam=1.0, m=-0.1, s=0.2, S=100.0, K=100.0, T=1e-12, r=0.05, q=0.0, kind="call",
                 case="issue: T 1e-12, told 7.98e-6")]


def named_merton_greeks():
    return [dict(sigma=0.2, lam=1.0, m=-0.1, s=0.2, S=100.0, K=100.0, T=1e-10, r=0.05, q=0.0, kind="call",
                 case="issue: delta and gamma at T 1e-10")]


def named_blackscholes_prices():
    """Huge volatilities: the call is S e^{-qT} and the put K e^{-rT} to every digit."""
    return [dict(sigma=sigma, S=100.0, K=K, T=T, r=0.05, q=0.01, kind=kind, case=f"issue: sigma {sigma:g}")
            for sigma in (1e3, 1e10, 1e50, 1e100, 1e155) for K, T in ((100.0, 1.0), (250.0, 0.25))
            for kind in ("call", "put")]


# ---------------------------------------------------------------- writing

def mark_runs(rows, default_share):
    """Every reproduction and every default_share-th other row run by default."""
    for i, row in enumerate(rows):
        row["run"] = "default" if row["case"].startswith("issue") or i % default_share == 0 else "slow"


def compute(path, rows, fields, extra, evaluate, resume=False):
    """Writes each row as soon as it is computed, with its seconds on stderr. With resume,
    rows already in the file keep their stored values and come first, then the missing
    ones, grid points before named cases."""
    def key(row):
        return tuple(row[f] if isinstance(row[f], str) else repr(float(row[f])) for f in fields)

    stored = {}
    if resume and path.exists():
        with open(path, newline="") as handle:
            stored = {key(r): {e: r[e] for e in extra} for r in csv.DictReader(handle)}
    done = [r for r in rows if key(r) in stored]
    pending = sorted((r for r in rows if key(r) not in stored), key=lambda r: bool(r["case"]))

    def values():
        for row in done:
            yield stored[key(row)]
        for row in pending:
            start = time.time()
            value = evaluate(row)
            print(f"{time.time() - start:8.2f} s  {row['case'] or ''} "
                  f"{ {k: row[k] for k in fields if k != 'case'} }", file=sys.stderr, flush=True)
            yield value
    base.write_as_computed(path, done + pending, fields, extra, values())


def stored_rows(name, model, rows_slice):
    """Rows of a stored file, the model's and market's numbers as floats (the stored values
    stay strings, at their full precision)."""
    with open(HERE / name, newline="") as handle:
        rows = list(csv.DictReader(handle))[rows_slice]
    for row in rows:
        for field in FIELDS[model] + MARKET_FIELDS[:-1]:
            row[field] = float(row[field])
    return rows


def redo_eta1_sensitivity():
    """Recomputes d_eta1 of the stored Kou Greek rows with eta1 < 2, whose step depends on
    eta1 - 1, and rewrites the file with the other columns as they were."""
    path = HERE / "kou_extended_greeks.csv"
    with open(path, newline="") as handle:
        reader = csv.DictReader(handle)
        header, rows = reader.fieldnames, list(reader)
    for row in rows:
        if float(row["eta1"]) >= 2:
            continue
        values = {n: float(row[n]) for n in KOU_FIELDS + MARKET_FIELDS[:-1]}
        values["kind"] = row["kind"]
        pricer = kou_routes(values, greeks=True)[0]
        if pricer is kou_series_price:
            pricer = functools.partial(kou_series_price, degree=3)
        with mp.workdps(working_digits(values["sigma"], values["T"]) + 5):
            params = {n: mp.mpf(values[n]) for n in KOU_FIELDS}
            S, T, r, q = (mp.mpf(values[n]) for n in "STrq")
            h = extended_steps(S, T, r, q, params, mp.mpf("1e-4"))["eta1"]
            market = market_of(values)
            value = base.derivative(lambda v: pricer(*market, **dict(params, eta1=v)), params["eta1"], 1, h)
            print(f"d_eta1 {row['d_eta1']} -> {mp.nstr(value, 20)} {row['case']}", file=sys.stderr, flush=True)
            row["d_eta1"] = mp.nstr(value, 20, strip_zeros=False)
    with open(path, "w", newline="") as handle:
        writer = csv.DictWriter(handle, fieldnames=header)
        writer.writeheader()
        writer.writerows(rows)


def check_steps(model, factor, rows_slice):
    """Recomputes stored Greek rows with the steps times factor and prints the largest
    change of each in units of the tests' allowance max(1e-10 S, 1e-7 |value|)."""
    rows = stored_rows(f"{model}_extended_greeks.csv", model, rows_slice)
    base.report_step_changes(model, rows, (greek_row(model, row, factor) for row in rows),
                             lambda row: f"{row['case']} sigma={row['sigma']:.3g} T={row['T']:.3g}")


def kou_terms(row):
    """The jump count the series needs for a row (its closed form costs n^3)."""
    zeta = kou_zeta(row["p"], row["eta1"], row["eta2"])
    return jump_count(row["lam"] * row["T"] * max(1, 1 + zeta)) if row["lam"] > 0 else 0


def cross_check(model, rows_slice):
    """Second opinions on stored price rows, printed as relative differences: Merton rows
    with sd >= 0.03 by Lewis' inversion; Kou calls with sd <= 0.01 and at most 60 jump
    terms by Kou's own closed form (closed_form_mp.py: Hh recursion and binomial mixture weights, at
    the precision its cancellation needs; a double result, so agreement to ~1e-16)."""
    import closed_form_mp
    worst = 0.0
    for row in stored_rows(f"{model}_extended.csv", model, rows_slice):
        sd = row["sigma"] * math.sqrt(row["T"])
        with mp.workdps(working_digits(row["sigma"], row["T"])):
            stored = mp.mpf(row["price"])
            if model == "merton" and sd >= 0.03:
                params = [mp.mpf(row[n]) for n in MERTON_FIELDS]
                other = base.lewis_price(*market_of(row), lambda w: base.merton_exponent(w, *params))
            elif model == "kou" and sd <= 0.01 and row["kind"] == "call" and kou_terms(row) <= 60:
                # The price depends on S and q through S e^{-qT} only, kept at full precision
                # (rounded to a double it would move an at-the-money price by 1e-13).
                spot = mp.mpf(row["S"]) * mp.exp(-mp.mpf(row["q"]) * row["T"])
                x = abs(float(mp.log(row["K"] / spot))) / sd + 10
                n = kou_terms(row)
                other = closed_form_mp.kou_call(row["T"], row["K"], spot, row["r"], row["sigma"], row["lam"], row["p"],
                                                row["eta1"], row["eta2"], n,
                                                extra_digits=int(n * math.log10(x)) + 20)
            else:
                continue
            difference = float(abs(other - stored) / max(abs(stored), 1e-12 * row["S"]))
        worst = max(worst, difference)
        print(f"{difference:.3g} {row['case']} sd={sd:.3g} {mp.nstr(other, 20)} {mp.nstr(stored, 20)}", flush=True)
    print(f"{model}: largest relative difference {worst:.3g}", file=sys.stderr)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--what", choices=["prices", "greeks", "all"], default="all")
    parser.add_argument("--model", choices=["kou", "merton", "blackscholes", "all"], default="all")
    parser.add_argument("--random", type=int, default=150, help="random price rows per model")
    parser.add_argument("--corners", type=int, default=24, help="corner price rows per model")
    parser.add_argument("--greek-random", type=int, default=40, help="random Greek rows per model")
    parser.add_argument("--greek-corners", type=int, default=6, help="corner Greek rows per model")
    parser.add_argument("--default-share", type=int, default=5, help="every n-th grid row runs by default")
    parser.add_argument("--check-steps", type=float, default=None, metavar="FACTOR",
                        help="write nothing; recompute the stored Greeks with the steps times FACTOR and compare")
    parser.add_argument("--check-rows", type=lambda text: slice(*(int(x) if x else None for x in text.split(":"))),
                        default=slice(None), metavar="START:STOP:STEP",
                        help="with --check-steps or --cross-check, these stored rows")
    parser.add_argument("--redo-eta1-sensitivity", action="store_true",
                        help="recompute the stored Kou d_eta1 where eta1 < 2 (its step scales with eta1 - 1)")
    parser.add_argument("--resume", action="store_true",
                        help="keep the rows already written, compute the missing ones")
    parser.add_argument("--cross-check", action="store_true",
                        help="write nothing; price stored rows by a second route and compare")
    args = parser.parse_args()
    models = ["blackscholes", "merton", "kou"] if args.model == "all" else [args.model]
    if args.redo_eta1_sensitivity:
        redo_eta1_sensitivity()
        return
    if args.cross_check:
        for model in models:
            if model != "blackscholes":
                cross_check(model, args.check_rows)
        return
    if args.check_steps is not None:
        for model in models:
            check_steps(model, args.check_steps, args.check_rows)
        return
    seeds = dict(kou=20261210, merton=20261211)
    for model in models:
        fields = FIELDS[model] + MARKET_FIELDS + ["case"]
        if args.what in ("prices", "all"):
            if model == "blackscholes":
                rows = named_blackscholes_prices()
            else:
                named = named_kou_prices() if model == "kou" else named_merton_prices()
                rows = named + grid(model, args.random, args.corners, seeds[model], greeks=False)
            mark_runs(rows, args.default_share)
            compute(HERE / f"{model}_extended.csv", rows, fields, ["price", "route", "agreement", "run"],
                    lambda row, model=model: price_row(model, row), args.resume)
        if args.what in ("greeks", "all") and model != "blackscholes":
            named = named_kou_greeks() if model == "kou" else named_merton_greeks()
            rows = named + grid(model, args.greek_random, args.greek_corners, seeds[model] + 100, greeks=True)
            mark_runs(rows, args.default_share)
            names = base.GREEKS + ["d_" + n for n in FIELDS[model]]
            compute(HERE / f"{model}_extended_greeks.csv", rows, fields, names + ["run"],
                    lambda row, model=model: greek_row(model, row), args.resume)


if __name__ == "__main__":
    main()
