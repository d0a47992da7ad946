"""What gets shipped: the sdist, the wheel built from it, and the installed extensions."""

import importlib.metadata
import os
import re
import shutil
import subprocess
import sys
import tarfile
import zipfile
from pathlib import Path

import pytest

import tarnwick

ROOT = Path(__file__).resolve().parents[1]


def run(command, env=None, **options):
    # A sanitizer runtime preloaded into the test interpreter is not for the build tools.
    env = {k: v for k, v in (env or os.environ).items() if k != "LD_PRELOAD"}
    done = subprocess.run(command, capture_output=True, text=True, timeout=900, env=env,
                          **options)
    assert done.returncode == 0, f"{command}\n{done.stdout}\n{done.stderr}"
    return done.stdout


def test_version_comes_from_the_installed_metadata():
    assert tarnwick.__version__ == importlib.metadata.version("tarnwick")


# --- the installed extension modules ---------------------------------------------------

# Symbols GNU ld may define in any shared object whatever the version script says.
LINKER_SYMBOLS = {"_init", "_fini", "_edata", "_end", "__bss_start"}


def readelf(*arguments):
    if shutil.which("readelf") is None:
        pytest.fail("readelf (binutils) is needed to inspect the extension modules")
    return run(["readelf", "-W", *arguments], env={**os.environ, "LC_ALL": "C"})


PACKAGE = Path(tarnwick.__file__).parent
# Every extension module installed in the package, whatever its folder: the reference
# modules under models/ and any at the top of the package.
EXTENSIONS = sorted(str(path.relative_to(PACKAGE)) for path in PACKAGE.rglob("*.so"))


def test_the_package_has_its_extension_modules():
    names = {Path(path).name.split(".")[0] for path in EXTENSIONS}
    assert {"dexpjump", "lognjump"} <= names
    assert len(names) == len(EXTENSIONS)  # one build of each


@pytest.mark.parametrize("relative", EXTENSIONS)
def test_installed_extension_searches_the_package_libs_and_exports_its_entry_only(relative):
    path = PACKAGE / relative
    dynamic = readelf("--dynamic", str(path))
    search_paths = re.findall(r"\((RPATH|RUNPATH)\)\s+Library r(?:un)?path: \[(.*)\]", dynamic)
    # From the module's folder up to the one that holds the package: tarnwick.libs sits
    # beside the package there.
    up = "/".join([".."] * len(Path(relative).parts))
    assert search_paths == [("RUNPATH", f"$ORIGIN/{up}/tarnwick.libs")]

    defined = set()
    for line in readelf("--dyn-syms", str(path)).splitlines():
        # Num: Value Size Type Bind Vis Ndx Name
        fields = line.split()
        if len(fields) >= 8 and fields[0].endswith(":") and fields[6] != "UND":
            if fields[4] in ("GLOBAL", "WEAK", "UNIQUE"):
                defined.add(fields[7].split("@")[0])
    assert defined - LINKER_SYMBOLS == {f"PyInit_{path.name.split('.')[0]}"}


# --- the distributions ----------------------------------------------------------------


@pytest.fixture(scope="session")
def dists(tmp_path_factory):
    """The sdist, and the manylinux wheel that `make wheel` makes: `python -m build` builds
    the wheel from the unpacked sdist, auditwheel repairs it.

    The build runs in an isolated environment with pybind11 at a new temporary path each
    time, so a build directory kept from an earlier build would recompile everything anyway;
    building from the sdist instead proves that it carries all that a build needs."""
    if shutil.which("make") is None:
        pytest.fail("make is needed to build the wheel as `make wheel` does")
    out = tmp_path_factory.mktemp("dist")
    raw, repaired = out / "raw", out / "repaired"
    run(["make", "--no-print-directory", "-C", str(ROOT), "repaired-wheel",
         f"PY={sys.executable}", f"RAW_DIST={raw}", f"DIST={repaired}"])
    [sdist] = raw.glob("tarnwick-*.tar.gz")
    [wheel] = repaired.glob("tarnwick-*.whl")
    return sdist, wheel


