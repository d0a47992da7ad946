"""Option quotes from CSV files, and the sample surface shipped with the package."""

import csv
import warnings
from pathlib import Path
from typing import Any, Dict, List, NamedTuple, Optional, Tuple, Union

import numpy as np

from ._market import as_dates, days_per_year, year_fractions

DATA = Path(__file__).with_name("data")
# The packaged surfaces by the name sample_quotes takes; the first is its default.
SAMPLES = {"kou": DATA / "sample_quotes.csv", "bates": DATA / "sample_quotes_bates.csv",
           "market": DATA / "sample_market.csv"}
# The columns calibrate reads. Another column of numbers is kept as it is; one that holds
# text (a symbol, a venue) is dropped with a warning.
QUOTE_COLUMNS = ("strike", "maturity", "kind", "iv", "price", "bid", "ask", "bid_iv", "ask_iv",
                 "weight", "rate", "dividend", "forward", "discount", "spot")
TEXT_COLUMNS = ("kind",)
ALIASES = {"expiry": "maturity"}  # a column of expiry dates is the maturity column
# Header lines '# name: value' that stand for a column of one value (or, for the rate, a
# curve read at each quote's maturity).
SETTINGS = ("spot", "rate", "dividend", "valuation", "day count")
NOT_A_MATURITY = "neither a number of years nor a date such as 2027-03-19"
Line = Tuple[int, str]  # a line number of the file and its text


def read_quotes(path: Union[str, Path]) -> Dict[str, Any]:
    """Read option quotes from a CSV file into a dict of column name to numpy array.

    The first line that is neither blank nor a ``#`` comment names the columns (in any
    case; read in lower case). Fields are separated by commas, or by semicolons where the
    header has more of them than commas (a decimal comma is then read as a point). A
    UTF-8 byte-order mark is skipped. ``kind`` stays text, ``maturity`` (or ``expiry``) is
    numbers (years) or ISO dates (``2027-03-19``, as numpy datetime64), every other column
    numbers; a
    column of text that :func:`tarnwick.calibrate` does not read (a symbol) is left out
    with a warning. Errors name the file's line and the value.

    Header lines of the form ``# name: value`` carry what is the same for every quote,
    and become columns of that value:

    - ``# spot: 100`` and ``# dividend: 0.01``: columns ``spot`` and ``dividend``;
    - ``# rate: 0.03``, or a zero curve ``# rate: 0.25 0.031, 1 0.035, 2 0.036``
      (maturity in years and rate, interpolated linearly in maturity and flat beyond its
      ends), read at each quote's maturity into the column ``rate``;
    - ``# valuation: 2026-12-09`` and ``# day count: ACT/365F``: columns ``valuation`` and
      ``day_count``, which date maturities are counted by.

    The result can be passed to :func:`tarnwick.calibrate` as it is.

    Examples
    --------
    >>> import tarnwick as tw
    >>> quotes = tw.read_quotes(tw.sample_quotes().path)
    >>> sorted(quotes)
    ['dividend', 'iv', 'kind', 'maturity', 'rate', 'spot', 'strike']
    """
    with open(path, encoding="utf-8-sig", newline="") as file:
        lines = [(number, line.strip()) for number, line in enumerate(file, start=1)]
    settings: Dict[str, Line] = {}
    rows: List[Line] = []
    for number, text in lines:
        if text.startswith("#"):
            name, colon, value = text[1:].partition(":")
            if colon and name.strip().lower() in SETTINGS:
                settings[name.strip().lower()] = (number, value.strip())
        elif text:
            rows.append((number, text))
    if not rows:
        raise ValueError(f"{path}: no header line")
    (header_line, header), data = rows[0], rows[1:]
    delimiter = ";" if header.count(";") > header.count(",") else ","
    names = [ALIASES.get(name, name) for name in
             (field.strip().lower() for field in _fields(header, delimiter))]
    repeated = sorted({name for name in names if names.count(name) > 1})
    if repeated or "" in names:
        raise ValueError(f"{path}, line {header_line}: "
                         + (f"repeated column(s) {repeated}" if repeated else "a column has no name"))
    cells: List[List[Line]] = [[] for _ in names]
    for number, text in data:
        fields = _fields(text, delimiter)
        if len(fields) != len(names):
            raise ValueError(f"{path}, line {number}: {len(fields)} fields, the header (line "
                             f"{header_line}) {len(names)}")
        for column, value in zip(cells, fields):
            column.append((number, value.strip()))
    quotes: Dict[str, Any] = {}
    for name, column in zip(names, cells):
        values = _column(path, name, column, delimiter == ";")
        if values is not None:
            quotes[name] = values
    count = len(data)
    for name, value in _settings(path, settings, quotes).items():
        quotes[name] = np.broadcast_to(value, (count,)).copy()
    return quotes


def _fields(text: str, delimiter: str) -> List[str]:
    return next(csv.reader([text], delimiter=delimiter))


