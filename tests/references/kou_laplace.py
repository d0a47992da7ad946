"""Continuously monitored barrier options under Kou's model by Laplace inversion in the
maturity (mpmath; nothing from tarnwick).

X = ln S is a Levy process with exponent G(beta) = ln E[e^{beta X_1}] = mu beta +
sigma^2 beta^2 / 2 + lam (p eta1 / (eta1 - beta) + (1 - p) eta2 / (eta2 + beta) - 1).
For alpha with Re alpha > 0, G(beta) = alpha has four roots, two on each side of the
imaginary axis: (alpha - G(beta)) (eta1 - beta) (eta2 + beta) is a quartic in beta.

The first passage tau over a level b leaves an overshoot that is either zero (the
diffusion creeps over) or exponential with the jump's rate on that side, independent of
tau (the exponential law forgets how far the jump had to go). With d = |b - x| and
beta_1, beta_2 the two roots on the barrier's side measured away from x, and eta that
side's jump rate (Kou and Wang 2003),

    E[e^{-alpha tau}; creep]     = ((eta - beta_1) e^{-d beta_1} - (eta - beta_2) e^{-d beta_2}) / (beta_2 - beta_1)
    E[e^{-alpha tau}; overshoot] = (eta - beta_1) (beta_2 - eta) (e^{-d beta_1} - e^{-d beta_2}) / (eta (beta_2 - beta_1)).

The resolvent u(x) = int_0^inf e^{-alpha t} E_x[g(X_t)] dt of a payoff g has the density
R with int e^{beta z} R(z) dz = 1 / (alpha - G(beta)), rational in beta; by partial
fractions R is a sum of exponentials e^{-rho z}, one per root rho, on z > 0 for roots with
Re rho > 0 and on z < 0 for the others. A payoff that is a sum of exponentials on an
interval (calls and puts are) then integrates in closed form. By the strong Markov property
the resolvent of the process killed at tau is u(x) - E_x[e^{-alpha tau} u(X_tau)], and
E[u(b + overshoot)] is the same kind of integral with R convolved with the overshoot's law:
the weights times eta / (eta - rho) (the pole at eta cancels against a zero of
1 / (alpha - G)).

With alpha = s + r, the transform in T of e^{-rT} E[g(X_T); tau > T] (a knock-out) is that
killed resolvent; of the knock-in, u - killed resolvent; of the rebate R paid at the hit,
R E[e^{-alpha tau}] / s; of R paid at expiry if never hit, R (1 - E[e^{-alpha tau}]) / alpha.
Every formula is analytic in s away from the spectrum of the generator (left of s = -r),
and Talbot's contour encloses that spectrum, so the inversion converges geometrically in
the number of nodes (De Hoog's method on a Bromwich line gives the second opinion that
bounds the inversion error).
"""

import mpmath as mp


def _mp_model(model, r, q):
    sigma, lam = mp.mpf(model["sigma"]), mp.mpf(model.get("lam", 0.0))
    p, eta1, eta2 = (mp.mpf(model[name]) for name in ("p", "eta1", "eta2"))
    mu = mp.mpf(r) - mp.mpf(q) - sigma ** 2 / 2 - lam * (p * eta1 / (eta1 - 1) + (1 - p) * eta2 / (eta2 + 1) - 1)
    return mu, sigma, lam, p, eta1, eta2


def _polymul(a, b):
    """Product of polynomials given by coefficients, highest power first."""
    out = [mp.mpc(0)] * (len(a) + len(b) - 1)
    for i, x in enumerate(a):
        for j, y in enumerate(b):
            out[i + j] += x * y
    return out


def _polyadd(a, b):
    n = max(len(a), len(b))
    a, b = [0] * (n - len(a)) + list(a), [0] * (n - len(b)) + list(b)
    return [x + y for x, y in zip(a, b)]


def roots_and_weights(alpha, params):
    """The roots rho of G(beta) = alpha and the residues of 1 / (alpha - G(beta)) there."""
    mu, sigma, lam, p, eta1, eta2 = params
    denominator = _polymul([-1, eta1], [1, eta2])          # (eta1 - beta)(eta2 + beta)
    quartic = _polymul([-sigma ** 2 / 2, -mu, alpha + lam], denominator)
    quartic = _polyadd(quartic, [-lam * p * eta1, -lam * p * eta1 * eta2])
    quartic = _polyadd(quartic, [lam * (1 - p) * eta2, -lam * (1 - p) * eta2 * eta1])
    roots = mp.polyroots(quartic, maxsteps=200, extraprec=2 * mp.mp.prec)
    derivative = [c * (len(quartic) - 1 - i) for i, c in enumerate(quartic[:-1])]
    weights = [mp.polyval(denominator, rho) / mp.polyval(derivative, rho) for rho in roots]
    return roots, weights


