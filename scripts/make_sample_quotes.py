"""Write src/tarnwick/data/sample_quotes.csv: a synthetic option surface.

Implied vols of Kou's model with the parameters below, at 8 maturities x 13 strikes spread
in log-moneyness in proportion to the square root of the maturity, each plus Gaussian
noise of 0.1 vol point from a fixed seed; out-of-the-money quotes only (puts below the
forward, calls above). Run from the checkout with the package installed (an argument writes elsewhere):

    .venv/bin/python scripts/make_sample_quotes.py [OUT.csv]
"""

import sys
from pathlib import Path

import numpy as np

import tarnwick as tw

SPOT, RATE, DIVIDEND = 100.0, 0.03, 0.01
MODEL = tw.Kou(sigma=0.14, lam=0.8, p=0.3, eta1=12.0, eta2=6.0)
MATURITIES = (1 / 12, 2 / 12, 3 / 12, 6 / 12, 9 / 12, 1.0, 1.5, 2.0)
# Log-moneyness in units of 0.2 sqrt(T): from deep out-of-the-money puts, where the
# downward jumps show most, to moderately out-of-the-money calls.
MONEYNESS = np.linspace(-3.0, 1.8, 13)
NOISE, SEED = 0.001, 11
OUT = Path(__file__).resolve().parents[1] / "src" / "tarnwick" / "data" / "sample_quotes.csv"


def main(out: Path) -> None:
    rng = np.random.default_rng(SEED)
    lines = [
        "# Synthetic quotes, not market data: implied vols of Kou's model with sigma=0.14,",
        "# lam=0.8, p=0.3, eta1=12, eta2=6 (spot 100, rate 0.03, dividend 0.01) plus",
        f"# Gaussian noise of {NOISE} (0.1 vol point), seed {SEED}; made by",
        "# scripts/make_sample_quotes.py.",
        f"# spot: {SPOT:g}",
        "strike,maturity,kind,iv,rate,dividend",
    ]
    for T in MATURITIES:
        T = round(T, 6)  # priced at the maturity the file states
        forward = SPOT * np.exp((RATE - DIVIDEND) * T)
        strikes = np.round(forward * np.exp(MONEYNESS * 0.2 * np.sqrt(T)) * 2) / 2
        for K in strikes:
            kind = "call" if K >= forward else "put"
            price = tw.price(MODEL, SPOT, K, T, RATE, DIVIDEND, kind)
            iv = tw.implied_volatility(price, SPOT, K, T, RATE, DIVIDEND, kind)
            noisy = iv + NOISE * rng.standard_normal()
            lines.append(f"{K:g},{T:g},{kind},{noisy:.6f},{RATE:g},{DIVIDEND:g}")
    out.write_text("\n".join(lines) + "\n")
    print(f"wrote {out}")


if __name__ == "__main__":
    main(Path(sys.argv[1]) if len(sys.argv) > 1 else OUT)
