"""European option prices under Kou's and Merton's jump-diffusion models.

The pricing API: models ``Kou``, ``Merton`` and ``BlackScholes``, and the vectorised
functions ``price``, ``greeks`` and ``sensitivities``. The closed-form modules
``tarnwick.models.dexpjump`` (Kou) and ``tarnwick.models.lognjump`` (Merton) price one
option at a time; ``python -m tarnwick`` prints price tables.

Examples
--------
>>> import tarnwick as tw
>>> round(tw.price(tw.Merton(sigma=0.2, lam=1.0, m=-0.1, s=0.2), 100, 100, 1.0, 0.05), 8)
13.68868126
"""

import importlib
from importlib.metadata import version
from typing import TYPE_CHECKING, Any, List

if TYPE_CHECKING:
    from ._api import Greeks, greeks, price, sensitivities
    from ._models import BlackScholes, Kou, Merton

__version__ = version("tarnwick")

__all__ = ["BlackScholes", "Greeks", "Kou", "Merton", "greeks", "price", "sensitivities"]

# The pricing API is imported on first use: `import tarnwick` and the closed-form modules
# under tarnwick.models then work without NumPy.
_LAZY = {"price": "_api", "greeks": "_api", "sensitivities": "_api", "Greeks": "_api",
         "Kou": "_models", "Merton": "_models", "BlackScholes": "_models"}


def __getattr__(name: str) -> Any:
    if name in _LAZY:
        value = getattr(importlib.import_module(f".{_LAZY[name]}", __name__), name)
        globals()[name] = value
        return value
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")


def __dir__() -> List[str]:
    return sorted(set(globals()) | set(_LAZY))