def _column(path: Any, name: str, column: List[Line], decimal_comma: bool) -> Optional[Any]:
    """A column's values as an array: text for kind, dates or numbers for maturity, numbers
    otherwise; None for a column of text calibrate does not read."""
    if name in TEXT_COLUMNS:
        return np.array([value for _, value in column], dtype=str)
    if name == "maturity" and column and _float(column[0][1], decimal_comma) is None:
        for number, value in column:
            try:
                as_dates("maturity", value)
            except ValueError:
                raise ValueError(f"{path}, line {number}: column 'maturity': {value!r} is "
                                 f"{NOT_A_MATURITY}") from None
        return as_dates("maturity", [value for _, value in column]).astype("datetime64[D]")
    numbers = [_float(value, decimal_comma) for _, value in column]
    bad = next(((number, value) for (number, value), x in zip(column, numbers) if x is None), None)
    if bad is None:
        return np.array(numbers, dtype=np.float64)
    if name not in QUOTE_COLUMNS:
        warnings.warn(f"{path}: column {name!r} holds text ({bad[1]!r} on line {bad[0]}) and "
                      "is not a quote column; it is left out", UserWarning, stacklevel=3)
        return None
    what = NOT_A_MATURITY if name == "maturity" else "not a number"
    raise ValueError(f"{path}, line {bad[0]}: column {name!r}: {bad[1]!r} is {what}")


def _float(text: str, decimal_comma: bool) -> Optional[float]:
    if decimal_comma and "," in text and "." not in text:
        text = text.replace(",", ".")
    try:
        return float(text)
    except ValueError:
        return None


def _settings(path: Any, settings: Dict[str, Line], quotes: Dict[str, Any]) -> Dict[str, Any]:
    """The values of the header lines: spot, dividend and valuation as scalars, the day
    count by its name, the rate as a scalar or a curve read at every quote's maturity."""
    entries: Dict[str, Any] = {}
    for name, (number, text) in settings.items():
        key = name.replace(" ", "_")
        if key in quotes:
            raise ValueError(f"{path}, line {number}: '# {name}:' and a column {key!r} both "
                             "given; keep one")
        where = f"{path}, line {number}: '# {name}:'"
        try:
            if name == "valuation":
                entries[key] = as_dates("valuation", text)[()]
            elif name == "day count":
                days_per_year(text)
                entries[key] = text.upper()
            elif name == "rate" and ("," in text or " " in text):
                entries[key] = (number, text)  # read below, once the valuation is known
            else:
                entries[key] = float(text)
        except ValueError as error:
            raise ValueError(f"{where} {text!r}: {error}") from None
    if isinstance(entries.get("rate"), tuple):
        number, text = entries["rate"]
        entries["rate"] = _curve(f"{path}, line {number}: '# rate:'", text, quotes, entries)
    return entries


def _curve(where: str, text: str, quotes: Dict[str, Any], entries: Dict[str, Any]) -> Any:
    """A zero curve 'T1 r1, T2 r2, ...' read at each quote's maturity."""
    try:
        pillars = np.array([[float(x) for x in point.split()] for point in text.split(",")])
    except ValueError:
        pillars = np.empty((0, 0))
    if pillars.ndim != 2 or pillars.shape[1] != 2 or not np.all(np.diff(pillars[:, 0]) > 0):
        raise ValueError(f"{where} {text!r} is not a rate or a curve 'T1 r1, T2 r2, ...' of "
                         "increasing maturities in years")
    if "maturity" not in quotes:
        raise ValueError(f"{where} a curve needs the maturity column")
    maturity = quotes["maturity"]
    valuation = entries.get("valuation") if maturity.dtype.kind == "M" else None
    if maturity.dtype.kind == "M" and valuation is None:
        raise ValueError(f"{where} a curve with dated maturities needs a '# valuation:' line")
    years = year_fractions("maturity", maturity, valuation, entries.get("day_count", "ACT/365F"))
    return np.interp(years, pillars[:, 0], pillars[:, 1])


class SampleQuotes(NamedTuple):
    """The sample surface: quotes, the spot they were made with, and the file."""

    quotes: Dict[str, Any]
    S: float
    path: Path


def sample_quotes(model: str = "kou") -> SampleQuotes:
    """A small synthetic surface shipped with the package, for examples and the demo.

    104 out-of-the-money quotes (8 maturities x 13 strikes) given as implied vols, with
    per-quote rate and dividend columns. They are NOT market data: the implied vols of a
    model with stated parameters plus Gaussian noise of 0.1 vol point, made by
    ``scripts/make_sample_quotes.py`` from a fixed seed; the file's header comment
    states the parameters.

    Parameters
    ----------
    model : "kou" (default), Kou's jump-diffusion at maturities of one month to two
        years; "bates", Bates' stochastic volatility with lognormal jumps, an index-like
        surface at maturities of one week to two years; or "market", a file as a desk
        saves it: 66 bid and ask prices of Kou's model around an index of 4800 at six
        dated expiries, with each expiry's forward and discount factor, the valuation
        date and spot in header lines, and a symbol column (left out; read_quotes says
        so in a warning).

    Examples
    --------
    >>> import tarnwick as tw
    >>> sample = tw.sample_quotes()
    >>> sample.S, len(sample.quotes["strike"])
    (100.0, 104)
    >>> bates = tw.sample_quotes("bates")
    >>> float(bates.quotes["maturity"].min())  # one week: 7 / 360
    0.019444
    """
    if not isinstance(model, str) or model not in SAMPLES:
        raise ValueError(f"model must be one of {', '.join(map(repr, SAMPLES))}, got {model!r}")
    path = SAMPLES[model]
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", UserWarning)  # the desk file's symbol column
        quotes = read_quotes(path)
    return SampleQuotes(quotes, float(quotes["spot"][0]), path)
