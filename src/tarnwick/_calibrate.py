"""Calibration of a model to option quotes: bounded least squares on implied-vol errors."""

import inspect
import math
import time
from dataclasses import dataclass
from typing import (Any, Dict, Generic, List, Mapping, Optional,
                    Sequence, Tuple, Type, TypeVar, Union)

import numpy as np
import numpy.typing as npt
# scipy ships no type information.
from scipy.optimize import least_squares  # type: ignore[import-untyped]
from scipy.special import ndtr  # type: ignore[import-untyped]

import tarnwick as tw
from tarnwick import _pricing, _volatility
from tarnwick._inputs import resolve_threads
from tarnwick._status import warn_failures

Array = npt.NDArray[np.float64]
ModelT = TypeVar("ModelT")

# Where each parameter may go, and the box the multi-start spreads its starting points
# over: the bounds keep every model valid (eta1 > 1 for a finite mean up-jump, positive
# scales), the start box stays where equity surfaces put them. Scale-like parameters are
# spread on a log scale, so that 2 and 50 are as far apart as 0.1 and 2.5.
BOUNDS: Dict[str, Tuple[float, float]] = {
    "sigma": (0.005, 2.0),
    "lam": (0.0, 20.0),
    "p": (0.0, 1.0),
    "eta1": (1.05, 200.0),
    "eta2": (0.1, 200.0),
    "m": (-2.0, 2.0),
    "s": (0.001, 2.0),
}
START_BOX: Dict[str, Tuple[float, float, bool]] = {  # low, high, log scale
    "sigma": (0.05, 0.5, True),
    "lam": (0.05, 3.0, True),
    "p": (0.05, 0.95, False),
    "eta1": (3.0, 60.0, True),
    "eta2": (1.5, 40.0, True),
    "m": (-0.4, 0.2, False),
    "s": (0.02, 0.5, True),
}
DEFAULT_STARTS = 8
LOCAL_RUNS = 2
KINDS = ("call", "put")
# Surfaces smaller than this are evaluated on one thread unless the caller asks for more:
# a pass over them takes under 4 ms, a second thread saves at most a quarter of it on an
# idle core, and waiting for a busy one costs more (104 quotes: 0.3-0.4 ms per pass).
ONE_THREAD_QUOTES = 1000
# Vega below this (per unit of volatility, relative to spot) carries no information on the
# volatility: the price has underflowed into its bounds and its implied vol is noise.
TINY_VEGA = 1e-10


@dataclass(frozen=True)
class CalibrationResult(Generic[ModelT]):
    """What :func:`calibrate` found.

    Attributes
    ----------
    model : the fitted model.
    rmse_iv : root mean square of ``residuals``, in volatility units (0.001 = 0.1 vol point).
    rmse_price : root mean square of model minus market prices of the quoted options.
    residuals : model minus market implied volatility per fitted quote (where the model's
        price has no implied vol, its price error divided by the market vega).
    nfev : evaluations of the model's prices over the surface, all starts together (in the
        local runs each comes with the prices' parameter sensitivities, from one pass).
    njev : Jacobians the optimiser asked for, from those sensitivities.
    elapsed : wall-clock seconds of the whole fit.
    success : whether the best start converged by one of the optimiser's criteria.
    standard_errors : Gauss-Newton standard error of each free parameter, from the
        Jacobian at the optimum and the residuals' scatter.
    quotes : the fitted quotes as arrays: strike, maturity, rate, dividend, kind, iv,
        model_iv, price, model_price, row (position in the input).
    S : the spot price of the fit.
    dropped : positions in the input of the quotes left out (``drop_invalid=True``).
    """

    model: ModelT
    rmse_iv: float
    rmse_price: float
    residuals: Array
    nfev: int
    njev: int
    elapsed: float
    success: bool
    standard_errors: Dict[str, float]
    quotes: Dict[str, Any]
    S: float
    dropped: Tuple[int, ...]

    def rmse_by_maturity(self) -> Dict[float, float]:
        """RMSE of the implied-vol residuals per maturity, in increasing maturity.

        Examples
        --------
        >>> sample = tw.sample_quotes()
        >>> fit = tw.calibrate(tw.BlackScholes, sample.quotes, sample.S)
        >>> len(fit.rmse_by_maturity())
        8
        """
        maturity = self.quotes["maturity"]
        return {
            float(T): float(np.sqrt(np.mean(self.residuals[maturity == T] ** 2)))
            for T in np.unique(maturity)
        }


