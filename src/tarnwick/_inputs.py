"""Argument handling shared by the vectorised pricing functions.

Broadcasts the market arguments and the option kind to one shape, checks their values
(each error names the argument), turns kinds into the codes the extension takes and
resolves the thread count.
"""

import math
import os
from typing import Any, Dict, Optional, Sequence, Tuple

import numpy as np
from numpy.typing import NDArray

THREADS_VARIABLE = "TARNWICK_NUM_THREADS"

CALL, PUT = 1, 0


def as_float_array(name: str, value: Any) -> "NDArray[Any]":
    """``value`` as a float64 array; ValueError naming the argument if it is not numeric."""
    try:
        array = np.asarray(value, dtype=np.float64)
    except (TypeError, ValueError, OverflowError):
        raise ValueError(f"{name} must be a real number or an array of them, got {value!r}") from None
    return array


def check_finite(name: str, array: "NDArray[Any]") -> None:
    if not np.all(np.isfinite(array)):
        raise ValueError(f"{name} must be finite, got {_first_bad(array, ~np.isfinite(array))}")


def check_positive(name: str, array: "NDArray[Any]") -> None:
    bad = ~(np.isfinite(array) & (array > 0.0))
    if np.any(bad):
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
    """Thread count for the extension: the argument, else TARNWICK_NUM_THREADS, else 0 (all cores)."""
    source = "threads"
    if threads is None:
        setting = os.environ.get(THREADS_VARIABLE, "").strip()
        if not setting:
            return 0
        source = THREADS_VARIABLE
        try:
            threads = int(setting)
        except ValueError:
            raise ValueError(f"{THREADS_VARIABLE} must be a positive integer, got {setting!r}") from None
    if isinstance(threads, bool) or not isinstance(threads, (int, np.integer)) or threads < 1:
        raise ValueError(f"{source} must be a positive integer or None, got {threads!r}")
    return int(threads)


def broadcast(arrays: Dict[str, "NDArray[Any]"]) -> Tuple[Tuple[int, ...], Dict[str, "NDArray[Any]"]]:
    """The common shape and each array broadcast to it, flattened and contiguous."""
    try:
        shape = np.broadcast(*arrays.values()).shape
    except ValueError:
        shapes = ", ".join(f"{name} {array.shape}" for name, array in arrays.items())
        raise ValueError(f"argument shapes do not broadcast together: {shapes}") from None
    # Aligned as well as contiguous: arrays unpickled from a buffer (as a distributed
    # engine ships them) may start at any byte, and the extension reads whole doubles.
    flat = {name: np.require(np.broadcast_to(array, shape), requirements=("C", "A")).ravel()
            for name, array in arrays.items()}
    return shape, flat


def market_arguments(
    S: Any, K: Any, T: Any, r: Any, q: Any, kind: Any, extra: Sequence[Tuple[str, Any]] = ()
) -> Tuple[Tuple[int, ...], Dict[str, "NDArray[Any]"]]:
    """Validated, broadcast S, K, T, r, q, kind (as codes under 'kind') and any extra float arrays.

    Extra arrays (such as option prices) are converted and broadcast but not checked.
    """
    arrays = {}
    for name, value in (("S", S), ("K", K), ("T", T)):
        arrays[name] = as_float_array(name, value)
        check_positive(name, arrays[name])
    for name, value in (("r", r), ("q", q)):
        arrays[name] = as_float_array(name, value)
        check_finite(name, arrays[name])
    for name, value in extra:
        arrays[name] = as_float_array(name, value)
    arrays["kind"] = kind_codes(kind)
    return broadcast(arrays)


def scalar_arguments(
    S: Any, K: Any, T: Any, r: Any, q: Any, kind: Any
) -> Optional[Tuple[float, float, float, float, float, bool]]:
    """(S, K, T, r, q, call) validated, when every argument is a Python float or int and kind
    a string: that case skips NumPy, whose per-call cost exceeds a closed-form price. None
    otherwise (and for ints too large for a float, which the general path reports)."""
    if type(kind) is not str or not (type(S) in _SCALARS and type(K) in _SCALARS and type(T) in _SCALARS
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
        for name, value in (("S", S), ("K", K), ("T", T)):
            if not 0.0 < value < inf:
                raise ValueError(f"{name} must be finite and > 0, got {value}")
        raise ValueError(f"{'r' if not -inf < r < inf else 'q'} must be finite, got {r if not -inf < r < inf else q}")
    return S, K, T, r, q, _kind_code(kind) == CALL


_SCALARS = (float, int)
