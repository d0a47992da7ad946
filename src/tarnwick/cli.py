"""Command line: price tables of every model, and calibration.

``python -m tarnwick`` prints the demo; ``tarnwick price MODEL ...`` prices a grid of
strikes and maturities under any registered model (kou, merton, bs, heston, bates,
hestonkou), ``tarnwick calibrate`` fits one to quotes; ``python -m tarnwick kou ...`` and
``python -m tarnwick merton ...`` print the closed forms' tables over strikes (rows) and
term counts (columns), with the published reference parameters as defaults. Every number is checked
when it is read, so that a bad one is a usage error naming its flag (exit code 2).
"""

import argparse
import importlib.util
import math
import os
import sys
import tempfile
import warnings
from importlib.metadata import version
from typing import Any, Callable, Dict, List, NamedTuple, Optional, Sequence, Tuple

import numpy as np

import tarnwick as tw
from tarnwick import _table
from tarnwick._calibrate import MAX_STARTS
from tarnwick._models import Range, registered_models, registration
from tarnwick._types import Kind

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


def in_range(valid: Range) -> Callable[[str], float]:
    """An argparse type: a finite float within the range; the usage error names the flag
    (argparse adds it) and the range."""
    def convert(text: str) -> float:
        value = number(text)
        if value not in valid:
            raise argparse.ArgumentTypeError(f"expected a number {valid.text}, got {text!r}")
        return value
    convert.__name__ = f"number {valid.text}"
    return convert


def count(low: int, high: int) -> Callable[[str], int]:
    """An argparse type: an integer from low to high."""
    def convert(text: str) -> int:
        try:
            value = int(text)
        except ValueError:
            raise argparse.ArgumentTypeError(f"expected an integer, got {text!r}") from None
        if not low <= value <= high:
            raise argparse.ArgumentTypeError(f"expected an integer from {low} to {high}, got {text!r}")
        return value
    convert.__name__ = "integer"
    return convert


POSITIVE = in_range(Range(0.0))


class Flag(NamedTuple):
    name: str  # the pricing function's argument
    flags: Sequence[str]  # long flag first
    default: float
    kind: Callable[[str], float]
    meaning: str


def model_flags(model_class: Any) -> List[Flag]:
    """The flags of a model's parameters, from its registration."""
    return [Flag(p.name, (p.option,), p.default, in_range(p.valid), p.meaning)
            for p in registration(model_class).parameters]


SPOT = Flag("S", ("--spot", "--S"), 100.0, POSITIVE, "Spot price")
RATE = Flag("r", ("--rate", "--r"), 0.05, number, "Risk-free rate, continuously compounded")

# In the order of each closed form's price arguments: Kou's (S, r, sigma, lam, p, eta1,
# eta2) and Merton's (S, sigma, r, lam, m, s).
KOU_PARAMETERS = [SPOT, RATE, *model_flags(tw.Kou)]
SIGMA, *MERTON_JUMPS = model_flags(tw.Merton)
MERTON_PARAMETERS = [SPOT, SIGMA, RATE, *MERTON_JUMPS]


Pricer = Callable[[float, int], float]


def kou_pricer(T: float, put: bool = False, **parameters: float) -> Pricer:
    option = dexpjump.KouEuropeanPut if put else dexpjump.KouEuropeanCall
    return lambda K, n: option(T, K).priceByKouJumpDiffusion(**parameters, n=n)


def merton_pricer(T: float, **parameters: float) -> Pricer:
    return lambda K, n: lognjump.MertonEuropeanCall(K, T).JDAnalyticalPrice(**parameters, n=n)


# The closed forms' tables show how a price converges in the term count: twelve
# significant digits, past the eight of the pricing API's tables.
CLOSED_FORM_DIGITS = 12


