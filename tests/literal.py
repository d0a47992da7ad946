"""Straight-line reference evaluation of both pricers, for bit-exact comparison.

Every function below performs the native code's operations one by one, in the
same order and with the same grouping, on IEEE doubles (Python floats).  All
transcendental functions come from the C math library through ctypes, so that
both sides use the same exp, log, pow, sqrt, erfc and tgamma.  Nothing here is
rearranged for speed or accuracy: a change of grouping changes the last bits.

The only liberty taken is memoising Hh within one Upsilon evaluation; Hh is a
pure function of (n, x), and the cache is keyed by the exact bits of x, so this
cannot change a single value.
"""

import ctypes
import ctypes.util
import math

_libm = ctypes.CDLL(ctypes.util.find_library("m"))


def _fn(name, nargs):
    f = getattr(_libm, name)
    f.restype = ctypes.c_double
    f.argtypes = [ctypes.c_double] * nargs
    return f


exp = _fn("exp", 1)
log = _fn("log", 1)
sqrt = _fn("sqrt", 1)
erfc = _fn("erfc", 1)
tgamma = _fn("tgamma", 1)
pow_ = _fn("pow", 2)

SQRT2 = 1.4142135623730951
SQRT_2PI = 2.5066282746310002
TWO_PI = 6.283185307179586


def div(a, b):
    """a / b with IEEE semantics for a zero divisor (Python's / raises there)."""
    if b != 0.0:
        return a / b
    if a != a or a == 0.0:
        return math.nan
    return math.copysign(math.inf, a) * math.copysign(1.0, b)


def phi(y):
    """Standard normal distribution function, complement form."""
    return 1.0 - erfc(y / SQRT2) * 0.5


# --------------------------------------------------------------------------
# Merton: Poisson series of Black-Scholes prices.
# --------------------------------------------------------------------------

def _factorial(i):
    f = 1.0
    for j in range(2, i + 1):
        f = float(j) * f
    return f


def merton_call(T, K, S, sigma, r, lam, m, s, n):
    """Plain series over i = 0 .. floor(n), without any cap on the index."""
    s2 = s * s
    E = exp((0.5 * s2) + m)
    k = E - 1.0
    g = 1.0 + k
    lT = (g * lam) * T
    rp = r - (k * lam)
    L = log(g)
    if not (n >= 0):
        return 0.0
    sqT = sqrt(T)
    total = 0.0
    i = 0
    while True:
        di = float(i)
        sig_i = sqrt((div(s2, T) * di) + (sigma * sigma))
        r_i = (div(L, T) * di) + rp
        w_i = exp(-lT) * pow_(lT, di)
        if i >= 2:
            w_i = div(w_i, _factorial(i))
        d1 = div(div(((((sig_i * sig_i) * 0.5) + r_i) * T) + log(div(S, K)), sig_i), sqT)
        d2 = d1 - (sig_i * sqT)
        B_i = (S * phi(d1)) - ((K * exp(-(r_i * T))) * phi(d2))
        total = (B_i * w_i) + total
        i += 1
        if not (float(i) <= n):
            return total


# --------------------------------------------------------------------------
# Kou: Hh, I_n, Upsilon, call and put.
# --------------------------------------------------------------------------

def hh(n, x, _memo=None):
    """Hh_n(x) by its three-term recursion from orders -1 and 0."""
    key = (n, float(x).hex())
    if _memo is not None and key in _memo:
        return _memo[key]
    if n == -1:
        v = exp((-0.5 * x) * x)
    elif n == 0:
        v = (1.0 - erfc((-x) / SQRT2) * 0.5) * SQRT_2PI
    else:
        lower2 = hh(n - 2, x, _memo)
        v = div(lower2 - x * hh(n - 1, x, _memo), float(n))
    if _memo is not None:
        _memo[key] = v
    return v


