"""Command line: price tables of both models.

``python -m tarnwick`` prints the demo tables; ``python -m tarnwick kou ...`` and
``python -m tarnwick merton ...`` print one table over strikes (rows) and term counts
(columns), with the published reference parameters as defaults. Every number is checked
when it is read, so that a bad one is a usage error naming its flag (exit code 2).
"""

import argparse
import math
import os
import sys
from importlib.metadata import version
from typing import Callable, Dict, List, NamedTuple, Optional, Sequence

from tarnwick.models import dexpjump, lognjump


def number(text: str) -> float:
    """A finite float: inf and nan are typing slips, never parameter values."""
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"invalid float value: {text!r}") from None
    if not math.isfinite(value):
        raise argparse.ArgumentTypeError(f"expected a finite number, got {text!r}")
    return value


def bounded(test: Callable[[float], bool], condition: str) -> Callable[[str], float]:
    """An argparse type: a finite float for which test holds; the usage error names the
    flag (argparse adds it) and the condition."""
    def convert(text: str) -> float:
        value = number(text)
        if not test(value):
            raise argparse.ArgumentTypeError(f"expected a number {condition}, got {text!r}")
        return value
    convert.__name__ = f"number {condition}"
    return convert


POSITIVE = bounded(lambda x: x > 0, "> 0")
NON_NEGATIVE = bounded(lambda x: x >= 0, ">= 0")
PROBABILITY = bounded(lambda x: 0 <= x <= 1, "in [0, 1]")
# The mean up-jump factor E[e^Y] = eta1 / (eta1 - 1) is finite only for eta1 > 1.
ABOVE_ONE = bounded(lambda x: x > 1, "> 1")


class Parameter(NamedTuple):
    name: str  # the pricing function's argument
    flags: Sequence[str]  # long flag first
    default: float
    kind: Callable[[str], float]
    meaning: str


SPOT = Parameter("S", ("--spot", "--S"), 100.0, POSITIVE, "spot price")
RATE = Parameter("r", ("--rate", "--r"), 0.05, number, "risk-free rate, continuously compounded")
INTENSITY = Parameter("lam", ("--lam",), 1.0, NON_NEGATIVE,
                      "jump intensity (expected jumps per unit of time)")

# In the order of each model's price arguments.
KOU_PARAMETERS = [
    SPOT,
    RATE,
    Parameter("sigma", ("--sigma",), 0.16, POSITIVE, "volatility of the diffusion"),
    INTENSITY,
    Parameter("p", ("--p",), 0.4, PROBABILITY, "probability that a jump is upward"),
    Parameter("eta1", ("--eta1",), 10.0, ABOVE_ONE,
              "rate of the upward exponential log-jumps (mean 1/eta1)"),
    Parameter("eta2", ("--eta2",), 5.0, POSITIVE,
              "rate of the downward exponential log-jumps (mean 1/eta2)"),
]
# m and s get flags of their own, never --m/--s: --s beside --S is one shift key away.
MERTON_PARAMETERS = [
    SPOT,
    Parameter("sigma", ("--sigma",), 0.2, POSITIVE, "volatility of the diffusion"),
    RATE,
    INTENSITY,
    Parameter("m", ("--jump-mean",), -0.1, number, "mean m of the log jump factor"),
    Parameter("s", ("--jump-std",), 0.2, NON_NEGATIVE,
              "standard deviation s of the log jump factor"),
]


Pricer = Callable[[float, int], float]


def kou_pricer(T: float, put: bool = False, **parameters: float) -> Pricer:
    option = dexpjump.KouEuropeanPut if put else dexpjump.KouEuropeanCall
    return lambda K, n: option(T, K).priceByKouJumpDiffusion(**parameters, n=n)


def merton_pricer(T: float, **parameters: float) -> Pricer:
    return lambda K, n: lognjump.MertonEuropeanCall(K, T).JDAnalyticalPrice(**parameters, n=n)


def grid(row_name: str, rows: Sequence[float], column_name: str, columns: Sequence[float],
         value: Callable[[float, float], float]) -> List[str]:
    lines = [row_name.rjust(8) + "".join(f"{column_name} = {c:g}".rjust(18) for c in columns)]
    for row in rows:
        lines.append(f"{row:8g}" + "".join(f"{value(row, c):18.10f}" for c in columns))
    return lines


def price_table(price: Pricer, strikes: Sequence[float], terms: Sequence[int]) -> List[str]:
    """Lines of a table of price(K, n): a row per strike and a column per term count, or,
    for a single strike, a row per term count so that convergence reads down the page."""
    if len(strikes) == 1 and len(terms) > 1:
        return grid("n", terms, "K", strikes, lambda n, K: price(K, int(n)))
    return grid("K", strikes, "n", terms, lambda K, n: price(K, int(n)))


def describe(title: str, T: float, parameters: Dict[str, float]) -> str:
    values = ", ".join(f"{name}={value:g}" for name, value in parameters.items())
    return f"{title} (T={T:g}, {values})"


