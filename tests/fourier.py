"""European call prices by Fourier inversion of the log-price characteristic function.

An independent reference for the series and closed-form pricers: it uses nothing
but each model's characteristic function and numerical quadrature.

Lewis' formula, with X = ln(S_T / S) and x = ln(S / K):

    C = S - sqrt(S K) e^{-rT} / pi * int_0^inf Re[e^{i u x} phi(u - i/2)] / (u^2 + 1/4) du

The contour Im z = -1/2 lies inside the strip where E[e^{-i z X}] exists for both
models (Kou needs eta1 > 1/2), and along it the integrand decays at least like
1/u^2 times the Gaussian factor of the diffusion.
"""

import cmath
import math

from scipy.integrate import quad


def merton_cf(z, T, r, sigma, lam, m, s):
    """E[exp(i z X_T)] for Merton's model; z may be complex."""
    kappa = math.expm1(m + 0.5 * s * s)
    drift = r - 0.5 * sigma * sigma - lam * kappa
    jump = cmath.exp(1j * z * m - 0.5 * s * s * z * z) - 1.0
    return cmath.exp(1j * z * drift * T - 0.5 * sigma * sigma * z * z * T + lam * T * jump)


def kou_cf(z, T, r, sigma, lam, p, eta1, eta2):
    """E[exp(i z X_T)] for Kou's model; z may be complex with -eta1 < Im z < eta2."""
    zeta = p * eta1 / (eta1 - 1.0) + (1.0 - p) * eta2 / (eta2 + 1.0) - 1.0
    drift = r - 0.5 * sigma * sigma - lam * zeta
    # Written as (phi_Y - 1) directly, so the two mixture terms cancel the 1 analytically
    # rather than in floating point: p*eta1/(eta1 - iz) - p = p*iz/(eta1 - iz).
    iz = 1j * z
    jump = p * iz / (eta1 - iz) - (1.0 - p) * iz / (eta2 + iz)
    return cmath.exp(iz * drift * T - 0.5 * sigma * sigma * z * z * T + lam * T * jump)


def _upper_limit(cf, sigma, T, monotone):
    """Where |phi(u - i/2)| / (u^2 + 1/4) has fallen below 1e-19 for good.

    The diffusion's Gaussian factor alone gives a bound. When the jump factor's modulus
    decreases in u (Kou: |phi_Y| falls monotonically), many jumps damp the function far
    earlier, and the range is cut at the first point of a geometric scan where the
    modulus is below the target. Merton's jump factor with a small s returns close to
    its value at 0 near every multiple of 2 pi / m, so only the Gaussian bound holds.
    """
    gauss = math.sqrt(2.0 * 45.0 / (sigma * sigma * T))
    if not monotone:
        return gauss
    u = min(1.0, gauss)
    while u < gauss:
        if abs(cf(u - 0.5j)) / (u * u + 0.25) < 1e-19 and abs(cf(2 * u - 0.5j)) / (4 * u * u) < 1e-19:
            return 2 * u
        u *= 1.25
    return gauss


def _lewis_call(cf, S, K, T, r, sigma, monotone):
    x = math.log(S / K)

    def integrand(u):
        return (cmath.exp(1j * u * x) * cf(u - 0.5j)).real / (u * u + 0.25)

    # The phase of the integrand turns at about the rate |x + d|, d the mean log return
    # (from the slope of phi at 0), so the range is split into pieces of at most half a
    # turn, and into at least 16 pieces that each hold a few e-foldings of the damping:
    # quad then converges to double precision in every piece, also for short maturities
    # and strikes far from the money, where a few pieces would miss the oscillation.
    h = 1e-5
    d = (cf(h) - cf(-h)).imag / (2 * h)
    upper = _upper_limit(cf, sigma, T, monotone)
    pieces = int(min(4000, max(16, math.ceil(upper * abs(x + d) / math.pi))))
    total = 0.0
    for j in range(pieces):
        a = upper * j / pieces
        b = upper * (j + 1) / pieces
        val, _ = quad(integrand, a, b, epsabs=1e-15, epsrel=1e-13, limit=200)
        total += val
    return S - math.sqrt(S * K) * math.exp(-r * T) / math.pi * total


def merton_call(S, K, T, r, sigma, lam, m, s):
    """Call price under Merton's lognormal jump-diffusion by Fourier inversion."""
    return _lewis_call(lambda z: merton_cf(z, T, r, sigma, lam, m, s), S, K, T, r, sigma, False)


def kou_call(S, K, T, r, sigma, lam, p, eta1, eta2):
    """Call price under Kou's double-exponential jump-diffusion by Fourier inversion."""
    return _lewis_call(lambda z: kou_cf(z, T, r, sigma, lam, p, eta1, eta2), S, K, T, r, sigma, True)


def bs_call(S, K, T, r, sigma):
    """Black-Scholes call, used to check the inversion itself in the jump-free limit."""
    sd = sigma * math.sqrt(T)
    d1 = (math.log(S / K) + (r + 0.5 * sigma * sigma) * T) / sd
    d2 = d1 - sd
    N = lambda y: 0.5 * math.erfc(-y / math.sqrt(2.0))
    return S * N(d1) - K * math.exp(-r * T) * N(d2)
