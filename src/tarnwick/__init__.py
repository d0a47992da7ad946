"""European option prices under Kou's and Merton's jump-diffusion models.

The pricing modules are ``tarnwick.models.dexpjump`` (Kou) and ``tarnwick.models.lognjump``
(Merton); ``python -m tarnwick`` prints price tables.
"""

from importlib.metadata import version

__version__ = version("tarnwick")

from tarnwick._quotes import SampleQuotes, read_quotes, sample_quotes  # noqa: E402
from tarnwick._calibrate import CalibrationResult, calibrate  # noqa: E402
from tarnwick._plot import plot_smile  # noqa: E402

__all__ = [
    "CalibrationResult",
    "SampleQuotes",
    "calibrate",
    "plot_smile",
    "read_quotes",
    "sample_quotes",
]
