"""Import-time behaviour shared by both extension modules."""

import glob
import importlib
import os
import shutil
import subprocess
import sys

import pytest

from tarnwick.models import dexpjump, lognjump

MODULES = {"dexpjump": dexpjump, "lognjump": lognjump}
PUBLIC_NAMES = {
    "dexpjump": {
        "Option",
        "EuropeanOption",
        "KouEuropeanCall",
        "KouEuropeanPut",
        "create_european_call",
        "create_european_put",
    },
    "lognjump": {"MertonEuropeanCall"},
}
MODULE_DUNDERS = {"__doc__", "__file__", "__loader__", "__name__", "__package__", "__spec__"}


def other_python(version):
    found = glob.glob(os.path.expanduser(f"~/.pyenv/versions/{version}.*/bin/python{version}"))
    found = found or [p for p in [shutil.which(f"python{version}")] if p]
    if not found:
        pytest.skip(f"no CPython {version} on this machine")
    return found[0]


@pytest.mark.parametrize("name", sorted(MODULES))
def test_module_defines_exactly_its_api(name):
    module = MODULES[name]
    assert set(dir(module)) == PUBLIC_NAMES[name] | MODULE_DUNDERS
    assert module.__doc__ is None


@pytest.mark.parametrize("name", sorted(MODULES))
def test_reimport_returns_the_cached_module(name):
    qualified = f"tarnwick.models.{name}"
    module = sys.modules.pop(qualified)
    try:
        again = importlib.import_module(qualified)
        assert again is module
        for attribute in PUBLIC_NAMES[name]:
            assert getattr(again, attribute) is getattr(module, attribute)
    finally:
        sys.modules[qualified] = module


GATE_SCRIPT = """
import os, sys
if {lazy}:
    sys.setdlopenflags(os.RTLD_LAZY)
sys.path.insert(0, {folder!r})
try:
    import {name}
except ImportError as error:
    print("ImportError:", error)
else:
    print("imported")
"""


@pytest.mark.skipif(sys.version_info[:2] != (3, 9), reason="the gate is checked on a 3.9 build")
@pytest.mark.parametrize("name", sorted(MODULES))
@pytest.mark.parametrize("version, lazy", [("3.10", False), ("3.8", True), ("3.8", False)])
def test_other_interpreters_are_refused(tmp_path, name, version, lazy):
    interpreter = other_python(version)
    shutil.copy(MODULES[name].__file__, tmp_path / f"{name}.so")
    script = GATE_SCRIPT.format(lazy=lazy, folder=str(tmp_path), name=name)
    run = subprocess.run([interpreter, "-c", script], capture_output=True, text=True, timeout=60)
    assert run.returncode == 0, run.stderr
    assert run.stdout.startswith("ImportError:"), run.stdout
    if version == "3.10" or lazy:
        # Without lazy binding, 3.8's loader refuses the 3.9 build for a missing
        # interpreter symbol before the gate runs; either way the import fails.
        interpreter_version = subprocess.run(
            [interpreter, "-c", "import sys; print(sys.version)"], capture_output=True, text=True
        ).stdout.strip()
        assert run.stdout.strip() == (
            "ImportError: Python version mismatch: module was compiled for Python 3.9, "
            f"but the interpreter version is incompatible: {interpreter_version}."
        )
