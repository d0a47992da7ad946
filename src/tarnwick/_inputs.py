"""Argument handling shared by the vectorised pricing functions.

Reads each market argument as what it is: real numbers become float64 arrays, durations
(where a maturity is meant) become years, and anything else (booleans, complex numbers,
strings, dates, masked entries) is refused with a ValueError that names the argument.
Broadcasts the arguments and the option kind to one shape, checks their values, turns
kinds into the codes the extension takes and resolves the thread count.
"""

import datetime
import math
import os
import reprlib
from typing import Any, Dict, Iterator, Optional, Sequence, Tuple

import numpy as np
from numpy.typing import NDArray

THREADS_VARIABLE = "TARNWICK_NUM_THREADS"
# More threads than this is a typing slip, not a machine: each costs a stack, and the
# native count is an unsigned int.
MAX_THREADS = 1024

CALL, PUT = 1, 0

DAYS_PER_YEAR = 365.0  # durations count as years by ACT/365F
# Days per tick of each fixed-length timedelta64 unit, as (numerator, denominator) so that
# whole days stay exact. Years and months have no fixed length in days.
DAYS_PER_UNIT = {"W": (7, 1), "D": (1, 1), "h": (1, 24), "m": (1, 1440), "s": (1, 86400),
                 "ms": (1, 86400e3), "us": (1, 86400e6), "ns": (1, 86400e9),
                 "ps": (1, 86400e12), "fs": (1, 86400e15), "as": (1, 86400e18)}
ONE_DAY = datetime.timedelta(days=1)
DURATIONS_HINT = ("pass year fractions or durations (numpy.timedelta64, datetime.timedelta, "
                  "pandas.Timedelta; read as days / 365), or dates with a valuation date "
                  "(valuation=)")


def shown(value: Any) -> str:
    """The repr of a value for an error message, cut short if long."""
    return reprlib.repr(value)


def real_number(value: Any) -> Optional[float]:
    """value as a float if it is one real number; None for anything else, booleans,
    complex numbers, strings and masked values included."""
    if type(value) is float or type(value) is int:
        try:
            return float(value)
        except OverflowError:
            return None
    if isinstance(value, np.ma.MaskedArray):
        if _masked(value):
            return None
        value = value.data
    array = np.asarray(value) if not isinstance(value, (str, bytes)) else None
    if array is None or array.ndim != 0 or array.dtype.kind not in "fiuO":
        return None
    item = array.item()
    if isinstance(item, (bool, str, bytes, complex)):  # float("1.5") would read a string
        return None
    try:
        return float(item)
    except (TypeError, ValueError, OverflowError):
        return None


def as_float_array(name: str, value: Any, durations: bool = False) -> "NDArray[Any]":
    """``value`` as a float64 array; ValueError naming the argument unless it holds real
    numbers only. With ``durations``, timedelta values are read as years (days / 365) and
    dates are refused with a hint to pass durations."""
    if isinstance(value, np.ma.MaskedArray):
        if _masked(value):
            raise ValueError(f"{name} has masked entries; fill them or leave them out "
                             "(numpy.ma.filled, numpy.ma.compressed)")
        value = value.data
    try:
        array = np.asarray(value)
    except (TypeError, ValueError, OverflowError):
        raise ValueError(f"{name} must be a real number or an array of them, got {shown(value)}") from None
    kind = array.dtype.kind
    if kind in "fiu":
        if isinstance(value, (list, tuple)) and np.any((array == 0) | (array == 1)):
            # NumPy reads [True, 2.0] as [1.0, 2.0]: only a 0 or a 1 can be a boolean.
            for item in _nested_items(value):
                if isinstance(item, (bool, np.bool_)):
                    raise ValueError(_refusal(name, item, durations))
        return array.astype(np.float64, copy=False)
    if kind == "m" and durations:
        return _years(name, array)
    if kind == "O":
        values = np.fromiter((_element(name, item, durations) for item in array.flat),
                             dtype=np.float64, count=array.size)
        return values.reshape(array.shape)
    raise ValueError(_refusal(name, array.flat[0] if array.size else array, durations))


