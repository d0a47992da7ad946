"""pandas in, pandas out: the index of Series arguments kept on the results.

pandas is never imported here. When it has not been imported, no argument can be a
Series, so the check costs one dictionary lookup.
"""

import functools
import inspect
import sys
from typing import Any, Callable, TypeVar

import numpy as np

F = TypeVar("F", bound=Callable[..., Any])


def keeps_index(name: str) -> Callable[[F], F]:
    """Wraps a vectorised function so that where any argument is a pandas Series the
    result is one too (each field of a named tuple, each value of a dict), on that Series'
    index and named after its output (``name``, or the field or key). Series with
    different indexes are refused: combining them by position would pair unrelated rows."""
    def wrap(function: F) -> F:
        @functools.wraps(function)
        def wrapped(*args: Any, **kwargs: Any) -> Any:
            pandas = sys.modules.get("pandas")
            if pandas is None or not any(isinstance(v, pandas.Series) for v in (*args, *kwargs.values())):
                return function(*args, **kwargs)
            index = _common_index(function, args, kwargs, pandas)
            return _labelled(function(*args, **kwargs), index, name, pandas)
        return wrapped  # type: ignore[return-value]
    return wrap


def _common_index(function: Callable[..., Any], args: Any, kwargs: Any, pandas: Any) -> Any:
    bound = inspect.signature(function).bind(*args, **kwargs).arguments
    named = [(k, v) for k, v in bound.items() if isinstance(v, pandas.Series)]
    first, index = named[0][0], named[0][1].index
    for other, value in named[1:]:
        if not value.index.equals(index):
            raise ValueError(f"{other} and {first} are pandas Series with different indexes; "
                             "they are not combined by position: align them first "
                             "(Series.align, Series.reindex)")
    try:
        shape = np.broadcast_shapes(*(np.shape(v) for v in bound.values() if _is_data(v)))
    except ValueError:
        return index  # the function's own check names the argument
    if shape != (len(index),):
        raise ValueError(f"{first} is a pandas Series of {len(index)} rows but the arguments "
                         f"broadcast to shape {shape}; a result keeps a Series' index only "
                         "along it: pass Series.to_numpy() for NumPy broadcasting")
    return index


def _is_data(value: Any) -> bool:
    """An argument that takes part in broadcasting (not the model, a thread count or None)."""
    return isinstance(value, (int, float, str, list, tuple, np.ndarray, np.generic)) or \
        hasattr(value, "__array__")


def _labelled(result: Any, index: Any, name: str, pandas: Any) -> Any:
    def one(value: Any, label: str) -> Any:
        return pandas.Series(np.asarray(value, dtype=np.float64), index=index, name=label)

    if isinstance(result, tuple) and hasattr(result, "_fields"):
        return type(result)(*(one(v, f) for f, v in zip(result._fields, result)))
    if isinstance(result, dict):
        return {key: one(value, key) for key, value in result.items()}
    return one(result, name)


__all__ = ["keeps_index"]
