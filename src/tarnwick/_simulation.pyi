import numpy as np
import numpy.typing as npt

def simulate(
    model: int,
    params: npt.ArrayLike,
    S: float,
    times: npt.ArrayLike,
    carry: float,
    paths: int,
    first_path: int,
    seed: int,
    threads: int,
) -> npt.NDArray[np.float64]: ...
