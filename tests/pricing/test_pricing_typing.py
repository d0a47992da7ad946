"""Type information of the pricing API: the extension's stub matches it, and code using
the API type-checks under mypy --strict."""

import subprocess
import sys

USAGE = '''
import numpy as np
import tarnwick as tw

kou = tw.Kou(sigma=0.16, lam=1.0, p=0.4, eta1=10.0, eta2=5.0)
prices = tw.price(kou, 100.0, np.linspace(80, 120, 5), 0.5, r=0.05, kind="put", threads=2)
g: tw.Greeks = tw.greeks(tw.Merton(0.2, 1.0, -0.1, 0.2), 100.0, 100.0, [0.25, 0.5])
d = tw.sensitivities(kou, 100.0, 100.0, 0.5)
names: tuple[str, ...] = kou.replace(lam=2.0).parameter_names
print(g.vega, d["lam"], names, prices)
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
    for target in (["use.py"], ["-m", "tarnwick._api", "-m", "tarnwick._models", "-m", "tarnwick._inputs"]):
        result = run(tmp_path, "mypy", "--strict", *target)
        assert result.returncode == 0, result.stdout + result.stderr
