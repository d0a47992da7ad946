"""High-precision reference prices and Greeks for the stochastic-volatility models: Heston,
Bates (Heston plus Merton's normal log-jumps) and HestonKou (Heston plus Kou's
double-exponential jumps), with X = ln(S_T / F_T) and the jumps compensated in the drift.

Run once (nice'd, in the background; about an hour on two processes of a busy machine;
mpmath runs ~1.5x faster with gmpy2 installed) and commit the CSV files it writes beside
itself; the tests only read them:

    python tests/references/make_sv_references.py [--what prices] [--model heston]

The stored files came from the defaults for Heston's prices, --random 60 (Bates) or 40
(HestonKou) --corners 12 --riccati-share 2 for the jump models' and --greek-cases 4 (the
jump models: 1, of which only the named rows were reached) for the Greeks, in a few
sittings joined by --missing, cut short for a shared machine's time budget (Bates lacks
10 of its corners). --greek-cases must be at least 1 (the named rows take its jumps). It writes
heston_prices.csv, bates_prices.csv, hestonkou_prices.csv (prices, with the two routes'
difference in "agreement", in units of S) and heston_greeks.csv, bates_greeks.csv,
hestonkou_greeks.csv. A row's "case" names a published value, a corner of the ranges or
a jump-free twin ("lam 0", which must price as Heston); it is empty for grid points. In
the Greek files the Greeks theta (dV/dt calendar) and rho (dV/dr) are the columns
"theta_greek" and "rho_greek", since "theta" and "rho" are model parameters.

Every price comes from two routes, independent of the package's pricer and of each other
in the contour and (on at least 40 rows per model) in the log-MGF; route 1 is stored, and
a row whose routes differ by more than 1e-20 S is reported and not written (`--missing`
computes the rows that a file lacks, keeping the others):

- Route 1: Lewis' inversion along Re w = 1/2, call = S e^{-qT} (1 + (1/pi) int_0^inf
  Re[exp(L(w) + (1 - w) k) / (w (w - 1))] du), k = ln(K / F), with the Heston log-MGF in
  Albrecher et al.'s "little trap" form (exp(-d T), g = (b - d)/(b + d), principal sqrt,
  written so that nothing cancels for small xi), followed along the contour to check
  that neither the square root nor the logarithm crosses its branch cut; mpmath's
  Gauss-Legendre quad, its error estimate checked. Working precision 40 digits, plus
  the digits that the cancellation against the residue costs an out-of-the-money price
  below 1e-5 S e^{-qT} (at most 30 more); past that the line moves to the
  out-of-the-money side, halfway to route 2's, where the price comes out directly.
- Route 2: a line that starts on the real axis inside the strip of finite moments on
  the out-of-the-money side (c > 1 for the call, c < 0 for the put; the other side
  where the out-of-the-money side is pinched: for rho xi > kappa and long T the moments
  just past 1 explode before T), at the saddle point of the integrand's modulus on the
  real axis, within 80% of the way to the explosion abscissa (from the moments'
  explosion time in closed form) and 200 from the pole. The option on that side comes
  out directly (no residue), the other by parity; fixed 48-node Gauss-Legendre pieces.
  On every named row and every riccati-share-th grid row the log-MGF comes from
  integrating the Heston Riccati equation numerically instead, at 32 digits:
  B = -y' / (c y) linearises it to y'' - beta y' + a c y = 0, which a Taylor-series
  propagator steps across [0, T] (|lambda| h <= 1), the logarithm of y followed by
  continuity along tau, until y'/y has reached its fixed point (the decaying mode below
  1e-24), from where y grows like exp(tau y'/y).

Contours: a vertical line w = c + i t, cut into pieces of at most two turns of the
integrand (from its local log-derivative) and of at most half their distance from the
nearest pole (w = 0, 1, Kou's eta1 and -eta2), ends found by walking until the modulus
over the decay rate stays below 10^-(dps + 2) of the result's scale. Where the vertical
line would need more than 300 pieces (its modulus decays like exp(-(v0 + kappa theta T)
sqrt(1 - rho^2) t / xi): rate 3e-6 for v0 1e-4, xi 5, |rho| 0.99), the contour turns at
a height t0 (0, 1/(xi T), ...) onto a ray along which exp(L(w) - w k) oscillates little:
for large |w| in the upper half plane L(w) ~ gamma w with gamma = (v0 + kappa theta T)
(i sqrt(1 - rho^2) - rho) / xi - lam zeta T, and the ray points along -conj(gamma - k),
kept within 45 degrees of the vertical (Bates: 36) so that it stays well above the real
axis beyond the strip, where the continuation's singularities lie. Route 1 and route 2
start their contours at different points, and agree.

Greeks and parameter sensitivities: fourth-order central differences of route 1 at 40
digits (make_pricing_references.greeks_by_differences) with its contour cut into pieces
of four turns under a fixed 48-node rule (smooth in the row's variables; the centre is
checked against the adaptive quad to 1e-30 S), steps 1e-3 of each variable's scale: S
times the spread of ln S_T in S, T in T, sqrt(v0), v0 and theta their values, the others
as in make_pricing_references.steps. vega, vanna, zomma and vomma are derivatives in
sqrt(v0), the initial volatility; d_<name> are plain derivatives in each parameter.
`--check-steps 0.5` recomputes stored Greek rows with half the steps.

The grid (fixed seeds): v0 and theta 1e-4 ... 1, kappa 0.01 ... 20, xi 0.01 ... 5 (all
log-uniform), rho -0.99 ... 0.99, the jump parameters of make_pricing_references'
samples with lam T at most 20 (Bates: its quadrature's length grows like lam T |m| / s)
or 1000 (HestonKou), and its market (T one day to 30 years, K/S 0.25 ... 4, r -0.01 ...
0.1, q 0 ... 0.1, calls and puts); a thinned set of corners of those ranges,
the published Heston case (its 17-digit value must match to 16), and jump-free twins of
the first Heston points. The Greek rows have a moderate sample of their own plus a few
corners (one day, xi 5 with rho -0.95, rho 0.95, v0 1e-4) and the published case. Rows
marked "default" are checked by the default test run, the others by the slow one.
"""

