"""The models the pricing functions take: immutable, validated parameter sets."""

import math
from dataclasses import dataclass, fields, replace as _replace
from typing import Any, ClassVar, Dict, Tuple

# Model codes understood by the _pricing extension.
_BLACK_SCHOLES, _KOU, _MERTON = 0, 1, 2


class _Model:
    """Behaviour shared by the models: validation, parameter names, replace()."""

    parameter_names: ClassVar[Tuple[str, ...]] = ()
    # name -> (lower bound, bound included, upper bound, bound included, text of the range)
    _ranges: ClassVar[Dict[str, Tuple[float, bool, float, bool, str]]] = {}
    _code: ClassVar[int] = -1

    def __post_init__(self) -> None:
        for field in fields(self):  # type: ignore[arg-type]
            value = getattr(self, field.name)
            try:
                if isinstance(value, (bool, str, bytes)):
                    raise TypeError
                number = float(value)
            except (TypeError, ValueError):
                raise ValueError(f"{type(self).__name__}: {field.name} must be a real number, got {value!r}") from None
            low, low_in, high, high_in, text = self._ranges.get(
                field.name, (-math.inf, False, math.inf, False, "finite")
            )
            ok = math.isfinite(number) and (number >= low if low_in else number > low)
            ok = ok and (number <= high if high_in else number < high)
            if not ok:
                raise ValueError(f"{type(self).__name__}: {field.name} must be {text}, got {value!r}")
            object.__setattr__(self, field.name, number)
        # The values in order, as the extension takes them (not a field: no part of ==, repr).
        object.__setattr__(self, "_values", tuple(getattr(self, name) for name in self.parameter_names))

    def replace(self, **changes: float) -> Any:
        """A new model with some parameters changed, validated like a new one.

        Examples
        --------
        >>> import tarnwick as tw
        >>> tw.BlackScholes(0.2).replace(sigma=0.3)
        BlackScholes(sigma=0.3)
        """
        unknown = set(changes) - set(self.parameter_names)
        if unknown:
            raise ValueError(f"{type(self).__name__} has no parameter {sorted(unknown)[0]!r}")
        return _replace(self, **changes)  # type: ignore[type-var]

    def _parameters(self) -> Tuple[float, ...]:
        values: Tuple[float, ...] = self.__dict__["_values"]
        return values


@dataclass(frozen=True)
class Kou(_Model):
    """Kou's double-exponential jump-diffusion.

    The log price diffuses with volatility ``sigma`` and jumps at rate ``lam`` per year; a
    jump is upward with probability ``p``, its log size then exponential with mean
    ``1 / eta1``, and downward otherwise, with mean ``1 / eta2``. Drift makes the
    discounted price a martingale under the rate ``r`` and yield ``q`` of the pricing call.

    Parameters
    ----------
    sigma : float
        Diffusion volatility, > 0.
    lam : float
        Jump intensity per year, >= 0.
    p : float
        Probability of an upward jump, 0 <= p <= 1.
    eta1 : float
        Rate of the upward log jump, > 1 (the forward must be finite).
    eta2 : float
        Rate of the downward log jump, > 0.

    Examples
    --------
    >>> import tarnwick as tw
    >>> kou = tw.Kou(sigma=0.16, lam=1.0, p=0.4, eta1=10.0, eta2=5.0)
    >>> round(tw.price(kou, S=100, K=100, T=0.5, r=0.05), 10)
    7.959429203
    """

    sigma: float
    lam: float
    p: float
    eta1: float
    eta2: float

    parameter_names: ClassVar[Tuple[str, ...]] = ("sigma", "lam", "p", "eta1", "eta2")
    _ranges: ClassVar[Dict[str, Tuple[float, bool, float, bool, str]]] = {
        "sigma": (0.0, False, math.inf, False, "> 0"),
        "lam": (0.0, True, math.inf, False, ">= 0"),
        "p": (0.0, True, 1.0, True, "between 0 and 1"),
        "eta1": (1.0, False, math.inf, False, "> 1"),
        "eta2": (0.0, False, math.inf, False, "> 0"),
    }
    _code: ClassVar[int] = _KOU


@dataclass(frozen=True)
class Merton(_Model):
    """Merton's lognormal jump-diffusion.

    The log price diffuses with volatility ``sigma`` and jumps at rate ``lam`` per year by
    normal amounts of mean ``m`` and standard deviation ``s``.

    Parameters
    ----------
    sigma : float
        Diffusion volatility, > 0.
    lam : float
        Jump intensity per year, >= 0.
    m : float
        Mean of the log jump, any finite number.
    s : float
        Standard deviation of the log jump, >= 0.

    Examples
    --------
    >>> import tarnwick as tw
    >>> mer = tw.Merton(sigma=0.2, lam=1.0, m=-0.1, s=0.2)
    >>> round(tw.price(mer, S=100, K=100, T=1.0, r=0.05), 10)
    13.6886812613
    """

    sigma: float
    lam: float
    m: float
    s: float

    parameter_names: ClassVar[Tuple[str, ...]] = ("sigma", "lam", "m", "s")
    _ranges: ClassVar[Dict[str, Tuple[float, bool, float, bool, str]]] = {
        "sigma": (0.0, False, math.inf, False, "> 0"),
        "lam": (0.0, True, math.inf, False, ">= 0"),
        "s": (0.0, True, math.inf, False, ">= 0"),
    }
    _code: ClassVar[int] = _MERTON


@dataclass(frozen=True)
class BlackScholes(_Model):
    """Black-Scholes: the log price diffuses with constant volatility ``sigma`` (> 0).

    Priced in closed form.

    Examples
    --------
    >>> import tarnwick as tw
    >>> round(tw.price(tw.BlackScholes(0.2), S=100, K=100, T=1.0, r=0.05), 10)
    10.4505835722
    """

    sigma: float

    parameter_names: ClassVar[Tuple[str, ...]] = ("sigma",)
    _ranges: ClassVar[Dict[str, Tuple[float, bool, float, bool, str]]] = {"sigma": (0.0, False, math.inf, False, "> 0")}
    _code: ClassVar[int] = _BLACK_SCHOLES


Model = (Kou, Merton, BlackScholes)
