from typing import List, Sequence, Tuple

import numpy as np
import numpy.typing as npt

model_names: Tuple[str, ...]


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
) -> Tuple[npt.NDArray[np.float64], npt.NDArray[np.int8]]: ...
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
) -> Tuple[npt.NDArray[np.float64], npt.NDArray[np.int8]]: ...
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
) -> Tuple[npt.NDArray[np.float64], npt.NDArray[np.int8]]: ...
def coarse(
    output: int,
    model: int,
    params: npt.ArrayLike,
    S: npt.ArrayLike,
    K: npt.ArrayLike,
    T: npt.ArrayLike,
    r: npt.ArrayLike,
    q: npt.ArrayLike,
    call: npt.ArrayLike,
    loosen: float,
    threads: int,
) -> Tuple[npt.NDArray[np.float64], npt.NDArray[np.int8]]: ...
def early_exercise(
    output: int,
    model: int,
    params: npt.ArrayLike,
    S: npt.ArrayLike,
    K: npt.ArrayLike,
    T: npt.ArrayLike,
    r: npt.ArrayLike,
    q: npt.ArrayLike,
    call: npt.ArrayLike,
    exercise: int,
    dates: npt.ArrayLike,
    threads: int,
) -> Tuple[npt.NDArray[np.float64], npt.NDArray[np.int8]]: ...
def barrier(
    output: int,
    model: int,
    params: npt.ArrayLike,
    S: npt.ArrayLike,
    K: npt.ArrayLike,
    T: npt.ArrayLike,
    r: npt.ArrayLike,
    q: npt.ArrayLike,
    call: npt.ArrayLike,
    kind: int,
    H: npt.ArrayLike,
    rebate: npt.ArrayLike,
    monitoring: npt.ArrayLike,
    threads: int,
) -> Tuple[npt.NDArray[np.float64], npt.NDArray[np.int8]]: ...
def early_exercise_one(
    output: int,
    model: int,
    params: Sequence[float],
    S: float,
    K: float,
    T: float,
    r: float,
    q: float,
    call: bool,
    exercise: int,
    dates: npt.ArrayLike,
) -> Tuple[List[float], int]: ...
def barrier_one(
    output: int,
    model: int,
    params: Sequence[float],
    S: float,
    K: float,
    T: float,
    r: float,
    q: float,
    call: bool,
    kind: int,
    H: float,
    rebate: float,
    monitoring: npt.ArrayLike,
) -> Tuple[List[float], int]: ...
def exercise_boundary(
    model: int,
    params: Sequence[float],
    K: float,
    T: float,
    r: float,
    q: float,
    call: bool,
) -> Tuple[List[float], List[float], int]: ...
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
) -> Tuple[List[float], int]: ...