import argparse
import csv
import itertools
import math
import multiprocessing
import random
import sys
import time
from pathlib import Path

import mpmath as mp

import make_pricing_references as base
from make_extended_references import gauss_legendre

HERE = Path(__file__).resolve().parent
DPS = 40
RICCATI_DPS = 32
# Extra digits for the out-of-the-money price's cancellation against the residue on
# Re w = 1/2; past them the line moves to the out-of-the-money side.
MAX_LOST = 30
AGREEMENT = mp.mpf("1e-20")
# The largest lam T: Merton's jump factor turns lam T |m + s^2 w| times per unit of Im w
# (pieces of two turns), Kou's hardly at all.
LAM_T = {"bates": 20.0, "hestonkou": 1000.0}
# Past this many pieces on the vertical line a turned contour is tried.
MAX_PIECES = 300
# Fixed Gauss-Legendre degree (48 nodes a piece of at most two turns: error ~ 4 pi^96 / 96!
# ~ 1e-73) where the rule must not adapt: Riccati nodes are dear, and the Greeks' differences
# want a price that is a smooth function of the row.
FIXED_DEGREE = 5

HESTON_FIELDS = ["v0", "kappa", "theta", "xi", "rho"]
FIELDS = {"heston": HESTON_FIELDS, "bates": HESTON_FIELDS + ["lam", "m", "s"],
          "hestonkou": HESTON_FIELDS + ["lam", "p", "eta1", "eta2"]}
SEEDS = {"heston": 20270101, "bates": 20270102, "hestonkou": 20270103}
PUBLISHED = dict(v0=0.0175, kappa=1.5768, theta=0.0398, xi=0.5751, rho=-0.5711, S=100.0, K=100.0, T=1.0, r=0.0,
                 q=0.0, kind="call")
PUBLISHED_CALL = "5.7851554343761890"


# ---------------------------------------------------------------- log-MGFs

def heston_little_trap(w, T, v0, kappa, theta, xi, rho):
    """ln E[exp(w X_T)] of Heston's X in the little-trap form, and the logarithm in it.

    With b = kappa - rho xi w, d = sqrt(b^2 - xi^2 (w^2 - w)) (Re d >= 0) and g = (b - d) /
    (b + d): B = (b - d)/xi^2 (1 - e^{-dT}) / (1 - g e^{-dT}), A = kappa theta / xi^2 ((b -
    d) T - 2 ln((1 - g e^{-dT}) / (1 - g))). (b - d)/xi^2 is written (w^2 - w)/(b + d) and
    the logarithm as log1p(g (1 - e^{-dT}) / (1 - g)), so that a small xi cancels nothing."""
    ww = w * w - w
    b = kappa - rho * xi * w
    d = mp.sqrt(b * b - xi * xi * ww)
    bd = b + d
    g = xi * xi * ww / (bd * bd)
    decay = mp.exp(-d * T)
    grown = -mp.expm1(-d * T)
    trap = mp.log1p(g * grown / (1 - g))
    B = ww / bd * grown / (1 - g * decay)
    A = kappa * theta * (ww / bd * T - 2 * trap / (xi * xi))
    return A + v0 * B, trap


def heston_riccati(w, T, v0, kappa, theta, xi, rho):
    """ln E[exp(w X_T)] by integrating the Riccati equation dB/dtau = a + beta B + c B^2,
    dA/dtau = kappa theta B (a = (w^2 - w)/2, beta = rho xi w - kappa, c = xi^2/2) numerically.

    B = -y' / (c y) turns it into y'' - beta y' + a c y = 0 with y(0) = 1, y'(0) = 0, and
    A = -(kappa theta / c) ln y. The linear equation is stepped by its Taylor propagator
    over steps with |lambda| h <= 1 (lambda the roots of lambda^2 - beta lambda + a c,
    bounded from the coefficients), the logarithm followed by continuity along tau (y
    turns by at most about a radian a step away from a zero of y, i.e. a pole of B). Once
    y'/y stops moving (the decaying mode is below 10^(8 - dps)) y grows like
    exp(tau y'/y) to T."""
    a, beta, c = (w * w - w) / 2, rho * xi * w - kappa, xi * xi / 2
    bound = abs(beta) / 2 + mp.sqrt(abs(beta) ** 2 / 4 + abs(a * c))
    n = max(1, int(mp.ceil(T * bound)))
    h = T / n
    # Taylor coefficients of the two solutions with (y, y') = (1, 0) and (0, 1) at 0.
    columns = []
    tiny = mp.mpf(10) ** (-mp.mp.dps - 5)
    for y0, y1 in ((mp.mpf(1), mp.mpf(0)), (mp.mpf(0), mp.mpf(1))):
        coef = [mp.mpc(y0), mp.mpc(y1)]
        value, slope, j = coef[0] + coef[1] * h, coef[1], 0
        while True:
            j += 1
            nxt = (beta * j * coef[j] - a * c * coef[j - 1]) / (j * (j + 1))
            coef.append(nxt)
            term = nxt * h ** (j + 1)
            value += term
            slope += (j + 1) * term / h
            if j > 8 and abs(term) < tiny * (abs(value) + abs(slope) * h) and abs(coef[j]) * h ** j < tiny * abs(value):
                break
        columns.append((value, slope))
    (m11, m21), (m12, m22) = columns
    y, dy = mp.mpc(1), mp.mpc(0)
    phase = mp.mpf(0)
    ratio = mp.mpc(0)
    tau = mp.mpf(0)
    settled = 0
    # Rounding moves y'/y by ~10^-dps a step: "stopped" means within 10^(8 - dps).
    still = mp.mpf(10) ** (8 - mp.mp.dps)
    if n > 10 ** 6:
        raise ArithmeticError("the Riccati equation needs more than a million steps")
    angle = mp.mpf(0)
    for step in range(1, n + 1):
        y, dy = m11 * y + m12 * dy, m21 * y + m22 * dy
        tau += h
        new_angle = mp.atan2(y.imag, y.real)
        turn = new_angle - angle
        turn -= 2 * mp.pi * mp.nint(turn / (2 * mp.pi))
        if abs(turn) > 2.5:
            raise ArithmeticError("y turns too fast: the Riccati solution is near a pole")
        phase += turn
        angle = new_angle
        if step % 4 == 0 or step == n:
            new_ratio = dy / y
            settled = settled + 1 if abs(new_ratio - ratio) <= still * abs(new_ratio) else 0
            ratio = new_ratio
            if settled >= 2:
                break
    log_y = mp.log(abs(y)) + 1j * phase + ratio * (T - tau)
    return -kappa * theta / c * log_y - v0 * ratio / c


