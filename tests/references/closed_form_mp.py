"""High-precision evaluation of both truncated series, with mpmath.

Kou's closed form is evaluated term by term as written (Hh by its recursion, I_n by its
closed form, the mixture weights from exact binomials), at a working precision chosen
to survive its cancellation: the sums are multiplied by exp((eta sigma)^2 T / 2), so
about (eta sigma)^2 T / (2 ln 10) digits cancel, and the Hh recursion for positive
arguments x, of the order of (level + drift) / (sigma sqrt(T)), loses about
log10(x^n / n!) more. Merton's series is the Poisson-weighted sum
of Black-Scholes prices. Both are cut after the same jump count as the double versions.
"""

import math

import mpmath as mp


def _digits_lost(sigma, T, eta1, eta2, n, level=0.0):
    s = sigma * (T ** 0.5)
    X = max(eta1 - 1.0, eta2 + 1.0, eta1, eta2) * s
    x = (abs(level) + 1.0) / s + X
    recursion = max(0.0, n * math.log10(x) - math.lgamma(n + 1) / 2.302585) if n > 0 else 0.0
    return int(X * X / 2 / 2.302585 + recursion + 2 * n + 40)


def _hh_table(last, x):
    """Hh_0 ... Hh_last at x by the upward recursion, exact to the working precision."""
    two_below = mp.exp(-x * x / 2)
    one_below = mp.sqrt(2 * mp.pi) * mp.ncdf(-x)
    table = [one_below]
    for k in range(1, last + 1):
        nxt = (two_below - x * one_below) / k
        two_below, one_below = one_below, nxt
        table.append(nxt)
    return table


def _in_table(last, c, alpha, beta, delta):
    x = beta * c - delta
    hh = _hh_table(last, x)
    ratio = beta / alpha
    G = mp.exp(c * alpha) / alpha
    E = mp.exp(alpha ** 2 / (2 * beta ** 2) + alpha * delta / beta)
    out = []
    for n in range(last + 1):
        s = mp.fsum(ratio ** (n - i) * hh[i] for i in range(n + 1))
        W = mp.sqrt(2 * mp.pi) / beta * ratio ** (n + 1)
        if beta > 0:
            out.append(W * E * mp.ncdf(alpha / beta + delta - beta * c) - s * G)
        else:
            out.append(-G * s - W * E * mp.ncdf(beta * c - delta - alpha / beta))
    return out


def _upsilon(mu, sigma, lam, p, eta1, eta2, a, T, n):
    q = 1 - p
    sT = sigma * mp.sqrt(T)
    m = a - mu * T
    N = max(n, 0)
    total = mp.exp(-lam * T) * mp.ncdf(-m / sT)
    if N == 0:
        return total
    I_up = _in_table(N - 1, m, -eta1, -1 / sT, -sigma * eta1 * mp.sqrt(T))
    I_down = _in_table(N - 1, m, eta2, 1 / sT, -sigma * eta2 * mp.sqrt(T))
    up = eta1 / (eta1 + eta2)
    down = eta2 / (eta1 + eta2)
    A1 = A2 = mp.mpf(0)
    for j in range(1, N + 1):
        poisson = mp.exp(-lam * T) * (lam * T) ** j / mp.factorial(j)
        S1 = S2 = mp.mpf(0)
        for k in range(1, j + 1):
            if k == j:
                P, Q = p ** j, q ** j
            else:
                P = Q = mp.mpf(0)
                for i in range(k, j):
                    b = mp.binomial(j, i) * mp.binomial(j - k - 1, i - k)
                    P += b * up ** (i - k) * down ** (j - i) * p ** i * q ** (j - i)
                    Q += b * up ** (j - i) * down ** (i - k) * q ** i * p ** (j - i)
            S1 += I_up[k - 1] * P * (eta1 * sT) ** k
            S2 += I_down[k - 1] * Q * (eta2 * sT) ** k
        A1 += S1 * poisson
        A2 += S2 * poisson
    D = mp.sqrt(2 * mp.pi * T) * sigma
    return (total + mp.exp((eta1 * sigma) ** 2 * T / 2) / D * A1
            + mp.exp((eta2 * sigma) ** 2 * T / 2) / D * A2)


def kou_call(T, K, S, r, sigma, lam, p, eta1, eta2, n, extra_digits=0):
    """Kou's call of the series cut after jump count n, to about 20 significant digits."""
    zeta = p * eta1 / (eta1 - 1) + (1 - p) * eta2 / (eta2 + 1) - 1
    level = abs(math.log(K / S)) + (abs(r) + sigma * sigma + lam * (abs(zeta) + 1)) * T
    with mp.workdps(_digits_lost(sigma, T, eta1, eta2, n, level) + extra_digits):
        T, K, S, r, sigma, lam, p, eta1, eta2 = map(mp.mpf, (T, K, S, r, sigma, lam, p, eta1, eta2))
        zeta = p * eta1 / (eta1 - 1) + (1 - p) * eta2 / (eta2 + 1) - 1
        a = mp.log(K / S)
        u1 = _upsilon(r + sigma ** 2 / 2 - lam * zeta, sigma, (zeta + 1) * lam,
                      p / (zeta + 1) * eta1 / (eta1 - 1), eta1 - 1, eta2 + 1, a, T, n)
        u2 = _upsilon(r - sigma ** 2 / 2 - lam * zeta, sigma, lam, p, eta1, eta2, a, T, n)
        return float(S * u1 - K * mp.exp(-r * T) * u2)


def merton_call(T, K, S, sigma, r, lam, m, s, n):
    """Merton's series over the terms 0 ... floor(n) (n may be inf: all that matter)."""
    with mp.workdps(40):
        T, K, S, sigma, r, lam, m, s = map(mp.mpf, (T, K, S, sigma, r, lam, m, s))
        k = mp.exp(m + s * s / 2) - 1
        mu = (1 + k) * lam * T
        spread = 12 * mp.sqrt(mu) + 40
        lo = int(max(0, mp.floor(mu - spread)))
        hi = int(min(mp.floor(n) if n != float("inf") else mu + spread, mu + spread))
        total = mp.mpf(0)
        for i in range(lo, hi + 1):
            vol = mp.sqrt(sigma ** 2 + i * s * s / T)
            rate = r - lam * k + i * mp.log(1 + k) / T
            d1 = (mp.log(S / K) + (rate + vol ** 2 / 2) * T) / (vol * mp.sqrt(T))
            d2 = d1 - vol * mp.sqrt(T)
            bs = S * mp.ncdf(d1) - K * mp.exp(-rate * T) * mp.ncdf(d2)
            total += mp.exp(-mu + i * mp.log(mu) - mp.loggamma(i + 1)) * bs if mu > 0 else (bs if i == 0 else 0)
        return float(total)
