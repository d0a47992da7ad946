"""Write the packaged sample surfaces under src/tarnwick/data: synthetic option quotes.

Implied vols of a model with the parameters below, at 8 maturities x 13 strikes spread
in log-moneyness in proportion to the square root of the maturity, each plus Gaussian
noise of 0.1 vol point from a fixed seed; out-of-the-money quotes only (puts below the
forward, calls above). "kou" (the default) is Kou's model, "bates" Bates' stochastic
volatility with lognormal jumps. "market" is a file as a desk saves it: bid and ask
prices of an index's options at dated expiries, with the forward and discount factor of
each expiry and a symbol column, from Kou's model plus noise. Run from the checkout with
the package installed (OUT writes elsewhere):

    .venv/bin/python scripts/make_sample_quotes.py [--sample kou|bates|market] [OUT.csv]
"""

import argparse
import textwrap
from pathlib import Path
from typing import Any, NamedTuple, Tuple

import numpy as np

import tarnwick as tw

SPOT, RATE, DIVIDEND = 100.0, 0.03, 0.01
# Log-moneyness in units of 0.2 sqrt(T): from deep out-of-the-money puts, where the
# downward jumps show most, to moderately out-of-the-money calls.
MONEYNESS = np.linspace(-3.0, 1.8, 13)
NOISE = 0.001
DATA = Path(__file__).resolve().parents[1] / "src" / "tarnwick" / "data"


class Sample(NamedTuple):
    described: str  # the model as the header names it
    model: Any
    maturities: Tuple[float, ...]
    seed: int
    out: Path


SAMPLES = {
    "kou": Sample("Kou's model", tw.Kou(sigma=0.14, lam=0.8, p=0.3, eta1=12.0, eta2=6.0),
                  (1 / 12, 2 / 12, 3 / 12, 6 / 12, 9 / 12, 1.0, 1.5, 2.0), 11,
                  DATA / "sample_quotes.csv"),
    # An equity index: volatility near 17 % reverting to 20 % within months, a strongly
    # negative spot-volatility correlation, and a crash every three years or so of about
    # -12 %, which steepens the shortest maturities' skew beyond what the variance can.
    # Maturities are whole days of a 360-day year (the week 7/360), so that a pricer that
    # counts time in dates sees the stated maturities to within 5e-7 years.
    "bates": Sample("Bates' model", tw.Bates(v0=0.03, kappa=2.0, theta=0.04, xi=0.5, rho=-0.7,
                                             lam=0.3, m=-0.12, s=0.1),
                    (7 / 360, 1 / 12, 2 / 12, 3 / 12, 6 / 12, 1.0, 1.5, 2.0), 12,
                    DATA / "sample_quotes_bates.csv"),
}


# The desk's file: a valuation date, expiries on third Fridays, strikes on a grid of 25
# points, prices on a tick of 0.05 and a spread of about 0.4 vol point and a tick.
MARKET = Sample("Kou's model", SAMPLES["kou"].model, (), 13, DATA / "sample_market.csv")
VALUATION = np.datetime64("2026-12-09")
EXPIRIES = ("2027-01-15", "2027-02-19", "2027-03-19", "2027-06-18", "2027-09-17", "2027-12-17")
INDEX, STRIKE_STEP, TICK, HALF_SPREAD = 4800.0, 25.0, 0.05, 0.002