def jump_exponent(model, params):
    """The jumps' part of ln E[exp(w X_1)] (per unit time), compensated in the drift."""
    if model == "bates":
        return lambda w: base.merton_exponent(w, 0, params["lam"], params["m"], params["s"])
    if model == "hestonkou":
        return lambda w: base.kou_exponent(w, 0, params["lam"], params["p"], params["eta1"], params["eta2"])
    return lambda w: 0


def jump_zeta(model, params):
    """E[e^Y] - 1 for one jump Y (the compensator's rate per unit lam)."""
    if model == "bates":
        return mp.expm1(params["m"] + params["s"] ** 2 / 2)
    if model == "hestonkou":
        p, eta1, eta2 = params["p"], params["eta1"], params["eta2"]
        return p * eta1 / (eta1 - 1) + (1 - p) * eta2 / (eta2 + 1) - 1
    return mp.mpf(0)


def log_mgf(model, params, T, riccati=False):
    """w -> ln E[exp(w X_T)], by the little-trap form or by the Riccati equation."""
    heston = [params[n] for n in HESTON_FIELDS]
    jumps = jump_exponent(model, params)
    if riccati:
        return lambda w: heston_riccati(w, T, *heston) + T * jumps(w)
    return lambda w: heston_little_trap(w, T, *heston)[0] + T * jumps(w)


def modulus_bound(model, params, T, k):
    """w -> an upper bound of Re(L(w) + (1 - w) k) near w, for the walk's tail test: Merton's
    jump factor exp(lam T e^{m w + s^2 w^2 / 2}) swings in modulus as its phase turns, so
    its envelope lam T (|e^{...}| - 1) stands in for its real part."""
    heston = [params[n] for n in HESTON_FIELDS]
    jumps = jump_exponent(model, params)
    if model != "bates":
        return lambda w: (heston_little_trap(w, T, *heston)[0] + T * jumps(w) + (1 - w) * k).real
    lam, m, s = params["lam"], params["m"], params["s"]
    zeta = jump_zeta(model, params)
    return lambda w: ((heston_little_trap(w, T, *heston)[0] + (1 - w) * k).real
                      + lam * T * (mp.exp((m * w + s * s * w * w / 2).real) - 1) - lam * T * zeta * w.real)


# ---------------------------------------------------------------- moment explosion

def explosion_time(w, kappa, xi, rho):
    """The time at which E[exp(w X_t)] of Heston turns infinite, for real w outside [0, 1]
    (infinite if never): the first zero of y(tau) = e^{beta tau/2} (cosh(d tau/2) - (beta/d)
    sinh(d tau/2)), the linearised Riccati solution, with d^2 = beta^2 - xi^2 (w^2 - w)."""
    beta = rho * xi * w - kappa
    d2 = beta * beta - xi * xi * (w * w - w)
    if d2 == 0:
        return 2 / beta if beta > 0 else mp.inf
    if d2 > 0:
        d = mp.sqrt(d2)
        if beta <= d:
            return mp.inf
        return 2 / d * mp.atanh(d / beta)
    delta = mp.sqrt(-d2)
    return 2 / delta * mp.atan2(delta, beta)


def strip_edge(model, params, T, side):
    """The explosion abscissa of ln E[exp(w X_T)] on one side (side +1: w > 1, -1: w < 0),
    at most 1e8 from the pole (w = 1 or 0) and inside Kou's strip; the pole itself where
    the moment of any order past it explodes before T."""
    kappa, xi, rho = params["kappa"], params["xi"], params["rho"]
    anchor = 1 if side > 0 else 0
    cap = mp.mpf(1e8)
    if model == "hestonkou":
        cap = min(cap, params["eta1"] - 1 if side > 0 else params["eta2"])

    def finite(x):
        return explosion_time(anchor + side * x, kappa, xi, rho) > T

    lo, hi = mp.mpf("1e-30"), cap
    if finite(hi):
        return anchor + side * hi
    if not finite(lo):
        return mp.mpf(anchor)
    while hi / lo > 1 + mp.mpf("1e-6"):
        mid = mp.sqrt(lo * hi)
        lo, hi = (mid, hi) if finite(mid) else (lo, mid)
    return anchor + side * lo