def _masked(array: "np.ma.MaskedArray[Any, Any]") -> bool:
    """Whether any entry is masked: such entries are refused rather than read as the
    numbers stored beneath them."""
    return bool(np.any(array.mask))


def _nested_items(values: Any) -> Iterator[Any]:
    for item in values:
        if isinstance(item, (list, tuple)):
            yield from _nested_items(item)
        else:
            yield item


def _element(name: str, item: Any, durations: bool) -> float:
    """One entry of an object array as a float (a duration as years, if allowed)."""
    if durations and isinstance(item, datetime.timedelta):  # pandas.Timedelta too
        return float(item / ONE_DAY) / DAYS_PER_YEAR
    if durations and isinstance(item, np.timedelta64):
        return float(_years(name, np.asarray(item)))
    number = real_number(item)
    if number is None:
        raise ValueError(_refusal(name, item, durations))
    return number


def _refusal(name: str, item: Any, durations: bool) -> str:
    """Why an entry (a Python or NumPy scalar) is not a number the argument takes."""
    if isinstance(item, (datetime.date, np.datetime64)):  # datetime and pandas.Timestamp too
        hint = DURATIONS_HINT if durations else "pass real numbers"
        return f"{name} must not be a date, got {shown(item)}: {hint}"
    for kinds, what in (((datetime.timedelta, np.timedelta64), "durations"),
                        ((bool, np.bool_), "booleans"), ((complex, np.complexfloating), "complex")):
        if isinstance(item, kinds):
            return f"{name} must be real numbers, not {what}, got {shown(item)}"
    return f"{name} must be a real number or an array of them, got {shown(item)}"


def _years(name: str, array: "NDArray[Any]") -> "NDArray[Any]":
    """A timedelta64 array in years, ACT/365F; NaT becomes NaN."""
    unit, count = np.datetime_data(array.dtype)
    if unit not in DAYS_PER_UNIT:
        raise ValueError(f"{name}: a timedelta64 in {unit!r} units has no fixed length in "
                         "days; give days or a finer unit")
    numerator, denominator = DAYS_PER_UNIT[unit]
    ticks = array.astype(np.int64).astype(np.float64)
    days = np.where(np.isnat(array), np.nan, ticks * (count * numerator) / denominator)
    years: "NDArray[Any]" = days / DAYS_PER_YEAR
    return years


# Two reductions and no temporaries: NaN fails every comparison, so a NaN anywhere (which
# min and max propagate) takes the branch that names the bad entry.
def check_finite(name: str, array: "NDArray[Any]") -> None:
    if array.size and not (array.min() > -math.inf and array.max() < math.inf):
        raise ValueError(f"{name} must be finite, got {_first_bad(array, ~np.isfinite(array))}")


def check_positive(name: str, array: "NDArray[Any]") -> None:
    if array.size and not (array.min() > 0.0 and array.max() < math.inf):
        bad = ~(np.isfinite(array) & (array > 0.0))
        raise ValueError(f"{name} must be finite and > 0, got {_first_bad(array, bad)}")


def _first_bad(array: "NDArray[Any]", bad: "NDArray[Any]") -> float:
    return float(np.asarray(array)[bad].flat[0])