# --- Black-Scholes in numpy, for quotes given as vols and for the vega weights ----------


def black_scholes(sigma: Array, S: float, K: Array, T: Array, r: Array, q: Array,
                  call: npt.NDArray[np.bool_]) -> Tuple[Array, Array]:
    """Black-Scholes price and vega (per unit of volatility), elementwise."""
    forward = S * np.exp((r - q) * T)
    root_t = np.sqrt(T)
    d1 = black_scholes_d1(sigma, np.log(forward / K), T, root_t)
    d2 = d1 - sigma * root_t
    discount = np.exp(-r * T)
    # Each kind from its own tails, not through parity, so that out-of-the-money prices
    # keep their relative precision.
    price = np.where(call, discount * (forward * ndtr(d1) - K * ndtr(d2)),
                     discount * (K * ndtr(-d2) - forward * ndtr(-d1)))
    vega = black_scholes_vega(d1, vega_scale(S, T, q, root_t))
    return np.asarray(price, dtype=float), np.asarray(vega, dtype=float)


def black_scholes_d1(sigma: Array, moneyness: Array, T: Array, root_t: Array) -> Array:
    """d1 from the log forward moneyness ln(F / K)."""
    d1: Array = (moneyness + 0.5 * sigma * sigma * T) / (sigma * root_t)
    return d1


def vega_scale(S: float, T: Array, q: Array, root_t: Array) -> Array:
    """S e^-qT sqrt(T / 2 pi): the vega's factors that do not depend on the vol."""
    scale: Array = S * np.exp(-q * T) * root_t / math.sqrt(2 * math.pi)
    return scale


def black_scholes_vega(d1: Array, scale: Array) -> Array:
    """Vega per unit of volatility from d1 and vega_scale."""
    vega: Array = scale * np.exp(-0.5 * d1 * d1)
    return vega


# --- the quotes ---------------------------------------------------------------------------


def _rows(mask: npt.NDArray[np.bool_]) -> List[int]:
    return [int(i) for i in np.flatnonzero(mask)]


def _shown(rows: Sequence[int]) -> str:
    return str(rows[:20])[:-1] + (", ...]" if len(rows) > 20 else "]")


@dataclass(frozen=True)
class Surface:
    """Validated quotes as float arrays (and the derived market numbers)."""

    S: float
    strike: Array
    maturity: Array
    rate: Array
    dividend: Array
    call: npt.NDArray[np.bool_]  # the quoted kind
    iv: Array
    price: Array  # of the quoted kind
    otm_call: npt.NDArray[np.bool_]  # the kind the implied vols are read from
    otm_kind: npt.NDArray[np.str_]
    otm_price: Array
    vega: Array  # Black-Scholes vega at the market vol
    row: npt.NDArray[np.int64]
    dropped: Tuple[int, ...]