def grid(row_name: str, rows: Sequence[float], column_name: str, columns: Sequence[float],
         value: Callable[[float, float], float]) -> List[str]:
    names = [row_name] + [f"{column_name} = {c:g}" for c in columns]
    table = [[row] + [value(row, c) for c in columns] for row in rows]
    return _table.aligned(names, table, digits=CLOSED_FORM_DIGITS)


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
# request: building it would exhaust memory before printing anything. A table may have at
# most MAX_ROWS rows (price) or cells (kou, merton): a few seconds of work at most.
MAX_ENTRIES = 1000
MAX_ROWS = 10_000
INT32 = range(-2**31, 2**31)


def strike_range(text: str) -> List[float]:
    """LO:HI:STEP, both ends included, all values finite and positive."""
    try:
        low, high, step = (float(part) for part in text.split(":"))
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected LO:HI:STEP, got {text!r}") from None
    if not (math.isfinite(low) and math.isfinite(high) and 0 < step < math.inf and high >= low):
        raise argparse.ArgumentTypeError(f"expected finite LO <= HI and STEP > 0, got {text!r}")
    if low <= 0:
        raise argparse.ArgumentTypeError(f"expected numbers > 0, got {text!r}")
    entries = int(min((high - low) / step + 1e-9, MAX_ENTRIES)) + 1
    if entries > MAX_ENTRIES:
        raise argparse.ArgumentTypeError(f"more than {MAX_ENTRIES} values in {text!r}")
    return [low + i * step for i in range(entries)]


def positive_values(text: str) -> List[float]:
    """A list A,B,C or a range LO:HI:STEP (both ends included) of finite numbers > 0."""
    if ":" in text:
        return strike_range(text)
    values = []
    for part in text.split(","):
        value = number(part)
        if not value > 0:
            raise argparse.ArgumentTypeError(f"expected numbers > 0, got {text!r}")
        values.append(value)
    if len(values) > MAX_ENTRIES:
        raise argparse.ArgumentTypeError(f"more than {MAX_ENTRIES} values in {text!r}")
    return values


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


def add_parameters(parser: argparse.ArgumentParser, parameters: Sequence[Flag]) -> None:
    for parameter in parameters:
        parser.add_argument(*parameter.flags, dest=parameter.name, type=parameter.kind,
                            default=parameter.default, metavar=parameter.name.upper(),
                            help=f"{parameter.meaning} (default {parameter.default:g})")


def add_closed_form(subparsers: "argparse._SubParsersAction[argparse.ArgumentParser]",
                    name: str, description: str, parameters: Sequence[Flag], T: float,
                    n: int) -> argparse.ArgumentParser:
    parser = subparsers.add_parser(name, help=description, description=description,
                                   allow_abbrev=False)
    add_parameters(parser, parameters)
    parser.add_argument("--T", type=POSITIVE, default=T, help=f"maturity in years (default {T:g})")
    parser.add_argument("--K", type=POSITIVE, default=100.0, help="strike (default 100)")
    parser.add_argument("--n", type=count(INT32.start, INT32.stop - 1), default=n, help=f"number of series terms (default {n})")
    parser.add_argument("--strikes", type=strike_range, metavar="LO:HI:STEP",
                        help="a table over strikes instead of the one strike K")
    parser.add_argument("--terms", type=term_range, metavar="LO:HI",
                        help="a convergence table over the term count instead of the one n")
    parser.set_defaults(command_parser=parser)
    return parser


# --- tarnwick price: the pricing API over a grid of strikes and maturities -------------

DIVIDEND = Flag("q", ("--dividend", "--q"), 0.0, number, "Dividend yield, continuously compounded")
MARKET = [SPOT, RATE, DIVIDEND]
COMMANDS = {registration(model).command: model for model in registered_models()}
GREEKS = ("delta", "gamma", "vega", "theta", "rho")


