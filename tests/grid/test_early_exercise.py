"""American and Bermudan options on the grid: the stored references (two independent
methods, tests/references/american_prices.csv), published values, the European and
no-dividend-call limits, the exercise boundary, Greeks against differences of converged
reference prices (american_greeks.csv), and what is refused."""

import numpy as np
import pytest

import tarnwick as tw
from reference_rows import grid_params

K, T, SIGMA, R = 100.0, 0.25, 0.15, 0.05
MERTON = tw.Merton(sigma=SIGMA, lam=0.1, m=-0.9, s=0.45)
KOU = tw.Kou(sigma=SIGMA, lam=0.1, p=0.3445, eta1=3.0465, eta2=3.0775)
BLACK_SCHOLES = tw.BlackScholes(SIGMA)

# American puts, K = 100, T = 0.25, sigma = 0.15, r = 0.05: Merton from d'Halluin, Forsyth
# and Vetzal (2005), Kou from Toivanen (2008), each the published converged value.
PUBLISHED = [
    (MERTON, 90.0, 10.003822),
    (MERTON, 100.0, 3.241251),
    (MERTON, 110.0, 1.419803),
    (KOU, 90.0, 10.005071),
    (KOU, 100.0, 2.807879),
]


def model_of(row):
    value = {name: float(row[name]) for name in ("sigma", "lam", "p", "eta1", "eta2", "m", "s") if row[name]}
    if row["model"] == "BlackScholes":
        return tw.BlackScholes(value["sigma"])
    return getattr(tw, row["model"])(**value)


@pytest.mark.parametrize("row", grid_params("american_prices.csv"))
def test_stored_references(row):
    # Bermudan rows: M dates m T / M, m = 1..M, the last of them the expiry.
    T, K = float(row["T"]), float(row["K"])
    exercise = "american" if row["style"] == "american" else [
        m * T / int(row["exercise_dates"]) for m in range(1, int(row["exercise_dates"]))]
    value = tw.price(model_of(row), float(row["S"]), K, T, float(row["r"]), float(row["q"]), row["kind"],
                     exercise=exercise)
    assert abs(value - float(row["price"])) <= 1e-6 * K


@pytest.mark.parametrize("model, S, published", PUBLISHED, ids=lambda v: getattr(v, "__name__", None) or str(v))
def test_published_american_puts(model, S, published):
    value = tw.price(model, S, K, T, R, kind="put", exercise="american")
    # The papers give six decimals: their rounding plus the 1e-6 K goal.
    assert abs(value - published) <= 1e-6 * K + 5e-7


def test_without_early_exercise_the_grid_reproduces_the_european_prices():
    # A Bermudan option whose only exercise times are at or after expiry is European: the
    # grid against the Fourier prices, calls and puts, dividends, a long maturity.
    S = np.array([80.0, 100.0, 125.0])[:, None]
    cases = (("put", 0.0, T), ("call", 0.03, T), ("put", 0.02, 2.0))
    for model in (BLACK_SCHOLES, KOU, MERTON):
        # Merton's options take seconds each: one case.
        for kind, q, maturity in cases[:1] if model is MERTON else cases:
            grid = tw.price(model, S, K, maturity, R, q, kind, exercise=[maturity, 10.0])
            fourier = tw.price(model, S, K, maturity, R, q, kind)
            np.testing.assert_allclose(grid, fourier, rtol=0, atol=1e-7 * K, err_msg=f"{model} {kind} q={q}")


@pytest.mark.parametrize("model", [tw.Kou(0.2, 6.0, 0.3, 25.0, 20.0), tw.Kou(0.2, 20.0, 0.3, 25.0, 20.0),
                                   tw.Merton(0.2, 20.0, -0.02, 0.05)], ids=repr)
def test_many_jumps_over_the_life_against_fourier(model):
    # lam T = 6 ends each step after one fixed-point pass, lam T = 20 iterates the passes to
    # a tolerance: each only if both meshes treat every step alike, which the extrapolation
    # needs (a choice by the step's own lam dt left 3e-6 K here).
    S = np.array([80.0, 100.0, 125.0])[:, None]
    kind, q = np.array(["put", "call"]), np.array([0.0, 0.03])
    grid = tw.price(model, S, K, 1.0, R, q, kind, exercise=[1.0, 10.0])
    np.testing.assert_allclose(grid, tw.price(model, S, K, 1.0, R, q, kind), rtol=0, atol=2e-7 * K)


def test_american_call_without_dividends_is_european():
    S = np.array([85.0, 100.0, 120.0])
    for model in (BLACK_SCHOLES, KOU, MERTON):
        american = tw.price(model, S, K, 1.0, R, 0.0, "call", exercise="american")
        np.testing.assert_allclose(american, tw.price(model, S, K, 1.0, R, 0.0, "call"), rtol=0, atol=1e-6 * K)