def saddle_line(model, params, T, k, side):
    """Where the integrand's modulus on the real axis is least, between the pole (w = 1 or
    0) and 80% of the way to the explosion abscissa or 200 from the pole (further out a
    narrow distribution's Heston part turns the walk long): the line through it starts
    with the least cancellation. Golden-section search in ln of the distance from the pole."""
    edge = strip_edge(model, params, T, side)
    anchor = 1 if side > 0 else 0
    room = min(abs(edge - anchor) * mp.mpf("0.8"), 200)
    if room < mp.mpf("1e-3"):
        return None, room
    L = log_mgf(model, params, T)

    def size(x):
        w = mp.mpf(anchor + side * mp.exp(x))
        return (L(w)).real + (1 - w) * k - mp.log(abs(w * (w - 1)))

    lo, hi = mp.log(min(room, mp.mpf("1e-3"))), mp.log(room)
    ratio = (mp.sqrt(5) - 1) / 2
    x1, x2 = hi - ratio * (hi - lo), lo + ratio * (hi - lo)
    f1, f2 = size(x1), size(x2)
    for _ in range(60):
        if f1 < f2:
            hi, x2, f2 = x2, x1, f1
            x1 = hi - ratio * (hi - lo)
            f1 = size(x1)
        else:
            lo, x1, f1 = x1, x2, f2
            x2 = lo + ratio * (hi - lo)
            f2 = size(x2)
    return anchor + side * mp.exp((lo + hi) / 2), room


# ---------------------------------------------------------------- contour integrals

class Contour:
    """w(t) = c + i t up to t0, then c + i t0 + (t - t0) e^{i angle} (t0 = inf: vertical)."""

    def __init__(self, c, t0=mp.inf, angle=mp.pi / 2):
        self.c, self.t0, self.turn = mp.mpf(c), t0, mp.expjpi(angle / mp.pi)

    def __call__(self, t):
        if t <= self.t0:
            return mp.mpc(self.c, t), mp.mpc(0, 1)
        return mp.mpc(self.c, self.t0) + (t - self.t0) * self.turn, self.turn


def walk(contour, E, bound, tol, poles, max_pieces=MAX_PIECES, turns=2):
    """Piece ends along the contour, each piece at most `turns` turns of the integrand (2 pi
    turns over the modulus of its log-derivative) and at most turns / 4 times its distance
    from the start plus one and times its distance from the nearest pole (w = 0, 1 and the
    jumps' own: Gauss-Legendre converges like the ellipse that the pole leaves); the walk
    stops when modulus / decay rate has stayed below tol over a stretch as
    long again as the one before it. Returns the ends and the largest modulus seen."""
    t, points, peak, calm_from = mp.mpf(0), [mp.mpf(0)], mp.mpf(0), None
    with mp.workdps(20):
        while True:
            w, dw = contour(t)
            delta = mp.mpf("1e-6") * (1 + abs(w))
            slope = (E(w + delta) - E(w - delta)) / (2 * delta) - (2 * w - 1) / (w * (w - 1))
            rate, decay = abs(slope * dw), -(slope * dw).real
            size = mp.exp(bound(w)) / abs(w * (w - 1))
            peak = max(peak, size)
            if t > 0 and decay > 0 and size / decay < tol:
                calm_from = t if calm_from is None else calm_from
                if t >= 2 * calm_from:
                    return points, peak
            else:
                calm_from = None
            near = min(abs(w - pole) for pole in poles)
            step = min(2 * turns * mp.pi / max(rate, mp.mpf("1e-30")), (min(t + 1, near)) * turns / 4)
            if t < contour.t0 < t + step:
                step = contour.t0 - t
            t += step
            points.append(+t)
            if len(points) > max_pieces:
                raise OverflowError(f"more than {max_pieces} pieces")


def check_branch(contour, end, params, T, max_samples=50000):
    """The little trap must not cross a branch cut along the contour: neither d's principal
    square root (which flips where d^2 crosses the negative axis) nor the principal
    logarithm. Both are followed from t = 0+ (on the real axis inside the strip d^2 may be
    negative: the integrand is even in d there, but the logarithm alone is not) to end, in
    steps over which the logarithm turns by about a quarter radian and d moves by at most
    a tenth of itself (from their local derivatives); no step may move the logarithm's
    imaginary part by more than 1 or d by more than half of itself."""
    heston = [params[n] for n in HESTON_FIELDS]
    kappa, xi, rho = params["kappa"], params["xi"], params["rho"]

    def d_of(w):
        b = kappa - rho * xi * w
        return mp.sqrt(b * b - xi * xi * (w * w - w))

    with mp.workdps(20):
        t = mp.mpf("1e-12") * (1 + abs(contour.c))
        w, dw = contour(t)
        previous, d_previous, count = heston_little_trap(w, T, *heston)[1], d_of(w), 0
        while t < end:
            delta = mp.mpf("1e-6") * (1 + abs(w))
            turning = abs((heston_little_trap(w + delta, T, *heston)[1] - previous) / delta)
            moving = abs((d_of(w + delta) - d_previous) / delta) / abs(d_previous)
            step = min(1 / max(4 * turning, 10 * moving, mp.mpf("1e-30")), (t + 1) / 2, end - t)
            if t < contour.t0 < t + step:
                step = contour.t0 - t
            t += step
            w, dw = contour(t)
            current, d_current = heston_little_trap(w, T, *heston)[1], d_of(w)
            if abs(current.imag - previous.imag) > 1 or abs(d_current - d_previous) > abs(d_previous) / 2:
                raise ArithmeticError(f"the little trap crosses a branch cut near w = {mp.nstr(w, 8)}")
            previous, d_previous = current, d_current
            count += 1
            if count > max_samples:
                raise ArithmeticError("the little trap turns too fast to follow")


def contour_integral(contour, E, points, scale, tol, fixed=False):
    """(1/pi) int_0^inf Im[exp(E(w)) w'(t) / (w (w - 1))] dt over the pieces: by mpmath's
    Gauss-Legendre quad, halving the pieces while its error estimate is not below tol
    scale, or with fixed the FIXED_DEGREE rule. The integrand is divided by scale (the
    size of the result), so that quad's error estimates are relative to it."""
    def integrand(t):
        w, dw = contour(t)
        return (mp.exp(E(w)) * dw / (w * (w - 1))).imag / scale

    if fixed:
        return scale * gauss_legendre(integrand, points, FIXED_DEGREE) / mp.pi
    for _ in range(4):
        value, error = mp.quad(integrand, points, method="gauss-legendre", error=True)
        if error < tol:
            return scale * value / mp.pi
        points = sorted(set(points) | {(a + b) / 2 for a, b in zip(points, points[1:])})
    raise ArithmeticError(f"quadrature error {mp.nstr(error * scale, 3)} above {mp.nstr(tol * scale, 3)}")