def add_price(subparsers: "argparse._SubParsersAction[argparse.ArgumentParser]") -> None:
    parser = subparsers.add_parser(
        "price", help="prices (and Greeks, implied vols) over strikes and maturities",
        description="Prices of European options over a grid of strikes and maturities, by "
        "the pricing API; a row per (T, K).", allow_abbrev=False)
    models = parser.add_subparsers(dest="model", required=True,
                                   metavar="{" + ",".join(COMMANDS) + "}")
    for name, model_class in COMMANDS.items():
        title = model_class.__name__
        model = models.add_parser(name, help=f"{title} model", allow_abbrev=False,
                                  description=f"Prices under the {title} model.")
        model.set_defaults(command_parser=model)
        add_parameters(model, MARKET + model_flags(model_class))
        model.add_argument("--K", type=positive_values, default=[80.0, 90.0, 100.0, 110.0, 120.0],
                           metavar="K[,K...]|LO:HI:STEP", help="strikes (default 80:120:10)")
        model.add_argument("--T", type=positive_values, default=[0.25, 1.0],
                           metavar="T[,T...]|LO:HI:STEP", help="maturities in years (default 0.25,1)")
        model.add_argument("--put", action="store_true", help="puts instead of calls")
        model.add_argument("--american", action="store_true",
                           help="American exercise (blackscholes, kou, merton), priced on a grid")
        model.add_argument("--barrier", type=POSITIVE, metavar="H",
                           help="a barrier option at level H (blackscholes, kou, merton), with --barrier-kind")
        model.add_argument("--barrier-kind", choices=("down-and-out", "down-and-in", "up-and-out", "up-and-in"),
                           help="what a hit of --barrier does")
        model.add_argument("--rebate", type=number, default=0.0, metavar="R",
                           help="cash paid by a knock-out at the hit, by a knock-in at expiry if never hit")
        model.add_argument("--monitoring", type=monitoring_frequency, metavar="daily|weekly|N",
                           help="watch the barrier N times a year (daily 252, weekly 52) from now, "
                                "not continuously")
        model.add_argument("--greeks", action="store_true", help="add " + ", ".join(GREEKS))
        model.add_argument("--iv", action="store_true",
                           help="add the Black-Scholes implied volatility of each price")
        add_format(model)


FORMATS = ("table", "csv", "json")


def add_format(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--format", choices=FORMATS, default="table",
                        help="aligned table (default), CSV with full-precision numbers, or JSON")


def monitoring_frequency(text: str) -> int:
    """Monitoring times per year: 'daily' (252), 'weekly' (52) or a positive count."""
    named = {"daily": 252, "weekly": 52}
    if text.lower() in named:
        return named[text.lower()]
    return count(1, 100_000)(text)


def barrier_keywords(args: argparse.Namespace) -> Dict[str, Any]:
    """The barrier keywords of tw.price from the flags: monitoring every 1 / N year up to the
    longest maturity."""
    if args.barrier is None:
        if args.barrier_kind is not None or args.rebate != 0.0 or args.monitoring is not None:
            args.command_parser.error("arguments --barrier-kind, --rebate, --monitoring: need --barrier")
        return {}
    if args.barrier_kind is None:
        args.command_parser.error("argument --barrier: needs --barrier-kind")
    if not args.rebate >= 0.0:
        args.command_parser.error(f"argument --rebate: must be >= 0, got {args.rebate:g}")
    monitoring = None
    if args.monitoring is not None:
        monitoring = np.arange(1, math.ceil(max(args.T) * args.monitoring - 1e-9) + 1) / args.monitoring
    return dict(barrier=args.barrier, barrier_kind=args.barrier_kind, rebate=args.rebate, monitoring=monitoring)


