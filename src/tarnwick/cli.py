"""Command line: price tables of both models.

``python -m tarnwick`` prints the demo tables; ``python -m tarnwick kou ...`` and
``python -m tarnwick merton ...`` print one table over strikes (rows) and term counts
(columns), with the published reference parameters as defaults.
"""

import argparse
import math
import os
import sys

from tarnwick.models import dexpjump, lognjump

# name, default, help; in the order of the model's price arguments.
KOU_PARAMETERS = [
    ("S", 100.0, "spot price"),
    ("r", 0.05, "risk-free rate, continuously compounded"),
    ("sigma", 0.16, "volatility of the diffusion"),
    ("lam", 1.0, "jump intensity (expected jumps per unit of time)"),
    ("p", 0.4, "probability that a jump is upward"),
    ("eta1", 10.0, "rate of the upward exponential log-jumps (mean 1/eta1)"),
    ("eta2", 5.0, "rate of the downward exponential log-jumps (mean 1/eta2)"),
]
MERTON_PARAMETERS = [
    ("S", 100.0, "spot price"),
    ("sigma", 0.2, "volatility of the diffusion"),
    ("r", 0.05, "risk-free rate, continuously compounded"),
    ("lam", 1.0, "jump intensity (expected jumps per unit of time)"),
    ("m", -0.1, "mean of the log jump factor"),
    ("s", 0.2, "standard deviation of the log jump factor"),
]


def kou_pricer(T, put=False, **parameters):
    option = dexpjump.KouEuropeanPut if put else dexpjump.KouEuropeanCall
    return lambda K, n: option(T, K).priceByKouJumpDiffusion(**parameters, n=n)


def merton_pricer(T, **parameters):
    return lambda K, n: lognjump.MertonEuropeanCall(K, T).JDAnalyticalPrice(**parameters, n=n)


def grid(row_name, rows, column_name, columns, value):
    lines = [row_name.rjust(8) + "".join(f"{column_name} = {c:g}".rjust(18) for c in columns)]
    for row in rows:
        lines.append(f"{row:8g}" + "".join(f"{value(row, c):18.10f}" for c in columns))
    return lines


def price_table(price, strikes, terms):
    """Lines of a table of price(K, n): a row per strike and a column per term count, or,
    for a single strike, a row per term count so that convergence reads down the page."""
    if len(strikes) == 1 and len(terms) > 1:
        return grid("n", terms, "K", strikes, lambda n, K: price(K, n))
    return grid("K", strikes, "n", terms, price)


def describe(title, T, parameters):
    values = ", ".join(f"{name}={value:g}" for name, value in parameters.items())
    return f"{title} (T={T:g}, {values})"


# A table longer or wider than this is a typing slip (a tiny step, a stray digit), not a
# request: building it would exhaust memory before printing anything.
MAX_ENTRIES = 1000
INT32 = range(-2**31, 2**31)


def strike_range(text):
    """LO:HI:STEP, both ends included."""
    try:
        low, high, step = (float(part) for part in text.split(":"))
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected LO:HI:STEP, got {text!r}") from None
    if not (math.isfinite(low) and math.isfinite(high) and step > 0 and high >= low):
        raise argparse.ArgumentTypeError(f"expected LO <= HI and STEP > 0, got {text!r}")
    count = int(min((high - low) / step + 1e-9, MAX_ENTRIES)) + 1
    if count > MAX_ENTRIES:
        raise argparse.ArgumentTypeError(f"more than {MAX_ENTRIES} strikes in {text!r}")
    return [low + i * step for i in range(count)]


def term_count(text):
    """A term count: a 32-bit integer, as the pricing modules take it."""
    try:
        n = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected an integer, got {text!r}") from None
    if n not in INT32:
        raise argparse.ArgumentTypeError(f"expected a 32-bit integer, got {text!r}")
    return n


def term_range(text):
    """LO:HI, both ends included."""
    try:
        low, high = (int(part) for part in text.split(":"))
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected LO:HI, got {text!r}") from None
    if high < low:
        raise argparse.ArgumentTypeError(f"expected LO <= HI, got {text!r}")
    if low not in INT32 or high not in INT32:
        raise argparse.ArgumentTypeError(f"expected 32-bit integers, got {text!r}")
    if high - low >= MAX_ENTRIES:
        raise argparse.ArgumentTypeError(f"more than {MAX_ENTRIES} term counts in {text!r}")
    return list(range(low, high + 1))


def add_model(subparsers, name, description, parameters, T, n):
    parser = subparsers.add_parser(name, help=description, description=description,
                                   allow_abbrev=False)
    for flag, default, meaning in parameters:
        parser.add_argument(f"--{flag}", type=float, default=default,
                            help=f"{meaning} (default {default:g})")
    parser.add_argument("--T", type=float, default=T, help=f"maturity (default {T:g})")
    parser.add_argument("--K", type=float, default=100.0, help="strike (default 100)")
    parser.add_argument("--n", type=term_count, default=n, help=f"number of series terms (default {n})")
    parser.add_argument("--strikes", type=strike_range, metavar="LO:HI:STEP",
                        help="a table over strikes instead of the one strike K")
    parser.add_argument("--terms", type=term_range, metavar="LO:HI",
                        help="a convergence table over the term count instead of the one n")
    return parser


def build_parser():
    parser = argparse.ArgumentParser(
        prog="tarnwick", allow_abbrev=False,
        description="European option prices under Kou's and Merton's jump-diffusion models. "
        "Without a command, prints the demo tables.",
    )
    subparsers = parser.add_subparsers(dest="model")
    kou = add_model(subparsers, "kou", "Kou double-exponential jump-diffusion (call or put)",
                    KOU_PARAMETERS, T=0.5, n=10)
    kou.add_argument("--put", action="store_true", help="price the put instead of the call")
    add_model(subparsers, "merton", "Merton lognormal jump-diffusion (call)", MERTON_PARAMETERS,
              T=1.0, n=50)
    return parser


def demo():
    merton = {name: default for name, default, _ in MERTON_PARAMETERS}
    print(describe("Merton call prices", 1.0, merton))
    print("\n".join(price_table(merton_pricer(1.0, **merton), range(80, 121, 10), (0, 2, 10, 50))))
    kou = {name: default for name, default, _ in KOU_PARAMETERS}
    for kind, put in (("call", False), ("put", True)):
        print()
        print(describe(f"Kou {kind} prices", 0.5, kou))
        print("\n".join(price_table(kou_pricer(0.5, put, **kou), (90, 100, 110), (0, 1, 5, 10))))


def main(argv=None):
    args = build_parser().parse_args(argv)
    try:
        if args.model is None:
            demo()
        else:
            print("\n".join(model_table(args)))
        sys.stdout.flush()
    except BrokenPipeError:
        # The reader stopped early (a pipe into head): leave quietly, without a traceback
        # from the interpreter's final flush.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())


def model_table(args):
    names = KOU_PARAMETERS if args.model == "kou" else MERTON_PARAMETERS
    parameters = {name: getattr(args, name) for name, _, _ in names}
    if args.model == "kou":
        kind = "put" if args.put else "call"
        title, price = f"Kou {kind} prices", kou_pricer(args.T, args.put, **parameters)
    else:
        title, price = "Merton call prices", merton_pricer(args.T, **parameters)
    return [describe(title, args.T, parameters)] + price_table(
        price, args.strikes or [args.K], args.terms or [args.n]
    )
