"""The models the pricing functions take: immutable, validated parameter sets.

Each model is a frozen dataclass with one registration (:func:`registered`): its
parameters in order, each with the values it may take, its calibration bounds and start
box, its command-line flag, meaning and default, and the model's name on the command line
and its code in the native extension. Validation, calibration, the command line and the
class's docstring all read that registration.
"""

import inspect
import math
from dataclasses import dataclass, fields, replace as _replace
from typing import Any, Callable, ClassVar, List, Tuple, Type, TypeVar

from ._inputs import real_number, shown

# Model codes understood by the _pricing extension.
_BLACK_SCHOLES, _KOU, _MERTON, _HESTON, _BATES, _HESTON_KOU = range(6)


@dataclass(frozen=True)
class Range:
    """The finite reals between low and high, each end included or not."""

    low: float = -math.inf
    high: float = math.inf
    low_included: bool = False
    high_included: bool = False

    def __contains__(self, value: float) -> bool:
        above = value >= self.low if self.low_included else value > self.low
        below = value <= self.high if self.high_included else value < self.high
        return math.isfinite(value) and above and below

    @property
    def text(self) -> str:
        """The range as the error messages state it: '> 0', 'between 0 and 1', 'finite'."""
        lower = f"{'>=' if self.low_included else '>'} {self.low:g}"
        upper = f"{'<=' if self.high_included else '<'} {self.high:g}"
        if math.isinf(self.low) and math.isinf(self.high):
            return "finite"
        if math.isinf(self.high):
            return lower
        if math.isinf(self.low):
            return upper
        if self.low_included and self.high_included:
            return f"between {self.low:g} and {self.high:g}"
        return f"{lower} and {upper}"


POSITIVE = Range(0.0)
NON_NEGATIVE = Range(0.0, low_included=True)
ANY_FINITE = Range()


@dataclass(frozen=True)
class Parameter:
    """One model parameter: its name, meaning and valid range; where calibration may move
    it (``bounds``) and spreads its starting points (``start``, on a log scale when
    ``logarithmic``: scale-like parameters, for which 2 and 50 are as far apart as 0.1
    and 2.5); its command-line flag and default."""

    name: str
    meaning: str
    valid: Range
    bounds: Tuple[float, float]
    start: Tuple[float, float]
    logarithmic: bool
    default: float
    flag: str = ""

    @property
    def option(self) -> str:
        """The command-line flag: ``--name`` unless the registration names another."""
        return self.flag or f"--{self.name}"


@dataclass(frozen=True)
class Registration:
    """A model's parameters in order, its name on the command line, its native code."""

    command: str
    code: int
    parameters: Tuple[Parameter, ...]

    @property
    def names(self) -> Tuple[str, ...]:
        return tuple(parameter.name for parameter in self.parameters)


class Model:
    """Behaviour shared by the models: validation, parameter names, replace(), pickling."""

    parameter_names: ClassVar[Tuple[str, ...]] = ()
    _registration: ClassVar[Registration]
    _code: ClassVar[int] = -1

    def __post_init__(self) -> None:
        for parameter in self._registration.parameters:
            value = getattr(self, parameter.name)
            number = real_number(value)
            prefix = f"{type(self).__name__}: {parameter.name} must be"
            if number is None:
                raise ValueError(f"{prefix} a real number, got {shown(value)}")
            if number not in parameter.valid:
                raise ValueError(f"{prefix} {parameter.valid.text}, got {shown(value)}")
            object.__setattr__(self, parameter.name, number)
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

    def __reduce__(self) -> Tuple[Any, Tuple[float, ...]]:
        # Rebuilt through the constructor, so that unpickled values are validated too.
        return type(self), self._parameters()

    def _parameters(self) -> Tuple[float, ...]:
        values: Tuple[float, ...] = self.__dict__["_values"]
        return values


M = TypeVar("M", bound=Type[Model])


def registered(command: str, code: int, *parameters: Parameter) -> Callable[[M], M]:
    """Register a model dataclass: its fields must be the parameters, in order. The
    class's docstring gets a Parameters section from the registration."""
    def register(cls: M) -> M:
        registration = Registration(command, code, parameters)
        declared = tuple(field.name for field in fields(cls))  # type: ignore[arg-type]
        if declared != registration.names:
            raise TypeError(f"{cls.__name__}: fields {declared} differ from the registered "
                            f"parameters {registration.names}")
        cls._registration = registration
        cls.parameter_names = registration.names
        cls._code = code
        cls.__doc__ = _document(cls.__doc__ or "", parameters)
        return cls
    return register


