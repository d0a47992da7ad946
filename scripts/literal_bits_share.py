"""How often the Kou price keeps the literal evaluation's bits where they are right.

    python scripts/literal_bits_share.py [draws] [seed]

Draws realistic inputs (sigma 0.1-0.3, lam 0.3-10, p 0.2-0.6, eta1 5-60, eta2 3-40,
T one week to 10 years, K/S 0.6-1.5, n 5, 10 or 15), and compares, for each, the
literal evaluation (tests/literal.py, bit for bit the closed form) and the module's
price with the series in high precision (tests/references/closed_form_mp.py). Prints
the share of right literal values (within 1e-13 S) that the module returns bit for bit,
the count of wrong literal values it returns (to be 0), and the largest error of the
prices that replace a literal value. About a second per draw.
"""

import math
import os
import random
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path[:0] = [os.path.join(HERE, "..", "tests"), os.path.join(HERE, "..", "tests", "references")]

import closed_form_mp  # noqa: E402
from literal import kou_call  # noqa: E402
from tarnwick.models.dexpjump import KouEuropeanCall  # noqa: E402

S, R = 100.0, 0.05


def log_uniform(rng, lo, hi):
    return math.exp(rng.uniform(math.log(lo), math.log(hi)))


def main():
    draws = int(sys.argv[1]) if len(sys.argv) > 1 else 500
    rng = random.Random(int(sys.argv[2]) if len(sys.argv) > 2 else 1)
    right = kept = wrong_returned = 0
    worst_replacement = 0.0
    for draw in range(1, draws + 1):
        T = log_uniform(rng, 7 / 365, 10.0)
        K = S * rng.uniform(0.6, 1.5)
        args = (S, R, rng.uniform(0.1, 0.3), log_uniform(rng, 0.3, 10.0), rng.uniform(0.2, 0.6),
                log_uniform(rng, 5.0, 60.0), log_uniform(rng, 3.0, 40.0), rng.choice([5, 10, 15]))
        literal = kou_call(T, K, *args)
        price = KouEuropeanCall(T, K).priceByKouJumpDiffusion(*args)
        exact = closed_form_mp.kou_call(T, K, *args)
        literal_right = abs(literal - exact) <= 1e-13 * S
        same_bits = price.hex() == literal.hex()
        right += literal_right
        kept += literal_right and same_bits
        wrong_returned += same_bits and not literal_right
        if not same_bits:
            worst_replacement = max(worst_replacement, abs(price - exact) / S)
        if draw % 100 == 0 and draw < draws:
            print(f"... {draw} draws: {kept} of {right} right literal values kept, "
                  f"{wrong_returned} wrong ones returned", flush=True)
    print(f"{draws} draws: literal right (within 1e-13 S) {right} ({right / draws:.1%}), "
          f"kept bit for bit {kept} ({kept / max(right, 1):.2%} of the right ones), "
          f"wrong literal values returned {wrong_returned}, "
          f"largest error of a replacing price {worst_replacement:.2g} S")


if __name__ == "__main__":
    main()