@pytest.mark.parametrize("model, S, T, resolved", [
    # Jumps that dominate the value over a tiny or moderate diffusion, or a jump rate whose
    # tail outruns the mesh: the two meshes disagree by far more than the extrapolation can
    # take, or its value keeps moving as they are refined; the grid once returned 0 or the
    # exercise value for calls worth 69 to 99.
    (tw.Kou(1e-6, 1.0, 0.4, 1.5, 0.5), 100.0, 2.0, False),
    (tw.Merton(0.2, 20.0, -0.5, 0.01), 100.0, 2.0, False),
    # A diffusion too small against the drift for any mesh within the node limit (upwind
    # differences once gave 1.2554 for 1.2422, silently).
    (tw.BlackScholes(1e-4), 100.0, 0.25, False),
    # Ordinary models at a long maturity, where the two meshes differ by up to 2e-4 K.
    (tw.Kou(0.2, 1.0, 0.4, 3.0, 3.0), 100.0, 2.0, True),
    (tw.Merton(0.2, 1.0, -0.1, 0.2), 100.0, 2.0, True),
    # Small diffusions against the drift, whose upwind differences' first-order error once
    # survived the extrapolation: off by 2.5e-4 K and 1.2e-4 K, or refused (Kou's jump rate 50).
    (tw.BlackScholes(0.01), 100.0, 2.0, True),
    (tw.Kou(0.2, 50.0, 0.4, 1.5, 0.5), 100.0, 0.25, True),
    (tw.Merton(0.05, 1.0, -0.1, 0.2), 100.0, 2.0, True),
    # A long life and a large variance, where the first levels are too coarse and are
    # refined: once refused (Kou) or off by 3.1e-6 K (Merton).
    (tw.Kou(0.6, 3.0, 0.3, 8.0, 4.0), 100.0, 5.0, True),
    (tw.Merton(0.6, 3.0, 0.05, 0.05), 100.0, 5.0, True),
    # Downward jumps far shorter than the stretched mesh's outer cells (1/20 against 0.37),
    # whose interpolation error there is first order: once off by 4.9e-6 K.
    (tw.Kou(0.85, 0.3, 0.2, 4.5, 20.0), 100.0, 5.0, True),
    # A compensator's drift of 7.8 a year against sigma 0.2: on 128 steps the drift over a
    # step outran the diffusion's spread, the time error did not yet fall like dt^2, and the
    # price was 2.5e-5 K off, silently.
    (tw.Merton(0.2, 20.0, -0.5, 0.01), 100.0, 0.25, True),
    # Wide jumps but few of them (lam T = 1.7) over a small diffusion: the paths without a
    # jump keep the kink sharp, and it reached the spot 1.8e-6 K off on 128 steps.
    (tw.Merton(0.0601, 4.044, 0.214, 0.445), 183.2, 0.421, True),
    # Jumps of 0.5 +- 1 over five years: the grid's error deep in the money (h^2 e^x)
    # passed the call's time value and clamped a third of the nodes to the payoff, at a
    # place that moved with the mesh; 2.5e-6 K off.
    (tw.Merton(0.3, 1.0, 0.5, 1.0), 100.0, 5.0, True),
    # Values up to e^56 at the mesh's upper end, where an absolute rounding bound once kept
    # policy iteration cycling for minutes.
    (tw.Kou(0.05, 1.0, 0.4, 1.5, 0.5), 125.0, 1e-4, True),
], ids=repr)
def test_the_no_dividend_call_is_european_or_refused(model, S, T, resolved):
    european = tw.price(model, S, K, T, R, 0.0, "call")
    if resolved:
        assert abs(tw.price(model, S, K, T, R, 0.0, "call", exercise="american") - european) <= 1e-6 * K
    else:
        with pytest.warns(tw.AccuracyWarning, match="not computed to accuracy"):
            assert np.isnan(tw.price(model, S, K, T, R, 0.0, "call", exercise="american"))


@pytest.mark.parametrize("model", [KOU, tw.Merton(0.3, 1.0, 0.5, 1.0)], ids=lambda m: type(m).__name__)
def test_a_call_without_dividends_has_no_exercise_boundary(model):
    assert not np.isfinite(tw.exercise_boundary(model, K, 5.0, R, kind="call").spot).any()


def test_bermudan_lies_between_european_and_american_and_approaches_american():
    european = tw.price(KOU, 95.0, K, T, R, kind="put")
    american = tw.price(KOU, 95.0, K, T, R, kind="put", exercise="American")
    monthly = tw.price(KOU, 95.0, K, T, R, kind="put", exercise=[1 / 12, 2 / 12])
    daily = tw.price(KOU, 95.0, K, T, R, kind="put", exercise=np.arange(0, 91) / 365)
    assert european < monthly < daily <= american + 1e-6 * K
    assert american - daily < 0.1 * (american - european)