def kind_codes(kind: Any) -> "NDArray[Any]":
    """'call'/'put' (any case), or an array of them, as an int8 array of CALL/PUT codes."""
    if isinstance(kind, str):
        return np.asarray(_kind_code(kind), dtype=np.int8)
    array = np.asarray(kind)
    if array.dtype.kind == "U":
        # Strings (a quote table's column): exact lower-case entries in vectorised
        # comparisons, and only the others lowered (np.char.lower copies every string,
        # some 20 times the cost of the comparisons); the loop below names a bad entry.
        call, put = _exact_call_put(array)
        exact = call | put
        codes = call.astype(np.int8)  # CALL is 1, PUT 0
        if exact.all():
            return codes
        other = ~exact
        lowered = np.char.lower(array[other])
        lowered_call = lowered == "call"
        if np.all(lowered_call | (lowered == "put")):
            codes[other] = np.where(lowered_call, CALL, PUT)
            return codes
    array = np.asarray(kind, dtype=object)
    codes = np.empty(array.shape, dtype=np.int8)
    for index, value in np.ndenumerate(array):
        codes[index] = _kind_code(value)
    return codes


def _exact_call_put(array: "NDArray[Any]") -> Tuple["NDArray[Any]", "NDArray[Any]"]:
    """Masks of the entries of a string array that are exactly 'call' and exactly 'put'."""
    if array.dtype.itemsize != 16:
        return np.asarray(array == "call"), np.asarray(array == "put")
    # Four characters, as np.where(..., "call", "put") makes them: each string compared as
    # two 64-bit words, four times faster than NumPy's comparison of strings.
    words = np.ascontiguousarray(array).reshape(-1).view(np.uint64).reshape(-1, 2)
    masks = []
    for name in ("call", "put"):
        low, high = np.array([name], dtype=array.dtype).view(np.uint64)
        masks.append(((words[:, 0] == low) & (words[:, 1] == high)).reshape(array.shape))
    return masks[0], masks[1]


def _kind_code(value: Any) -> int:
    if isinstance(value, (str, np.str_)):
        lowered = value.lower()
        if lowered == "call":
            return CALL
        if lowered == "put":
            return PUT
    raise ValueError(f"kind must be 'call' or 'put' (or an array of them), got {value!r}")


def resolve_threads(threads: Optional[int]) -> int:
    """Thread count for the extension: the argument, else TARNWICK_NUM_THREADS, else 0 (all
    cores). A count must be an integer from 1 to MAX_THREADS."""
    limit = f"a positive integer no larger than {MAX_THREADS}"
    if threads is None:
        setting = os.environ.get(THREADS_VARIABLE, "").strip()
        if not setting:
            return 0
        # At most four digits before int(), which refuses longer texts only past 4300.
        if not (setting.isdecimal() and len(setting) <= 4 and 1 <= int(setting) <= MAX_THREADS):
            raise ValueError(f"{THREADS_VARIABLE} must be {limit}, got {shown(setting)}")
        return int(setting)
    if (isinstance(threads, (bool, np.bool_)) or not isinstance(threads, (int, np.integer))
            or not 1 <= threads <= MAX_THREADS):
        raise ValueError(f"threads must be {limit}, or None, got {shown(threads)}")
    return int(threads)


def check_threads(threads: Optional[int]) -> None:
    """Validates a thread count given for one option, which runs on the calling thread: the
    environment's count is read for batches only."""
    if threads is not None:
        resolve_threads(threads)


def broadcast(arrays: Dict[str, "NDArray[Any]"],
              scalars: Dict[str, Any]) -> Tuple[Tuple[int, ...], Dict[str, "NDArray[Any]"]]:
    """The common shape, and each array broadcast to it and each scalar filled out to it,
    flattened and contiguous (in the order of ``arrays``, then ``scalars``)."""
    try:
        shape = np.broadcast(*arrays.values()).shape if len(arrays) > 1 else next(
            (array.shape for array in arrays.values()), ())
    except ValueError:
        shapes = ", ".join(f"{name} {array.shape}" for name, array in arrays.items())
        raise ValueError(f"argument shapes do not broadcast together: {shapes}") from None
    size = math.prod(shape)
    flat = {}
    for name, array in arrays.items():
        # Aligned as well as contiguous: arrays unpickled from a buffer (as a distributed
        # engine ships them) may start at any byte, and the extension reads whole doubles.
        if not (array.shape == shape and array.flags.c_contiguous and array.flags.aligned):
            array = np.require(np.broadcast_to(array, shape), requirements=("C", "A"))
        flat[name] = array.ravel()
    for name, value in scalars.items():
        flat[name] = np.full(size, value)
    return shape, flat