def in_(n, c, alpha, beta, delta, _memo=None):
    """I_n(c; alpha, beta, delta) in closed form, 0 outside its two sign cases."""
    if beta > 0:
        if alpha == 0:
            return 0.0
        first = True
    elif beta < 0 and alpha < 0:
        first = False
    else:
        return 0.0
    x = beta * c - delta
    s = 0.0
    for i in range(n + 1):
        s = pow_(div(beta, alpha), float(n - i)) * hh(i, x, _memo) + s
    G = div(exp(c * alpha), alpha)
    W = div(SQRT_2PI, beta) * pow_(div(beta, alpha), float(n + 1))
    E = exp(div(alpha * alpha, (beta + beta) * beta) + div(delta * alpha, beta))
    if first:
        return ((W * E) * phi(div(alpha, beta) + (delta - beta * c))) - s * G
    return (-G) * s - ((W * E) * phi((beta * c - delta) - div(alpha, beta)))


def _binom(u, v):
    return div(tgamma(float(u) + 1.0),
               tgamma(float(v) + 1.0) * tgamma(float(u - v) + 1.0))


def upsilon(mu, sigma, lam, p, eta1, eta2, a, T, n):
    """P(Z(T) >= a) for the double-exponential jump-diffusion, n jump terms."""
    memo = {}
    q = 1.0 - p
    sqT = sqrt(T)
    sT = sigma * sqT
    m = a - mu * T
    e0 = exp((-lam) * T)
    A1 = 0.0
    A2 = 0.0
    for j in range(1, n + 1):
        pi_j = div(exp((-lam) * T) * pow_(lam * T, float(j)), tgamma(float(j) + 1.0))
        S1 = 0.0
        S2 = 0.0
        for k in range(1, j + 1):
            if k == j:
                P = pow_(p, float(j))
            else:
                P = 0.0
                for i in range(k, j):
                    term = ((((_binom(j, i) * _binom(j - k - 1, i - k))
                              * pow_(div(eta1, eta1 + eta2), float(i - k)))
                             * pow_(div(eta2, eta1 + eta2), float(j - i)))
                            * (pow_(p, float(i)) * pow_(q, float(j - i))))
                    P = term + P
            S1 = (in_(k - 1, m, -eta1, div(-1.0, sT), sqT * (eta1 * (-sigma)), memo)
                  * (P * pow_(eta1 * sT, float(k)))) + S1
            if k == j:
                Q = pow_(q, float(j))
            else:
                Q = 0.0
                for i in range(k, j):
                    term = ((((_binom(j, i) * _binom(j - k - 1, i - k))
                              * pow_(div(eta1, eta1 + eta2), float(j - i)))
                             * pow_(div(eta2, eta1 + eta2), float(i - k)))
                            * (pow_(q, float(i)) * pow_(p, float(j - i))))
                    Q = term + Q
            S2 = (in_(k - 1, m, eta2, div(1.0, sT), sqT * ((-sigma) * eta2), memo)
                  * (Q * pow_(eta2 * sT, float(k)))) + S2
        A1 = S1 * pi_j + A1
        A2 = S2 * pi_j + A2
    D = sqrt(TWO_PI * T) * sigma
    t1 = div(exp((((eta1 * sigma) * (eta1 * sigma)) * T) * 0.5), D) * A1
    t2 = div(exp((((eta2 * sigma) * (eta2 * sigma)) * T) * 0.5), D) * A2
    y = div(-(a - mu * T), sqT * sigma)
    return phi(y) * e0 + (t2 + t1)


def kou_call(T, K, S, r, sigma, lam, p, eta1, eta2, n):
    zeta = (div((1.0 - p) * eta2, eta2 + 1.0) + div(p * eta1, eta1 - 1.0)) - 1.0
    a = log(div(K, S))
    h = (0.5 * sigma) * sigma
    c = lam * zeta
    mu1 = (r + h) - c
    lam1 = (zeta + 1.0) * lam
    p1 = div(p, zeta + 1.0) * div(eta1, eta1 - 1.0)
    u1 = upsilon(mu1, sigma, lam1, p1, eta1 - 1.0, eta2 + 1.0, a, T, n)
    mu2 = (r - h) - c
    u2 = upsilon(mu2, sigma, lam, p, eta1, eta2, a, T, n)
    D = K * exp((-r) * T)
    return S * u1 - u2 * D


def kou_put(T, K, S, r, sigma, lam, p, eta1, eta2, n):
    pc = kou_call(T, K, S, r, sigma, lam, p, eta1, eta2, n)
    return (K * exp((-r) * T) + pc) - S
