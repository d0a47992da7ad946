"""European option prices under Kou's and Merton's jump-diffusion models and their
stochastic-volatility extensions.

The pricing API: models ``Kou``, ``Merton``, ``BlackScholes``, ``Heston``, ``Bates`` and
``HestonKou``, and the vectorised
functions ``price``, ``greeks`` (European, or American and Bermudan by ``exercise=``,
with ``exercise_boundary``) and ``sensitivities``, which warn with ``AccuracyWarning``
where an option cannot be computed to accuracy; ``simulate`` draws spot paths for Monte
Carlo. The closed-form modules
``tarnwick.models.dexpjump`` (Kou) and ``tarnwick.models.lognjump`` (Merton) price one
option at a time; ``python -m tarnwick`` prints price tables.

Examples
--------
>>> import tarnwick as tw
>>> round(tw.price(tw.Merton(sigma=0.2, lam=1.0, m=-0.1, s=0.2), 100, 100, 1.0, 0.05), 8)
13.68868126
"""

from importlib.metadata import version

from ._api import Greeks, greeks, price, sensitivities
from ._boundary import ExerciseBoundary, exercise_boundary, plot_exercise_boundary
from ._calibrate import CalibrationResult, calibrate
from ._implied_volatility import implied_volatility
from ._models import Bates, BlackScholes, Heston, HestonKou, Kou, Merton
from ._status import AccuracyWarning
from ._plot import plot_smile
from ._quotes import SampleQuotes, read_quotes, sample_quotes
from ._simulate import simulate

__version__ = version("tarnwick")

__all__ = ["AccuracyWarning", "Bates", "BlackScholes", "CalibrationResult", "ExerciseBoundary", "Greeks", "Heston",
           "HestonKou", "Kou", "Merton", "SampleQuotes",
           "calibrate", "exercise_boundary", "greeks", "implied_volatility", "plot_exercise_boundary", "plot_smile",
           "price", "read_quotes", "sample_quotes", "sensitivities", "simulate"]
