"""European option prices under Kou's and Merton's jump-diffusion models.

The pricing modules are ``tarnwick.models.dexpjump`` (Kou) and ``tarnwick.models.lognjump``
(Merton); ``python -m tarnwick`` prints price tables.
"""

from importlib.metadata import version

from tarnwick._implied_volatility import implied_volatility

__version__ = version("tarnwick")
__all__ = ["implied_volatility"]
