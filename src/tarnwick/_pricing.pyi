from typing import List, Sequence

import numpy as np
import numpy.typing as npt

def price(
    model: int,
    params: npt.ArrayLike,
    S: npt.ArrayLike,
    K: npt.ArrayLike,
    T: npt.ArrayLike,
    r: npt.ArrayLike,
    q: npt.ArrayLike,
    call: npt.ArrayLike,
    threads: int,
) -> npt.NDArray[np.float64]: ...
def greeks(
    model: int,
    params: npt.ArrayLike,
    S: npt.ArrayLike,
    K: npt.ArrayLike,
    T: npt.ArrayLike,
    r: npt.ArrayLike,
    q: npt.ArrayLike,
    call: npt.ArrayLike,
    threads: int,
) -> npt.NDArray[np.float64]: ...
def sensitivities(
    model: int,
    params: npt.ArrayLike,
    S: npt.ArrayLike,
    K: npt.ArrayLike,
    T: npt.ArrayLike,
    r: npt.ArrayLike,
    q: npt.ArrayLike,
    call: npt.ArrayLike,
    threads: int,
) -> npt.NDArray[np.float64]: ...
def evaluate_one(
    output: int,
    model: int,
    params: Sequence[float],
    S: float,
    K: float,
    T: float,
    r: float,
    q: float,
    call: bool,
) -> List[float]: ...
