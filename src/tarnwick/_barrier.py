"""European barrier options: the barrier keywords of :func:`price` and :func:`greeks`,
validated, and the batch on the grid solver."""

from typing import Any, List, Optional

import numpy as np
from numpy.typing import NDArray

from . import _pricing
from ._inputs import (as_float_array, check_finite, check_number, check_positive, check_threads,
                      market_arguments, python_number, resolve_threads, scalar_arguments)
from ._models import Model, require_grid_model
from ._status import batch_rows, one_row
from ._types import ArrayOrFloat

_KINDS = {"down-and-out": 1, "down-and-in": 2, "up-and-out": 3, "up-and-in": 4}
_CONTINUOUS = np.empty(0)
_MARKET = ("S", "K", "T", "r", "q", "kind", "barrier", "rebate")


def barrier_code(barrier_kind: Any) -> int:
    """The extension's code of a barrier kind (case-insensitive)."""
    code = _KINDS.get(barrier_kind.lower()) if isinstance(barrier_kind, str) else None
    if code is None:
        raise ValueError(f"barrier_kind must be one of {', '.join(map(repr, _KINDS))}, got {barrier_kind!r}")
    return code


def monitoring_times(monitoring: Any) -> "NDArray[np.float64]":
    """None (continuous: no times) or the monitoring times, increasing and distinct."""
    if monitoring is None:
        return _CONTINUOUS
    times = as_float_array("monitoring", monitoring, durations=True)
    if times.ndim != 1 or times.size == 0:
        raise ValueError(f"monitoring must be None or a non-empty 1-D array of times, got shape {times.shape}")
    if not np.all(np.isfinite(times) & (times >= 0.0)):
        raise ValueError("monitoring times must be finite and >= 0 (years from now)")
    distinct: "NDArray[np.float64]" = np.unique(times)
    return distinct


def check_barrier_keywords(barrier: Any, barrier_kind: Any, rebate: Any, monitoring: Any, exercise: Any) -> bool:
    """Whether a barrier is given; ValueError for barrier keywords without a barrier or a
    barrier without its kind, NotImplementedError for a barrier with early exercise."""
    if barrier is None:
        if barrier_kind is not None or monitoring is not None or not (isinstance(rebate, (int, float)) and rebate == 0):
            raise ValueError("barrier_kind, rebate and monitoring need a barrier (barrier=H)")
        return False
    if barrier_kind is None:
        raise ValueError("barrier needs barrier_kind ('down-and-out', 'down-and-in', 'up-and-out' or 'up-and-in')")
    if not (isinstance(exercise, str) and exercise.lower() == "european"):
        raise NotImplementedError("barrier options are priced with exercise='european' only")
    return True


def evaluate_barrier(output: int, model: Model, S: Any, K: Any, T: Any, r: Any, q: Any, kind: Any, barrier: Any,
                     barrier_kind: Any, rebate: Any, monitoring: Any, threads: Optional[int]) -> List[ArrayOrFloat]:
    """The rows of :func:`price` (output 0) or :func:`greeks` (1) of barrier options."""
    require_grid_model(model, "barrier options are priced")
    code = barrier_code(barrier_kind)
    times = monitoring_times(monitoring)
    scalars = scalar_arguments(S, K, T, r, q, kind)
    H, cash = python_number(barrier), python_number(rebate)
    if scalars is not None and H is not None and cash is not None:
        # One option from Python numbers: checked as below, without arrays, and priced on the
        # calling thread.
        check_threads(threads)
        check_number("barrier", H, True)
        check_number("rebate", cash, False)
        if cash < 0.0:
            raise ValueError(f"rebate must be >= 0, got {cash}")
        return one_row(*_pricing.barrier_one(output, model._code, model._parameters(), *scalars, code, H, cash, times),
                       _MARKET, scalars + (H, cash))
    count = resolve_threads(threads)
    shape, a = market_arguments(S, K, T, r, q, kind, extra=(("barrier", barrier), ("rebate", rebate)))
    check_positive("barrier", a["barrier"])
    check_finite("rebate", a["rebate"])
    if np.any(a["rebate"] < 0.0):
        raise ValueError(f"rebate must be >= 0, got {a['rebate'][a['rebate'] < 0.0][0]}")
    params = np.array(model._parameters(), dtype=np.float64)
    table, status = _pricing.barrier(output, model._code, params, a["S"], a["K"], a["T"], a["r"], a["q"], a["kind"],
                                     code, a["barrier"], a["rebate"], times, count)
    return batch_rows(table, status, a, _MARKET, shape)