def turned_contours(model, params, T, k, c):
    """Contours from c that turn onto the ray along -conj(gamma - k), at heights from 0 up to
    where Heston's e^{-dT} has died out (t ~ 30 / (xi T)), lowest first."""
    V = params["v0"] + params["kappa"] * params["theta"] * T
    root = mp.sqrt(1 - params["rho"] ** 2)
    lam = params.get("lam", 0)
    gamma = V * (mp.mpc(0, root) - params["rho"]) / params["xi"] - lam * jump_zeta(model, params) * T - k
    angle = mp.arg(mp.mpc(-gamma.real, gamma.imag))
    # Flatter rays pass close above the real axis beyond the strip, where the continuation's
    # singularities lie (and Merton's jump factor grows along rays flatter than pi/4).
    lo, hi = (0.3, 0.7) if model == "bates" else (0.25, 0.75)
    angle = min(max(angle, lo * mp.pi), hi * mp.pi)
    scale = 1 / (params["xi"] * T)
    return [Contour(c, t0, angle) for t0 in (mp.mpf(0), scale, 10 * scale, 30 * scale / root)]


def lewis_integral(model, params, T, k, c, scale, riccati=False, fixed=False, turns=2):
    """(1/pi) int Im[...] on the vertical line through c, or where that needs more than
    MAX_PIECES pieces, on the first turned contour from c whose walk stays short, whose
    modulus never exceeds the vertical line's at the start by more than 1e3 (no
    cancellation to speak of) and along which the little trap stays on its branches; the
    vertical line however long as the last resort. The tail is cut below 10^-(dps + 2)
    scale, and the quadrature's error estimate must be below 10^-(dps - 5) scale (unless
    fixed, and always with the Riccati log-MGF: the FIXED_DEGREE rule), on pieces of
    `turns` turns. Returns the value and the contour's description."""
    tol = scale * mp.mpf(10) ** (-mp.mp.dps - 2)
    E_closed = log_mgf(model, params, T)
    E = (lambda w: E_closed(w) + (1 - w) * k)
    bound = modulus_bound(model, params, T, k)
    # The singularities nearest the contour: the residues' poles and the explosion
    # abscissae (Kou's are within them).
    poles = [0, 1, strip_edge(model, params, T, 1), strip_edge(model, params, T, -1)]
    with mp.workdps(20):
        start = mp.exp(bound(mp.mpc(c))) / abs(c * (c - 1))
    candidates = [(Contour(c), MAX_PIECES, "vertical")]
    candidates += [(contour, MAX_PIECES, f"turned at {mp.nstr(contour.t0, 3)}")
                   for contour in turned_contours(model, params, T, k, c)]
    candidates.append((Contour(c), 40 * MAX_PIECES, "vertical (long)"))
    failure = ArithmeticError("every contour's modulus grows past 1e3 times its start")
    for contour, most, label in candidates:
        try:
            points, peak = walk(contour, E, bound, tol, poles, max_pieces=most, turns=turns)
            if peak > 1e3 * start:
                continue
            check_branch(contour, points[-1], params, T)
            break
        except (OverflowError, ArithmeticError) as error:
            failure = error
    else:
        raise failure
    if riccati:
        # Riccati nodes are dear: pieces of six turns (48 nodes leave ~(6 pi)^96 / 96! ~ 1e-27).
        points, _ = walk(contour, E, bound, tol, poles, max_pieces=100 * MAX_PIECES, turns=6)
        E_ode = log_mgf(model, params, T, riccati=True)
        E = (lambda w: E_ode(w) + (1 - w) * k)
    value = contour_integral(contour, E, points, scale, mp.mpf(10) ** (5 - mp.mp.dps), fixed or riccati)
    return value, f"{label}, {len(points) - 1} pieces"


def line_start(model, params, T, k, c):
    """The integrand's modulus at w = c on the real axis: on a vertical line inside the strip
    the largest, so the size to which the line's result is accurate."""
    with mp.workdps(20):
        return mp.exp(modulus_bound(model, params, T, k)(mp.mpc(c))) / abs(c * (c - 1))


# ---------------------------------------------------------------- the two routes

def market_mp(row):
    S, K, T, r, q = (mp.mpf(row[n]) for n in ("S", "K", "T", "r", "q"))
    return S, K, T, r, q, row["kind"] == "call"


def parity(value, is_call, want_call, S, K, T, r, q):
    """The other kind from one: call - put = S e^{-qT} - K e^{-rT}."""
    if is_call == want_call:
        return value
    forward_gap = S * mp.exp(-q * T) - K * mp.exp(-r * T)
    return value - forward_gap if is_call else value + forward_gap


def route_line(model, params, T, k):
    """Route 2's line and its side (+1 call, -1 put, 0 the call with its residue): on the
    out-of-the-money side (calls for k >= 0) unless the strip is pinched there, then the
    other side, and where both are (moments past 1 and below 0 explode before T),
    Re w = 1/4 or 3/4, a quarter away from route 1's line towards the out-of-the-money
    side."""
    sides = (1, -1) if k >= 0 else (-1, 1)
    for side in sides:
        c, room = saddle_line(model, params, T, k, side)
        if c is not None:
            return c, side
    return (mp.mpf(3) / 4 if k >= 0 else mp.mpf(1) / 4), 0