def read_surface(quotes: Any, S: float, r: float, q: float, drop_invalid: bool,
                 threads: Optional[int]) -> Surface:
    """The quotes checked and completed: every column as an array of one length, market
    vols from prices or prices from vols, and the out-of-the-money kind per quote."""
    if not (isinstance(S, (int, float, np.floating, np.integer)) and math.isfinite(S) and S > 0):
        raise ValueError(f"S must be a finite number > 0, got {S!r}")
    missing = [name for name in ("strike", "maturity") if name not in quotes]
    if "iv" not in quotes and "price" not in quotes:
        missing.append("iv or price")
    if missing:
        raise ValueError(f"quotes: missing column(s) {', '.join(missing)}; the quotes need "
                         "strike, maturity and iv or price (optional: kind, rate, dividend)")
    strike = np.asarray(quotes["strike"], dtype=float).ravel()
    count = strike.size
    if count == 0:
        raise ValueError("quotes: no rows")

    def column(name: str, default: Any, dtype: Any = float) -> Any:
        values = np.asarray(quotes[name] if name in quotes else default, dtype=dtype)
        values = np.broadcast_to(values, (count,)) if values.ndim == 0 else values.ravel()
        if values.shape != (count,):
            raise ValueError(f"quotes: column {name!r} has {values.size} rows, strike {count}")
        return values

    maturity = column("maturity", None)
    for name, values in (("strike", strike), ("maturity", maturity)):
        bad = _rows(~(np.isfinite(values) & (values > 0)))
        if bad:
            raise ValueError(f"quotes: {name} must be finite and > 0; not so at rows {_shown(bad)}")
    rate, dividend = column("rate", r), column("dividend", q)
    for name, values in (("rate", rate), ("dividend", dividend)):
        if not np.isfinite(values).all():
            raise ValueError(f"quotes: {name} must be finite; not so at rows "
                             f"{_shown(_rows(~np.isfinite(values)))}")
    kind = np.char.lower(np.char.strip(column("kind", "call", dtype=str)))
    bad = _rows(~np.isin(kind, KINDS))
    if bad:
        raise ValueError(f"quotes: kind must be 'call' or 'put'; not so at rows {_shown(bad)}")
    call = kind == "call"
    S = float(S)
    if "iv" in quotes:
        iv = column("iv", None)
        valid = np.isfinite(iv) & (iv > 0)
        price = np.where(valid, black_scholes(np.where(valid, iv, 1.0), S, strike, maturity,
                                              rate, dividend, call)[0], np.nan)
    else:
        price = column("price", None)
        iv = tw.implied_volatility(price, S, strike, maturity, rate, dividend, kind,
                                   threads=threads)
        # No implied vol: the price is outside the no-arbitrage bounds (or not a number).
        valid = np.isfinite(iv) & (iv > 0)
    bad = _rows(~valid)
    if bad and not drop_invalid:
        raise ValueError(
            f"quotes: {len(bad)} quote(s) outside the no-arbitrage bounds (no positive implied "
            f"volatility) at rows {_shown(bad)}; pass drop_invalid=True to fit without them")
    if not valid.any():
        raise ValueError("quotes: no quote inside the no-arbitrage bounds")
    keep = np.flatnonzero(valid)
    strike, maturity, rate, dividend = strike[keep], maturity[keep], rate[keep], dividend[keep]
    call, iv, price = call[keep], iv[keep], price[keep]
    # Implied vols are read from the out-of-the-money side: a deep in-the-money price is
    # mostly intrinsic value, and its time value (which carries the vol) loses digits.
    otm_call = strike >= S * np.exp((rate - dividend) * maturity)
    otm_price, vega = black_scholes(iv, S, strike, maturity, rate, dividend, otm_call)
    return Surface(S, strike, maturity, rate, dividend, call, iv, price, otm_call,
                   np.where(otm_call, "call", "put"), otm_price, vega, keep.astype(np.int64),
                   tuple(bad))


# --- the objective --------------------------------------------------------------------------