def chain_rows(model: Any, S: float, r: float, q: float, strikes: Sequence[float],
               maturities: Sequence[float], put: bool, greeks: bool,
               iv: bool, exercise: str = "european",
               barrier: Optional[Dict[str, Any]] = None) -> Tuple[List[str], List[List[float]]]:
    """Column names and rows (T outer, K inner) of a price table."""
    T, K = (a.ravel() for a in np.meshgrid(maturities, strikes, indexing="ij"))
    kind: Kind = "put" if put else "call"
    names, columns = ["T", "K", kind], [T, K]
    if greeks:
        values = tw.greeks(model, S, K, T, r, q, kind, exercise=exercise, **(barrier or {}))
        names += list(GREEKS)
        columns += [np.asarray(values.price)] + [np.asarray(getattr(values, g)) for g in GREEKS]
    else:
        columns.append(np.asarray(tw.price(model, S, K, T, r, q, kind, exercise=exercise, **(barrier or {}))))
    if iv:
        names.append("impl.vol")
        columns.append(np.asarray(tw.implied_volatility(columns[2], S, K, T, r, q, kind)))
    return names, [list(map(float, row)) for row in zip(*columns)]


def price_command(args: argparse.Namespace) -> List[str]:
    rows = len(args.K) * len(args.T)
    if rows > MAX_ROWS:
        args.command_parser.error(f"arguments --K, --T: {len(args.K)} strikes times "
                                  f"{len(args.T)} maturities make {rows} rows; at most {MAX_ROWS}")
    model_class = COMMANDS[args.model]
    if args.american and model_class not in (tw.BlackScholes, tw.Kou, tw.Merton):
        args.command_parser.error("argument --american: early exercise is priced under blackscholes, kou "
                                  "and merton only")
    barrier = barrier_keywords(args)
    if barrier and (args.american or model_class not in (tw.BlackScholes, tw.Kou, tw.Merton)):
        args.command_parser.error("argument --barrier: barrier options are European, under blackscholes, kou "
                                  "and merton only")
    if barrier and args.iv:
        args.command_parser.error("argument --iv: not with --barrier (a barrier price has no implied volatility)")
    model = model_class(**{name: getattr(args, name) for name in model_class.parameter_names})
    names, table = chain_rows(model, args.S, args.r, args.q, args.K, args.T, args.put,
                              args.greeks, args.iv, "american" if args.american else "european", barrier)
    if args.format == "csv":
        return _table.as_csv(names, table)
    if args.format == "json":
        return _table.as_json({"model": type(model).__name__,
                               "parameters": parameter_values(model),
                               "S": args.S, "r": args.r, "q": args.q,
                               "rows": [dict(zip(names, row)) for row in table]})
    head = f"{model!r}; S={args.S:g}, r={args.r:g}, q={args.q:g}"
    return [head] + _table.aligned(names, table)


def parameter_values(model: Any) -> Dict[str, float]:
    return {name: float(getattr(model, name)) for name in model.parameter_names}


# --- tarnwick calibrate -----------------------------------------------------------------

def fixed_value(text: str) -> Tuple[str, float]:
    name, sep, value = text.partition("=")
    if not sep or not name:
        raise argparse.ArgumentTypeError(f"expected NAME=VALUE, got {text!r}")
    return name.strip(), number(value)