def route2(model, params, row, riccati=False):
    """The option on route 2's side of the strip straight from its line, then parity."""
    S, K, T, r, q, call = market_mp(row)
    k = mp.log(K / S) - (r - q) * T
    c, side = route_line(model, params, T, k)
    value, how = lewis_integral(model, params, T, k, c, min(1, line_start(model, params, T, k, c)), riccati,
                                fixed=True)
    if side == 0:
        value += 1
    return parity(S * mp.exp(-q * T) * value, side >= 0, call, S, K, T, r, q), side, c, how


def route1(model, params, row, estimate=None, fixed=False):
    """Lewis on Re w = 1/2 with the residue at w = 1 (the call), then parity. estimate is
    the price in units of S e^{-qT} (route 2's): the digits that an out-of-the-money price
    loses to the cancellation against the residue are bought with working precision, or,
    past MAX_LOST digits, by a line on the out-of-the-money side halfway to route 2's."""
    S, K, T, r, q, call = market_mp(row)
    k = mp.log(K / S) - (r - q) * T
    scale = S * mp.exp(-q * T)
    # 40 digits leave 30 of a price down to 1e-5 S: only smaller ones need more.
    lost = 0 if estimate is None else MAX_LOST + 1 if estimate <= 0 else max(0, int(mp.ceil(-mp.log10(estimate))) - 5)
    side = 1 if call else -1
    c2 = saddle_line(model, params, T, k, side)[0] if lost > MAX_LOST else None
    if c2 is None:
        with mp.workdps(DPS + 10 * math.ceil(min(lost, MAX_LOST) / 10)):
            # The Greeks' fixed rule takes pieces of four turns (48 nodes leave ~1e-44).
            value, how = lewis_integral(model, params, T, k, mp.mpf(1) / 2, 1, fixed=fixed, turns=4 if fixed else 2)
            return +parity(scale * (1 + value), True, call, S, K, T, r, q), f"dps {mp.mp.dps}, {how}"
    c = (1 + c2) / 2 if side > 0 else c2 / 2
    value, how = lewis_integral(model, params, T, k, c, min(1, line_start(model, params, T, k, c)))
    return scale * value, f"Re w = {mp.nstr(c, 4)}, {how}"


def params_of(model, row):
    return {n: mp.mpf(row[n]) for n in FIELDS[model]}


def price_row(args):
    """Both routes for one row: route 1's price, their difference over S; None (and a line
    on stderr) where they disagree by more than AGREEMENT S."""
    model, row = args
    start = time.time()
    with mp.workdps(DPS):
        params = params_of(model, row)
        riccati = row.get("riccati", False)
        try:
            # The Riccati route is dear: 32 digits, enough to check 1e-20 S.
            with mp.workdps(RICCATI_DPS if riccati else DPS):
                second, side, c, how2 = route2(model, params, row, riccati)
            S, K, T, r, q, call = market_mp(row)
            first, how1 = route1(model, params, row, second / (S * mp.exp(-q * T)))
        except (ArithmeticError, OverflowError) as error:
            print(f"DROPPED {model} {describe(row)}: {type(error).__name__} {error}", file=sys.stderr, flush=True)
            return None
        agreement = abs(first - second) / S
        if row["case"] == "published":
            # The published value is a double's: it must match to 16 digits.
            print(f"published {PUBLISHED_CALL}: route 1 {mp.nstr(first, 20)}", file=sys.stderr, flush=True)
            if abs(first / mp.mpf(PUBLISHED_CALL) - 1) > mp.mpf("5e-16"):
                agreement = mp.inf
        text = (f"{time.time() - start:7.1f} s {model} {describe(row)} agreement {mp.nstr(agreement, 3)}"
                f" | 1: {how1} | 2: {'Riccati, ' if riccati else ''}c={mp.nstr(c, 4)}, {how2}")
        print(text, file=sys.stderr, flush=True)
        if not agreement <= AGREEMENT:
            print(f"DISAGREE {text} {mp.nstr(first, 30)} {mp.nstr(second, 30)}", file=sys.stderr, flush=True)
            return None
        # A price below the routes' noise (far out of the money on a narrow distribution,
        # ~1e-90 S) may come out negative: zero is as close to it.
        price = first if first > 0 else mp.mpf(0)
        return dict(price=mp.nstr(price, 25, strip_zeros=False), agreement=mp.nstr(agreement, 3))


def describe(row):
    return " ".join(f"{n}={row[n]:.4g}" if not isinstance(row[n], str) else f"{n}={row[n]}"
                    for n in row if n not in ("run", "riccati", "price", "agreement") and row[n] != "")


# ---------------------------------------------------------------- Greeks

def route1_pricer(model):
    """Route 1 with the fixed rule as a pricer of keyword parameters, for the differences."""
    def price(S, K, T, r, q, call, **params):
        row = dict(S=S, K=K, T=T, r=r, q=q, kind="call" if call else "put")
        return route1(model, params, row, fixed=True)[0]
    return price


def spread(model, params, T):
    """Standard deviation of ln S_T: Heston's expected integrated variance plus the jumps'."""
    v0, kappa, theta = params["v0"], params["kappa"], params["theta"]
    variance = theta * T + (v0 - theta) * -mp.expm1(-kappa * T) / kappa
    if model == "bates":
        variance += params["lam"] * T * (params["m"] ** 2 + params["s"] ** 2)
    elif model == "hestonkou":
        p, eta1, eta2 = params["p"], params["eta1"], params["eta2"]
        variance += params["lam"] * T * (2 * p / eta1 ** 2 + 2 * (1 - p) / eta2 ** 2)
    return mp.sqrt(variance)


def sv_steps(model):
    """make_pricing_references.steps with ln S_T's spread for S, and steps in proportion to
    sqrt(v0) (the volatility of vega), v0 and theta, which may be as small as 1e-4."""
    def steps(S, T, r, q, params, rel_step):
        h = base.steps(S, T, r, q, params, rel_step, spread=spread(model, params, T))
        h.update(vol0=rel_step * mp.sqrt(params["v0"]), v0=rel_step * params["v0"], theta=rel_step * params["theta"])
        return h
    return steps