class Objective:
    """Residuals and their Jacobian in the free parameters."""

    def __init__(self, model_class: Any, names: Sequence[str], free: Sequence[str],
                 fixed: Mapping[str, float], surface: Surface, target: str,
                 threads: Optional[int]) -> None:
        self.model_class, self.names, self.free = model_class, list(names), list(free)
        self.fixed, self.surface, self.target = dict(fixed), surface, target
        # The surface is checked once (read_surface); each evaluation then hands its flat
        # arrays straight to the extensions, without the public functions' validation and
        # broadcasting (about a third of a 100-quote price's time).
        flat = [np.ascontiguousarray(a, dtype=np.float64)
                for a in (surface.strike, surface.maturity, surface.rate, surface.dividend)]
        self._market: Tuple[Array, Array, Array, Array, Array, npt.NDArray[np.int8]] = (
            np.full(surface.strike.size, surface.S), flat[0], flat[1], flat[2], flat[3],
            surface.otm_call.astype(np.int8))
        self._threads = resolve_threads(threads)
        if threads is None and surface.strike.size < ONE_THREAD_QUOTES:
            self._threads = self._threads or 1  # TARNWICK_NUM_THREADS still counts
        # The market terms of the vega at the model's vol, which each evaluation needs.
        T, root_t = surface.maturity, np.sqrt(surface.maturity)
        forward = surface.S * np.exp((surface.rate - surface.dividend) * T)
        self._vega_terms = (np.log(forward / surface.strike), T, root_t,
                            vega_scale(surface.S, T, surface.dividend, root_t))
        # Rows of the sensitivities table (price first) that belong to the free parameters.
        self._free_rows = [1 + self.names.index(name) for name in self.free]
        self.evaluations = self.jacobians = 0
        self._x: Optional[bytes] = None
        self._value: Tuple[Array, Array] = (np.empty(0), np.empty(0))
        self._sensitivities = np.empty((0, 0))
        self._jacobians: Dict[bytes, Array] = {}

    def model(self, x: Array) -> Any:
        values = dict(self.fixed)
        values.update(zip(self.free, (float(v) for v in x)))
        return self.model_class(**{name: values[name] for name in self.names})

    def sensitivities(self, model: Any) -> Array:
        """The table of prices (row 0) and their derivatives in each model parameter."""
        table, status = _pricing.sensitivities(model._code, np.array(model._parameters()), *self._market,
                                               self._threads)
        warn_failures(status, list(zip(("S", "K", "T", "r", "q", "kind"), self._market)))
        return table

    def prices(self, model: Any) -> Array:
        table, status = _pricing.price(model._code, np.array(model._parameters()), *self._market,
                                       self._threads)
        warn_failures(status, list(zip(("S", "K", "T", "r", "q", "kind"), self._market)))
        return table[0, :]

    def model_ivs(self, prices: Array) -> Array:
        return _volatility.implied_volatility(np.ascontiguousarray(prices, dtype=float),
                                              *self._market, self._threads)

    def vol_residuals(self, prices: Array) -> Tuple[Array, Array]:
        """Model minus market implied vol per quote, and the vega that turns a price
        change into a vol change there. Where the model's price has no implied vol
        (underflowed, or past a bound while a start is still far off), the market-vega
        weighted price error stands in: continuous, and of the same size."""
        s = self.surface
        iv = self.model_ivs(prices)
        finite = np.isfinite(iv)
        moneyness, maturity, root_t, scale = self._vega_terms
        vega = black_scholes_vega(
            black_scholes_d1(np.where(finite, iv, 1.0), moneyness, maturity, root_t), scale)
        has_iv = finite & (vega > TINY_VEGA * s.S)
        residuals = np.where(has_iv, iv - s.iv, (prices - s.otm_price) / s.vega)
        return residuals, np.where(has_iv, vega, s.vega)

    def residuals_and_scale(self, prices: Array) -> Tuple[Array, Array]:
        """The residuals of these out-of-the-money prices for the target, and the vega
        that divides their derivatives."""
        s = self.surface
        if self.target == "price":
            # Price errors in units of vol: divided by the market vega, the first-order
            # change of price per unit of implied vol. No inversion in the loop.
            return (prices - s.otm_price) / s.vega, s.vega
        return self.vol_residuals(prices)

    def at(self, x: Array) -> Tuple[Array, Array]:
        """Residuals and vega scale at x. least_squares asks for the Jacobian right after
        the residuals at every point it accepts, and it rejects few: so the prices come
        from the pass that yields their sensitivities too (about 2.2 prices' time, where a
        price pass and then that one take 3.2), and the table is kept for the Jacobian."""
        key = np.asarray(x, dtype=float).tobytes()
        if key != self._x:
            self.evaluations += 1
            # Out-of-the-money options whatever the target: their prices are all time
            # value, and parity makes the two kinds' errors the same.
            table = self.sensitivities(self.model(x))
            self._x, self._sensitivities = key, table
            self._value = self.residuals_and_scale(table[0])
        return self._value

    def residuals(self, x: Array) -> Array:
        return self.at(x)[0]

    def jacobian(self, x: Array) -> Array:
        """d residual / d free parameter: dIV/dθ = (dV/dθ) / vega, at the model's vol, or
        the market's for price errors."""
        key = np.asarray(x, dtype=float).tobytes()
        if key not in self._jacobians:
            _, scale = self.at(x)
            self.jacobians += 1
            self._jacobians[key] = (self._sensitivities[self._free_rows] / scale).T
        # Kept per point: the fit's standard errors need the Jacobian at the end point of
        # the best local run, which that run has computed already.
        return self._jacobians[key]

    def cost(self, x: Array) -> float:
        """Half the sum of squared residuals, for screening starts: from prices alone, as
        no Jacobian is asked for at these points."""
        self.evaluations += 1
        residuals, _ = self.residuals_and_scale(self.prices(self.model(x)))
        return 0.5 * float(np.sum(residuals ** 2))


