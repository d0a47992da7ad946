"""European option prices under Kou's and Merton's jump-diffusion models.

The pricing modules are ``tarnwick.models.dexpjump`` (Kou) and ``tarnwick.models.lognjump``
(Merton); ``python -m tarnwick`` prints price tables.
"""

from importlib.metadata import version
from typing import TYPE_CHECKING, Any

if TYPE_CHECKING:
    from tarnwick._implied_volatility import implied_volatility

__version__ = version("tarnwick")
__all__ = ["implied_volatility"]


def __getattr__(name: str) -> Any:
    # The array functions load NumPy, which tarnwick.models does not need: they are imported
    # on first use, so that the two modules stay importable on their own.
    if name == "implied_volatility":
        from tarnwick._implied_volatility import implied_volatility

        globals()[name] = implied_volatility  # later lookups find it directly
        return implied_volatility
    raise AttributeError(f"module 'tarnwick' has no attribute {name!r}")