def market(sample: Sample, out: Path) -> None:
    rng = np.random.default_rng(sample.seed)
    text = (f"Synthetic quotes, not market data: bid and ask prices around those of "
            f"{sample.described} with {', '.join(f'{n}={getattr(sample.model, n):g}' for n in sample.model.parameter_names)} "
            f"(spot {INDEX:g}, rate {RATE:g}, dividend {DIVIDEND:g}) plus Gaussian noise of "
            f"{NOISE} in vol, seed {sample.seed}; made by scripts/make_sample_quotes.py.")
    lines = [textwrap.fill(text, 82, initial_indent="# ", subsequent_indent="# ",
                           break_on_hyphens=False),
             f"# valuation: {VALUATION}", "# day count: ACT/365F", f"# spot: {INDEX:g}",
             "symbol,expiry,strike,kind,bid,ask,forward,discount"]
    for expiry in EXPIRIES:
        T = (np.datetime64(expiry) - VALUATION) / np.timedelta64(1, "D") / 365.0
        forward = round(INDEX * np.exp((RATE - DIVIDEND) * T), 2)
        discount = round(float(np.exp(-RATE * T)), 6)
        atm = round(forward / STRIKE_STEP) * STRIKE_STEP
        width = STRIKE_STEP * max(1, round(0.2 * np.sqrt(T) * forward * 0.6 / STRIKE_STEP))
        # Out-of-the-money quotes, and a call and a put at the strike nearest the forward.
        for K in atm + width * np.arange(-6, 4):
            for kind in (("put", "call") if K == atm else ("call" if K > forward else "put",)):
                F, D = forward, discount
                price = tw.price(sample.model, None, K, T, forward=F, discount=D, kind=kind)
                vega = tw.greeks(tw.BlackScholes(0.2), None, K, T, forward=F, discount=D).vega
                mid = price + NOISE * vega * rng.standard_normal()
                half = HALF_SPREAD * vega + TICK
                bid = max(0.0, np.floor((mid - half) / TICK) * TICK)
                ask = np.ceil((mid + half) / TICK) * TICK
                lines.append(f"SPX {expiry} {K:g} {kind[0].upper()},{expiry},{K:g},{kind},"
                             f"{bid:.2f},{ask:.2f},{F:.2f},{D:.6f}")
    out.write_text("\n".join(lines) + "\n")
    print(f"wrote {out}")


def header(sample: Sample) -> str:
    values = ", ".join(f"{name}={getattr(sample.model, name):g}"
                       for name in sample.model.parameter_names)
    text = (f"Synthetic quotes, not market data: implied vols of {sample.described} with "
            f"{values} (spot {SPOT:g}, rate {RATE:g}, dividend {DIVIDEND:g}) plus Gaussian "
            f"noise of {NOISE} (0.1 vol point), seed {sample.seed}; made by "
            "scripts/make_sample_quotes.py.")
    return textwrap.fill(text, 82, initial_indent="# ", subsequent_indent="# ",
                         break_on_hyphens=False)


def main(sample: Sample, out: Path) -> None:
    rng = np.random.default_rng(sample.seed)
    lines = [header(sample), f"# spot: {SPOT:g}", "strike,maturity,kind,iv,rate,dividend"]
    for T in sample.maturities:
        T = round(T, 6)  # priced at the maturity the file states
        forward = SPOT * np.exp((RATE - DIVIDEND) * T)
        strikes = np.round(forward * np.exp(MONEYNESS * 0.2 * np.sqrt(T)) * 2) / 2
        for K in strikes:
            kind = "call" if K >= forward else "put"
            price = tw.price(sample.model, SPOT, K, T, RATE, DIVIDEND, kind)
            iv = tw.implied_volatility(price, SPOT, K, T, RATE, DIVIDEND, kind)
            noisy = iv + NOISE * rng.standard_normal()
            lines.append(f"{K:g},{T:g},{kind},{noisy:.6f},{RATE:g},{DIVIDEND:g}")
    out.write_text("\n".join(lines) + "\n")
    print(f"wrote {out}")


if __name__ == "__main__":
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sample", choices=sorted(SAMPLES) + ["market"], default="kou")
    parser.add_argument("out", nargs="?", type=Path, help="where to write (default: the package's file)")
    args = parser.parse_args()
    if args.sample == "market":
        market(MARKET, args.out or MARKET.out)
    else:
        main(SAMPLES[args.sample], args.out or SAMPLES[args.sample].out)