@pytest.mark.parametrize("model", [BLACK_SCHOLES, KOU, MERTON], ids=lambda m: type(m).__name__)
def test_put_boundary_rises_towards_the_strike_at_expiry(model):
    b = tw.exercise_boundary(model, K, T, R)
    assert np.all(np.diff(b.time) > 0) and b.time[-1] < T and b.time[0] >= 0
    assert np.all(np.isfinite(b.spot)) and np.all(b.spot < K)
    # Monotone up to the mesh's resolution, and within 1 % of K in the last step.
    assert np.all(np.diff(b.spot) > -1e-3 * K)
    assert b.spot[-1] > 0.99 * K
    # Below the boundary the put is worth its exercise value, above it more.
    middle = b.spot[len(b.spot) // 2]
    remaining = T - b.time[len(b.spot) // 2]
    assert tw.price(model, 0.98 * middle, K, remaining, R, kind="put", exercise="american") == pytest.approx(
        K - 0.98 * middle, abs=1e-9 * K)
    assert tw.price(model, 1.02 * middle, K, remaining, R, kind="put", exercise="american") > K - 1.02 * middle


# Greeks against high-precision differences of converged prices from an independent
# finite-difference solver (tests/references/make_american_greeks.py, its grids good to a
# few 1e-6 of each Greek). Measured worst relative errors:
#   Black-Scholes  delta 5.0e-6  gamma 3.3e-5  vega 2.3e-5  theta 1.8e-4  rho 9.7e-5  epsilon 9.2e-5
#   Kou            delta 5.3e-7  gamma 7.0e-7  vega 1.3e-5  theta 2.6e-6  rho 7.6e-6  epsilon 3.3e-5
#   Merton         delta 1.0e-6  gamma 3.5e-5  vega 7.6e-6  theta 3.9e-5  rho 1.2e-5  epsilon 2.5e-5
# Past 1e-5 it is the grid's own error: on the rows with T = 1 the solution's error moves
# irregularly as the exercise boundary crosses nodes, which the extrapolation over the two
# meshes does not remove (gamma, and theta through it from the equation at the spot: 4.7
# times gamma's error in the Black-Scholes row), nor the bumps of r and q (rho, epsilon).
TOLERANCE = {
    "BlackScholes": {"delta": 8e-6, "gamma": 5e-5, "vega": 4e-5, "theta": 3e-4, "rho": 1.5e-4, "epsilon": 1.5e-4},
    "Kou": {"delta": 1e-6, "gamma": 1e-6, "vega": 2e-5, "theta": 4e-6, "rho": 1.2e-5, "epsilon": 5e-5},
    "Merton": {"delta": 2e-6, "gamma": 5e-5, "vega": 1.2e-5, "theta": 6e-5, "rho": 2e-5, "epsilon": 4e-5},
}


@pytest.mark.parametrize("row", grid_params("american_greeks.csv"))
def test_greeks_against_differences_of_converged_prices(row):
    model = model_of(row)
    S, K, T, r, q = (float(row[name]) for name in ("S", "K", "T", "r", "q"))
    g = tw.greeks(model, S, K, T, r, q, row["kind"], exercise="american")
    assert g.price == tw.price(model, S, K, T, r, q, row["kind"], exercise="american")
    for name, tolerance in TOLERANCE[row["model"]].items():
        assert getattr(g, name) == pytest.approx(float(row[name]), rel=tolerance), name


def test_refusals_name_the_argument():
    with pytest.raises(ValueError, match="exercise"):
        tw.price(KOU, 100, K, T, exercise="asian")
    with pytest.raises(ValueError, match="exercise"):
        tw.price(KOU, 100, K, T, exercise=[[0.1]])
    with pytest.raises(ValueError, match="exercise"):
        tw.price(KOU, 100, K, T, exercise=[-0.1])
    with pytest.raises(ValueError, match="exercise"):
        tw.price(KOU, 100, K, T, exercise=[True])
    with pytest.raises(NotImplementedError, match="Heston"):
        tw.price(tw.Heston(0.04, 1.0, 0.04, 0.5, -0.5), 100, K, T, exercise="american")
    with pytest.raises(NotImplementedError, match="Bates"):
        tw.exercise_boundary(tw.Bates(0.04, 1.0, 0.04, 0.5, -0.5, 0.1, -0.1, 0.1), K, T)
    with pytest.raises(ValueError, match="K"):
        tw.exercise_boundary(KOU, -1.0, T)


def test_batches_broadcast_and_do_not_depend_on_the_thread_count():
    S = np.array([90.0, 100.0, 110.0])[:, None]
    kind = np.array(["put", "call"])
    one = tw.price(KOU, S, K, T, R, 0.02, kind, exercise="american", threads=1)
    two = tw.price(KOU, S, K, T, R, 0.02, kind, exercise="american", threads=2)
    assert one.shape == (3, 2)
    np.testing.assert_array_equal(one, two)


def test_a_strike_chain_agrees_with_its_options_priced_one_by_one():
    # One solution read at each ln(S/K); the strikes run from out of the money to deep in
    # it, past the exercise boundary (S/K ~ 0.9), where the value is the exercise value.
    strikes = np.linspace(80.0, 125.0, 19)
    chain = tw.price(KOU, K, strikes, T, R, kind="put", exercise="american")
    single = np.array([tw.price(KOU, K, strike, T, R, kind="put", exercise="american") for strike in strikes])
    # Each is within 1e-6 K of the value; next to the boundary they differ by up to ~6e-7 K.
    assert np.all(np.abs(chain - single) <= 1e-6 * strikes)
    deep = strikes > 1.15 * K
    np.testing.assert_array_equal(chain[deep], strikes[deep] - K)
