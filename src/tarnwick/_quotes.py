"""Option quotes from CSV files, and the sample surface shipped with the package."""

import csv
from pathlib import Path
from typing import Any, Dict, List, NamedTuple, Union

import numpy as np

DATA = Path(__file__).with_name("data")
# The packaged surfaces by the name sample_quotes takes; the first is its default.
SAMPLES = {"kou": DATA / "sample_quotes.csv", "bates": DATA / "sample_quotes_bates.csv"}
TEXT_COLUMNS = ("kind",)


def read_quotes(path: Union[str, Path]) -> Dict[str, Any]:
    """Read option quotes from a CSV file into a dict of column name to numpy array.

    The first line that is neither blank nor a ``#`` comment names the columns; ``kind``
    stays text, every other column is read as float. The result can be passed to
    :func:`tarnwick.calibrate` as it is (``pandas.read_csv(path, comment="#")`` gives the
    same columns).

    Examples
    --------
    >>> import tarnwick as tw
    >>> quotes = tw.read_quotes(tw.sample_quotes().path)
    >>> sorted(quotes)
    ['dividend', 'iv', 'kind', 'maturity', 'rate', 'strike']
    """
    with open(path, newline="") as file:
        lines = [line for line in file if line.strip() and not line.lstrip().startswith("#")]
    reader = csv.reader(lines)
    try:
        header = [name.strip() for name in next(reader)]
    except StopIteration:
        raise ValueError(f"{path}: no header line") from None
    columns: Dict[str, List[str]] = {name: [] for name in header}
    for number, row in enumerate(reader, start=1):
        if len(row) != len(header):
            raise ValueError(f"{path}: data row {number} has {len(row)} fields, the header "
                             f"{len(header)}")
        for name, value in zip(header, row):
            columns[name].append(value.strip())
    quotes: Dict[str, Any] = {}
    for name, values in columns.items():
        if name in TEXT_COLUMNS:
            quotes[name] = np.array(values, dtype=str)
            continue
        try:
            quotes[name] = np.array([float(value) for value in values])
        except ValueError as error:
            raise ValueError(f"{path}: column {name!r}: {error}") from None
    return quotes


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
        years; or "bates", Bates' stochastic volatility with lognormal jumps, an
        index-like surface at maturities of one week to two years.

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
    spot = None
    with open(path) as file:
        for line in file:
            if line.startswith("# spot:"):
                spot = float(line.split(":", 1)[1])
    if spot is None:
        raise ValueError(f"{path}: no '# spot:' line")
    return SampleQuotes(read_quotes(path), spot, path)
