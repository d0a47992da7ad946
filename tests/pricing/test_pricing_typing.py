"""Type information of the pricing API: the extension's stub matches it, and code using
the API type-checks under mypy --strict."""

import inspect
import subprocess
import sys

import tarnwick as tw

USAGE = '''
import datetime
import numpy as np
import pandas as pd
from numpy.typing import NDArray
import tarnwick as tw

kou = tw.Kou(sigma=0.16, lam=1.0, p=0.4, eta1=10.0, eta2=5.0)
prices = tw.price(kou, 100.0, np.linspace(80, 120, 5), 0.5, r=0.05, kind="put", threads=2)
g: tw.Greeks = tw.greeks(tw.Merton(0.2, 1.0, -0.1, 0.2), 100.0, 100.0, [0.25, 0.5])
d = tw.sensitivities(kou, 100.0, 100.0, 0.5)
names: tuple[str, ...] = kou.replace(lam=2.0).parameter_names
print(g.vega, d["lam"], names, prices)
# Scalars type as float, arrays as NDArray[float64], without a cast.
one: float = tw.price(kou, 100.0, 100.0, datetime.timedelta(days=30), kind="put") + 1.0
chain: NDArray[np.float64] = tw.price(kou, 100.0, [90.0, 110.0], 0.5)
vol: float = tw.implied_volatility(one, 100.0, 100.0, 0.5)
vols: NDArray[np.float64] = tw.implied_volatility(chain, 100.0, [90.0, 110.0], 0.5)
lam: float = tw.sensitivities(kou, 100.0, 100.0, 0.5)["lam"]
column = tw.price(kou, 100.0, pd.Series([90.0, 110.0]), 0.5)
print(one, chain.sum(), vol, vols.sum(), lam, column)
'''

BAD_KIND = '''
import tarnwick as tw
tw.price(tw.BlackScholes(0.2), 100.0, 100.0, 1.0, kind="straddle")
'''


def run(tmp_path, *arguments):
    # From an empty directory, so that only the installed package is found.
    return subprocess.run([sys.executable, "-m", *arguments], cwd=tmp_path, capture_output=True, text=True,
                          timeout=600)


def test_extension_stub_matches_module(tmp_path):
    result = run(tmp_path, "mypy.stubtest", "tarnwick._pricing")
    assert result.returncode == 0, result.stdout + result.stderr


def test_api_and_its_use_pass_mypy_strict(tmp_path):
    (tmp_path / "use.py").write_text(USAGE.replace("tuple[str, ...]", "'tuple[str, ...]'"))
    for target in (["use.py"], ["-m", "tarnwick._api", "-m", "tarnwick._models", "-m", "tarnwick._inputs",
                                "-m", "tarnwick._implied_volatility", "-m", "tarnwick._frames"]):
        result = run(tmp_path, "mypy", "--strict", *target)
        assert result.returncode == 0, result.stdout + result.stderr
    # A kind outside the literals it accepts is a type error.
    (tmp_path / "bad.py").write_text(BAD_KIND)
    result = run(tmp_path, "mypy", "--strict", "bad.py")
    assert result.returncode == 1 and 'No overload variant of "price"' in result.stdout, result.stdout


def test_help_shows_short_signatures():
    text = str(inspect.signature(tw.price))
    assert text == ("(model: 'Model', S: 'Optional[Column]', K: 'Column', T: 'Column', "
                    "r: 'Column' = 0.0, q: 'Column' = 0.0, kind: 'KindColumn' = 'call', *, "
                    "forward: 'Optional[Column]' = None, discount: 'Optional[Column]' = None, "
                    "valuation: 'Any' = None, day_count: 'str' = 'ACT/365F', "
                    "exercise: 'Any' = 'european', barrier: 'Any' = None, "
                    "barrier_kind: 'Optional[str]' = None, rebate: 'Any' = 0.0, "
                    "monitoring: 'Any' = None, threads: 'Optional[int]' = None) "
                    "-> 'Union[float, Labelled]'")
