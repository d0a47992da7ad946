"""The argument and result types of the vectorised functions, named so that their
signatures read in a line (``help(tw.price)``) and type checkers tell scalars from arrays.

Every function has three overloads: all scalars give a ``float``; arrays (or lists) give
an ``NDArray[float64]``; a pandas Series anywhere gives a Series (typed here as either,
since a call may mix them).
"""

import datetime
from typing import TYPE_CHECKING, Any, List, Literal, Tuple, Union

import numpy as np
from numpy.typing import NDArray

if TYPE_CHECKING:  # pandas is optional: only its stubs are read, by type checkers
    import pandas as pd

# The option kinds, in the cases the functions accept.
Kind = Literal["call", "put", "Call", "Put", "CALL", "PUT"]
Duration = Union[datetime.timedelta, np.timedelta64]
# Expiry dates, read with a valuation date.
Date = Union[str, datetime.date, np.datetime64]
# One option's argument.
Number = float
Maturity = Union[float, Duration, Date]
# Arrays, or nested lists and tuples (not any Sequence: a str is one), which broadcast.
Nested = Union[List[Any], Tuple[Any, ...]]
Numbers = Union[float, NDArray[Any], Nested]
Maturities = Union[Maturity, NDArray[Any], Nested]
Kinds = Union[Kind, NDArray[Any], Nested]
Values = NDArray[np.float64]
# A float for scalar arguments, else an array.
ArrayOrFloat = Union[float, NDArray[np.float64]]
# Any of those or a pandas Series.
Column = Union[Numbers, Duration, Date, "pd.Series[Any]"]
KindColumn = Union[Kinds, "pd.Series[Any]"]
Labelled = Union[Values, "pd.Series[float]"]

__all__ = ["ArrayOrFloat", "Column", "Date", "Duration", "Kind", "KindColumn", "Kinds", "Labelled", "Maturities",
           "Maturity", "Nested", "Number", "Numbers", "Values"]
