"""Market inputs as desks hold them: expiries as dates counted from a valuation date by a
day count, and a forward and a discount factor per expiry in place of spot, rate and
dividend yield.

The kernels take (S, r, q). A forward F and a discount factor D describe the same market
as S = F and r = q = -ln(D) / T: every kernel reads its inputs only as the discounted
forward S e^(-qT) = F D, the discounted strike K e^(-rT) = K D and the log-moneyness
ln(K / S) - (r - q) T = ln(K / F). The rate is formed once here, and e^(-rT) gives D back
to within an ulp or two.
"""

import datetime
from typing import Any, Mapping, Tuple

import numpy as np
from numpy.typing import NDArray

from ._inputs import DAYS_PER_YEAR, as_float_array, check_positive, real_number, shown

# Days per year of each day count; the name ACT/365F is the default everywhere.
DAY_COUNTS = {"ACT/365F": DAYS_PER_YEAR, "ACT/365.25": 365.25, "ACT/360": 360.0}
DEFAULT_DAY_COUNT = "ACT/365F"
ONE_DAY = np.timedelta64(1, "D")
DATES = "datetime64[us]"


def days_per_year(day_count: Any) -> float:
    """The year length of a day count named in any case, e.g. 'ACT/365F'."""
    if isinstance(day_count, str) and day_count.strip().upper() in DAY_COUNTS:
        return DAY_COUNTS[day_count.strip().upper()]
    raise ValueError(f"day_count must be one of {', '.join(map(repr, DAY_COUNTS))}, got "
                     f"{shown(day_count)}")


def as_dates(name: str, value: Any) -> "NDArray[Any]":
    """value as a datetime64 array: numpy datetime64, pandas Timestamps (or a Series or
    index of them), datetime.date / datetime.datetime and ISO 8601 strings. In
    microseconds: nanoseconds would overflow past the year 2262, and a microsecond is
    3e-14 of a year."""
    array = np.asarray(value)
    if array.dtype.kind == "M":
        return array.astype(DATES)
    if array.dtype.kind in "OUS":
        try:
            return np.array([_date(item) for item in array.flat], dtype=DATES).reshape(array.shape)
        except (TypeError, ValueError):
            pass
    bad = next((item for item in array.flat if not _is_date(item)), value)
    bad = bad.item() if isinstance(bad, np.generic) else bad
    raise ValueError(f"{name} must be dates (numpy.datetime64, pandas.Timestamp, "
                     f"datetime.date or ISO strings such as '2027-03-19'; without a time "
                     f"zone), got {shown(bad)}")


def _date(item: Any) -> np.datetime64:
    if getattr(item, "tzinfo", None) is not None:
        raise ValueError("a date with a time zone")  # reported by as_dates
    if isinstance(item, (str, np.str_)):
        return np.datetime64(item.strip())
    if isinstance(item, (datetime.date, np.datetime64)):  # datetime and Timestamp too
        return np.datetime64(item)
    raise TypeError(type(item).__name__)


def _is_date(item: Any) -> bool:
    try:
        _date(item)
    except (TypeError, ValueError):
        return False
    return True


def _has_durations(value: Any) -> bool:
    array = np.asarray(value)
    if array.dtype.kind == "m":
        return True
    return array.dtype.kind == "O" and any(
        isinstance(item, (datetime.timedelta, np.timedelta64)) for item in array.flat)


def to_years(name: str, T: Any, valuation: Any = None,
             day_count: Any = DEFAULT_DAY_COUNT) -> "NDArray[Any]":
    """Maturities in years, unchecked: expiry dates counted from the valuation date when
    one is given (actual days over the day count's year), else year fractions or
    durations (days over the same year)."""
    year = days_per_year(day_count)
    if valuation is None:
        years = as_float_array(name, T, durations=True)
        if year != DAYS_PER_YEAR and _has_durations(T):
            years = years * (DAYS_PER_YEAR / year)
        return years
    start = as_dates("valuation", valuation)
    if start.ndim != 0:
        raise ValueError(f"valuation must be one date, got {start.size}")
    days = (as_dates(name, T) - start) / ONE_DAY
    return np.asarray(days / year, dtype=np.float64)


def year_fractions(name: str, T: Any, valuation: Any = None,
                   day_count: Any = DEFAULT_DAY_COUNT) -> "NDArray[Any]":
    """Maturities in years as :func:`to_years` reads them, each finite and > 0."""
    years = to_years(name, T, valuation, day_count)
    if valuation is not None and np.any(years <= 0):
        raise ValueError(f"{name}: expiry {np.asarray(T)[years <= 0].flat[0]} is not "
                         f"after the valuation date {shown(valuation)}")
    check_positive(name, years)
    return years


def market_inputs(S: Any, T: Any, r: Any, q: Any, forward: Any = None, discount: Any = None,
                  valuation: Any = None, day_count: Any = DEFAULT_DAY_COUNT) -> Tuple[Any, Any, Any, Any]:
    """(S, T, r, q) for the kernels from the pricing functions' arguments: the arguments
    themselves, untouched, when none of forward, discount and valuation is given and the
    day count is the default; otherwise T in years, a discount factor as the rate
    -ln(D) / T and a forward as S = F, q = r."""
    if S is None and forward is None:
        raise ValueError("S is None: give a spot, or a forward with forward=")
    if forward is None and discount is None and valuation is None and day_count == DEFAULT_DAY_COUNT:
        return S, T, r, q
    T = year_fractions("T", T, valuation, day_count)
    if discount is not None:
        _not_both("r", r, "discount", "the discount factor sets the rate")
        D = as_float_array("discount", discount)
        check_positive("discount", D)
        try:
            r = -np.log(D) / T
        except ValueError:
            raise ValueError(f"argument shapes do not broadcast together: discount {D.shape}, "
                             f"T {T.shape}") from None
    if forward is not None:
        if S is not None:
            raise ValueError("S and forward both given: the forward replaces the spot; pass S=None")
        _not_both("q", q, "forward", "the forward sets the carry")
        S = as_float_array("forward", forward)
        check_positive("forward", S)
        q = r
    return S, T, r, q


def _not_both(name: str, value: Any, other: str, reason: str) -> None:
    if real_number(value) != 0.0:
        raise ValueError(f"{name} and {other} both given: {reason}; leave {name} at 0")


def per_expiry(name: str, values: Any, maturity: "NDArray[Any]", valuation: Any,
               day_count: Any) -> Any:
    """One value per quote from a mapping of expiry (a date, or a maturity in years as the
    quotes give it) to value; an array or a scalar is returned as it is."""
    if not isinstance(values, Mapping):
        return values
    keys = year_fractions(f"{name} (its keys)", list(values), valuation, day_count)
    table = dict(zip(keys.tolist(), values.values()))
    missing = sorted(set(np.unique(maturity).tolist()) - set(table))
    if missing:
        raise ValueError(f"{name}: no value for the maturities {missing[:5]} (in years); the "
                         "mapping needs one entry per expiry of the quotes")
    return np.array([_number(name, table[T]) for T in maturity.tolist()])


def _number(name: str, value: Any) -> float:
    number = real_number(value)
    if number is None:
        raise ValueError(f"{name} must map expiries to real numbers, got {shown(value)}")
    return number