@pytest.mark.slow
def test_sdist_carries_the_sources_and_nothing_built(dists):
    sdist, _ = dists
    with tarfile.open(sdist) as archive:
        names = {name.split("/", 1)[1] for name in archive.getnames() if "/" in name}
    sources = {
        str(path.relative_to(ROOT))
        for path in (ROOT / "src").rglob("*")
        if path.is_file() and "__pycache__" not in path.parts
    }
    assert {"pyproject.toml", "CMakeLists.txt", "cmake/flags.cmake", "README.md"} <= names
    assert any(name.endswith(".cpp") for name in sources)
    assert sources <= names
    assert not [n for n in names if n.startswith(("build/", ".venv", "dist/")) or n.endswith(".so")]


@pytest.mark.slow
def test_wheel_carries_modules_stubs_and_the_console_script(dists):
    _, wheel = dists
    tag = f"cp{sys.version_info.major}{sys.version_info.minor}"
    assert re.fullmatch(rf"tarnwick-[^-]+-{tag}-{tag}-manylinux_\d+_\d+_\w+\.whl", wheel.name)
    with zipfile.ZipFile(wheel) as archive:
        names = set(archive.namelist())
        [entry_points] = [n for n in names if n.endswith(".dist-info/entry_points.txt")]
        assert "tarnwick = tarnwick.cli:main" in archive.read(entry_points).decode()
    shipped = {
        str(path.relative_to(PACKAGE.parent))
        for path in PACKAGE.rglob("*")
        if path.is_file() and "__pycache__" not in path.parts
    }
    for name in ["__init__.py", "__main__.py", "cli.py", "py.typed", "models/__init__.py",
                 "models/dexpjump.pyi", "models/lognjump.pyi"]:
        assert f"tarnwick/{name}" in shipped
    # What the development install has, the wheel has: modules, stubs, package data.
    assert shipped <= names
    # Anything auditwheel had to bundle sits where the modules' RUNPATH looks.
    assert all(n.startswith(("tarnwick/", "tarnwick-", "tarnwick.libs/")) for n in names)


FRESH_CHECK = """\
import importlib.metadata, sys
import tarnwick
from tarnwick.models import dexpjump, lognjump
print(tarnwick.__file__)
print(tarnwick.__version__ == importlib.metadata.version("tarnwick"))
print(dexpjump.KouEuropeanCall(0.5, 100).priceByKouJumpDiffusion(100, 0.05, 0.16, 1, 0.4, 10, 5, 10))
print(lognjump.MertonEuropeanCall(100, 1).JDAnalyticalPrice(100, 0.2, 0.05, 1, -0.1, 0.2, 50))
print(len(tarnwick.sample_quotes().quotes["strike"]))
"""


@pytest.mark.slow
def test_wheel_installs_into_a_new_venv_and_prices(dists, tmp_path):
    _, wheel = dists
    venv = tmp_path / "venv"
    run([sys.executable, "-m", "venv", "--without-pip", str(venv)])
    python, script = venv / "bin" / "python", venv / "bin" / "tarnwick"
    # As a user installs it: the wheel, with numpy and scipy from the package index.
    run([sys.executable, "-m", "pip", "--python", str(python), "install", "--quiet", str(wheel)])
    # Away from the checkout and with no PYTHONPATH: only the installed package can load.
    work = tmp_path / "elsewhere"
    work.mkdir()
    env = {k: v for k, v in os.environ.items() if not k.startswith("PYTHON")}
    location, same_version, kou, merton, sample = run(
        [str(python), "-c", FRESH_CHECK], cwd=work, env=env
    ).splitlines()
    assert Path(location).is_relative_to(venv)
    assert same_version == "True"
    assert float(kou) == pytest.approx(7.9594292029, abs=1e-10)
    assert float(merton) == pytest.approx(13.6886812613, abs=1e-10)
    assert sample == "104"  # the package data came along
    table = run([str(script), "kou", "--strikes", "90:110:5"], cwd=work, env=env).splitlines()
    assert [line.split()[0] for line in table[2:]] == ["90", "95", "100", "105", "110"]
    assert table[4].split() == ["100", "7.95942920294"]
