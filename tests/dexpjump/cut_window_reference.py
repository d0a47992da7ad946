"""Independent reference for Kou call prices whose cut n falls inside a large Poisson
window (lam T in the hundreds to thousands): Lewis' Fourier formula applied to the
measure of the cut series, in Python, with the Poisson weights' logarithms from mpmath.

For the cut series (jump counts j <= n) the call is e^{-rT} E[(S e^X - K)^+; N <= n],
linear in the measure, so Lewis' contour Im z = -1/2 applies as it does for the whole
model, with the residue at z = -i giving S e^{-rT} phi_cut(-i) instead of S:

    C = e^{-rT} (S phi_cut(-i) - sqrt(S K) / pi int_0^inf Re[e^{iux} phi_cut(u - i/2)] / (u^2 + 1/4) du),
    phi_cut(z) = exp(i z mu T - sigma^2 T z^2 / 2) sum_{j <= n} pi_j psi(z)^j.

Run as a script to print the values stored in test_kou_accuracy.py (about 0.3 s each).
"""

import math

import mpmath
import numpy as np
from scipy.integrate import quad


def cut_series_call(S, K, T, r, sigma, lam, p, eta1, eta2, n):
    q = 1.0 - p
    lam_T = lam * T
    zeta = q * eta2 / (eta2 + 1.0) + p * eta1 / (eta1 - 1.0) - 1.0
    drift = (r - 0.5 * sigma * sigma - lam * zeta) * T
    # Counts more than 12 standard deviations from the mean weigh below 1e-30.
    spread = 12.0 * math.sqrt(lam_T) + 40.0
    j = np.arange(max(0, int(lam_T - spread)), min(n, int(lam_T + spread)) + 1, dtype=float)
    # ln pi_j cancels to a few units of 1e5 for lam T = 1e4: in doubles it would carry an
    # absolute error of 1e-11, which shows in the price.
    with mpmath.workdps(30):
        log_pi = np.array([float(-lam_T + i * mpmath.log(lam_T) - mpmath.loggamma(i + 1)) for i in j])

    def psi(z):
        return p * eta1 / (eta1 - 1j * z) + q * eta2 / (eta2 + 1j * z)

    def cf(z):
        mixture = np.sum(np.exp(log_pi + j * np.log(psi(z))))
        return mixture * np.exp(1j * z * drift - 0.5 * sigma * sigma * T * z * z)

    def envelope(u):
        # |phi_cut(u - i/2)| is at most this, decreasing in u.
        radius = abs(p * eta1 / (eta1 - 0.5 - 1j * u)) + abs(q * eta2 / (eta2 + 0.5 + 1j * u))
        return (np.sum(np.exp(log_pi + j * math.log(radius))) *
                math.exp(-0.5 * sigma * sigma * T * (u * u - 0.25) + 0.5 * drift))

    x = math.log(S / K)
    u_max = 1e-3
    while envelope(u_max) / (u_max * u_max) > 1e-18:
        u_max *= 1.2
    edges = np.linspace(0.0, u_max, 200)
    integral = 0.0
    for lo, hi in zip(edges[:-1], edges[1:]):
        integral += quad(lambda u: (np.exp(1j * u * x) * cf(u - 0.5j)).real / (u * u + 0.25),
                         lo, hi, epsabs=1e-16, epsrel=1e-13, limit=200)[0]
    return math.exp(-r * T) * (S * cf(-1j).real - math.sqrt(S * K) / math.pi * integral)


if __name__ == "__main__":
    for T, lam, n in [(1.0, 1e4, 10000), (1.0, 1e4, 9500), (30.0, 300.0, 9000), (30.0, 300.0, 8500)]:
        price = cut_series_call(100.0, 100.0, T, 0.03, 0.2, lam, 0.4, 10.0, 5.0, n)
        print(f"T={T} lam={lam} n={n}: {float(price)!r}")