def add_calibrate(subparsers: "argparse._SubParsersAction[argparse.ArgumentParser]") -> None:
    parser = subparsers.add_parser(
        "calibrate", help="fit a model to option quotes",
        description="Fit a model to option quotes from a CSV file (columns strike, maturity "
        "or expiry, and iv or price or bid and ask; optional kind, rate, dividend, forward, "
        "discount, weight; header lines '# spot:', '# rate:', '# valuation:', '# day count:', "
        "as the README's Calibration section describes) by least squares on implied-vol "
        "errors; print the parameters and the RMSE overall and per maturity.",
        allow_abbrev=False)
    parser.add_argument("quotes", nargs="?", help="CSV file of quotes ('#' lines are comments)")
    parser.add_argument("--sample", action="store_true",
                        help="the synthetic sample quotes shipped with the package")
    parser.add_argument("--model", choices=sorted(COMMANDS), default="kou",
                        help="model to fit (default kou)")
    parser.add_argument("--spot", "--S", dest="S", type=POSITIVE, metavar="S",
                        help="spot price (default: the file's spot column or '# spot:' line; "
                        "with forwards and neither, the shortest expiry's forward)")
    parser.add_argument("--rate", "--r", dest="r", type=number, default=0.0, metavar="R",
                        help="risk-free rate where the quotes have no rate column (default 0)")
    parser.add_argument("--dividend", "--q", dest="q", type=number, default=0.0, metavar="Q",
                        help="dividend yield where the quotes have no dividend column (default 0)")
    parser.add_argument("--target", choices=("iv", "price"), default="iv",
                        help="implied-vol errors, or price errors over vega (default iv)")
    parser.add_argument("--fix", type=fixed_value, action="append", default=[],
                        metavar="NAME=VALUE", help="hold a parameter fixed, e.g. --fix p=0.3")
    parser.add_argument("--starts", type=count(1, MAX_STARTS), default=None,
                        help=f"starting points of the multi-start, 1 to {MAX_STARTS}")
    parser.add_argument("--drop-invalid", action="store_true",
                        help="leave out quotes outside the no-arbitrage bounds")
    parser.add_argument("--plot", metavar="FILE", help="write the smile picture to this file "
                        "(PNG, or the format its extension names: pdf, svg, ...; the folder "
                        "must exist)")
    add_format(parser)
    parser.add_argument("--progress", action=argparse.BooleanOptionalAction, default=None,
                        help="progress bar over the starts (default: on when stdout is a "
                        "terminal and tqdm is installed)")
    # Errors found after parsing (a file, the quotes) are usage errors of this command.
    parser.set_defaults(command_parser=parser)


def have(module: str) -> bool:
    return importlib.util.find_spec(module) is not None


def fit_report(fit: Any, source: str) -> List[str]:
    """The fit's summary, its first line naming where the quotes came from."""
    lines: List[str] = fit.summary().splitlines()
    lines[0] = lines[0].replace(" (S=", f" ({source}, S=", 1)
    return lines


QUOTE_COLUMNS = ("row", "strike", "maturity", "kind", "rate", "dividend", "iv", "model_iv",
                 "residual", "price", "model_price")


def fit_output(fit: Any, source: str, form: str) -> List[str]:
    """The report in the chosen format: the summary as a table; one line per fitted quote
    as CSV; everything as JSON."""
    if form == "table":
        return fit_report(fit, source)
    columns = dict(fit.quotes, residual=fit.residuals)
    rows = [[columns[name][i].item() for name in QUOTE_COLUMNS] for i in range(fit.residuals.size)]
    if form == "csv":
        return _table.as_csv(QUOTE_COLUMNS, rows)
    return _table.as_json({
        "model": type(fit.model).__name__, "source": source, "S": fit.S,
        "success": fit.success, "parameters": parameter_values(fit.model),
        "standard_errors": fit.standard_errors, "rmse_iv": fit.rmse_iv,
        "rmse_price": fit.rmse_price, "nfev": fit.nfev, "elapsed": fit.elapsed,
        "rmse_iv_by_maturity": [{"maturity": T, "rmse_iv": e}
                                for T, e in fit.rmse_by_maturity().items()],
        "dropped": list(fit.dropped),
        "quotes": [dict(zip(QUOTE_COLUMNS, row)) for row in rows]})


