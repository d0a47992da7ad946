"""Command line: price tables from the shell."""

from tarnwick.models import lognjump

# Parameters of the published Merton reference values.
MERTON_DEFAULTS = dict(S=100.0, sigma=0.2, r=0.05, lam=1.0, m=-0.1, s=0.2, T=1.0)


def merton_table(strikes, terms, S, sigma, r, lam, m, s, T):
    """Rows of Merton call prices: one row per strike, one column per term bound."""
    header = "K".rjust(8) + "".join(f"n = {n}".rjust(16) for n in terms)
    rows = [header]
    for K in strikes:
        call = lognjump.MertonEuropeanCall(K, T)
        prices = (call.JDAnalyticalPrice(S, sigma, r, lam, m, s, n) for n in terms)
        rows.append(f"{K:8g}" + "".join(f"{p:16.10f}" for p in prices))
    return rows


def main():
    d = MERTON_DEFAULTS
    print(
        f"Merton call prices (S={d['S']:g}, sigma={d['sigma']:g}, r={d['r']:g}, "
        f"lam={d['lam']:g}, m={d['m']:g}, s={d['s']:g}, T={d['T']:g})"
    )
    for row in merton_table(range(80, 121, 10), (0, 2, 10, 50), **d):
        print(row)