def greek_row(args):
    """The Greeks of one row; step_factor scales the steps (1 for the stored references)."""
    model, row, step_factor = args
    start = time.time()
    with mp.workdps(DPS):
        params = params_of(model, row)
        market = (row["S"], row["K"], row["T"], row["r"], row["q"], row["kind"] == "call")
        vol = ("vol0", mp.sqrt(params["v0"]), lambda v: {"v0": v * v})
        out = base.greeks_by_differences(route1_pricer(model), market, params, FIELDS[model],
                                         mp.mpf("1e-3") * step_factor, sv_steps(model), vol)
    # The model's parameters theta and rho take those names' columns.
    out["theta_greek"], out["rho_greek"] = out.pop("theta"), out.pop("rho")
    with mp.workdps(DPS):
        adaptive = route1(model, params, dict(row, S=mp.mpf(row["S"])))[0]
        if abs(adaptive - out["price"]) > mp.mpf("1e-30") * row["S"]:
            raise ArithmeticError(f"fixed rule's price {out['price']} is not quad's {adaptive}")
    print(f"{time.time() - start:7.1f} s greeks {model} {describe(row)}", file=sys.stderr, flush=True)
    return {key: mp.nstr(value, 20, strip_zeros=False) for key, value in out.items()}


GREEK_NAMES = ["price", "delta", "gamma", "vega", "theta_greek", "rho_greek", "epsilon", "vanna", "charm", "speed",
               "colour", "zomma", "vomma"]


# ---------------------------------------------------------------- the grid

def heston_sample(rng):
    lu = base.log_uniform
    return dict(v0=lu(rng, 1e-4, 1.0), kappa=lu(rng, 0.01, 20.0), theta=lu(rng, 1e-4, 1.0), xi=lu(rng, 0.01, 5.0),
                rho=rng.uniform(-0.99, 0.99))


def jump_sample(model, rng):
    """make_pricing_references' Merton or Kou jump parameters (its sigma dropped)."""
    if model == "heston":
        return {}
    jumps = base.merton_sample(rng) if model == "bates" else base.kou_sample(rng)
    del jumps["sigma"]
    return jumps


def fit_jumps(model, row):
    if model in LAM_T:
        row["lam"] = min(row["lam"], LAM_T[model] / row["T"])


def corners(model):
    extremes = dict(v0=(1e-4, 1.0), kappa=(0.01, 20.0), theta=(1e-4, 1.0), xi=(0.01, 5.0), rho=(-0.99, 0.99),
                    T=(1 / 365, 30.0), K=(25.0, 400.0), kind=("call", "put"))
    if model == "bates":
        extremes.update(lam=(0.0, 1000.0), m=(-1.0, 0.5), s=(0.01, 1.0))
    elif model == "hestonkou":
        extremes.update(lam=(0.0, 1000.0), p=(0.0, 1.0), eta1=(1.5, 200.0), eta2=(0.5, 200.0))
    rows = base.extreme_combinations(extremes)
    for row in rows:
        row.update(S=100.0, r=0.05, q=0.1, case="corner")
        fit_jumps(model, row)
    return rows


def ordered(model, row):
    return {n: row[n] for n in FIELDS[model] + base.MARKET_FIELDS + ["case"]}


def price_cases(model, count, corner_count, twins, riccati_share):
    """The published Heston case or jump-free twins of the first Heston points, thinned
    corners, then random points (named rows first: they are computed first); every named
    row and every riccati_share-th random one gets route 2's Riccati log-MGF."""
    rng = random.Random(SEEDS[model])
    grid = []
    for _ in range(count):
        row = heston_sample(rng)
        row.update(jump_sample(model, rng))
        row.update(base.market_sample(rng), case="")
        fit_jumps(model, row)
        grid.append(row)
    corner_rows = corners(model)
    rng.shuffle(corner_rows)
    named = []
    if model == "heston":
        named.append(dict(PUBLISHED, case="published"))
    else:
        heston_rng = random.Random(SEEDS["heston"])
        for _ in range(twins):
            row = heston_sample(heston_rng)
            row.update(jump_sample("heston", heston_rng), **jump_sample(model, rng))
            row.update(base.market_sample(heston_rng), case="lam 0", lam=0.0)
            named.append(row)
    named += corner_rows[:corner_count]
    named = [dict(ordered(model, r), riccati=True) for r in named]
    return named + [dict(ordered(model, r), riccati=i % riccati_share == 0) for i, r in enumerate(grid)]


