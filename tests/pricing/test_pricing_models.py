"""The model classes: validation, immutability, equality, replace, pickling."""

import copy
import math
import pickle
import struct

import numpy as np
import pytest

import tarnwick as tw
from tarnwick.cli import build_parser
from tarnwick._models import registered_models, registration

VALID = {
    tw.Kou: dict(sigma=0.16, lam=1.0, p=0.4, eta1=10.0, eta2=5.0),
    tw.Merton: dict(sigma=0.2, lam=1.0, m=-0.1, s=0.2),
    tw.BlackScholes: dict(sigma=0.2),
    tw.Heston: dict(v0=0.04, kappa=1.5, theta=0.04, xi=0.5, rho=-0.7),
    tw.Bates: dict(v0=0.04, kappa=1.5, theta=0.04, xi=0.5, rho=-0.7, lam=1.0, m=-0.1, s=0.2),
    tw.HestonKou: dict(v0=0.04, kappa=1.5, theta=0.04, xi=0.5, rho=-0.7, lam=1.0, p=0.4, eta1=10.0, eta2=5.0),
}

# (class, parameter, bad value, words the message must contain)
INVALID = [
    (tw.Kou, "sigma", 0.0, "> 0"),
    (tw.Kou, "lam", -1e-300, ">= 0"),
    (tw.Kou, "p", 1.0000001, "between 0 and 1"),
    (tw.Kou, "p", -0.1, "between 0 and 1"),
    (tw.Kou, "eta1", 1.0, "> 1"),
    (tw.Kou, "eta2", 0.0, "> 0"),
    (tw.Kou, "eta2", math.inf, "> 0"),
    (tw.Merton, "s", -0.01, ">= 0"),
    (tw.Merton, "m", math.nan, "finite"),
    (tw.Merton, "sigma", -0.2, "> 0"),
    (tw.BlackScholes, "sigma", math.nan, "> 0"),
    (tw.Kou, "lam", "1.0", "real number"),
    (tw.Merton, "lam", True, "real number"),
    (tw.BlackScholes, "sigma", np.True_, "real number"),
    (tw.Kou, "sigma", np.complex128(0.2), "real number"),
    (tw.Merton, "m", np.ma.masked, "real number"),
    (tw.Heston, "rho", 1.0, "> -1 and < 1"),
    (tw.Heston, "v0", -1e-12, ">= 0"),
    (tw.Bates, "xi", 0.0, "> 0"),
    (tw.HestonKou, "eta1", 0.5, "> 1"),
]


@pytest.mark.parametrize("cls", VALID)
def test_fields_are_floats_in_declared_order(cls):
    model = cls(*VALID[cls].values())
    assert model == cls(**VALID[cls])
    assert model.parameter_names == tuple(VALID[cls])
    assert all(type(getattr(model, name)) is float for name in model.parameter_names)


@pytest.mark.parametrize("cls, name, value, words", INVALID)
def test_out_of_range_parameter_is_named_with_its_range(cls, name, value, words):
    with pytest.raises(ValueError) as info:
        cls(**{**VALID[cls], name: value})
    assert name in str(info.value) and words in str(info.value)


def test_boundary_values_are_accepted():
    tw.Kou(sigma=1e-3, lam=0.0, p=0.0, eta1=1.0 + 1e-9, eta2=1e-9)
    tw.Kou(sigma=1e-3, lam=0.0, p=1.0, eta1=2.0, eta2=2.0)
    tw.Merton(sigma=0.1, lam=0.0, m=-5.0, s=0.0)


@pytest.mark.parametrize("cls", VALID)
def test_immutable_hashable_picklable(cls):
    model = cls(**VALID[cls])
    with pytest.raises(AttributeError):
        model.sigma = 0.3
    assert hash(model) == hash(cls(**VALID[cls]))
    assert pickle.loads(pickle.dumps(model)) == model
    assert copy.deepcopy(model) == model
    assert eval(repr(model), {cls.__name__: cls}) == model


def test_unpickled_models_are_validated():
    good = pickle.dumps(tw.Kou(**VALID[tw.Kou]))
    doctored = good.replace(struct.pack(">d", 10.0), struct.pack(">d", 0.5))  # eta1
    assert doctored != good
    with pytest.raises(ValueError, match="Kou: eta1 must be > 1, got 0.5"):
        pickle.loads(doctored)


@pytest.mark.parametrize("cls", registered_models(), ids=lambda cls: cls.__name__)
def test_one_registration_serves_validation_calibration_docs_and_command_line(cls):
    parameters = registration(cls).parameters
    assert cls.parameter_names == tuple(VALID[cls]) == tuple(p.name for p in parameters)
    price_help = build_parser().parse_args(["price", registration(cls).command]).command_parser
    flags = price_help.format_help()
    for p in parameters:
        low, high = p.bounds
        assert low in p.valid and high in p.valid and low < high, p.name
        assert low <= p.start[0] < p.start[1] <= high, p.name
        assert p.default in p.valid and p.option in flags, p.name
        assert f"{p.name} : float\n    {p.meaning}; {p.valid.text}." in cls.__doc__
    # The command-line defaults make a valid model.
    cls(**{p.name: p.default for p in parameters})


def test_equality_distinguishes_models_and_values():
    assert tw.BlackScholes(0.2) != tw.BlackScholes(0.3)
    assert tw.Kou(0.2, 0.0, 0.5, 2.0, 2.0) != tw.Merton(0.2, 0.0, 0.5, 2.0)
    assert len({tw.BlackScholes(0.2), tw.BlackScholes(0.2), tw.BlackScholes(0.3)}) == 2


def test_replace_validates_and_keeps_the_original():
    kou = tw.Kou(**VALID[tw.Kou])
    changed = kou.replace(lam=3.0, p=0.5)
    assert (changed.lam, changed.p, changed.eta1) == (3.0, 0.5, kou.eta1) and kou.lam == 1.0
    with pytest.raises(ValueError, match="eta1"):
        kou.replace(eta1=0.5)
    with pytest.raises(ValueError, match="'m'"):
        kou.replace(m=0.1)