def _document(doc: str, parameters: Tuple[Parameter, ...]) -> str:
    """The docstring with a Parameters section before its Examples."""
    lines = ["Parameters", "----------"]
    for parameter in parameters:
        lines += [f"{parameter.name} : float", f"    {parameter.meaning}; {parameter.valid.text}."]
    head, examples, tail = inspect.cleandoc(doc).partition("Examples\n--------")
    return head + "\n".join(lines) + "\n\n" + examples + tail


def registered_models() -> Tuple[Type[Model], ...]:
    """Every registered model class, subclasses of registered ones included."""
    found: List[Type[Model]] = []
    pending = Model.__subclasses__()
    while pending:
        cls = pending.pop(0)
        found += [cls] if "_registration" in vars(cls) else []
        pending += cls.__subclasses__()
    return tuple(found)


def registration(model_class: Any, argument: str = "model_class") -> Registration:
    """The registration of a model class; a TypeError naming the argument for anything else."""
    if isinstance(model_class, type) and issubclass(model_class, Model) \
            and hasattr(model_class, "_registration"):
        return model_class._registration
    names = ", ".join(f"tw.{cls.__name__}" for cls in registered_models())
    shown = model_class.__name__ if isinstance(model_class, type) else repr(model_class)
    raise TypeError(f"{argument} must be one of {names}, got {shown}")


# Parameters several models share. Calibration keeps every model valid (eta1 > 1 for a
# finite mean up-jump, positive scales); the start boxes stay where equity surfaces put them.
SIGMA = Parameter("sigma", "Volatility of the diffusion", POSITIVE, (0.005, 2.0), (0.05, 0.5),
                  True, 0.2)
LAM = Parameter("lam", "Jump intensity, expected jumps per year", NON_NEGATIVE, (0.0, 20.0),
                (0.05, 3.0), True, 1.0)
P = Parameter("p", "Probability that a jump is upward", Range(0.0, 1.0, True, True),
              (0.0, 1.0), (0.05, 0.95), False, 0.4)
# The mean up-jump factor E[e^Y] = eta1 / (eta1 - 1) is finite only for eta1 > 1.
ETA1 = Parameter("eta1", "Rate of the upward exponential log-jumps (mean 1/eta1)", Range(1.0),
                 (1.05, 200.0), (3.0, 60.0), True, 10.0)
ETA2 = Parameter("eta2", "Rate of the downward exponential log-jumps (mean 1/eta2)", POSITIVE,
                 (0.1, 200.0), (1.5, 40.0), True, 5.0)
# m and s get flags of their own, never --m/--s: --s beside --S is one shift key away.
JUMP_MEAN = Parameter("m", "Mean m of the log jump factor", ANY_FINITE, (-2.0, 2.0), (-0.4, 0.2),
                      False, -0.1, "--jump-mean")
JUMP_STD = Parameter("s", "Standard deviation s of the log jump factor", NON_NEGATIVE, (0.001, 2.0),
                     (0.02, 0.5), True, 0.2, "--jump-std")
# Heston's variance. Calibration keeps the variances and the mean reversion where a surface
# can tell them apart, and the correlation off +-1, where the variance and the price move
# as one and the smile no longer depends smoothly on it.
VARIANCE = (
    Parameter("v0", "Initial variance (the square of the initial volatility)", NON_NEGATIVE,
              (1e-4, 2.0), (0.005, 0.2), True, 0.04),
    Parameter("kappa", "Rate at which the variance reverts to theta, per year", POSITIVE,
              (0.01, 30.0), (0.3, 5.0), True, 1.5),
    Parameter("theta", "Long-run level of the variance", POSITIVE, (1e-4, 2.0), (0.005, 0.2), True,
              0.04),
    Parameter("xi", "Volatility of the variance", POSITIVE, (0.01, 5.0), (0.1, 1.5), True, 0.5),
    Parameter("rho", "Correlation of the variance with the price", Range(-1.0, 1.0),
              (-0.99, 0.99), (-0.9, 0.3), False, -0.7),
)


@registered("kou", _KOU, _replace(SIGMA, default=0.16), LAM, P, ETA1, ETA2)
@dataclass(frozen=True)
class Kou(Model):
    """Kou's double-exponential jump-diffusion.

    The log price diffuses with volatility ``sigma`` and jumps at rate ``lam`` per year; a
    jump is upward with probability ``p``, its log size then exponential with mean
    ``1 / eta1``, and downward otherwise, with mean ``1 / eta2``. Drift makes the
    discounted price a martingale under the rate ``r`` and yield ``q`` of the pricing call.

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


@registered("merton", _MERTON, SIGMA, LAM, JUMP_MEAN, JUMP_STD)
@dataclass(frozen=True)
class Merton(Model):
    """Merton's lognormal jump-diffusion.

    The log price diffuses with volatility ``sigma`` and jumps at rate ``lam`` per year by
    normal amounts of mean ``m`` and standard deviation ``s``.

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