def greek_cases(model, count):
    """For Heston the published case, a few corners (short T, xi 5, strong rho), then a
    moderate sample; v0 >= 1e-4 everywhere (vega is a derivative in sqrt(v0))."""
    rng = random.Random(SEEDS[model] + 100)
    lu = base.log_uniform
    rows = []
    for _ in range(count):
        row = dict(v0=lu(rng, 0.005, 0.5), kappa=lu(rng, 0.2, 5.0), theta=lu(rng, 0.005, 0.5), xi=lu(rng, 0.1, 1.5),
                   rho=rng.uniform(-0.9, 0.5))
        if model == "bates":
            row.update(lam=lu(rng, 0.05, 5.0), m=rng.uniform(-0.3, 0.1), s=lu(rng, 0.05, 0.4))
        elif model == "hestonkou":
            row.update(lam=lu(rng, 0.05, 5.0), p=rng.uniform(0.2, 0.8), eta1=lu(rng, 3.0, 50.0),
                       eta2=lu(rng, 2.0, 50.0))
        row.update(S=100.0, K=round(100 * lu(rng, 0.7, 1.4), 6), T=lu(rng, 0.05, 5.0), r=rng.uniform(-0.01, 0.1),
                   q=rng.uniform(0.0, 0.1), kind=rng.choice(["call", "put"]), case="")
        rows.append(row)
    jumps = {k: v for k, v in rows[0].items() if k in ("lam", "m", "s", "p", "eta1", "eta2")}
    market = dict(S=100.0, r=0.03, q=0.01)
    named = [dict(v0=0.04, kappa=1.0, theta=0.04, xi=5.0, rho=-0.95, K=100.0, T=0.02, kind="call", case="xi 5, T 0.02"),
             dict(v0=0.09, kappa=3.0, theta=0.04, xi=1.0, rho=0.95, K=110.0, T=2.0, kind="put", case="rho 0.95"),
             dict(v0=0.04, kappa=2.0, theta=0.06, xi=0.6, rho=-0.7, K=101.0, T=1 / 365, kind="call",
                  case="one day"),
             dict(v0=1e-4, kappa=2.0, theta=0.01, xi=0.3, rho=-0.5, K=98.0, T=0.25, kind="put", case="v0 1e-4")]
    for row in named:
        row.update(market, **jumps)
    if model == "heston":
        named.insert(0, dict(PUBLISHED, case="published"))
    return [ordered(model, r) for r in named + rows]


def mark_runs(rows, default_share):
    """Named rows and every default_share-th other row run by default."""
    for i, row in enumerate(rows):
        row["run"] = "default" if row["case"] in ("published", "lam 0") or i % default_share == 0 else "slow"


def write(path, rows, fields, extra, values):
    """make_pricing_references.write_as_computed, leaving out rows whose value is None."""
    def kept():
        for row, value in zip(rows, values):
            if value is not None:
                row.update(value)
                yield row
    base.write_as_computed(path, kept(), fields, extra, itertools.repeat({}))


def stored_values(path, rows, fields, extra):
    """With --missing: the values of the rows already in the file (by their fields as
    written), None for the others."""
    def key(row):
        return tuple(row[f] if isinstance(row[f], str) else repr(float(row[f])) for f in fields)

    if not path.exists():
        return [None] * len(rows)
    with open(path, newline="") as handle:
        stored = {key(r): {e: r[e] for e in extra} for r in csv.DictReader(handle)}
    return [stored.get(key(row)) for row in rows]


def computed(pool, function, args, known):
    """function over args in the pool, except where known has the value already."""
    missing = pool.imap(function, [a for a, k in zip(args, known) if k is None], chunksize=1)
    for value in known:
        yield value if value is not None else next(missing)


def check_steps(model, factor, rows_slice, processes):
    """Recomputes stored Greek rows with the steps times factor; prints the largest changes
    in units of the tests' allowance max(1e-10 S, 1e-7 |value|)."""
    with open(HERE / f"{model}_greeks.csv", newline="") as handle:
        rows = list(csv.DictReader(handle))[rows_slice]
    for row in rows:
        for name in FIELDS[model] + base.MARKET_FIELDS[:-1]:
            row[name] = float(row[name])
    with multiprocessing.Pool(processes) as pool:
        base.report_step_changes(model, rows, pool.imap(greek_row, [(model, r, factor) for r in rows], chunksize=1),
                                 lambda row: f"{row['case']} xi={row['xi']:.3g} T={row['T']:.3g} K={row['K']}")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--what", choices=["prices", "greeks", "all"], default="all")
    parser.add_argument("--model", choices=list(FIELDS) + ["all"], default="all")
    parser.add_argument("--random", type=int, default=100, help="random grid points per model")
    parser.add_argument("--corners", type=int, default=16, help="corner combinations per model")
    parser.add_argument("--twins", type=int, default=4, help="jump-free twins of Heston rows per jump model")
    parser.add_argument("--riccati-share", type=int, default=4, help="every n-th row gets route 2's Riccati log-MGF")
    parser.add_argument("--greek-cases", type=int, default=15, help="random Greek cases per model")
    parser.add_argument("--default-share", type=int, default=4, help="every n-th row is in the default run")
    parser.add_argument("--check-steps", type=float, default=None, metavar="FACTOR",
                        help="write nothing; recompute the stored Greeks with the steps times FACTOR and compare")
    parser.add_argument("--check-rows", type=lambda text: slice(*(int(x) if x else None for x in text.split(":"))),
                        default=slice(None), metavar="START:STOP:STEP", help="with --check-steps, these stored rows")
    parser.add_argument("--missing", action="store_true",
                        help="prices: keep the rows already in the files, compute the others")
    parser.add_argument("--processes", type=int, default=2)
    args = parser.parse_args()
    models = list(FIELDS) if args.model == "all" else [args.model]
    if args.check_steps is not None:
        for model in models:
            check_steps(model, args.check_steps, args.check_rows, args.processes)
        return
    with multiprocessing.Pool(args.processes) as pool:
        for model in models:
            fields = FIELDS[model] + base.MARKET_FIELDS
            if args.what in ("prices", "all"):
                rows = price_cases(model, args.random, args.corners, args.twins, args.riccati_share)
                mark_runs(rows, args.default_share)
                path = HERE / f"{model}_prices.csv"
                known = (stored_values(path, rows, fields + ["case"], ["price", "agreement"]) if args.missing
                         else [None] * len(rows))
                values = computed(pool, price_row, [(model, r) for r in rows], known)
                write(path, rows, fields, ["case", "price", "agreement", "run"], values)
            if args.what in ("greeks", "all"):
                rows = greek_cases(model, args.greek_cases)
                mark_runs(rows, args.default_share)
                names = GREEK_NAMES + ["d_" + n for n in FIELDS[model]]
                values = pool.imap(greek_row, [(model, r, 1) for r in rows], chunksize=1)
                write(HERE / f"{model}_greeks.csv", rows, fields, ["case"] + names + ["run"], values)


if __name__ == "__main__":
    main()