def check_number(name: str, number: float, positive: bool) -> None:
    """ValueError naming the argument for a Python number outside its range, the messages of
    check_positive and check_finite: finite, and > 0 where ``positive``. Chained comparisons
    are False for NaN, so these reject it too."""
    if positive:
        if not 0.0 < number < math.inf:
            raise ValueError(f"{name} must be finite and > 0, got {number}")
    elif not -math.inf < number < math.inf:
        raise ValueError(f"{name} must be finite, got {number}")


def python_number(value: Any) -> Optional[float]:
    """A Python float or int as a float (None for anything else, and for ints too large for
    a float, which the general path reports): such arguments are checked without NumPy,
    whose per-call cost is most of a small batch's."""
    if type(value) is float:
        return value
    if type(value) is int:
        try:
            return float(value)
        except OverflowError:
            return None
    return None


def market_arguments(
    S: Any, K: Any, T: Any, r: Any, q: Any, kind: Any, extra: Sequence[Tuple[str, Any]] = ()
) -> Tuple[Tuple[int, ...], Dict[str, "NDArray[Any]"]]:
    """Validated, broadcast S, K, T, r, q, kind (as codes under 'kind') and any extra float arrays.

    Extra arrays (such as option prices) are converted and broadcast but not checked.
    """
    arrays: Dict[str, "NDArray[Any]"] = {}
    scalars: Dict[str, Any] = {}
    for name, value in (("S", S), ("K", K), ("T", T), ("r", r), ("q", q)):
        number = python_number(value)
        positive = name in ("S", "K", "T")
        if number is None:
            arrays[name] = as_float_array(name, value, durations=name == "T")
            (check_positive if positive else check_finite)(name, arrays[name])
        else:
            check_number(name, number, positive)
            scalars[name] = number
    for name, value in extra:
        number = python_number(value)
        if number is None:
            arrays[name] = as_float_array(name, value)
        else:
            scalars[name] = number
    if isinstance(kind, str):
        scalars["kind"] = np.int8(_kind_code(kind))
    else:
        arrays["kind"] = kind_codes(kind)
    return broadcast(arrays, scalars)


def scalar_arguments(
    S: Any, K: Any, T: Any, r: Any, q: Any, kind: Any
) -> Optional[Tuple[float, float, float, float, float, bool]]:
    """(S, K, T, r, q, call) validated, when every argument is a Python float or int and kind
    a string: that case skips NumPy, whose per-call cost exceeds a closed-form price. None
    otherwise (and for ints too large for a float, which the general path reports)."""
    if type(kind) is not str:
        return None
    # Floats, the common case, need no conversion: each float() would cost more than a test.
    if not (type(S) is float and type(K) is float and type(T) is float and type(r) is float and type(q) is float):
        if not (type(S) in _SCALARS and type(K) in _SCALARS and type(T) in _SCALARS
                and type(r) in _SCALARS and type(q) in _SCALARS):
            return None
        try:
            S, K, T, r, q = float(S), float(K), float(T), float(r), float(q)
        except OverflowError:
            return None
    # Chained comparisons are False for NaN, so these also reject non-finite values; the
    # argument to blame is looked for only when one fails.
    inf = math.inf
    if not (0.0 < S < inf and 0.0 < K < inf and 0.0 < T < inf and -inf < r < inf and -inf < q < inf):
        for name, value in (("S", S), ("K", K), ("T", T), ("r", r), ("q", q)):
            check_number(name, value, name in ("S", "K", "T"))
    return S, K, T, r, q, kind == "call" or (kind != "put" and _kind_code(kind) == CALL)


_SCALARS = (float, int)