# --- starting points -----------------------------------------------------------------------

PRIMES = (2, 3, 5, 7, 11, 13, 17)


def radical_inverse(index: int, base: int) -> float:
    """The index-th point of van der Corput's sequence in this base (digits mirrored)."""
    value, scale = 0.0, 1.0 / base
    while index:
        index, digit = divmod(index, base)
        value += digit * scale
        scale /= base
    return value


def start_points(free: Sequence[str], bounds: Mapping[str, Tuple[float, float]],
                 count: int) -> List[Array]:
    """count points of the unscrambled Halton sequence (from index 1, whose point is the
    middle of the box) mapped into each parameter's start box, within its bounds."""
    points = []
    for index in range(1, count + 1):
        point = []
        for dim, name in enumerate(free):
            low, high = bounds[name]
            start_low, start_high, log = START_BOX.get(name, (low, high, False))
            start_low, start_high = max(start_low, low), min(start_high, high)
            u = radical_inverse(index, PRIMES[dim % len(PRIMES)])
            if log and start_low > 0:
                value = start_low * (start_high / start_low) ** u
            else:
                value = start_low + (start_high - start_low) * u
            point.append(value)
        points.append(np.array(point))
    return points


def model_implied_vols(model: Any, S: float, K: Any, T: Any, r: Any, q: Any,
                       threads: Optional[int] = None) -> Array:
    """The model's implied vols, read from its out-of-the-money option at every strike."""
    K, T, r, q = np.broadcast_arrays(*(np.asarray(a, dtype=float) for a in (K, T, r, q)))
    kind = np.where(K >= S * np.exp((r - q) * T), "call", "put")
    prices = tw.price(model, S, K, T, r, q, kind, threads=threads)
    return np.asarray(tw.implied_volatility(prices, S, K, T, r, q, kind, threads=threads),
                      dtype=float)


class LogScale:
    """Coordinates of the optimiser: the log of each parameter bounded away from zero
    (sigma, eta1, eta2, s), the parameter itself otherwise. Scale parameters then move by
    factors rather than increments, which conditions the problem better: a local run
    needs about a quarter fewer evaluations."""

    def __init__(self, logged: npt.NDArray[np.bool_]) -> None:
        self.logged = logged

    def coordinates(self, x: Array) -> Array:
        u = np.array(x, dtype=float)
        u[self.logged] = np.log(u[self.logged])
        return u

    def parameters(self, u: Array) -> Array:
        x = np.array(u, dtype=float)
        x[self.logged] = np.exp(x[self.logged])
        return x

    def jacobian(self, jacobian: Array, u: Array) -> Array:
        """d/du from d/dx: times dx/du, which is x for a logged coordinate."""
        factor: Array = np.where(self.logged, self.parameters(u), 1.0)
        return jacobian * factor


# --- the fit -------------------------------------------------------------------------------


def parameter_names(model_class: Any) -> Tuple[str, ...]:
    names = getattr(model_class, "parameter_names", None)
    if isinstance(names, tuple):
        return names
    return tuple(inspect.signature(model_class).parameters)


class _NoBar:
    def __enter__(self) -> "_NoBar":
        return self

    def __exit__(self, *exc: Any) -> None:
        return None

    def update(self) -> None:
        return None


