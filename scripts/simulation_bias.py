"""The discretisation bias of tw.simulate's stochastic-volatility scheme, measured against
the Fourier prices of tw.price: the README's table.

For each parameter set and number of steps a year, puts at three strikes are priced as
the mean of their payoffs over many paths (puts: their payoff is bounded, so their
standard error is small) and set against tw.price. Bias is MC - Fourier with the Monte
Carlo standard error. Run from the repository with the package installed:

    python scripts/simulation_bias.py [--paths 1000000]
"""

import argparse

import numpy as np

import tarnwick as tw

# (model, T, steps a year)
SETS = {
    "Heston, usual": (tw.Heston(v0=0.04, kappa=1.5, theta=0.04, xi=0.5, rho=-0.7), 1.0, (2, 4, 12, 52, 252)),
    # Andersen's (2008) hard case: the Feller condition fails by far (2 kappa theta / xi^2 =
    # 0.04), the variance sits near zero much of the time, and T = 10 years.
    "Heston, Andersen's case": (tw.Heston(v0=0.04, kappa=0.5, theta=0.04, xi=1.0, rho=-0.9), 10.0, (1, 2, 4, 12)),
    "Bates": (tw.Bates(v0=0.04, kappa=2.0, theta=0.04, xi=0.6, rho=-0.6, lam=0.5, m=-0.1, s=0.15), 1.0,
              (2, 4, 12, 52)),
    "HestonKou": (tw.HestonKou(v0=0.04, kappa=1.5, theta=0.05, xi=0.7, rho=-0.5, lam=1.0, p=0.3, eta1=10.0,
                               eta2=5.0), 1.0, (2, 4, 12, 52)),
}
STRIKES = np.array([80.0, 100.0, 120.0])
BATCH = 100_000


def put_bias(model, T, steps, paths, seed=2026):
    """(bias, standard error) per strike of the Monte Carlo put against tw.price.

    The spot at T is a control variate: the scheme keeps E[S_T] = S exactly (r = q = 0),
    so the put's mean less beta times the spot's sample error has the same expectation and,
    for the in-the-money strikes, a far smaller variance."""
    sums = dict(p=0.0, pp=0.0, s=0.0, ss=0.0, ps=0.0)
    for first in range(0, paths, BATCH):
        count = min(BATCH, paths - first)
        # Only the last time is needed: the grid still has all the steps.
        final = tw.simulate(model, 100.0, T, steps=steps, paths=count, seed=seed, first_path=first)[:, -1]
        payoff = np.maximum(STRIKES - final[:, None], 0.0)
        sums["p"] += payoff.sum(axis=0)
        sums["pp"] += (payoff ** 2).sum(axis=0)
        sums["s"] += final.sum()
        sums["ss"] += (final ** 2).sum()
        sums["ps"] += (payoff * final[:, None]).sum(axis=0)
    mean = {key: value / paths for key, value in sums.items()}
    var_p = mean["pp"] - mean["p"] ** 2
    var_s = mean["ss"] - mean["s"] ** 2
    cov = mean["ps"] - mean["p"] * mean["s"]
    beta = cov / var_s
    estimate = mean["p"] - beta * (mean["s"] - 100.0)
    error = np.sqrt(np.maximum(var_p - beta * cov, 0.0) / paths)
    return estimate - tw.price(model, 100.0, STRIKES, T, kind="put"), error


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--paths", type=int, default=1_000_000)
    args = parser.parse_args()
    print("| model | T | steps a year | bias K = 80 | bias K = 100 | bias K = 120 |")
    print("|---|---|---|---|---|---|")
    for name, (model, T, steps_a_year) in SETS.items():
        for per_year in steps_a_year:
            bias, error = put_bias(model, T, int(round(per_year * T)), args.paths)
            cells = " | ".join(f"{b:+.4f} ± {e:.4f}" for b, e in zip(bias, error))
            print(f"| {name} | {T:g} | {per_year} | {cells} |", flush=True)


if __name__ == "__main__":
    main()