def _exp_integral(kappa, lo, hi):
    """int_lo^hi e^{kappa z} dz, an infinite end contributing 0 (the continuation of the
    convergent integral to every kappa)."""
    if lo >= hi:
        return mp.mpf(0)
    top = 0 if hi == mp.inf else mp.exp(kappa * hi)
    bottom = 0 if lo == -mp.inf else mp.exp(kappa * lo)
    return (top - bottom) / kappa


def payoff_pieces(K, call):
    """The payoff as (c, gamma, lo, hi): c e^{gamma y} for y = ln S in [lo, hi]."""
    k = mp.log(K)
    if call:
        return [(1, 1, k, mp.inf), (-K, 0, k, mp.inf)]
    return [(K, 0, -mp.inf, k), (-1, 1, -mp.inf, k)]


def resolvent(x, roots, weights, pieces):
    """int g(x + z) R(z) dz, R = sum_i weight_i-signed exponentials (see the module)."""
    total = mp.mpc(0)
    for rho, w in zip(roots, weights):
        positive = mp.re(rho) > 0
        for c, gamma, lo, hi in pieces:
            z_lo, z_hi = lo - x, hi - x
            z_lo, z_hi = (max(z_lo, 0), z_hi) if positive else (z_lo, min(z_hi, 0))
            total += (-w if positive else w) * c * mp.exp(gamma * x) * _exp_integral(gamma - rho, z_lo, z_hi)
    return total


def passage(alpha, x, b, roots, params):
    """E[e^{-alpha tau}; creep] and E[e^{-alpha tau}; overshoot] from x to the level b, and
    that side's jump rate (the overshoot's sign is the barrier's)."""
    mu, sigma, lam, p, eta1, eta2 = params
    up = b > x
    side = sorted((rho if up else -rho for rho in roots if (mp.re(rho) > 0) == up), key=mp.re)
    beta1, beta2 = side
    eta = eta1 if up else eta2
    d = abs(b - x)
    e1, e2 = mp.exp(-d * beta1), mp.exp(-d * beta2)
    creep = ((eta - beta1) * e1 - (eta - beta2) * e2) / (beta2 - beta1)
    overshoot = (eta - beta1) * (beta2 - eta) * (e1 - e2) / (eta * (beta2 - beta1))
    return creep, overshoot, eta if up else -eta


def barrier_transform(s, model, S, K, H, r, q, kind, rebate):
    """The Laplace transform in the maturity of the price of `kind` ("down-out-call", ...)."""
    params = _mp_model(model, r, q)
    direction, knock, payoff = kind.split("-")
    alpha = s + r
    roots, weights = roots_and_weights(alpha, params)
    x, b = mp.log(S), mp.log(H)
    pieces = payoff_pieces(mp.mpf(K), payoff == "call")
    creep, overshoot, eta = passage(alpha, x, b, roots, params)
    # The overshoot is Exp(|eta|) with the barrier's sign: its transform eta / (eta - rho).
    shifted = [w * eta / (eta - rho) for rho, w in zip(roots, weights)]
    at_hit = creep * resolvent(b, roots, weights, pieces) + overshoot * resolvent(b, roots, shifted, pieces)
    hit = creep + overshoot
    if knock == "in":
        return at_hit + rebate * (1 - hit) / alpha
    return resolvent(x, roots, weights, pieces) - at_hit + rebate * hit / s


def kou_barrier(model, S, K, H, T, r, q, kind, rebate, method="talbot", dps=30):
    """The continuously monitored barrier price by inverting barrier_transform at T."""
    with mp.workdps(dps):
        S, K, H, T, r, q, rebate = map(mp.mpf, (S, K, H, T, r, q, rebate))
        value = mp.invertlaplace(lambda s: barrier_transform(s, model, S, K, H, r, q, kind, rebate), T,
                                 method=method)
        return mp.re(value)