def picture_path(parser: argparse.ArgumentParser, path: str) -> str:
    """The file --plot will write, checked before the fit: an existing, writable folder
    (none is created) and a format matplotlib writes; no extension means PNG."""
    if not have("matplotlib"):
        parser.error("argument --plot: needs matplotlib: pip install 'tarnwick[plot]'")
    from matplotlib.backend_bases import FigureCanvasBase
    if not os.path.splitext(path)[1]:
        path += ".png"
    extension = os.path.splitext(path)[1][1:].lower()
    formats = FigureCanvasBase.get_supported_filetypes()
    if extension not in formats:
        parser.error(f"argument --plot: matplotlib does not write .{extension} files; "
                     f"use one of {', '.join('.' + f for f in sorted(formats))}")
    folder = os.path.dirname(os.path.abspath(path))
    if not os.path.isdir(folder):
        parser.error(f"argument --plot: no folder {folder}; create it first")
    if os.path.isdir(path) or not os.access(folder, os.W_OK):
        parser.error(f"argument --plot: cannot write {path}")
    return path


def save_picture(fit: Any, path: str) -> None:
    tw.plot_smile(fit).savefig(path, dpi=100)


def noted(call: Callable[..., Any], *args: Any, **options: Any) -> Any:
    """call(*args, **options), its notes on the input (UserWarnings: a column left out, a
    suspicious rate) printed as 'note:' lines on stderr; other warnings shown as usual."""
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always", UserWarning)
        result = call(*args, **options)
    for warning in caught:
        if issubclass(warning.category, UserWarning):
            print(f"note: {warning.message}", file=sys.stderr)
        else:
            warnings.showwarning(warning.message, warning.category, warning.filename, warning.lineno)
    return result


def calibrate_command(args: argparse.Namespace) -> bool:
    """Fits; prints the report, then writes the picture if asked. Returns whether the fit
    succeeded and, where asked for, the picture was written."""
    parser = args.command_parser
    if args.sample == (args.quotes is not None):
        parser.error("give either a quotes file or --sample")
    if args.sample:
        sample = tw.sample_quotes()
        quotes, spot, source = sample.quotes, args.S or sample.S, "sample quotes"
    else:
        try:
            quotes = noted(tw.read_quotes, args.quotes)
        except (OSError, ValueError) as error:
            parser.error(f"quotes: {error}")
        spot, source = args.S, args.quotes
    picture = picture_path(parser, args.plot) if args.plot else None
    if args.progress and not have("tqdm"):
        parser.error("argument --progress: needs tqdm: pip install 'tarnwick[progress]'")
    progress = args.progress
    if progress is None:
        progress = sys.stdout.isatty() and have("tqdm")
    parameters = {p.name: p for p in registration(COMMANDS[args.model]).parameters}
    for name, value in args.fix:
        if name not in parameters:
            parser.error(f"argument --fix: {args.model} has no parameter {name!r}; its "
                         f"parameters are {', '.join(parameters)}")
        if value not in parameters[name].valid:
            parser.error(f"argument --fix: {name} must be {parameters[name].valid.text}, "
                         f"got {value:g}")
    options: Dict[str, Any] = {"target": args.target, "fixed": dict(args.fix),
                               "progress": progress, "drop_invalid": args.drop_invalid}
    if args.starts is not None:
        options["starts"] = args.starts
    try:
        fit: tw.CalibrationResult[Any] = noted(tw.calibrate, COMMANDS[args.model], quotes, spot,
                                               args.r, args.q, **options)
    except ValueError as error:
        if str(error).startswith("S: no spot given"):
            parser.error("argument --spot/--S is required: the file has no spot column, "
                         "'# spot:' line or forwards")
        parser.error(str(error))
    print("\n".join(fit_output(fit, source, args.format)), flush=True)
    if picture is None:
        return fit.success
    # The report is out already: a picture that fails costs the picture only.
    note = sys.stdout if args.format == "table" else sys.stderr
    try:
        save_picture(fit, picture)
    except (OSError, ValueError, RuntimeError) as error:
        print(f"tarnwick calibrate: picture not written: {error}", file=sys.stderr)
        return False
    print(f"picture: {picture}", file=note)
    return fit.success


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="tarnwick", allow_abbrev=False,
        description="European option prices under jump-diffusion models (Kou, Merton) and their "
        "stochastic-volatility extensions (Heston, Bates, Heston-Kou). "
        "Without a command, prints the demo tables.",
    )
    parser.add_argument("--version", action="version", version=f"%(prog)s {version('tarnwick')}")
    subparsers = parser.add_subparsers(dest="command")
    kou = add_closed_form(subparsers, "kou", "Kou double-exponential jump-diffusion (call or "
                          "put) by its closed form", KOU_PARAMETERS, T=0.5, n=10)
    kou.add_argument("--put", action="store_true", help="price the put instead of the call")
    add_closed_form(subparsers, "merton", "Merton lognormal jump-diffusion (call) by its "
                    "series", MERTON_PARAMETERS, T=1.0, n=50)
    add_price(subparsers)
    add_calibrate(subparsers)
    return parser


