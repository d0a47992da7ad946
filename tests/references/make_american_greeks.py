"""American Greeks under Black-Scholes, Kou and Merton by differences of converged prices.

    python tests/references/make_american_greeks.py

writes american_greeks.csv beside itself (about an hour on a busy core).
Nothing here uses tarnwick. The prices are the finite-difference PIDE of
make_american_references.py (penalty for the early exercise, Richardson extrapolation over
three grids halving h and dt), whose American prices agree with the Fourier-cosine
Bermudan extrapolation within 1e-7 K on the stored rows:

- delta and gamma from the extrapolated values at the nodes beside the spot (the grids
  are nested, so every level has them): the five-point stencils in x = ln S at spacings
  h and 2h, combined by Richardson (error h^6), then delta = V_x / S and
  gamma = (V_xx - V_x) / S^2. The spots are at least four coarse cells (1.6 %) from the
  exercise boundary, where the price is only once differentiable.
- vega, rho, epsilon and theta by central differences at d and 2d combined by Richardson
  (error d^4), every price on the same grid spacing so the discretisation errors of the
  two sides are nearly the same and cancel.

Every grid takes four times the steps that suffice for the prices (400 on the coarsest).
What the extrapolation over the grids leaves is mostly the part of the time-stepping
error that changes irregularly as the exercise boundary crosses nodes from step to step:
a few 1e-9 K from node to node, or from a bumped price to the other, which the stencils
divide by h^2 and the differences by 2 d. With 100 steps the Merton row at S = 95 had
gamma 0.0162944 from stencils at h and 2h, 0.0162959 at 2h and 4h and 0.0162964 at 4h
and 8h (0.0162963 at all three with 400), and the Black-Scholes row theta -0.473659
(-0.4736175 with 400, -0.4736148 with 1600; the equation at the spot with this delta and
gamma gives -0.473612).

Columns: the model's parameters as in american_prices.csv, S, K, T, r, q, kind, price,
then delta, gamma, vega, theta (= -dV/dT), rho, epsilon (dV/dq), and correction: the
largest relative change that a Richardson step of the differences made in the row (what
truncation it leaves is of higher order and far smaller).
"""

import csv
import math
import sys
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

from make_american_references import (PARAMETERS, black_scholes, fd_american, fd_solution, kou,  # noqa: E402
                                      merton, richardson)

GREEKS = ["delta", "gamma", "vega", "theta", "rho", "epsilon"]
COLUMNS = ["model"] + PARAMETERS + ["S", "K", "T", "r", "q", "kind", "price"] + GREEKS + ["correction"]
COARSE_H, COARSE_STEPS, LEVELS = 0.004, 400, 3


def nested_step(S, K):
    """The coarse spacing: near COARSE_H and dividing ln(S/K), so that halving it keeps
    the spot and the strike on nodes and every level has the coarse nodes."""
    gap = abs(math.log(S / K))
    return gap / max(1, round(gap / COARSE_H)) if gap > 0 else COARSE_H


def values_beside_the_spot(model, S, K, T, r, q, call, reach=4):
    """Extrapolated values at ln S + j h for j = -reach .. reach (h the coarse spacing)."""
    h = nested_step(S, K)
    levels = []
    for i in range(LEVELS):
        values, at = fd_solution(model, S, K, T, r, q, call, h / 2 ** i, COARSE_STEPS << i)
        levels.append([values[at + (j << i)] for j in range(-reach, reach + 1)])
    return h, [richardson([level[j] for level in levels], [2, 3])[0] for j in range(2 * reach + 1)]


def spot_greeks(S, h, v):
    """delta and gamma from values v[j] at x = ln S + (j - 4) h."""
    def first(step):  # five-point stencils with nodes `step` cells apart
        return (v[4 - 2 * step] - 8 * v[4 - step] + 8 * v[4 + step] - v[4 + 2 * step]) / (12 * step * h)

    def second(step):
        return (-v[4 - 2 * step] + 16 * v[4 - step] - 30 * v[4] + 16 * v[4 + step] - v[4 + 2 * step]) / (
            12 * (step * h) ** 2)

    v_x = (64 * first(1) - first(2)) / 63
    v_xx = (64 * second(1) - second(2)) / 63
    corrections = (abs(first(1) - first(2)) / abs(v_x), abs(second(1) - second(2)) / abs(v_xx - v_x))
    return v_x / S, (v_xx - v_x) / S ** 2, max(corrections)


def parameter_greek(price_at, d):
    """dV/dz at z from prices at z +- d and z +- 2d (Richardson on two central differences),
    and the relative change that the extrapolation made."""
    near = (price_at(d) - price_at(-d)) / (2 * d)
    far = (price_at(2 * d) - price_at(-2 * d)) / (4 * d)
    value = (4 * near - far) / 3
    return value, abs(near - far) / abs(value)


def row(case):
    model, S, K, T, r, q, kind = case
    call = kind == "call"
    h, v = values_beside_the_spot(model, S, K, T, r, q, call)
    delta, gamma, spot_correction = spot_greeks(S, h, v)

    def price(m=model, T=T, r=r, q=q):
        return fd_american(m, S, K, T, r, q, call, h0=h, steps0=COARSE_STEPS)[0]

    vega, vega_correction = parameter_greek(lambda d: price(m={**model, "sigma": model["sigma"] + d}), 0.002)
    minus_theta, theta_correction = parameter_greek(lambda d: price(T=T + d), 0.004 * T)
    rho, rho_correction = parameter_greek(lambda d: price(r=r + d), 0.002)
    epsilon, epsilon_correction = parameter_greek(lambda d: price(q=q + d), 0.002)
    greeks = {"delta": delta, "gamma": gamma, "vega": vega, "theta": -minus_theta, "rho": rho, "epsilon": epsilon}
    corrections = (spot_correction, vega_correction, theta_correction, rho_correction, epsilon_correction)
    out = {"model": model["model"], **{name: model.get(name, "") for name in PARAMETERS}, "S": S, "K": K,
           "T": T, "r": r, "q": q, "kind": kind, "price": repr(float(v[4]))}
    out.update({name: repr(float(value)) for name, value in greeks.items()})
    out["correction"] = f"{max(corrections):.3g}"
    print(out, flush=True)
    return out


CASES = [
    (kou(0.15, 0.1, 0.3445, 3.0465, 3.0775), 100.0, 100.0, 0.25, 0.05, 0.0, "put"),
    (kou(0.15, 0.1, 0.3445, 3.0465, 3.0775), 110.0, 100.0, 0.25, 0.05, 0.0, "put"),
    (merton(0.15, 0.1, -0.9, 0.45), 100.0, 100.0, 0.25, 0.05, 0.0, "put"),
    (black_scholes(0.2), 36.0, 40.0, 1.0, 0.06, 0.0, "put"),
    (kou(0.2, 1.0, 0.4, 15.0, 8.0), 100.0, 100.0, 0.5, 0.03, 0.05, "call"),
    (merton(0.25, 0.5, -0.2, 0.15), 95.0, 100.0, 1.0, 0.05, 0.01, "put"),
]


def main():
    with open(HERE / "american_greeks.csv", "w", newline="") as f:
        writer = csv.DictWriter(f, COLUMNS)
        writer.writeheader()
        for case in CASES:
            writer.writerow(row(case))
            f.flush()


if __name__ == "__main__":
    main()
