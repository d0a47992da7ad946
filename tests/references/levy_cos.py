"""Shared pieces of the American and barrier reference generators (NumPy/SciPy only, nothing
from tarnwick): the risk-neutral log-price laws of Black-Scholes, Kou and Merton, and the
Fourier-cosine (COS) backward induction over a fixed set of dates.

A model is a dict: {"model": "BlackScholes"|"Kou"|"Merton", "sigma", "lam", and p, eta1,
eta2 (Kou) or m, s (Merton, mean and standard deviation of the log jump)}.

Backward induction (Fang and Oosterlee's COS method for Bermudan and discrete barrier
options). On [a, b] in x = ln(S/K) a value function v is held by its cosine coefficients
V_k = 2/(b-a) int_a^b v(x) cos(u_k (x-a)) dx, u_k = k pi/(b-a). One period dt back, the
discounted expectation of v is c(x) = e^{-r dt} sum'_k Re(phi(u_k) e^{i u_k (x-a)}) V_k,
phi the characteristic function of the log-price increment over dt (the series is exact
up to truncation of [a, b] and of the sum, and converges exponentially once N u_k covers
the decay of phi). The coefficients of c restricted to [x1, x2] are
e^{-r dt} Re(M (phi V)) with M_kj = G(j+k) + G(j-k), a Hankel plus a Toeplitz matrix, so
they cost two FFT convolutions of length 2N instead of an N x N product.
"""

import numpy as np
from scipy.signal import fftconvolve


def jump_mgf_minus_one(model):
    """E[e^Y] - 1 for the log jump Y: the compensator of the jumps in the drift."""
    if model["model"] == "Kou":
        p, eta1, eta2 = model["p"], model["eta1"], model["eta2"]
        return p * eta1 / (eta1 - 1.0) + (1.0 - p) * eta2 / (eta2 + 1.0) - 1.0
    if model["model"] == "Merton":
        return np.expm1(model["m"] + 0.5 * model["s"] ** 2)
    return 0.0


def jump_cf(model, u):
    """E[e^{iuY}] of one log jump."""
    if model["model"] == "Kou":
        p, eta1, eta2 = model["p"], model["eta1"], model["eta2"]
        return p * eta1 / (eta1 - 1j * u) + (1.0 - p) * eta2 / (eta2 + 1j * u)
    if model["model"] == "Merton":
        return np.exp(1j * u * model["m"] - 0.5 * (model["s"] * u) ** 2)
    return np.ones_like(u, dtype=complex)


def drift(model, r, q):
    """Drift of ln S per unit time under the risk-neutral measure."""
    lam = model.get("lam", 0.0)
    return r - q - 0.5 * model["sigma"] ** 2 - lam * jump_mgf_minus_one(model)


def increment_cf(model, u, dt, r, q):
    """E[e^{iu (ln S_{t+dt} - ln S_t)}]."""
    u = np.asarray(u, dtype=float)
    lam = model.get("lam", 0.0)
    exponent = 1j * u * drift(model, r, q) - 0.5 * (model["sigma"] * u) ** 2
    if lam:
        exponent = exponent + lam * (jump_cf(model, u) - 1.0)
    return np.exp(dt * exponent)


def cumulants(model, T, r, q):
    """Mean, variance and fourth cumulant of ln(S_T/S_0)."""
    lam = model.get("lam", 0.0)
    c1 = drift(model, r, q) * T
    c2 = model["sigma"] ** 2 * T
    c4 = 0.0
    if lam and model["model"] == "Kou":
        p, eta1, eta2 = model["p"], model["eta1"], model["eta2"]
        c1 += lam * T * (p / eta1 - (1 - p) / eta2)
        c2 += lam * T * 2 * (p / eta1 ** 2 + (1 - p) / eta2 ** 2)
        c4 += lam * T * 24 * (p / eta1 ** 4 + (1 - p) / eta2 ** 4)
    elif lam and model["model"] == "Merton":
        m, s = model["m"], model["s"]
        c1 += lam * T * m
        c2 += lam * T * (m * m + s * s)
        c4 += lam * T * (m ** 4 + 6 * m * m * s * s + 3 * s ** 4)
    return c1, c2, c4


class Cos:
    """The cosine basis on [a, b] with N terms."""

    def __init__(self, a, b, N):
        self.a, self.b, self.N = a, b, N
        self.u = np.arange(N) * np.pi / (b - a)

    def chi_psi(self, c, d):
        """int_c^d e^y cos(u_k (y-a)) dy and int_c^d cos(u_k (y-a)) dy for every k."""
        u, a = self.u, self.a
        ed, ec = np.exp(d), np.exp(c)
        cd, cc = np.cos(u * (d - a)), np.cos(u * (c - a))
        sd, sc = np.sin(u * (d - a)), np.sin(u * (c - a))
        chi = (cd * ed - cc * ec + u * (sd * ed - sc * ec)) / (1.0 + u * u)
        psi = np.empty_like(u)
        psi[0] = d - c
        psi[1:] = (sd[1:] - sc[1:]) / u[1:]
        return chi, psi

    def payoff(self, c, d, call, K):
        """Coefficients of K (e^x - 1) (call) or K (1 - e^x) (put) restricted to [c, d]."""
        if d <= c:
            return np.zeros(self.N)
        chi, psi = self.chi_psi(c, d)
        return 2.0 / (self.b - self.a) * K * ((chi - psi) if call else (psi - chi))

    def constant(self, c, d, value):
        """Coefficients of a constant restricted to [c, d]."""
        if d <= c:
            return np.zeros(self.N)
        return 2.0 / (self.b - self.a) * value * self.chi_psi(c, d)[1]

    def evaluate(self, coefficients, x):
        """sum'_k V_k cos(u_k (x-a)) at the points x."""
        weights = coefficients.copy()
        weights[0] *= 0.5
        return np.cos(np.multiply.outer(np.atleast_1d(x) - self.a, self.u)) @ weights

    def expectation(self, phi_coefficients, x):
        """sum'_k Re(phi_k e^{i u_k (x-a)}) V_k at the points x, phi_coefficients = phi V."""
        weights = phi_coefficients.copy()
        weights[0] *= 0.5
        phase = np.exp(1j * np.multiply.outer(np.atleast_1d(x) - self.a, self.u))
        return (phase @ weights).real

    def restricted(self, phi_coefficients, x1, x2):
        """Coefficients of x -> sum'_k Re(phi_k e^{i u_k (x-a)}) V_k restricted to [x1, x2]."""
        N = self.N
        if x2 <= x1:
            return np.zeros(N)
        w = phi_coefficients.copy()
        w[0] *= 0.5
        scale = np.pi / (self.b - self.a)
        y1, y2 = (x1 - self.a) * scale, (x2 - self.a) * scale
        n = np.arange(-(N - 1), 2 * N - 1)
        G = np.empty(n.size, dtype=complex)
        nonzero = n != 0
        G[nonzero] = (np.exp(1j * n[nonzero] * y2) - np.exp(1j * n[nonzero] * y1)) / (1j * np.pi * n[nonzero])
        G[~nonzero] = (x2 - x1) / (self.b - self.a)
        toeplitz_kernel = G[: 2 * N - 1]          # G(n), n = -(N-1)..N-1
        hankel_kernel = G[N - 1:]                 # G(n), n = 0..2N-2
        wr = w[::-1]
        toeplitz = fftconvolve(wr, toeplitz_kernel)[2 * N - 2 - np.arange(N)]
        hankel = fftconvolve(wr, hankel_kernel)[np.arange(N) + N - 1]
        return (toeplitz + hankel).real