# A table longer or wider than this is a typing slip (a tiny step, a stray digit), not a
# request: building it would exhaust memory before printing anything.
MAX_ENTRIES = 1000
INT32 = range(-2**31, 2**31)


def strike_range(text: str) -> List[float]:
    """LO:HI:STEP, both ends included, all strikes positive."""
    try:
        low, high, step = (float(part) for part in text.split(":"))
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected LO:HI:STEP, got {text!r}") from None
    if not (math.isfinite(low) and math.isfinite(high) and step > 0 and high >= low):
        raise argparse.ArgumentTypeError(f"expected LO <= HI and STEP > 0, got {text!r}")
    if low <= 0:
        raise argparse.ArgumentTypeError(f"expected strikes > 0, got {text!r}")
    count = int(min((high - low) / step + 1e-9, MAX_ENTRIES)) + 1
    if count > MAX_ENTRIES:
        raise argparse.ArgumentTypeError(f"more than {MAX_ENTRIES} strikes in {text!r}")
    return [low + i * step for i in range(count)]


def term_count(text: str) -> int:
    """A term count: a 32-bit integer, as the pricing modules take it."""
    try:
        n = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected an integer, got {text!r}") from None
    if n not in INT32:
        raise argparse.ArgumentTypeError(f"expected a 32-bit integer, got {text!r}")
    return n


def term_range(text: str) -> List[int]:
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


def add_parameters(parser: argparse.ArgumentParser, parameters: Sequence[Parameter]) -> None:
    for parameter in parameters:
        parser.add_argument(*parameter.flags, dest=parameter.name, type=parameter.kind,
                            default=parameter.default, metavar=parameter.name.upper(),
                            help=f"{parameter.meaning} (default {parameter.default:g})")


def add_closed_form(subparsers: "argparse._SubParsersAction[argparse.ArgumentParser]",
                    name: str, description: str, parameters: Sequence[Parameter], T: float,
                    n: int) -> argparse.ArgumentParser:
    parser = subparsers.add_parser(name, help=description, description=description,
                                   allow_abbrev=False)
    add_parameters(parser, parameters)
    parser.add_argument("--T", type=POSITIVE, default=T, help=f"maturity in years (default {T:g})")
    parser.add_argument("--K", type=POSITIVE, default=100.0, help="strike (default 100)")
    parser.add_argument("--n", type=term_count, default=n, help=f"number of series terms (default {n})")
    parser.add_argument("--strikes", type=strike_range, metavar="LO:HI:STEP",
                        help="a table over strikes instead of the one strike K")
    parser.add_argument("--terms", type=term_range, metavar="LO:HI",
                        help="a convergence table over the term count instead of the one n")
    return parser


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="tarnwick", allow_abbrev=False,
        description="European option prices under Kou's and Merton's jump-diffusion models. "
        "Without a command, prints the demo tables.",
    )
    parser.add_argument("--version", action="version", version=f"%(prog)s {version('tarnwick')}")
    subparsers = parser.add_subparsers(dest="command")
    kou = add_closed_form(subparsers, "kou", "Kou double-exponential jump-diffusion (call or "
                          "put) by its closed form", KOU_PARAMETERS, T=0.5, n=10)
    kou.add_argument("--put", action="store_true", help="price the put instead of the call")
    add_closed_form(subparsers, "merton", "Merton lognormal jump-diffusion (call) by its "
                    "series", MERTON_PARAMETERS, T=1.0, n=50)
    return parser


def defaults(parameters: Sequence[Parameter]) -> Dict[str, float]:
    return {parameter.name: parameter.default for parameter in parameters}


def demo() -> None:
    merton = defaults(MERTON_PARAMETERS)
    print(describe("Merton call prices", 1.0, merton))
    print("\n".join(price_table(merton_pricer(1.0, **merton), range(80, 121, 10), (0, 2, 10, 50))))
    kou = defaults(KOU_PARAMETERS)
    for kind, put in (("call", False), ("put", True)):
        print()
        print(describe(f"Kou {kind} prices", 0.5, kou))
        print("\n".join(price_table(kou_pricer(0.5, put, **kou), (90, 100, 110), (0, 1, 5, 10))))


def main(argv: Optional[Sequence[str]] = None) -> None:
    args = build_parser().parse_args(argv)
    try:
        if args.command is None:
            demo()
        else:
            print("\n".join(closed_form_table(args)))
        sys.stdout.flush()
    except BrokenPipeError:
        # The reader stopped early (a pipe into head): leave quietly, without a traceback
        # from the interpreter's final flush.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())


def closed_form_table(args: argparse.Namespace) -> List[str]:
    names = KOU_PARAMETERS if args.command == "kou" else MERTON_PARAMETERS
    parameters = {parameter.name: getattr(args, parameter.name) for parameter in names}
    if args.command == "kou":
        kind = "put" if args.put else "call"
        title, price = f"Kou {kind} prices", kou_pricer(args.T, args.put, **parameters)
    else:
        title, price = "Merton call prices", merton_pricer(args.T, **parameters)
    return [describe(title, args.T, parameters)] + price_table(
        price, args.strikes or [args.K], args.terms or [args.n]
    )