DEMO_KOU = {"sigma": 0.16, "lam": 1.0, "p": 0.4, "eta1": 10.0, "eta2": 5.0}


def demo() -> None:
    print("tarnwick: European option prices, Greeks, implied vols and calibration under Kou's")
    print("and Merton's jump-diffusion models. `tarnwick --help` lists the commands.")
    print()
    model = tw.Kou(**DEMO_KOU)
    print(f"A Kou smile: {model!r}; S=100, r=0.05, q=0")
    names, rows = chain_rows(model, 100.0, 0.05, 0.0, [80.0, 90.0, 100.0, 110.0, 120.0],
                             [0.25, 1.0], put=False, greeks=True, iv=True)
    keep = [0, 1, 2, 3, 4, 5, 6, len(names) - 1]  # T, K, call, delta, gamma, vega, theta, vol
    print("\n".join(_table.aligned([names[i] for i in keep], [[r[i] for i in keep] for r in rows])))
    print()
    sample = tw.sample_quotes()
    fit = tw.calibrate(tw.Kou, sample.quotes, sample.S)
    print("\n".join(fit_report(fit, "synthetic sample quotes")))
    if have("matplotlib"):
        path = os.path.join(tempfile.gettempdir(), "tarnwick-demo", "sample_fit.png")
        os.makedirs(os.path.dirname(path), exist_ok=True)
        save_picture(fit, path)
        print(f"picture of the fit: {path}")
    else:
        print("no picture: pip install 'tarnwick[plot]' for matplotlib")
    print()
    print("Closed forms of the reference layer, their convergence in n: tarnwick kou --help, "
          "tarnwick merton --help")


def main(argv: Optional[Sequence[str]] = None) -> None:
    parser = build_parser()
    args = parser.parse_args(argv)
    try:
        if args.command is None:
            demo()
        elif args.command == "price":
            print("\n".join(price_command(args)))
        elif args.command == "calibrate":
            if not calibrate_command(args):
                sys.stdout.flush()
                sys.exit(1)
        else:
            print("\n".join(closed_form_table(args)))
        sys.stdout.flush()
    except BrokenPipeError:
        # The reader stopped early (a pipe into head): leave quietly, without a traceback
        # from the interpreter's final flush.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())


def closed_form_table(args: argparse.Namespace) -> List[str]:
    strikes, terms = args.strikes or [args.K], args.terms or [args.n]
    if len(strikes) * len(terms) > MAX_ROWS:
        args.command_parser.error(f"arguments --strikes, --terms: {len(strikes)} strikes times "
                                  f"{len(terms)} term counts make {len(strikes) * len(terms)} "
                                  f"prices; at most {MAX_ROWS}")
    names = KOU_PARAMETERS if args.command == "kou" else MERTON_PARAMETERS
    parameters = {parameter.name: getattr(args, parameter.name) for parameter in names}
    if args.command == "kou":
        kind = "put" if args.put else "call"
        title, price = f"Kou {kind} prices", kou_pricer(args.T, args.put, **parameters)
    else:
        title, price = "Merton call prices", merton_pricer(args.T, **parameters)
    return [describe(title, args.T, parameters)] + price_table(price, strikes, terms)
