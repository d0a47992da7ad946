"""The native pricer's status codes, surfaced as an :class:`AccuracyWarning`."""

import warnings
from typing import Any, Dict, List, Sequence, Tuple

import numpy as np

# The codes of the extension's status arrays.
_REASONS = {
    1: "the quadrature or grid reached its node limit before its error bound held (for the grid: a spot "
       "tens of reaches from the strike, or a diffusion too small against the drift for its cells)",
    2: "an intermediate value was not finite",
    4: "the grid's solutions do not settle as its meshes are refined (its coarser and finer levels differ "
       "by over 1e-3 of the strike, or their extrapolation moves by over 5e-6 of it when refined: jumps "
       "that dominate a tiny diffusion, or a jump rate and tail that leave the mesh)",
}


class AccuracyWarning(RuntimeWarning):
    """Some options could not be computed to the promised accuracy; their values are NaN.

    The message says how many options failed, why, and the inputs of the first one. Like any
    warning it can be turned into an exception (``warnings.simplefilter("error",
    tw.AccuracyWarning)``) or silenced.

    Examples
    --------
    >>> import warnings, tarnwick as tw
    >>> issubclass(tw.AccuracyWarning, RuntimeWarning)
    True
    """


def warn_failures(status: Any, inputs: Sequence[Tuple[str, Any]]) -> None:
    """An AccuracyWarning if any status code is not 0. ``inputs`` pairs each option
    argument's name with its flat array (or scalar); kinds are the extension's codes."""
    status = np.asarray(status).ravel()
    failed = np.flatnonzero(status)
    if failed.size == 0:
        return
    first = int(failed[0])
    reasons = "; ".join(_reason(int(code)) for code in np.unique(status[failed]))
    described = []
    for name, values in inputs:
        value = np.asarray(values).ravel()[first if np.ndim(values) else 0]
        described.append(f"{name}={('call' if int(value) == 1 else 'put')!r}" if name == "kind"
                         else f"{name}={float(value)!r}")
    warnings.warn(
        f"{failed.size} of {status.size} option(s) not computed to accuracy, their values NaN: {reasons}. "
        f"The first: {', '.join(described)} ({_reason(int(status[first]))}).",
        AccuracyWarning, stacklevel=4)


def _reason(code: int) -> str:
    return _REASONS.get(code, f"status {code}")


def one_row(values: List[float], status: int, names: Sequence[str], inputs: Sequence[Any]) -> List[Any]:
    """One option's values, after warning if it failed, named by its inputs `names`."""
    if status:
        warn_failures(status, list(zip(names, inputs)))
    return values


def batch_rows(table: Any, status: Any, arguments: Dict[str, Any], names: Sequence[str],
               shape: Tuple[int, ...]) -> List[Any]:
    """A batch's rows in the arguments' broadcast shape (floats for scalar arguments), after
    warning of the options that failed, named by their inputs `names` of `arguments`."""
    warn_failures(status, [(name, arguments[name]) for name in names])
    if shape == ():
        return [float(value) for value in table[:, 0]]
    return [row.reshape(shape) for row in table]