@registered("bs", _BLACK_SCHOLES, SIGMA)
@dataclass(frozen=True)
class BlackScholes(Model):
    """Black-Scholes: the log price diffuses with constant volatility ``sigma``.

    Priced in closed form.

    Examples
    --------
    >>> import tarnwick as tw
    >>> round(tw.price(tw.BlackScholes(0.2), S=100, K=100, T=1.0, r=0.05), 10)
    10.4505835722
    """

    sigma: float


@registered("heston", _HESTON, *VARIANCE)
@dataclass(frozen=True)
class Heston(Model):
    """Heston's stochastic volatility.

    The variance ``v`` of the log price starts at ``v0`` and follows
    ``dv = kappa (theta - v) dt + xi sqrt(v) dW_v``, its Brownian motion correlated with
    the price's by ``rho``. The Feller condition ``2 kappa theta >= xi^2`` is not required.
    Greeks in the volatility (vega, vanna, zomma, vomma) are derivatives in the initial
    volatility ``sqrt(v0)``.

    Examples
    --------
    >>> import tarnwick as tw
    >>> heston = tw.Heston(v0=0.0175, kappa=1.5768, theta=0.0398, xi=0.5751, rho=-0.5711)
    >>> round(tw.price(heston, S=100, K=100, T=1.0, r=0.0), 12)
    5.785155434376
    """

    v0: float
    kappa: float
    theta: float
    xi: float
    rho: float


@registered("bates", _BATES, *VARIANCE, LAM, JUMP_MEAN, JUMP_STD)
@dataclass(frozen=True)
class Bates(Model):
    """Bates' model: Heston's stochastic volatility with Merton's lognormal jumps.

    The variance follows :class:`Heston`'s dynamics; independently, the log price jumps at
    rate ``lam`` per year by normal amounts of mean ``m`` and standard deviation ``s``,
    compensated in the drift as in :class:`Merton`. Greeks in the volatility are
    derivatives in ``sqrt(v0)``.

    Examples
    --------
    >>> import tarnwick as tw
    >>> bates = tw.Bates(v0=0.04, kappa=2.0, theta=0.04, xi=0.5, rho=-0.7, lam=0.5, m=-0.1, s=0.15)
    >>> round(tw.price(bates, S=100, K=100, T=1.0, r=0.02), 10)
    9.7844498389
    """

    v0: float
    kappa: float
    theta: float
    xi: float
    rho: float
    lam: float
    m: float
    s: float


@registered("hestonkou", _HESTON_KOU, *VARIANCE, LAM, P, ETA1, ETA2)
@dataclass(frozen=True)
class HestonKou(Model):
    """Heston's stochastic volatility with Kou's double-exponential jumps.

    The variance follows :class:`Heston`'s dynamics; independently, the log price jumps at
    rate ``lam`` per year, upward with probability ``p`` by an exponential amount of mean
    ``1 / eta1``, downward otherwise with mean ``1 / eta2``, compensated in the drift as in
    :class:`Kou`. Greeks in the volatility are derivatives in ``sqrt(v0)``.

    Examples
    --------
    >>> import tarnwick as tw
    >>> model = tw.HestonKou(v0=0.04, kappa=2.0, theta=0.04, xi=0.5, rho=-0.7,
    ...                      lam=0.5, p=0.3, eta1=25.0, eta2=10.0)
    >>> round(tw.price(model, S=100, K=100, T=1.0, r=0.02), 10)
    9.0244110989
    """

    v0: float
    kappa: float
    theta: float
    xi: float
    rho: float
    lam: float
    p: float
    eta1: float
    eta2: float


def require_grid_model(model: Any, what: str, advice: str = "") -> None:
    """TypeError for what is not a model; NotImplementedError unless the grid solver prices
    `what` under the model (the Lévy models with a diffusion: BlackScholes, Kou, Merton)."""
    if not isinstance(model, Model):
        registration(type(model), "model")  # a TypeError naming the models
    if not isinstance(model, (BlackScholes, Kou, Merton)):
        raise NotImplementedError(f"{what} under BlackScholes, Kou and Merton only, not "
                                  f"{type(model).__name__}{advice}")