def _progress(enabled: bool, total: int) -> Any:
    if not enabled:
        return _NoBar()
    try:
        from tqdm import tqdm
    except ImportError:
        raise ImportError("progress=True needs tqdm: pip install 'tarnwick[progress]'") from None
    return tqdm(total=total, desc="calibration starts", unit="step")


def calibrate(
    model_class: Type[ModelT],
    quotes: Any,
    S: float,
    r: float = 0.0,
    q: float = 0.0,
    *,
    target: str = "iv",
    fixed: Optional[Mapping[str, float]] = None,
    x0: Union[None, Mapping[str, float], Any] = None,
    bounds: Optional[Mapping[str, Tuple[float, float]]] = None,
    starts: int = DEFAULT_STARTS,
    progress: bool = False,
    drop_invalid: bool = False,
    threads: Optional[int] = None,
) -> CalibrationResult[ModelT]:
    """Fit a model's parameters to option quotes by bounded least squares.

    Minimises the squared differences between the model's and the market's implied
    volatilities (``target="iv"``), or between their prices divided by the market's
    Black-Scholes vega (``target="price"``: nearly the same errors, faster, with no
    implied-vol inversion in the loop). The Jacobian comes from the model's analytic price
    sensitivities (:func:`tarnwick.sensitivities`), never from finite differences. Each of
    a few deterministic starting points spread over the parameters' usual range is run to
    convergence by :func:`scipy.optimize.least_squares`, and the best fit is kept.

    Parameters
    ----------
    model_class : tw.Kou, tw.Merton or tw.BlackScholes.
    quotes : pandas DataFrame or mapping of column name to array. Columns ``strike``,
        ``maturity`` (years) and ``iv`` (e.g. 0.2 for 20 %) or ``price``; optional ``kind``
        ('call' or 'put', default call), ``rate`` and ``dividend`` (per-quote r and q,
        which take the place of the arguments r and q).
    S : spot price.
    r, q : risk-free rate and dividend yield, continuously compounded, for every quote.
    target : "iv" or "price".
    fixed : parameters held at given values, e.g. ``{"p": 0.3}``.
    x0 : one starting point (a mapping of free parameter to value, or a model) instead of
        the multi-start.
    bounds : per-parameter (low, high) replacing the defaults in ``tarnwick._calibrate.BOUNDS``.
    starts : number of starting points of the multi-start.
    progress : show a progress bar over the starts (needs tqdm: ``tarnwick[progress]``).
    drop_invalid : leave out quotes outside the no-arbitrage bounds instead of raising.
    threads : threads of the pricing calls (None: all cores, or one for fewer than
        1000 quotes, whose passes are too short to gain from more).

    Returns
    -------
    CalibrationResult

    Raises
    ------
    ValueError
        Missing columns, non-positive strikes or maturities, quotes outside the
        no-arbitrage bounds (with their rows), unknown parameters or bad bounds.

    Examples
    --------
    >>> import tarnwick as tw
    >>> sample = tw.sample_quotes()
    >>> fit = tw.calibrate(tw.Kou, sample.quotes, sample.S, fixed={"p": 0.3})
    >>> fit.rmse_iv < 0.002
    True
    """
    started = time.perf_counter()
    if target not in ("iv", "price"):
        raise ValueError(f"target must be 'iv' or 'price', got {target!r}")
    if not (isinstance(starts, (int, np.integer)) and starts >= 1):
        raise ValueError(f"starts must be an integer >= 1, got {starts!r}")
    names = parameter_names(model_class)
    fixed = dict(fixed or {})
    unknown = sorted(set(fixed) - set(names))
    if unknown:
        raise ValueError(f"fixed: unknown parameter(s) {unknown} of {model_class.__name__}, "
                         f"whose parameters are {list(names)}")
    free = [name for name in names if name not in fixed]
    box = {name: BOUNDS.get(name, (-np.inf, np.inf)) for name in names}
    for name, pair in (bounds or {}).items():
        if name not in names:
            raise ValueError(f"bounds: unknown parameter {name!r} of {model_class.__name__}")
        pair_low, pair_high = (float(v) for v in pair)
        if not pair_low < pair_high:
            raise ValueError(f"bounds: expected low < high for {name!r}, got {pair!r}")
        box[name] = (pair_low, pair_high)
    surface = read_surface(quotes, S, r, q, drop_invalid, threads)
    objective = Objective(model_class, names, free, fixed, surface, target, threads)

    if x0 is not None:
        given = (dict(x0) if isinstance(x0, Mapping)
                 else {name: getattr(x0, name) for name in names})
        missing = [name for name in free if name not in given]
        if missing:
            raise ValueError(f"x0: no value for the free parameter(s) {missing}")
        points = [np.array([float(given[name]) for name in free])]
    else:
        points = start_points(free, box, starts)
    low = np.array([box[name][0] for name in free])
    high = np.array([box[name][1] for name in free])

    best: Any = None
    if free:
        # trf wants starts strictly inside the bounds.
        inner_low, inner_high = low + 1e-9 * (1 + abs(low)), high - 1e-9 * (1 + abs(high))
        points = [np.clip(point, inner_low, inner_high) for point in points]
        scale = LogScale(low > 0)
        local_runs = min(LOCAL_RUNS, len(points))
        with _progress(progress, len(points) + local_runs if x0 is None else 1) as bar:
            if x0 is None:
                # Each start's cost from prices alone (no sensitivities), then local runs
                # from the lowest few: most of a local run is spent converging, and starts
                # in one basin end at the same optimum.
                costs = []
                for point in points:
                    costs.append(objective.cost(point))
                    bar.update()
                points = [points[i] for i in np.argsort(costs, kind="stable")[:local_runs]]
            for point in points:
                result = least_squares(
                    lambda u: objective.residuals(scale.parameters(u)), scale.coordinates(point),
                    jac=lambda u: scale.jacobian(objective.jacobian(scale.parameters(u)), u),
                    bounds=(scale.coordinates(low), scale.coordinates(high)), method="trf",
                    x_scale="jac", max_nfev=200)
                if best is None or result.cost < best.cost:
                    best = result
                bar.update()
        x, success = scale.parameters(best.x), bool(best.success)
    else:
        x, success = np.empty(0), True
    model = objective.model(x)
    jacobian = objective.jacobian(x)
    # The vol residuals of the fitted model, whatever the target, and the prices of the
    # quoted kinds from the out-of-the-money ones by parity, C - P = S e^-qT - K e^-rT.
    otm_prices = objective.prices(model)
    residuals, _ = objective.vol_residuals(otm_prices)
    model_iv = objective.model_ivs(otm_prices)
    forward_value = (surface.S * np.exp(-surface.dividend * surface.maturity)
                     - surface.strike * np.exp(-surface.rate * surface.maturity))
    side = surface.call.astype(float) - surface.otm_call.astype(float)
    model_price = otm_prices + side * forward_value
    dof = max(residuals.size - len(free), 1)
    scatter = float(np.sum(residuals ** 2)) / dof
    if free:
        covariance = np.linalg.pinv(jacobian.T @ jacobian) * scatter
        errors = dict(zip(free, (float(e) for e in np.sqrt(np.abs(np.diag(covariance))))))
    else:
        errors = {}
    quotes_out = {
        "strike": surface.strike, "maturity": surface.maturity, "rate": surface.rate,
        "dividend": surface.dividend, "kind": np.where(surface.call, "call", "put"),
        "iv": surface.iv, "model_iv": model_iv, "price": surface.price,
        "model_price": model_price, "row": surface.row,
    }
    return CalibrationResult(
        model=model,
        rmse_iv=float(np.sqrt(np.mean(residuals ** 2))),
        rmse_price=float(np.sqrt(np.mean((model_price - surface.price) ** 2))),
        residuals=residuals,
        nfev=objective.evaluations,
        njev=objective.jacobians,
        elapsed=time.perf_counter() - started,
        success=success,
        standard_errors=errors,
        quotes=quotes_out,
        S=surface.S,
        dropped=surface.dropped,
    )
