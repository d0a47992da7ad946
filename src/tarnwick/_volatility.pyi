import numpy as np
import numpy.typing as npt

def implied_volatility(
    price: npt.NDArray[np.float64],
    S: npt.NDArray[np.float64],
    K: npt.NDArray[np.float64],
    T: npt.NDArray[np.float64],
    r: npt.NDArray[np.float64],
    q: npt.NDArray[np.float64],
    call: npt.NDArray[np.int8],
    threads: int,
) -> npt.NDArray[np.float64]: ...
