"""Kou call and put prices agree bit for bit with a step-by-step evaluation."""

import math
import random
import struct

import pytest

from literal import hh, in_, kou_call, kou_put, upsilon

# S, r, sigma, lam, p, eta1, eta2
BASE = (100.0, 0.05, 0.16, 1.0, 0.4, 10.0, 5.0)


def bits(x):
    return "nan" if math.isnan(x) else struct.pack("<d", x).hex()


def ten(x):
    return f"{x:.10g}"


def test_reference_evaluation_reproduces_known_values():
    # Guards the reference itself: a wrong literal would make the bit test vacuous.
    assert hh(-1, 0.0) == 1.0 and hh(0, 0.0) == 1.2533141373155001
    assert ten(hh(2, 0.5)) == "0.2627438483" and ten(hh(3, -1.0)) == "1.709224349"
    assert [ten(in_(n, 0.1, 5.0, 2.0, -0.3)) for n in (0, 2)] == ["5.012120452", "0.6499057953"]
    assert [ten(in_(n, 0.1, -10.0, -2.0, 0.3)) for n in (0, 2)] == ["0.06948668182", "0.06361650492"]
    assert [in_(1, 0.1, a, b, 0.3) for a, b in ((0.0, 2.0), (1.0, 0.0), (-0.0, -2.0))] == [0.0] * 3

    ups = (0.03, 0.16, 1.0, 0.4, 10.0, 5.0, -0.05, 0.5)
    assert [ten(upsilon(*ups, n)) for n in (0, 1, 2, 5, 10, 15)] == [
        "0.4349998197", "0.5942106527", "0.6260721014", "0.6310280334",
        "0.6310312569", "0.6310312569"]
    no_jumps = (0.03, 0.16, 0.0, 0.4, 10.0, 5.0, -0.05, 0.5)
    assert ten(upsilon(*no_jumps, 0)) == ten(upsilon(*no_jumps, 5)) == "0.7171934556"

    table = [
        (0.5, 100.0, 0, "4.636402501", "2.167393704"),
        (0.5, 100.0, 1, "7.193052473", "4.724043676"),
        (0.5, 100.0, 5, "7.959327824", "5.490319027"),
        (0.5, 100.0, 10, "7.959429203", "5.490420406"),
        (1.0, 98.0, 0, "5.314203356", "-1.465313043"),
        (1.0, 98.0, 15, "13.57374164", "6.794225244"),
    ]
    for T, K, n, call, put in table:
        assert (ten(kou_call(T, K, *BASE, n)), ten(kou_put(T, K, *BASE, n))) == (call, put)
    bs = (100.0, 0.05, 0.16, 0.0, 0.4, 10.0, 5.0)
    assert ten(kou_call(0.5, 100.0, *bs, 4)) == "5.798137071"


@pytest.fixture(scope="module")
def dexpjump():
    return pytest.importorskip("tarnwick.models.dexpjump")


def mismatches(dexpjump, cases):
    out = []
    for idx, (T, K, S, r, sigma, lam, p, eta1, eta2, n) in enumerate(cases):
        args = (S, r, sigma, lam, p, eta1, eta2, n)
        # Alternate constructors and factories; both must price identically.
        if idx % 2:
            call, put = dexpjump.create_european_call(T, K), dexpjump.create_european_put(T, K)
        else:
            call, put = dexpjump.KouEuropeanCall(T, K), dexpjump.KouEuropeanPut(T, K)
        for kind, obj, ref in (("call", call, kou_call), ("put", put, kou_put)):
            got, want = obj.priceByKouJumpDiffusion(*args), ref(T, K, *args)
            if bits(got) != bits(want):
                out.append(f"{kind} T={T!r} K={K!r} {args}: "
                           f"module {got.hex()} literal {want.hex()}")
    return out


def test_random_parameters_bit_exact(dexpjump):
    # Where the closed form is accurate: max(eta1, eta2 + 1) sigma sqrt(T) <= 1/2 (the
    # larger rate is the share measure's). Beyond, its cancellation is replaced.
    rng = random.Random(7001)
    cases = []
    for idx in range(300):
        p = (0.0, 1.0)[idx % 2] if idx % 10 < 2 else rng.uniform(0.0, 1.0)
        T, K, S, r, sigma, lam = (rng.uniform(0.1, 2.0), rng.uniform(50, 150), rng.uniform(50, 150),
                                  rng.uniform(-0.02, 0.1), rng.uniform(0.05, 0.5), rng.uniform(0, 4))
        eta1, eta2, n = rng.uniform(1.5, 25), rng.uniform(0.5, 25), rng.randint(-1, 12)
        sigma = min(sigma, 0.5 / (max(eta1, eta2 + 1.0) * math.sqrt(T)))
        cases.append((T, K, S, r, sigma, lam, p, eta1, eta2, n))
    cases += [(T, K) + BASE + (n,) for T, K in ((0.5, 100.0), (1.0, 98.0)) for n in range(-1, 13)]
    assert mismatches(dexpjump, cases) == []


def test_degenerate_inputs_bit_exact(dexpjump):
    S, r, sigma, lam, p, eta1, eta2 = BASE
    cases = [
        (0.0, 100.0, S, r, sigma, lam, p, eta1, eta2, 4),     # T = 0
        (-1.0, 100.0, S, r, sigma, lam, p, eta1, eta2, 4),    # T < 0
        (1.0, 100.0, S, r, 0.0, lam, p, eta1, eta2, 4),       # sigma = 0
        (1.0, 100.0, S, r, sigma, 0.0, p, eta1, eta2, 6),     # no jumps
        (1.0, 100.0, S, r, sigma, lam, p, 1.0, eta2, 3),      # eta1 = 1
        (1.0, 100.0, S, r, sigma, lam, p, eta1, -1.0, 3),     # eta2 = -1
        (1.0, 100.0, S, r, sigma, lam, p, 3.0, -3.0, 3),      # eta1 + eta2 = 0
        (1.0, 100.0, S, r, sigma, lam, p, 0.5, eta2, 3),      # eta1 < 1
        (1.0, 100.0, S, r, sigma, lam, p, eta1, 0.0, 3),      # eta2 = 0
        (1.0, 0.0, S, r, sigma, lam, p, eta1, eta2, 3),       # K = 0
        (1.0, 100.0, 0.0, r, sigma, lam, p, eta1, eta2, 3),   # S = 0
        (1.0, -100.0, S, r, sigma, lam, p, eta1, eta2, 3),    # K / S < 0
        (1.0, 100.0, S, r, sigma, lam, 1.5, eta1, eta2, 5),   # p outside [0, 1]
        (1.0, 100.0, S, r, sigma, lam, p, eta1, eta2, -7),
        (1.0, 100.0, S, math.nan, sigma, lam, p, eta1, eta2, 2),
    ]
    assert mismatches(dexpjump, cases) == []
